// The GenTL consumer against the simulated camera's producer (and the fixture producers): the
// acquisition rules (one image per software trigger, incomplete frames reported and their
// buffers requeued, a blocked wait ended by a close from another thread, start/stop cycles with
// a new geometry, no buffer left announced, two cameras of one producer at once, a lost camera
// noticed without waiting for the time-out), device selection and the order of the list, the
// busy camera, and the listing. No test judges a duration: a wait that never ends fails by the
// test's time-out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <vision/vision.h>

#include "camera/camera.h"
#include "camera/gentl/device.h"
#include "camera/gentl/discovery.h"
#include "camera/gentl/registry.h"
#include "camera/gentl/transport.h"
#include "detail/error.h"
#include "detail/iconic.h"
#include "env.h"
#include "text_match.h"

namespace {

using visiontest::Contains;

namespace err = vision::err;
namespace cam = vision::detail::camera;
namespace gentl = vision::detail::camera::gentl;
using vision::HException;
using vision::HFramegrabber;
using vision::HImage;
using vision::Hlong;
using vision::HTuple;

void Open(HFramegrabber& camera, const char* options, const char* device = "default",
          Hlong width = 0, Hlong height = 0) {
  visiontest::SetEnv("VISION_FAKE_CAMERA", options);
  camera.OpenFramegrabber("GenICamTL", 0, 0, width, height, 0, 0, "default", 8, "default", -1.0,
                          "false", "default", device, -1, -1);
}

template <class F>
std::string Raises(std::uint32_t code, F&& f) {
  try {
    f();
  } catch (const HException& e) {
    EXPECT_EQ(e.ErrorCode(), code) << e.what();
    return e.ErrorMessage().Str();
  }
  ADD_FAILURE() << "no HException (expected code " << code << ")";
  return {};
}

const vision::detail::ImageData& Data(const HImage& image) {
  return vision::detail::SingleImage(image, "test");
}

void Trigger(HFramegrabber& camera) {
  camera.SetFramegrabberParam(HTuple("TriggerSoftware"), HTuple(1));
}

// ---- Acquisition ---------------------------------------------------------------------------

TEST(Acquisition, SoftwareTriggerGivesExactlyOneImagePerTrigger) {
  HFramegrabber camera;
  Open(camera, "width=64,height=48");
  camera.SetFramegrabberParam("TriggerSource", "Software");
  camera.SetFramegrabberParam("TriggerMode", "On");
  camera.SetFramegrabberParam(HTuple("grab_timeout"), HTuple(300));
  camera.GrabImageStart(-1.0);
  Raises(err::kAcqTimeout, [&] { camera.GrabImageAsync(-1.0); });  // nothing before a trigger
  for (int i = 0; i < 5; ++i) {
    Trigger(camera);
    const HImage image = camera.GrabImageAsync(-1.0);
    EXPECT_EQ(Data(image).width, 64);
    // One trigger, one image: the next grab finds nothing.
    const std::string m = Raises(err::kAcqTimeout, [&] { camera.GrabImageAsync(-1.0); });
    EXPECT_TRUE(Contains(m, "TriggerSource Software")) << m;
  }
  EXPECT_EQ(camera.GetFramegrabberParam("frames_completed").L(), 5);
}

TEST(Acquisition, IncompleteFramesAreReportedAndTheirBuffersGoBack) {
  HFramegrabber camera;
  Open(camera, "width=32,height=32,incomplete=2");
  camera.SetFramegrabberParam("TriggerMode", "On");
  camera.GrabImageStart(-1.0);
  // Many more incomplete frames than buffers: a buffer kept back would starve the stream.
  int good = 0, incomplete = 0;
  for (int i = 0; i < 24; ++i) {
    Trigger(camera);
    try {
      camera.GrabImageAsync(-1.0);
      ++good;
    } catch (const HException& e) {
      ASSERT_EQ(e.ErrorCode(), err::kAcqBuffer) << e.what();
      EXPECT_TRUE(Contains(e.ErrorMessage().Str(), "incomplete")) << e.what();
      ++incomplete;
    }
  }
  EXPECT_EQ(good, 12);
  EXPECT_EQ(incomplete, 12);
  EXPECT_EQ(camera.GetFramegrabberParam("frames_failed").L(), 12);
}

TEST(Acquisition, CloseFromAnotherThreadEndsAGrabWaitingWithoutLimit) {
  HFramegrabber camera;
  Open(camera, "width=32,height=32");
  camera.SetFramegrabberParam("TriggerMode", "On");
  camera.SetFramegrabberParam(HTuple("grab_timeout"), HTuple(-1));
  camera.GrabImageStart(-1.0);
  std::atomic<std::uint32_t> code{0};
  std::thread grabber([&] {
    try {
      camera.GrabImageAsync(-1.0);
    } catch (const HException& e) {
      code = e.ErrorCode();
    }
  });
  // Give the grab time to start waiting; if it has not, it finds the handle closed: the same
  // outcome either way.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  camera.CloseFramegrabber();
  grabber.join();
  EXPECT_EQ(code.load(), err::kAcqNotOpen);
  EXPECT_FALSE(camera.IsOpen());
  EXPECT_EQ(gentl::LoadedProducerCount(), 0u);  // everything closed down to the library
}

TEST(Acquisition, ALostCameraIsNoticedWhileAGrabWaitsWithoutLimit) {
  HFramegrabber camera;
  Open(camera, "width=32,height=32,fps=200,lose_after=2");
  camera.SetFramegrabberParam(HTuple("grab_timeout"), HTuple(-1));
  camera.GrabImageAsync(-1.0);
  camera.GrabImageAsync(-1.0);
  // Without a check of the camera between waits this grab would never end.
  const std::string m = Raises(err::kAcqLost, [&] { camera.GrabImageAsync(-1.0); });
  EXPECT_TRUE(Contains(m, "2 frames")) << m;
  Raises(err::kAcqLost, [&] { camera.GetFramegrabberParam("Width"); });
  camera.CloseFramegrabber();
}

// Start/stop cycles on one open device, below HFramegrabber (which stops only when closing).
TEST(Acquisition, StartStopCyclesWithANewGeometryEachLeaveNoBufferAnnounced) {
  visiontest::SetEnv("VISION_FAKE_CAMERA", "fps=500");
  auto iface = cam::MakeGenICamInterface();
  const auto found = iface->Discover();
  ASSERT_EQ(found.size(), 1u);
  auto device = iface->Open(found[0]);
  const int sizes[][2] = {{64, 48}, {128, 96}, {32, 16}, {640, 480}};
  for (const auto& size : sizes) {
    device->SetFeature("Width", HTuple(size[0]));
    device->SetFeature("Height", HTuple(size[1]));
    auto stream = device->StartStream();
    for (int i = 0; i < 3; ++i) {
      cam::Frame got;
      std::string detail;
      ASSERT_EQ(stream->Pop(
                    5000, [&](const cam::Frame& f) { got = f; }, &detail),
                cam::PopStatus::kFrame)
          << detail;
      EXPECT_EQ(got.width, size[0]);
      EXPECT_EQ(got.height, size[1]);
      EXPECT_EQ(got.size, std::size_t(size[0]) * std::size_t(size[1]));
    }
    EXPECT_GE(gentl::AnnouncedBuffers(*device), 4);
    stream.reset();
    EXPECT_EQ(gentl::AnnouncedBuffers(*device), 0) << size[0] << " x " << size[1];
  }
}

TEST(Acquisition, TwoCamerasOfOneProducerStreamAtOnce) {
  HFramegrabber left, right;
  Open(left, "cameras=2,width=48,height=32,fps=300", "SIM0001");
  Open(right, "cameras=2,width=48,height=32,fps=300", "SIM0002");
  EXPECT_NE(left.GetFramegrabberParam("device").S().Str(),
            right.GetFramegrabberParam("device").S().Str());
  EXPECT_EQ(gentl::LoadedProducerCount(), 1u);  // one producer instance for both
  std::atomic<int> frames{0};
  auto run = [&](HFramegrabber& camera) {
    for (int i = 0; i < 30; ++i) {
      camera.GrabImageAsync(-1.0);
      ++frames;
    }
  };
  std::thread a(run, std::ref(left));
  std::thread b(run, std::ref(right));
  a.join();
  b.join();
  EXPECT_EQ(frames.load(), 60);
}

// ---- Opening and selection ----------------------------------------------------------------

TEST(Selection, ByIdSerialAndUserDefinedName) {
  HFramegrabber first;
  Open(first, "cameras=2", "default");
  EXPECT_EQ(first.GetFramegrabberParam("device").S().Str(), "vision-Simulated-SIM0001");
  HFramegrabber by_serial;
  Open(by_serial, "cameras=2", "SIM0002");
  EXPECT_EQ(by_serial.GetFramegrabberParam("device").S().Str(), "vision-Simulated-SIM0002");
  by_serial.SetFramegrabberParam("DeviceUserID", "left");
  // The same camera by its user-defined name and by its id: one device, shared.
  HFramegrabber by_name, by_id;
  Open(by_name, "cameras=2", "left");
  Open(by_id, "cameras=2", "vision-Simulated-SIM0002");
  EXPECT_EQ(by_name.GetFramegrabberParam("device").S().Str(), "vision-Simulated-SIM0002");
  EXPECT_EQ(by_id.GetFramegrabberParam("DeviceUserID").S().Str(), "left");
  const std::string m = Raises(err::kAcqNoDevice, [&] {
    HFramegrabber none;
    Open(none, "cameras=2", "right");
  });
  EXPECT_TRUE(Contains(m, "'right'") && Contains(m, "vision-Simulated-SIM0001")) << m;
}

TEST(Selection, ACameraHeldByAnotherProgramIsRefusedAtOnce) {
  HFramegrabber camera;
  const std::string m = Raises(err::kAcqOpen, [&] { Open(camera, "busy"); });
  EXPECT_TRUE(Contains(m, "another program") && Contains(m, "Busy")) << m;
  EXPECT_FALSE(camera.IsOpen());
}

TEST(Selection, ARealSizeAtOpeningIsWhatTheCameraReports) {
  HFramegrabber camera;
  Open(camera, "1", "default", 320, 200);
  EXPECT_EQ(camera.GetFramegrabberParam("image_width").I(), 320);
  EXPECT_EQ(camera.GetFramegrabberParam("image_height").I(), 200);
  const HImage image = camera.GrabImageAsync(-1.0);
  EXPECT_EQ(Data(image).width, 320);
  EXPECT_EQ(Data(image).height, 200);
}

#ifndef _WIN32  // Windows has no environment variable that is set but empty
TEST(Selection, AnEmptyFakeCameraVariableMeansTheSimulatedCamera) {
  HFramegrabber camera;
  Open(camera, "");
  EXPECT_EQ(camera.GetFramegrabberParam("device").S().Str(), "vision-Simulated-SIM0001");
  EXPECT_EQ(camera.GetFramegrabberParam("image_width").I(), 640);
}
#endif

// The order across producers: path order, then each producer's own; a camera two producers
// both list (same vendor, model and serial) is listed once, at its first place.
TEST(Selection, ProducersInPathOrderAndNoCameraTwice) {
  const std::string fixtures = GENTL_FIXTURE_DIR;
  const auto copy_dir = std::filesystem::temp_directory_path() / "vision_gentl_order_copy";
  std::filesystem::create_directories(copy_dir);
  std::filesystem::copy_file(fixtures + "/fixture_a.cti", copy_dir / "fixture_a_again.cti",
                             std::filesystem::copy_options::overwrite_existing);
  visiontest::UnsetEnv("VISION_FAKE_CAMERA");
  gentl::TransportConfig config;
  for (const std::string& f :
       {fixtures + "/fixture_b.cti", gentl::BundledProducerPath(), fixtures + "/fixture_a.cti",
        (copy_dir / "fixture_a_again.cti").string()})
    config.producer_files.push_back(gentl::CanonicalPath(f));
  auto iface = gentl::MakeTransportInterface(std::move(config));
  const auto found = iface->Discover();
  std::vector<std::string> order;
  for (const auto& d : found) order.push_back(d.model + "/" + d.id);
  EXPECT_EQ(order,
            (std::vector<std::string>{"fixture B/fixture-dev-1", "fixture B/fixture-dev-2",
                                      "Simulated camera/vision-Simulated-SIM0001",
                                      "fixture A/fixture-dev-1", "fixture A/fixture-dev-2"}));
  // Every producer loaded: the copy too, only its cameras were already listed.
  const auto report = iface->Report();
  int loaded = 0;
  for (const auto& line : report) loaded += line.rfind("loaded '", 0) == 0;
  EXPECT_EQ(loaded, 4);
  // A busy fixture device is refused before the producer is asked to open it.
  try {
    iface->Open(found[1]);
    ADD_FAILURE() << "opened a busy camera";
  } catch (const cam::DeviceError& e) {
    EXPECT_EQ(e.Code(), err::kAcqOpen);
    EXPECT_TRUE(Contains(e.what(), "Busy")) << e.what();
  }
  iface.reset();
  // A Windows producer may stay mapped after it is let go (thread-local destructors pin it).
  std::error_code ec;
  std::filesystem::remove_all(copy_dir, ec);
}

#ifndef VISION_TEST_WITH_ARAVIS
// Without Aravis (the Windows build) GENICAM_GENTL64_PATH is the only transport, so the variable
// can be tried here without any network search: the simulated camera's producer named in it is
// found, opened and grabbed from; broken producers in the same path are skipped with reasons.
TEST(ProducerPathVariable, AloneItReachesTheCamerasOfItsProducers) {
  visiontest::UnsetEnv("VISION_FAKE_CAMERA");
  const std::string fixtures = GENTL_FIXTURE_DIR;
  const std::string list = gentl::BundledProducerPath() + visiontest::kPathSeparator + fixtures +
                           "/nowhere" + visiontest::kPathSeparator + fixtures;
  visiontest::SetEnv(gentl::ProducerPathVariable(), list.c_str());
  HTuple info, values;
  vision::InfoFramegrabber("GenICamTL", "producers", &info, &values);
  // Every line: a description of the tuple shows only its first values.
  std::string report;
  for (vision::Hlong i = 0; i < values.Length(); ++i) report += values[i].S().Str() + "\n";
  EXPECT_TRUE(Contains(report, "vision_simcam.cti")) << report;
  EXPECT_TRUE(Contains(report, "does not exist")) << report;
  EXPECT_TRUE(Contains(report, "licence file missing")) << report;
  vision::InfoFramegrabber("GenICamTL", "device", &info, &values);
  ASSERT_GE(values.Length(), 3);
  EXPECT_EQ(values[0].S().Str(), "vision-Simulated-SIM0001");  // path order: the first entry
  EXPECT_EQ(values[1].S().Str(), "fixture-dev-1");
  HFramegrabber camera;
  camera.OpenFramegrabber("GenICamTL", 0, 0, 0, 0, 0, 0, "default", 8, "default", -1.0, "false",
                          "default", "default", -1, -1);
  EXPECT_EQ(Data(camera.GrabImageAsync(-1.0)).width, 640);
  camera.CloseFramegrabber();
  visiontest::UnsetEnv(gentl::ProducerPathVariable());
}
#endif

// ---- Several parameters at once: checked before the first is written -------------------------

TEST(Parameters, SeveralWritesAreAllCheckedBeforeTheFirstIsMade) {
  HFramegrabber camera;
  Open(camera, "1");
  HTuple names, values;
  names.Append("TriggerMode").Append("PixelFormat");
  values.Append("On").Append("YUV422");
  std::string m = Raises(err::kAcqParamValue, [&] { camera.SetFramegrabberParam(names, values); });
  EXPECT_TRUE(Contains(m, "YUV422")) << m;
  EXPECT_EQ(camera.GetFramegrabberParam("TriggerMode").S().Str(), "Off");
  // Two names and one value for both: "On" suits TriggerMode but not TriggerSource.
  HTuple both;
  both.Append("TriggerMode").Append("TriggerSource");
  m = Raises(err::kAcqParamValue, [&] { camera.SetFramegrabberParam(both, HTuple("On")); });
  EXPECT_TRUE(Contains(m, "TriggerSource") && Contains(m, "Software")) << m;
  EXPECT_EQ(camera.GetFramegrabberParam("TriggerMode").S().Str(), "Off");
  HTuple unknown, sizes;
  unknown.Append("Width").Append("Gamma");
  sizes.Append(320).Append(1);
  Raises(err::kAcqUnknownParam, [&] { camera.SetFramegrabberParam(unknown, sizes); });
  EXPECT_EQ(camera.GetFramegrabberParam("Width").I(), 640);
  HTuple range;
  range.Append("grab_timeout").Append("Width");
  HTuple bad;
  bad.Append(250).Append(5);
  Raises(err::kAcqParamValue, [&] { camera.SetFramegrabberParam(range, bad); });
  EXPECT_EQ(camera.GetFramegrabberParam("grab_timeout").I(), 5000);
  // All good: all written, in order.
  HTuple good;
  good.Append(250).Append(320);
  camera.SetFramegrabberParam(range, good);
  EXPECT_EQ(camera.GetFramegrabberParam("grab_timeout").I(), 250);
  EXPECT_EQ(camera.GetFramegrabberParam("Width").I(), 320);
}

// ---- The listing -----------------------------------------------------------------------------

TEST(Listing, DevicesBoardsProducersAndParameters) {
  visiontest::SetEnv("VISION_FAKE_CAMERA", "cameras=2");
  HTuple info, values;
  vision::InfoFramegrabber("GenICamTL", "device", &info, &values);
  ASSERT_EQ(values.Length(), 2);
  EXPECT_EQ(values[0].S().Str(), "vision-Simulated-SIM0001");
  EXPECT_EQ(values[1].S().Str(), "vision-Simulated-SIM0002");
  vision::InfoFramegrabber("GenICamTL", "info_boards", &info, &values);
  ASSERT_EQ(values.Length(), 2);
  const std::string board = values[1].S().Str();
  for (const char* part : {"vision_simcam.cti", "device:'vision-Simulated-SIM0002'",
                           "serial:'SIM0002'", "model:'Simulated camera'", "access:'ReadWrite'"})
    EXPECT_TRUE(Contains(board, part)) << board << " lacks " << part;
  vision::InfoFramegrabber("GenICamTL", "producers", &info, &values);
  bool loaded = false;
  for (Hlong i = 0; i < values.Length(); ++i)
    loaded = loaded || (Contains(values[i].S().Str(), "loaded '") &&
                        Contains(values[i].S().Str(), "vision_simcam.cti"));
  EXPECT_TRUE(loaded) << vision::detail::Describe(values);
  vision::InfoFramegrabber("GenICamTL", "parameters", &info, &values);
  EXPECT_EQ(values[2].S().Str(), "grab_timeout");
  Raises(err::kWrongParamValue,
         [&] { vision::InfoFramegrabber("GenICamTL", "boards", &info, &values); });
  Raises(err::kAcqInterface, [&] { vision::InfoFramegrabber("GigE", "device", &info, &values); });
  // A bad option is reported as OpenFramegrabber reports it.
  visiontest::SetEnv("VISION_FAKE_CAMERA", "colour=red");
  Raises(err::kAcqParamValue,
         [&] { vision::InfoFramegrabber("GenICamTL", "device", &info, &values); });
}

}  // namespace

// The Aravis backend in process, against Aravis's own fake camera ("Fake_1"): discovery, opening,
// features of every kind and their refusals, and frames through the seam and through
// HFramegrabber. Before any test runs, GigE Vision and USB3 Vision discovery are switched off for
// the whole process, so nothing here touches the network.
//
// The fake camera free-runs at 25 frames per second (it ignores software triggers) and fills
// each frame with a diagonal ramp: pixel (x, y) of frame n is (x + y + n) mod 256 in Mono8; in
// Mono16 that value is the high byte and 0xff the low one (little endian on the wire); in RGB8,
// red rises by 4 per column, green is 255 and blue falls by 4.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <vision/vision.h>

#include "camera/camera.h"
#include "detail/iconic.h"
#include "env.h"
#include "raises.h"
#include "text_match.h"

namespace {

using visiontest::Contains;

namespace camera = vision::detail::camera;
namespace err = vision::err;
using vision::HException;
using vision::HFramegrabber;
using vision::HImage;
using vision::HTuple;
using visiontest::Raises;

// Switches Aravis to its fake camera alone before the first test, for the whole process.
class FakeOnly : public ::testing::Environment {
 public:
  void SetUp() override {
    visiontest::UnsetEnv("VISION_FAKE_CAMERA");  // HFramegrabber must reach Aravis
    iface = camera::MakeAravisFakeInterface();
  }
  void TearDown() override { iface.reset(); }
  static inline std::unique_ptr<camera::Interface> iface;
};
[[maybe_unused]] const auto* const g_fake_only = ::testing::AddGlobalTestEnvironment(new FakeOnly);

std::unique_ptr<camera::Device> OpenFake() {
  const auto found = FakeOnly::iface->Discover();
  EXPECT_EQ(found.size(), 1u);
  return FakeOnly::iface->Open(found.at(0));
}

// A call on the seam with its DeviceError turned into an HException, as HFramegrabber turns it,
// so that Raises can check it.
std::function<void()> OnSeam(std::function<void()> f) {
  return [f = std::move(f)] {
    try {
      f();
    } catch (const camera::DeviceError& e) {
      throw HException(e.Code(), "seam", e.what());
    }
  };
}

TEST(AravisFake, DiscoveryFindsOnlyTheFakeCameraAndOpensItById) {
  const auto found = FakeOnly::iface->Discover();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, "Fake_1");
  EXPECT_EQ(found[0].vendor, "Aravis");
  EXPECT_EQ(found[0].model, "Fake");
  EXPECT_EQ(found[0].serial, "1");
  EXPECT_EQ(found[0].protocol, "Fake");

  const auto device = FakeOnly::iface->Open(found[0]);
  EXPECT_EQ(device->Info().id, "Fake_1");
  EXPECT_EQ(device->Name(), "'Fake 1'");

  camera::DeviceInfo missing;
  missing.id = "Fake_2";
  EXPECT_TRUE(
      Contains(Raises(err::kAcqOpen, OnSeam([&] { FakeOnly::iface->Open(missing); })), "Fake_2"));
}

TEST(AravisFake, FeaturesOfEveryKindReadBackWhatWasWritten) {
  auto device = OpenFake();
  EXPECT_EQ(device->GetFeature("DeviceModelName").S().Str(), "Fake");

  device->SetFeature("PixelFormat", HTuple("Mono16"));
  EXPECT_EQ(device->GetFeature("PixelFormat").S().Str(), "Mono16");
  device->SetFeature("PixelFormat", HTuple("Mono8"));

  device->SetFeature("Width", HTuple("0320"));  // decimal, as every integer text
  EXPECT_EQ(device->GetFeature("Width").L(), 320);
  device->SetFeature("GainRaw", HTuple(3.0));
  EXPECT_EQ(device->GetFeature("GainRaw").L(), 3);

  device->SetFeature("AcquisitionFrameRate", HTuple(12.5));
  EXPECT_DOUBLE_EQ(device->GetFeature("AcquisitionFrameRate").D(), 12.5);
  device->SetFeature("AcquisitionFrameRate", HTuple("25"));
  EXPECT_DOUBLE_EQ(device->GetFeature("AcquisitionFrameRate").D(), 25.0);

  device->SetFeature("TestBoolean", HTuple("true"));
  EXPECT_EQ(device->GetFeature("TestBoolean").L(), 1);
  device->SetFeature("TestBoolean", HTuple(0));
  EXPECT_EQ(device->GetFeature("TestBoolean").L(), 0);

  device->SetFeature("TestStringReg", HTuple("left camera"));
  EXPECT_EQ(device->GetFeature("TestStringReg").S().Str(), "left camera");

  // A command runs (the value is ignored); it has nothing to read.
  device->SetFeature("TriggerSoftware", HTuple(1));
  EXPECT_TRUE(
      Contains(Raises(err::kAcqParamValue, OnSeam([&] { device->GetFeature("TriggerSoftware"); })),
               "command"));
}

TEST(AravisFake, RefusalsNameTheCameraTheFeatureTheValueAndTheReason) {
  auto device = OpenFake();
  std::string m = Raises(err::kAcqParamValue,
                         OnSeam([&] { device->SetFeature("PixelFormat", HTuple("BGR8")); }));
  EXPECT_TRUE(Contains(m, "'Fake 1'") && Contains(m, "PixelFormat = 'BGR8'") &&
              Contains(m, "no such entry") && Contains(m, "Mono16"))
      << m;
  m = Raises(err::kAcqParamValue, OnSeam([&] { device->SetFeature("GainRaw", HTuple(11)); }));
  EXPECT_TRUE(Contains(m, "GainRaw = 11") && Contains(m, "out of range 0 to 10")) << m;
  m = Raises(err::kAcqParamValue,
             OnSeam([&] { device->SetFeature("AcquisitionFrameRate", HTuple(5000)); }));
  EXPECT_TRUE(Contains(m, "out of range 0.1 to 1000")) << m;
  m = Raises(err::kAcqParamValue, OnSeam([&] { device->SetFeature("Width", HTuple("0x100")); }));
  EXPECT_TRUE(Contains(m, "an integer is expected")) << m;
  m = Raises(err::kAcqParamValue,
             OnSeam([&] { device->SetFeature("TestBoolean", HTuple("maybe")); }));
  EXPECT_TRUE(Contains(m, "true or false")) << m;
  m = Raises(err::kAcqParamValue,
             OnSeam([&] { device->SetFeature("AcquisitionFrameRate", HTuple("fast")); }));
  EXPECT_TRUE(Contains(m, "a number is expected")) << m;
  m = Raises(err::kAcqReadOnly, OnSeam([&] { device->SetFeature("SensorWidth", HTuple(64)); }));
  EXPECT_TRUE(Contains(m, "read-only")) << m;
  m = Raises(err::kAcqReadOnly,
             OnSeam([&] { device->SetFeature("DeviceModelName", HTuple("x")); }));
  m = Raises(err::kAcqUnknownParam, OnSeam([&] { device->SetFeature("Gamma", HTuple(1)); }));
  EXPECT_TRUE(Contains(m, "'Gamma'")) << m;
  Raises(err::kAcqUnknownParam, OnSeam([&] { device->GetFeature("Gamma"); }));
  // Refused writes change nothing.
  EXPECT_EQ(device->GetFeature("PixelFormat").S().Str(), "Mono8");
  EXPECT_EQ(device->GetFeature("GainRaw").L(), 0);
}

TEST(AravisFake, StreamHandsOutConsecutiveMono8FramesAndCountsThem) {
  auto device = OpenFake();
  device->SetFeature("Width", HTuple(64));
  device->SetFeature("Height", HTuple(48));
  device->SetFeature("PixelFormat", HTuple("Mono8"));
  auto stream = device->StartStream();
  std::vector<std::uint64_t> ids;
  for (int i = 0; i < 3; ++i) {
    std::string detail;
    const auto status = stream->Pop(
        30000,
        [&](const camera::Frame& f) {
          EXPECT_EQ(f.pixel_format, camera::pfnc::kMono8);
          EXPECT_EQ(f.width, 64);
          EXPECT_EQ(f.height, 48);
          ASSERT_GE(f.size, 64u * 48u);
          const std::uint8_t first = std::uint8_t(f.frame_id);
          EXPECT_EQ(f.data[0], first);
          EXPECT_EQ(f.data[63], std::uint8_t(first + 63));                 // along the row
          EXPECT_EQ(f.data[47 * 64], std::uint8_t(first + 47));            // down the column
          EXPECT_EQ(f.data[47 * 64 + 63], std::uint8_t(first + 47 + 63));  // the last pixel
          ids.push_back(f.frame_id);
        },
        &detail);
    ASSERT_EQ(status, camera::PopStatus::kFrame) << detail;
  }
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_LT(ids[0], ids[1]);
  EXPECT_LT(ids[1], ids[2]);
  stream->Flush();
  EXPECT_GE(stream->Counters().completed, 3u);
  EXPECT_EQ(stream->Counters().timeouts, 0u);
}

// HFramegrabber over Aravis: the production path of the tools, on the fake camera.
void Open(HFramegrabber& grabber, const char* device) {
  grabber.OpenFramegrabber("GenICamTL", 0, 0, 0, 0, 0, 0, "default", 8, "default", -1.0, "false",
                           "default", device, -1, -1);
}

const vision::detail::ImageData& Data(const HImage& image) {
  return vision::detail::SingleImage(image, "test");
}

// The first 40 x 30 frame in a pixel format, from a camera opened for it (the stream's buffers
// are sized for the format it starts with).
HImage FirstFrame(const char* format) {
  HFramegrabber grabber;
  Open(grabber, "Fake_1");
  grabber.SetFramegrabberParam(HTuple("Width"), HTuple(40));
  grabber.SetFramegrabberParam(HTuple("Height"), HTuple(30));
  grabber.SetFramegrabberParam("PixelFormat", format);
  // Frames come every 40 ms: the time-out only ends a hang, a slow machine is no fault.
  grabber.SetFramegrabberParam(HTuple("grab_timeout"), HTuple(30000));
  HImage image = grabber.GrabImageAsync(-1.0);
  EXPECT_GE(grabber.GetFramegrabberParam("frames_completed").L(), 1);
  return image;
}

TEST(AravisFakeGrabber, OpensTheFakeCameraByDefaultOrByIdAndNamesTheOnesItFound) {
  HFramegrabber grabber;
  Open(grabber, "default");
  EXPECT_EQ(grabber.GetFramegrabberParam("device").S().Str(), "Fake_1");
  grabber.CloseFramegrabber();
  Open(grabber, "Fake_1");
  EXPECT_EQ(grabber.GetFramegrabberParam("DeviceVendorName").S().Str(), "Aravis");
  grabber.CloseFramegrabber();
  const std::string m = Raises(err::kAcqNoDevice, [&] { Open(grabber, "cam-17"); });
  EXPECT_TRUE(Contains(m, "'cam-17'") && Contains(m, "Fake_1")) << m;
  EXPECT_FALSE(grabber.IsOpen());
}

// The listing through Aravis comes from the description's categories: every feature once, with
// what the camera answers now, and an unknown name's error offers the same names.
TEST(AravisFakeGrabber, ListsEveryFeatureOfItsCategoriesOnce) {
  HFramegrabber grabber;
  Open(grabber, "Fake_1");
  const HTuple lines = grabber.GetFramegrabberParam("feature_listing");
  std::vector<std::string> all;
  for (vision::Hlong i = 0; i < lines.Length(); ++i) all.push_back(lines[i].S().Str());
  ASSERT_GT(all.size(), 10u);
  const auto line_of = [&](const std::string& name) -> std::string {
    std::string found;
    int count = 0;
    for (const std::string& l : all)
      if (l.rfind("'" + name + "' ", 0) == 0) ++count, found = l;
    EXPECT_EQ(count, 1) << name;
    return found;
  };
  EXPECT_TRUE(Contains(line_of("Width"), "Integer RW value:")) << line_of("Width");
  EXPECT_TRUE(Contains(line_of("PixelFormat"), "entries:")) << line_of("PixelFormat");
  EXPECT_TRUE(Contains(line_of("AcquisitionStart"), "Command")) << line_of("AcquisitionStart");
  EXPECT_TRUE(Contains(line_of("DeviceVendorName"), "value:'Aravis'"));
  for (const std::string& l : all) EXPECT_FALSE(Contains(l, " Category ")) << l;
  const std::string m =
      Raises(err::kAcqUnknownParam, [&] { grabber.GetFramegrabberParam("NoSuchFeature"); });
  EXPECT_TRUE(Contains(m, "it offers") && Contains(m, "Width")) << m;
}

TEST(AravisFakeGrabber, ConvertsMono8Mono16AndRgb8FramesIntoTheDocumentedImages) {
  const HImage mono = FirstFrame("Mono8");
  ASSERT_EQ(Data(mono).Channels(), 1);
  ASSERT_EQ(Data(mono).type, vision::detail::PixelType::Byte);
  ASSERT_EQ(Data(mono).width, 40);
  ASSERT_EQ(Data(mono).height, 30);
  const auto* p8 = Data(mono).Plane<std::uint8_t>(0);
  EXPECT_EQ(p8[39], std::uint8_t(p8[0] + 39));
  EXPECT_EQ(p8[29 * 40], std::uint8_t(p8[0] + 29));

  // Mono16: the ramp is the high byte, 0xff the low one; swapped bytes would put the ramp low.
  const HImage wide = FirstFrame("Mono16");
  ASSERT_EQ(Data(wide).type, vision::detail::PixelType::UInt2);
  ASSERT_EQ(Data(wide).width, 40);
  const auto* p16 = Data(wide).Plane<std::uint16_t>(0);
  EXPECT_EQ(p16[0] & 0xff, 0xff);
  EXPECT_EQ(p16[39] & 0xff, 0xff);
  EXPECT_EQ(p16[39] >> 8, ((p16[0] >> 8) + 39) & 0xff);

  const HImage rgb = FirstFrame("RGB8");
  ASSERT_EQ(Data(rgb).Channels(), 3);
  ASSERT_EQ(Data(rgb).width, 40);
  const auto* red = Data(rgb).Plane<std::uint8_t>(0);
  const auto* green = Data(rgb).Plane<std::uint8_t>(1);
  const auto* blue = Data(rgb).Plane<std::uint8_t>(2);
  EXPECT_EQ(green[5], 255);
  EXPECT_EQ(std::uint8_t(red[5] - red[4]), 4) << "red rises along the row";
  EXPECT_EQ(std::uint8_t(blue[4] - blue[5]), 4) << "blue falls along the row";
}

}  // namespace

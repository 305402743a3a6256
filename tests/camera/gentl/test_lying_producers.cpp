// The GenTL consumer against a producer that lies (the fixture producer built with
// FIXTURE_STREAM, told by VISION_FIXTURE_LIES what to lie about): counts and sizes that would
// size allocations, numbers that would pass when narrowed, texts with escape sequences, calls
// that block or return at once, a description URL naming a FIFO, a failing DSQueueBuffer, and
// the order of the calls that stop and close a camera. Every lie must end in an HException
// naming what was wrong, never in a crash, a hang past the time-out or a wrong image. The only
// durations judged are hang bounds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <vision/vision.h>

#include "camera/camera.h"
#include "camera/gentl/discovery.h"
#include "camera/gentl/registry.h"
#include "detail/iconic.h"
#include "env.h"
#include "platform/shared_library.h"
#include "raises.h"

namespace {

namespace err = vision::err;
namespace gentl = vision::detail::camera::gentl;
using vision::HException;
using vision::HFramegrabber;
using vision::HImage;
using vision::HTuple;
using visiontest::Raises;
using Clock = std::chrono::steady_clock;

const std::string kProducer = std::string(GENTL_FIXTURE_DIR) + "/fixture_stream.cti";

#ifdef VISION_TEST_WITH_ARAVIS
// HFramegrabber reaches Aravis too: switched to its fake camera before the first test, so that
// nothing here searches the network. The fixture's cameras come first in the list.
class NoNetwork : public ::testing::Environment {
 public:
  void SetUp() override { iface = vision::detail::camera::MakeAravisFakeInterface(); }
  void TearDown() override { iface.reset(); }
  static inline std::unique_ptr<vision::detail::camera::Interface> iface;
};
[[maybe_unused]] const auto* const g_no_network =
    ::testing::AddGlobalTestEnvironment(new NoNetwork);
#endif

// The fixture's own functions for tests, from a handle of the test's own (which also keeps the
// file mapped, so its record outlives the library's unloading of it).
class Fixture {
 public:
  Fixture() : file_(kProducer) {
    log_ = file_.Symbol<void (*)(char*, std::size_t*)>("FixtureCallLog");
    release_ = file_.Symbol<void (*)()>("FixtureRelease");
  }
  std::string Log() const {
    std::size_t size = 0;
    log_(nullptr, &size);
    std::string text(size, '\0');
    log_(text.data(), &size);
    text.resize(size ? size - 1 : 0);
    return text;
  }
  void Release() const { release_(); }

 private:
  vision::platform::SharedLibrary file_;
  void (*log_)(char*, std::size_t*) = nullptr;
  void (*release_)() = nullptr;
};

// The fixture producer as the only one, lying as told.
void Lie(const char* lies) {
  visiontest::UnsetEnv("VISION_FAKE_CAMERA");
  visiontest::SetEnv(gentl::ProducerPathVariable(), kProducer.c_str());
  visiontest::SetEnv("VISION_FIXTURE_LIES", lies);
}

void Open(HFramegrabber& camera) {
  camera.OpenFramegrabber("GenICamTL", 0, 0, 0, 0, 0, 0, "default", 8, "default", -1.0, "false",
                          "default", "default", -1, -1);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<std::string> Query(const char* what) {
  HTuple info, values;
  vision::InfoFramegrabber("GenICamTL", what, &info, &values);
  std::vector<std::string> out;
  for (vision::Hlong i = 0; i < values.Length(); ++i) out.push_back(values[i].S().Str());
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  return all;
}

// ---- Counts and sizes ---------------------------------------------------------------------

TEST(Lies, TheFixtureStreamsWhenItTellsTheTruth) {
  Lie("");
  HFramegrabber camera;
  Open(camera);
  const HImage image = camera.GrabImage();
  const auto& data = vision::detail::SingleImage(image, "test");
  EXPECT_EQ(data.width, 8);
  EXPECT_EQ(data.height, 4);
  camera.CloseFramegrabber();
  EXPECT_EQ(gentl::LoadedProducerCount(), 0u);
}

TEST(Lies, HugeCountsOfInterfacesAndDevicesAreRefusedBeforeTheyAreListed) {
  Lie("interfaces=2147483648");
  std::string report = Joined(Query("producers"));
  EXPECT_TRUE(Contains(report, "TLGetNumInterfaces") && Contains(report, "2147483648") &&
              Contains(report, "fixture_stream.cti"))
      << report;
#ifndef VISION_TEST_WITH_ARAVIS  // else Aravis's fake camera is found instead
  {
    HFramegrabber camera;
    Raises(
        err::kAcqNoDevice, [&] { Open(camera); }, "2147483648 interfaces");
  }
#endif
  Lie("devices=2147483648");
  report = Joined(Query("producers"));
  EXPECT_TRUE(Contains(report, "IFGetNumDevices") && Contains(report, "2147483648")) << report;
}

TEST(Lies, APayloadOfFourGibibytesIsRefusedBeforeAnyBufferIsMade) {
  Lie("payload=4294967296");
  HFramegrabber camera;
  Open(camera);
  const std::string m = Raises(err::kAcqOpen, [&] { camera.GrabImage(); });
  EXPECT_TRUE(Contains(m, "4294967296") && Contains(m, "PayloadSize") &&
              Contains(m, "fixture_stream.cti"))
      << m;
}

TEST(Lies, NumbersBeyondTheirWidthAreRefusedNotNarrowed) {
  // 2^32 + 8 would pass as the real width 8; a pixel format with bit 32 set as Mono8.
  for (const char* lie : {"width=4294967304", "pixel_format=0x101080001"}) {
    Lie(lie);
    HFramegrabber camera;
    Open(camera);
    const std::string m = Raises(err::kAcqBuffer, [&] { camera.GrabImage(); });
    EXPECT_TRUE(Contains(m, "DSGetBufferInfo") && Contains(m, "fixture_stream.cti")) << m;
    EXPECT_TRUE(Contains(m, "4294967304") || Contains(m, "0x101080001")) << m;
  }
}

// ---- Texts ----------------------------------------------------------------------------------

TEST(Lies, EscapeSequencesInProducerTextsNeverReachTheOutputRaw) {
  Lie("escape");
  std::vector<std::string> lines = Query("info_boards");
  for (const auto& l : Query("producers")) lines.push_back(l);
  for (const auto& l : Query("device")) lines.push_back(l);
  const std::string all = Joined(lines);
  EXPECT_EQ(all.find('\x1b'), std::string::npos) << all;
  EXPECT_EQ(all.find('\x07'), std::string::npos) << all;
  EXPECT_TRUE(Contains(all, "Fixture\\x1b]0;owned\\x07 Inc")) << all;  // the vendor, shown
  EXPECT_TRUE(Contains(all, "vision\\x1b[2J tests")) << all;           // the producer's vendor
  EXPECT_TRUE(Contains(all, "fixture\\x1b[31m-dev-1")) << all;         // the device id
  // The producer's own error text (GCGetLastError) in an error message.
  HFramegrabber camera;
  const std::string m = Raises(err::kAcqOpen, [&] { Open(camera); });
  EXPECT_EQ(m.find('\x1b'), std::string::npos) << m;
  EXPECT_TRUE(Contains(m, "no access\\x1b[2J\\x1b[H for you")) << m;
}

// ---- Calls that block, or return at once ---------------------------------------------------

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits (hang bound: 20 s) until every producer is closed and unloaded.
void WaitUntilUnloaded() {
  const auto start = Clock::now();
  while (gentl::LoadedProducerCount() != 0 && SecondsSince(start) < 20)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(gentl::LoadedProducerCount(), 0u);
}

// The position of the first line of log that starts with what (npos when none).
std::size_t Where(const std::string& log, const std::string& what) {
  std::size_t at = 0;
  while (at < log.size()) {
    if (log.compare(at, what.size(), what) == 0) return at;
    at = log.find('\n', at);
    if (at == std::string::npos) break;
    ++at;
  }
  return std::string::npos;
}

// After the blocked call returns, the camera is closed down to the library, in order, with
// nothing closed while the call still ran.
void ExpectClosedAfterTheBlockedCall(const Fixture& fixture, const std::string& function) {
  EXPECT_EQ(gentl::LoadedProducerCount(), 1u);  // not unloaded under the blocked call
  fixture.Release();
  WaitUntilUnloaded();
  const std::string log = fixture.Log();
  EXPECT_FALSE(Contains(log, "while a blocked call runs")) << log;
  const std::size_t returned = Where(log, function + " returns");
  ASSERT_NE(returned, std::string::npos) << log;
  for (const char* later : {"DevClose", "IFClose", "TLClose", "GCCloseLib"}) {
    const std::size_t at = log.find(std::string("\n") + later + "\n", returned);
    EXPECT_NE(at, std::string::npos) << later << " missing after the return:\n" << log;
  }
}

TEST(Blocking, AGrabEndsWithinItsTimeOutWhenTheProducerBlocks) {
  for (const char* function : {"EventGetData", "GCReadPort"}) {
    Fixture fixture;
    Lie((std::string("no_frames,block=") + function).c_str());
    {
      HFramegrabber camera;
      Open(camera);
      camera.SetFramegrabberParam("grab_timeout", "500");
      const auto start = Clock::now();
      const std::string m = Raises(err::kAcqLost, [&] { camera.GrabImage(); });
      EXPECT_LT(SecondsSince(start), 0.5 + 2.0) << m;  // a hang bound
      EXPECT_TRUE(Contains(m, function) && Contains(m, "fixture_stream.cti") &&
                  Contains(m, "did not return"))
          << m;
      // Given up: every later call is refused at once, and closing does not wait.
      Raises(err::kAcqLost, [&] { camera.GetFramegrabberParam("Width"); });
      Raises(err::kAcqLost, [&] { camera.GrabImage(); });
      const auto closing = Clock::now();
      camera.CloseFramegrabber();
      EXPECT_LT(SecondsSince(closing), 2.0);
    }
    ExpectClosedAfterTheBlockedCall(fixture, function);
  }
}

TEST(Blocking, StoppingDoesNotWaitForABlockedDSStopAcquisition) {
  Fixture fixture;
  Lie("block=DSStopAcquisition");
  {
    HFramegrabber camera;
    Open(camera);
    camera.GrabImage();
    const auto start = Clock::now();
    camera.CloseFramegrabber();
    EXPECT_LT(SecondsSince(start), 5.0 + 2.0);  // the fixed bound of a call, plus a margin
  }
  ExpectClosedAfterTheBlockedCall(fixture, "DSStopAcquisition");
  // Flushed and revoked only once the stop had returned, never while acquiring.
  const std::string log = fixture.Log();
  EXPECT_LT(Where(log, "DSStopAcquisition returns"), Where(log, "DSFlushQueue")) << log;
  EXPECT_FALSE(Contains(log, "DSRevokeBuffer during acquisition")) << log;
}

TEST(Blocking, OpeningDoesNotWaitForABlockedIFOpenDevice) {
  Fixture fixture;
  Lie("block=IFOpenDevice");
  {
    HFramegrabber camera;
    const auto start = Clock::now();
    const std::string m = Raises(err::kAcqOpen, [&] { Open(camera); });
    EXPECT_LT(SecondsSince(start), 5.0 + 2.0);
    EXPECT_TRUE(Contains(m, "IFOpenDevice did not return") && Contains(m, "fixture_stream.cti"))
        << m;
  }
  // The device the late call opens is closed again.
  ExpectClosedAfterTheBlockedCall(fixture, "IFOpenDevice");
  const std::string log = fixture.Log();
  EXPECT_LT(Where(log, "IFOpenDevice returns"), Where(log, "DevClose")) << log;
}

TEST(Blocking, ListingDoesNotWaitForABlockedIFUpdateDeviceList) {
  Fixture fixture;
  Lie("block=IFUpdateDeviceList");
  const auto start = Clock::now();
  const std::string report = Joined(Query("producers"));
  EXPECT_LT(SecondsSince(start), 2.0 + 2.0);  // its time-out and grace, plus a margin
  EXPECT_TRUE(Contains(report, "IFUpdateDeviceList") && Contains(report, "did not return"))
      << report;
  fixture.Release();
  WaitUntilUnloaded();
  EXPECT_FALSE(Contains(fixture.Log(), "while a blocked call runs")) << fixture.Log();
}

TEST(Blocking, AnEventWaitThatReturnsAtOnceIsNotRepeatedWithoutPause) {
  Fixture fixture;
  Lie("instant_timeout");
  HFramegrabber camera;
  Open(camera);
  camera.SetFramegrabberParam("grab_timeout", "1000");
  Raises(
      err::kAcqTimeout, [&] { camera.GrabImage(); }, "sent no frame");
  // Waits of 100 ms each for one second: about ten calls; spinning would make many thousands.
  const std::string log = fixture.Log();
  std::size_t calls = 0;
  for (std::size_t at = log.find("EventGetData answers at once"); at != std::string::npos;
       at = log.find("EventGetData answers at once", at + 1))
    ++calls;
  EXPECT_GE(calls, 1u);
  EXPECT_LE(calls, 100u) << "EventGetData called " << calls << " times in one grab";
}

// ---- Description files and queues -----------------------------------------------------------

#ifndef _WIN32
TEST(Lies, ADescriptionUrlNamingAFifoIsRefusedNotOpened) {
  const std::string fifo = (std::filesystem::temp_directory_path() /
                            ("vision_fixture_fifo_" + std::to_string(::getpid())))
                               .string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Lie(("url=file://" + fifo).c_str());
  HFramegrabber camera;
  const std::string m = Raises(err::kAcqOpen, [&] { Open(camera); });  // would wait for a writer
  EXPECT_TRUE(Contains(m, "FIFO") && Contains(m, fifo)) << m;
  std::filesystem::remove(fifo);
}
#endif

TEST(Lies, AFailingDSQueueBufferIsReportedWhenItHappens) {
  Lie("queue_fails");
  HFramegrabber camera;
  Open(camera);
  camera.SetFramegrabberParam("grab_timeout", "500");
  for (int i = 0; i < 2; ++i) {
    const std::string m = Raises(err::kAcqLost, [&] { camera.GrabImage(); });
    EXPECT_TRUE(Contains(m, "DSQueueBuffer failed with GC_ERR_IO") &&
                Contains(m, "fixture_stream.cti") && !Contains(m, "sent no frame"))
        << m;
  }
}

// ---- The order of closing -------------------------------------------------------------------

TEST(Closing, StopFlushRevokeThenCloseEveryModuleInOrder) {
  Fixture fixture;
  Lie("");
  {
    HFramegrabber camera;
    Open(camera);
    camera.GrabImage();
    camera.GrabImage();
    camera.CloseFramegrabber();
  }
  WaitUntilUnloaded();
  const std::string log = fixture.Log();
  EXPECT_FALSE(Contains(log, "during acquisition")) << log;
  const std::vector<const char*> order = {
      "AcquisitionStop", "DSStopAcquisition", "GCUnregisterEvent", "DSFlushQueue", "DSRevokeBuffer",
      "DSClose",         "DevClose",          "IFClose",           "TLClose",      "GCCloseLib"};
  std::size_t previous = 0;
  for (const char* step : order) {
    const std::size_t at = Where(log, step);
    ASSERT_NE(at, std::string::npos) << step << " missing:\n" << log;
    EXPECT_GE(at, previous) << step << " too early:\n" << log;
    previous = at;
  }
  // Every buffer revoked before the stream closes.
  EXPECT_LT(log.rfind("DSRevokeBuffer"), Where(log, "DSClose")) << log;
}

}  // namespace

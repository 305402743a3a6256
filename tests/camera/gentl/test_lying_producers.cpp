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
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace

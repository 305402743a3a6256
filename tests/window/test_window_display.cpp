// HWindow on a real X server: a private Xvfb started for this test program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "detail/iconic.h"
#include "platform/environment.h"
#include "raises.h"
#include "vision/HErrorCodes.h"
#include "vision/HException.h"
#include "vision/HSystem.h"
#include "vision/HWindow.h"
#include "window/window.h"
#include "xtest.h"

using namespace vision;
using visiontest::Raises;
using namespace std::chrono_literals;

namespace {

xtest::Xvfb* g_server = nullptr;

class XvfbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_server = new xtest::Xvfb();
    setenv("DISPLAY", g_server->name().c_str(), 1);
  }
  void TearDown() override {
    delete g_server;
    g_server = nullptr;
  }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

HObject Pattern(int w, int h, int channels) {
  auto image = detail::AllocateImage(detail::PixelType::Byte, w, h, channels, "test");
  for (int c = 0; c < channels; ++c) {
    std::uint8_t* p = detail::MutablePlane(image, c);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) p[y * w + x] = std::uint8_t((x + 3 * y + 70 * c) & 0xff);
  }
  return detail::MakeObject(std::move(image));
}

std::uint32_t Expected(int x, int y, int channels) {
  auto v = [&](int c) { return std::uint32_t((x + 3 * y + 70 * c) & 0xff); };
  if (channels == 1) return v(0) * 0x010101u;
  return (v(0) << 16) | (v(1) << 8) | v(2);
}

// Runs every case with and without the library's window thread.
class WindowTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    SetSystem("use_window_thread", GetParam() ? "true" : "false");
    SetWindowAttr("background_color", "black");
    SetWindowAttr("shared_memory", "true");
  }
  xtest::Client client_{g_server->name()};
};

TEST_P(WindowTest, OpensExactSizeWithTitleFixedSizeAndBackground) {
  SetWindowAttr("background_color", "#204060");
  const std::string title = "size test (640x480)  (Click into window to quit ...)";
  SetWindowAttr("window_title", title);
  HWindow window(10, 20, 640, 480);
  auto id = client_.WaitForTitle("size test");
  ASSERT_TRUE(id);
  EXPECT_EQ(client_.Name(*id), title);
  EXPECT_EQ(client_.Utf8Name(*id), title);
  const XWindowAttributes a = client_.Attributes(*id);
  EXPECT_EQ(a.width, 640);
  EXPECT_EQ(a.height, 480);
  EXPECT_EQ(a.x, 20);
  EXPECT_EQ(a.y, 10);
  EXPECT_EQ(a.map_state, IsViewable);
  XSizeHints hints{};
  long supplied = 0;
  ASSERT_TRUE(XGetWMNormalHints(client_.dpy(), *id, &hints, &supplied));
  EXPECT_TRUE(hints.flags & PMinSize);
  EXPECT_TRUE(hints.flags & PMaxSize);
  EXPECT_EQ(hints.min_width, 640);
  EXPECT_EQ(hints.max_width, 640);
  EXPECT_EQ(hints.min_height, 480);
  EXPECT_EQ(hints.max_height, 480);
  const auto pixels = client_.Pixels(*id);
  ASSERT_EQ(pixels.size(), 640u * 480u);
  EXPECT_EQ(pixels[0], 0x204060u);
  EXPECT_EQ(pixels.back(), 0x204060u);
}

TEST_P(WindowTest, DispImageShowsGreyAndColourPixelsExactlyWithAndWithoutSharedMemory) {
  for (const char* shm : {"true", "false"}) {
    SetWindowAttr("shared_memory", shm);
    SetWindowAttr("window_title", std::string("pixels ") + shm);
    HWindow window(0, 0, 300, 200);
    auto id = client_.WaitForTitle(std::string("pixels ") + shm);
    ASSERT_TRUE(id);
    // The local server takes shared memory; the fallback is used only when asked for here.
    EXPECT_EQ(detail::WindowAccess::Impl(window)->Backend().UsesSharedMemory(),
              std::string(shm) == "true");
    for (int channels : {1, 3}) {
      window.DispImage(Pattern(300, 200, channels));
      const auto pixels = client_.Pixels(*id);
      ASSERT_EQ(pixels.size(), 300u * 200u);
      int wrong = 0;
      for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x) wrong += pixels[y * 300 + x] != Expected(x, y, channels);
      EXPECT_EQ(wrong, 0) << "shared memory " << shm << ", channels " << channels;
    }
    // An image that cannot be shown raises and leaves the window as it was.
    Raises(err::kImageType, [&] { window.DispImage(HImage("uint2", 300, 200)); });
    EXPECT_EQ(client_.Pixels(*id)[199 * 300 + 299], Expected(299, 199, 3));
    // An image of another size fills the window: 150 x 100 doubled.
    HImage small = Pattern(150, 100, 3);
    small.DispImage(window);
    const auto pixels = client_.Pixels(*id);
    EXPECT_EQ(pixels[(2 * 40 + 1) * 300 + 2 * 70 + 1], Expected(70, 40, 3));
    EXPECT_EQ(pixels[199 * 300 + 299], Expected(149, 99, 3));
  }
}

TEST_P(WindowTest, QuickClickIsLatchedUntilReadOnce) {
  SetWindowAttr("window_title", "click test");
  HWindow window(0, 0, 320, 240);
  auto id = client_.WaitForTitle("click test");
  ASSERT_TRUE(id);
  window.DispImage(Pattern(320, 240, 1));
  // Press and release before the library looks: the press must not be lost.
  ASSERT_EQ(xtest::Xdotool(g_server->name(),
                           "mousemove --window " + std::to_string(*id) + " 30 40 click 1"),
            0);
  XSync(client_.dpy(), False);
  Hlong row = -1, column = -1, button = 0;
  // The event may still be on its way; it is never dropped, so polling ends with it.
  EXPECT_TRUE(xtest::WaitFor([&] {
    window.GetMposition(&row, &column, &button);
    return button != 0;
  }));
  EXPECT_EQ(button, 1);
  EXPECT_EQ(row, 40);
  EXPECT_EQ(column, 30);
  window.GetMposition(&row, &column, &button);
  EXPECT_EQ(button, 0) << "a press is reported once";
  EXPECT_EQ(row, 40);

  // The right button reads as 4, and outputs passed as null are skipped.
  ASSERT_EQ(xtest::Xdotool(g_server->name(),
                           "mousemove --window " + std::to_string(*id) + " 100 50 click 3"),
            0);
  EXPECT_TRUE(xtest::WaitFor([&] {
    window.GetMposition(nullptr, nullptr, &button);
    return button != 0;
  }));
  EXPECT_EQ(button, 4);
}

TEST_P(WindowTest, ClickThenLeavingTheWindowStillReportsTheClickWhereItHappened) {
  SetWindowAttr("window_title", "click and leave");
  HWindow window(0, 0, 200, 100);
  auto id = client_.WaitForTitle("click and leave");
  ASSERT_TRUE(id);
  ASSERT_EQ(xtest::Xdotool(g_server->name(), "mousemove --window " + std::to_string(*id) +
                                                 " 15 25 click 2 mousemove 1500 1200"),
            0);
  XSync(client_.dpy(), False);
  Hlong row = 0, column = 0, button = 0;
  EXPECT_TRUE(xtest::WaitFor([&] {
    try {
      window.GetMposition(&row, &column, &button);
    } catch (const HException&) {
      return false;  // the press has not arrived yet; the pointer is outside already
    }
    return true;
  }));
  EXPECT_EQ(button, 2);
  EXPECT_EQ(row, 25);
  EXPECT_EQ(column, 15);
  Raises(err::kPointerOutside, [&] { window.GetMposition(&row, &column, &button); });
}

TEST_P(WindowTest, PointerOutsideRaisesAndLeavesOutputsAlone) {
  SetWindowAttr("window_title", "outside test");
  HWindow window(0, 0, 200, 100);
  auto id = client_.WaitForTitle("outside test");
  ASSERT_TRUE(id);
  ASSERT_EQ(xtest::Xdotool(g_server->name(), "mousemove 1000 900"), 0);
  Hlong button = 77;
  Raises(
      err::kPointerOutside, [&] { window.GetMposition(nullptr, nullptr, &button); },
      "outside the window");
  EXPECT_EQ(button, 77);
  ASSERT_EQ(xtest::Xdotool(g_server->name(), "mousemove 50 20"), 0);
  Hlong row = 0, column = 0;
  window.GetMposition(&row, &column, &button);
  EXPECT_EQ(row, 20);
  EXPECT_EQ(column, 50);
  EXPECT_EQ(button, 0);
}

TEST_P(WindowTest, WindowClosedByWindowManagerOrDestroyedRaisesLater) {
  SetWindowAttr("window_title", "close test");
  HWindow window(0, 0, 160, 120);
  auto id = client_.WaitForTitle("close test");
  ASSERT_TRUE(id);
  client_.SendDeleteWindow(*id);
  EXPECT_TRUE(xtest::WaitFor(
      [&] { return client_.FindByTitle("close test").empty() || !window.IsOpen(); }));
  Raises(
      err::kWindowClosed, [&] { window.DispImage(Pattern(160, 120, 1)); }, "closed");
  EXPECT_TRUE(xtest::WaitFor([&] { return client_.FindByTitle("close test").empty(); }))
      << "the window should be gone from the screen";

  SetWindowAttr("window_title", "destroy test");
  HWindow other(0, 0, 160, 120);
  id = client_.WaitForTitle("destroy test");
  ASSERT_TRUE(id);
  XDestroyWindow(client_.dpy(), *id);
  XSync(client_.dpy(), False);
  Hlong button = 0;
  Raises(err::kWindowClosed, [&] {
    other.DispImage(Pattern(160, 120, 3));
    other.GetMposition(nullptr, nullptr, &button);
  });
}

TEST_P(WindowTest, KilledConnectionRaisesInsteadOfEndingTheProcess) {
  SetWindowAttr("window_title", "kill test");
  HWindow window(0, 0, 160, 120);
  auto id = client_.WaitForTitle("kill test");
  ASSERT_TRUE(id);
  XKillClient(client_.dpy(), *id);
  XSync(client_.dpy(), False);
  Raises(err::kWindowClosed, [&] {
    for (int i = 0; i < 3; ++i) window.DispImage(Pattern(160, 120, 1));
  });
  EXPECT_FALSE(window.IsOpen());
}

TEST_P(WindowTest, RepaintsAfterBeingCovered) {
  SetWindowAttr("window_title", "repaint test");
  HWindow window(0, 0, 200, 150);
  auto id = client_.WaitForTitle("repaint test");
  ASSERT_TRUE(id);
  window.DispImage(Pattern(200, 150, 3));
  // Another client's window covers ours, then goes away.
  Window cover = XCreateSimpleWindow(client_.dpy(), DefaultRootWindow(client_.dpy()), 0, 0, 300,
                                     300, 0, 0, 0xff00ff);
  XMapRaised(client_.dpy(), cover);
  XSync(client_.dpy(), False);
  std::this_thread::sleep_for(100ms);
  XDestroyWindow(client_.dpy(), cover);
  XSync(client_.dpy(), False);
  if (!GetParam()) {
    // Without the window thread events are handled when the library is called.
    EXPECT_TRUE(window.IsOpen());
  }
  int wrong = 0;
  EXPECT_TRUE(xtest::WaitFor(
      [&] {
        const auto pixels = client_.Pixels(*id);
        wrong = 0;
        for (int y = 0; y < 150; ++y)
          for (int x = 0; x < 200; ++x) wrong += pixels[y * 200 + x] != Expected(x, y, 3);
        return wrong == 0;
      },
      3s))
      << wrong << " pixels wrong after the cover went away";
}

INSTANTIATE_TEST_SUITE_P(Thread, WindowTest, ::testing::Values(false, true), [](const auto& info) {
  return info.param ? "WindowThread" : "CallerThread";
});

// Sets DISPLAY for one scope and puts the previous value back, even when the test fails.
class DisplayOverride {
 public:
  explicit DisplayOverride(const char* value) : saved_(vision::platform::Environment("DISPLAY")) {
    if (value) {
      setenv("DISPLAY", value, 1);
    } else {
      unsetenv("DISPLAY");
    }
  }
  ~DisplayOverride() {
    if (saved_)
      setenv("DISPLAY", saved_->c_str(), 1);
    else
      unsetenv("DISPLAY");
  }

 private:
  std::optional<std::string> saved_;
};

TEST(WindowRemoteDisplay, DisplayOverTcpFallsBackToPutImage) {
  // A display reached over TCP may be another machine: shared memory is not tried there.
  // (A numeric address: a minimal system may have no /etc/hosts to resolve "localhost".)
  xtest::Xvfb tcp_server("800x600x24", true);
  const DisplayOverride remote(("127.0.0.1" + tcp_server.name()).c_str());
  SetWindowAttr("shared_memory", "true");
  SetWindowAttr("window_title", "tcp window");
  HWindow window(0, 0, 120, 80);
  EXPECT_FALSE(detail::WindowAccess::Impl(window)->Backend().UsesSharedMemory());
  window.DispImage(Pattern(120, 80, 3));
  xtest::Client client(tcp_server.name());
  auto id = client.WaitForTitle("tcp window");
  ASSERT_TRUE(id);
  const auto pixels = client.Pixels(*id);
  ASSERT_EQ(pixels.size(), 120u * 80u);
  EXPECT_EQ(pixels[79 * 120 + 119], Expected(119, 79, 3));
  EXPECT_EQ(pixels[0], Expected(0, 0, 3));
}

TEST(WindowNoDisplay, MissingOrUnreachableDisplayRaisesNoDisplay) {
  {
    const DisplayOverride none(nullptr);
    Raises(
        err::kNoDisplay, [] { HWindow w(0, 0, 64, 64); }, "DISPLAY");
  }
  {
    const DisplayOverride unreachable(":4999");
    Raises(
        err::kNoDisplay, [] { HWindow w(0, 0, 64, 64); }, ":4999");
  }
  HWindow ok(0, 0, 64, 64);
  EXPECT_TRUE(ok.IsOpen());
}

}  // namespace

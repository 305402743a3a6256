// Display throughput: frames per second of DispImage for camera-sized images, grey and colour,
// with and without shared memory; then the live-view loop (grab, show, read the pointer, as
// camwatch runs it) against the simulated camera running free.
//
// Runs on the display in DISPLAY; without one it starts a private Xvfb.
//   window_bench [seconds per case, default 2]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "detail/iconic.h"
#include "vision/vision.h"
#include "xtest.h"

using namespace vision;
using Clock = std::chrono::steady_clock;

namespace {

HObject Frame(int w, int h, int channels, int phase) {
  auto image = detail::AllocateImage(detail::PixelType::Byte, w, h, channels, "bench");
  for (int c = 0; c < channels; ++c) {
    std::uint8_t* p = detail::MutablePlane(image, c);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) p[std::size_t(y) * w + x] = std::uint8_t(x + y + phase + 50 * c);
  }
  return detail::MakeObject(std::move(image));
}

double DispImageFps(int w, int h, int channels, bool shm, double seconds) {
  SetWindowAttr("shared_memory", shm ? "true" : "false");
  SetWindowAttr("window_title", "window_bench");
  HWindow window(0, 0, w, h);
  const HObject frames[2] = {Frame(w, h, channels, 0), Frame(w, h, channels, 128)};
  window.DispImage(frames[1]);  // warm-up
  int n = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    window.DispImage(frames[n & 1]);
    ++n;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  return n / elapsed;
}

// camwatch's loop: GrabImageAsync, DispImage, GetMposition (pointer outside: no click).
double LiveViewFps(int w, int h, const char* fps, double seconds, double* camera_fps) {
  const std::string options =
      "1,width=" + std::to_string(w) + ",height=" + std::to_string(h) + ",fps=" + fps;
  setenv("VISION_FAKE_CAMERA", options.c_str(), 1);
  HFramegrabber camera;
  camera.OpenFramegrabber("GenICamTL", 0, 0, 0, 0, 0, 0, "default", 8, "default", -1.0, "false",
                          "default", "default", -1, -1);
  camera.SetFramegrabberParam("TriggerMode", "Off");
  SetWindowAttr("shared_memory", "true");
  SetWindowAttr("window_title", "window_bench live");
  HWindow window(0, 0, w, h);
  HImage image = camera.GrabImageAsync(-1.0);
  int n = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    image = camera.GrabImageAsync(-1.0);
    window.DispImage(image);
    Hlong button = 0;
    try {
      window.GetMposition(nullptr, nullptr, &button);
    } catch (const HException&) {
    }
    ++n;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  camera.CloseFramegrabber();
  *camera_fps = std::atof(fps);
  return n / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  std::unique_ptr<xtest::Xvfb> server;
  if (std::getenv("DISPLAY") == nullptr) {
    server = std::make_unique<xtest::Xvfb>();
    setenv("DISPLAY", server->name().c_str(), 1);
    std::printf("display: private Xvfb %s\n", server->name().c_str());
  } else {
    std::printf("display: %s\n", std::getenv("DISPLAY"));
  }
  try {
    SetSystem("use_window_thread", "true");
    std::printf("\nDispImage, frames per second (image the size of the window)\n");
    std::printf("%-10s %-7s %14s %14s\n", "size", "pixels", "shared memory", "XPutImage");
    const int sizes[2][2] = {{640, 480}, {1920, 1200}};
    for (const auto& s : sizes) {
      for (int channels : {1, 3}) {
        const double with_shm = DispImageFps(s[0], s[1], channels, true, seconds);
        const double without = DispImageFps(s[0], s[1], channels, false, seconds);
        std::printf("%4dx%-5d %-7s %14.1f %14.1f\n", s[0], s[1], channels == 1 ? "grey" : "colour",
                    with_shm, without);
      }
    }
    std::printf("\nLive-view loop (grab, DispImage, GetMposition) on the simulated camera\n");
    std::printf("%-10s %12s %14s\n", "size", "camera fps", "displayed fps");
    for (const auto& s : sizes) {
      for (const char* fps : {"30", "1000"}) {
        double camera_fps = 0;
        const double shown = LiveViewFps(s[0], s[1], fps, seconds, &camera_fps);
        std::printf("%4dx%-5d %12.0f %14.1f\n", s[0], s[1], camera_fps, shown);
      }
    }
  } catch (const HException& e) {
    std::fprintf(stderr, "window_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}

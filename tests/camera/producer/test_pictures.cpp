// The simulated camera shows the bundled board scene: its first frame at the default size is
// the sample image smd_capacitors_01 (up to the drift of one frame and the sensor noise), and
// later frames move. With SIMCAM_SNAPSHOT_DIR set, the frames are written there as PNG files to
// look at.
#include <cmath>
#include <cstdlib>
#include <string>

#include <vision/vision.h>

#include "platform/environment.h"
#include "simcam_fixture.h"

namespace simtest {
namespace {

struct Grabbed {
  std::vector<std::uint8_t> pixels;
  int width = 0, height = 0;
};

// Frames `ids` (1-based, ascending) of a fresh camera in `format`.
std::vector<Grabbed> Grab(const char* options, std::uint32_t format,
                          const std::vector<std::uint64_t>& ids) {
  Session s(options);
  Cam cam(s);
  cam.Set(reg::kPixelFormat, format);
  cam.Set(reg::kTriggerMode, 1);
  cam.AnnounceAndQueue(2);
  cam.Start();
  std::vector<Grabbed> out;
  for (std::uint64_t id = 1; id <= ids.back(); ++id) {
    cam.Set(reg::kTriggerSoftware, 1);
    BUFFER_HANDLE b = cam.Next(20000);
    if (!b) {
      ADD_FAILURE() << "no frame " << id;
      break;
    }
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) {
      Grabbed g;
      g.pixels = cam.Pixels(b);
      g.width = int(cam.BufferInfo<size_t>(b, BUFFER_INFO_WIDTH));
      g.height = int(cam.BufferInfo<size_t>(b, BUFFER_INFO_HEIGHT));
      out.push_back(g);
    }
    cam.Queue(b);
  }
  return out;
}

void Snapshot(const Grabbed& g, int channels, const std::string& name) {
  const std::string dir = vision::platform::Environment("SIMCAM_SNAPSHOT_DIR").value_or("");
  if (dir.empty()) return;
  vision::HObject image;
  if (channels == 1) {
    vision::GenImage1(&image, "byte", g.width, g.height, g.pixels.data());
  } else {
    std::vector<std::uint8_t> planes[3];
    for (int c = 0; c < 3; ++c)
      for (std::size_t i = 0; i < g.pixels.size() / 3; ++i)
        planes[c].push_back(g.pixels[3 * i + c]);
    vision::GenImage3(&image, "byte", g.width, g.height, planes[0].data(), planes[1].data(),
                      planes[2].data());
  }
  vision::WriteImage(image, "png", 0, (std::string(dir) + "/" + name).c_str());
}

double MeanAbsDifference(const std::vector<std::uint8_t>& a, const std::uint8_t* b, std::size_t n) {
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / double(n);
}

TEST(Pictures, TheBoardSceneOfTheFirstSampleImageDriftingSlowly) {
  const auto frames = Grab("1", pf::kMono8, {1, 150, 300});
  ASSERT_EQ(frames.size(), 3u);
  ASSERT_EQ(frames[0].width, 640);
  vision::HObject sample;
  vision::ReadImage(&sample, std::string(SMD_IMAGE_DIR) + "/smd_capacitors_01.png");
  vision::HTuple type;
  vision::Hlong w = 0, h = 0;
  const auto* pixels =
      static_cast<const std::uint8_t*>(vision::GetImagePointer1(sample, &type, &w, &h));
  ASSERT_EQ(w, 640);
  ASSERT_EQ(h, 480);
  const double first = MeanAbsDifference(frames[0].pixels, pixels, 640 * 480);
  const double later = MeanAbsDifference(frames[2].pixels, pixels, 640 * 480);
  EXPECT_LT(first, 4.0) << "frame 1 is the sample image, up to noise and a tenth of a pixel";
  EXPECT_GT(later, 2 * first) << "frame 300 has moved away from it";
  Snapshot(frames[0], 1, "simcam_mono8_frame1");
  Snapshot(frames[1], 1, "simcam_mono8_frame150");
  Snapshot(frames[2], 1, "simcam_mono8_frame300");
  const auto colour = Grab("width=320,height=240", pf::kRGB8, {40});
  ASSERT_EQ(colour.size(), 1u);
  Snapshot(colour[0], 3, "simcam_rgb8_320x240_frame40");
}

}  // namespace
}  // namespace simtest

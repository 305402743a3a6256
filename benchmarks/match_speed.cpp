// Prints search times of the anisotropic shape matcher: model creation, rendered capacitor
// scenes from 640 x 480 to 2592 x 1944 (same density of parts), and the bundled SMD images.
// Usage: match_speed [repeats] [thread_num] [largest scene width]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "match_util.h"
#include "vision/HException.h"
#include "vision/HImageFile.h"
#include "vision/HImageOps.h"
#include "vision/HSystem.h"

namespace {

double Now() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Stats {
  double median, mean, min;
};

Stats Summarise(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  double sum = 0;
  for (double v : t) sum += v;
  return {t[t.size() / 2], sum / double(t.size()), t.front()};
}

Stats TimeSearch(const vision::HObject& img, const vision::HTuple& model, int repeats,
                 std::size_t* found) {
  std::vector<double> times;
  for (int i = 0; i < repeats; ++i) {
    const double t0 = Now();
    const matchtest::Found f = matchtest::Find(img, model);
    times.push_back(Now() - t0);
    *found = f.Size();
  }
  return Summarise(times);
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 51;
  if (argc > 2) vision::SetSystem("thread_num", std::atoi(argv[2]));
  const int max_width = argc > 3 ? std::atoi(argv[3]) : 1 << 30;
  try {
    const vision::HObject templ = matchtest::ToObject(scene::Template());
    std::vector<double> create_times;
    vision::HTuple model;
    for (int i = 0; i < 11; ++i) {
      const double t0 = Now();
      model = matchtest::BenchModel(templ);
      create_times.push_back(Now() - t0);
    }
    const Stats cs = Summarise(create_times);
    std::printf("model creation: median %.3f ms\n", cs.median);

    std::printf("%-26s %6s %10s %10s %10s %12s\n", "image", "found", "median ms", "mean ms",
                "min ms", "ms/Mpixel");
    // Bundled images, when the library can find them.
    for (int i = 1; i <= 4; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "smd/smd_capacitors_%02d", i);
      vision::HObject img;
      try {
        vision::ReadImage(&img, name);
      } catch (const vision::HException& e) {
        std::printf("%-26s (not readable: %s)\n", name, e.ErrorMessage().TextA());
        continue;
      }
      vision::Hlong w = 0, h = 0;
      vision::HImage(img).GetImageSize(&w, &h);
      std::size_t found = 0;
      const Stats s = TimeSearch(img, model, repeats, &found);
      std::printf("%-26s %6zu %10.3f %10.3f %10.3f %12.3f\n", name, found, s.median, s.mean, s.min,
                  s.median / (double(w) * double(h) / 1e6));
    }
    // Rendered scenes: one capacitor per 213 x 240 cell, noise sigma 6, a few distractors.
    const int sizes[][2] = {{640, 480}, {1280, 960}, {1920, 1440}, {2592, 1944}};
    for (const auto& sz : sizes) {
      const int w = sz[0], h = sz[1];
      if (w > max_width) break;
      scene::Image img = scene::Blank(w, h, 60);
      const int rows = std::max(1, h / 240), cols = std::max(1, w / 213);
      for (const auto& s : matchtest::RandomShapes(w, h, rows, cols, 7)) scene::Paint(&img, s);
      scene::Rng rng(99);
      for (int d = 0; d < rows * cols / 2; ++d) {
        scene::PaintDisc(&img, rng.Uniform(0, h), rng.Uniform(0, w), rng.Uniform(8, 30),
                         rng.Uniform(8, 30), rng.Uniform(90, 200));
      }
      scene::AddNoise(&img, 6, 5);
      const vision::HObject obj = matchtest::ToObject(img);
      std::size_t found = 0;
      const Stats s = TimeSearch(obj, model, w > 640 ? std::max(3, repeats / 5) : repeats, &found);
      char label[64];
      std::snprintf(label, sizeof label, "scene %dx%d (%d parts)", w, h, rows * cols);
      std::printf("%-26s %6zu %10.3f %10.3f %10.3f %12.3f\n", label, found, s.median, s.mean, s.min,
                  s.median / (double(w) * double(h) / 1e6));
    }
  } catch (const vision::HException& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

// Prints search times of the anisotropic shape matcher: model creation, the bundled SMD images
// and rendered capacitor scenes from 640 x 480 to 2592 x 1944 (same density of parts), each with
// one and with two threads; then the first search of a fresh process against the median.
// Usage: match_speed [repeats] [thread_num] [largest scene width]
//   thread_num 0 (the default) measures one and two threads, any other value that many only.
// match_speed first <scene width> runs one fresh process's searches (used by the above).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  double median, mean, min, first;
};

Stats Summarise(std::vector<double> t) {
  const double first = t.front();
  std::sort(t.begin(), t.end());
  double sum = 0;
  for (double v : t) sum += v;
  return {t[t.size() / 2], sum / double(t.size()), t.front(), first};
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

struct Input {
  std::string name;
  vision::HObject image;
  int width, height;
  int repeats;
};

// A rendered board: one capacitor per 213 x 240 cell, noise sigma 6, a few distractors.
Input Scene(int w, int h, int repeats) {
  scene::Image img = scene::Blank(w, h, 60);
  const int rows = std::max(1, h / 240), cols = std::max(1, w / 213);
  for (const auto& s : matchtest::RandomShapes(w, h, rows, cols, 7)) scene::Paint(&img, s);
  scene::Rng rng(99);
  for (int d = 0; d < rows * cols / 2; ++d) {
    scene::PaintDisc(&img, rng.Uniform(0, h), rng.Uniform(0, w), rng.Uniform(8, 30),
                     rng.Uniform(8, 30), rng.Uniform(90, 200));
  }
  scene::AddNoise(&img, 6, 5);
  char label[64];
  std::snprintf(label, sizeof label, "scene %dx%d (%d parts)", w, h, rows * cols);
  return {label, matchtest::ToObject(img), w, h, w > 640 ? std::max(3, repeats / 5) : repeats};
}

std::vector<Input> Inputs(int repeats, int max_width) {
  std::vector<Input> inputs;
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
    inputs.push_back({name, img, int(w), int(h), repeats});
  }
  const int sizes[][2] = {{640, 480}, {1280, 960}, {1920, 1440}, {2592, 1944}};
  for (const auto& sz : sizes) {
    if (sz[0] > max_width) break;
    inputs.push_back(Scene(sz[0], sz[1], repeats));
  }
  return inputs;
}

// One fresh process: the first search of the process on a 640 x 480 bundled image (or a
// rendered scene of the given width), then the median of the next ones.
int FirstSearch(int width, int threads) {
  if (threads > 0) vision::SetSystem("thread_num", threads);
  const vision::HTuple model = matchtest::BenchModel(matchtest::ToObject(scene::Template()));
  Input in =
      width == 640 ? Input{"", vision::HObject(), 640, 480, 0} : Scene(width, width * 3 / 4, 0);
  if (width == 640) vision::ReadImage(&in.image, "smd/smd_capacitors_01");
  std::size_t found = 0;
  const Stats s = TimeSearch(in.image, model, 21, &found);
  std::printf("%d %.3f %.3f\n", width, s.first, s.median);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc > 3 && std::strcmp(argv[1], "first") == 0) {
      return FirstSearch(std::atoi(argv[2]), std::atoi(argv[3]));
    }
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 51;
    const int thread_arg = argc > 2 ? std::atoi(argv[2]) : 0;
    const int max_width = argc > 3 ? std::atoi(argv[3]) : 1 << 30;
    const std::vector<int> thread_counts =
        thread_arg > 0 ? std::vector<int>{thread_arg} : std::vector<int>{1, 2};

    const vision::HObject templ = matchtest::ToObject(scene::Template());
    std::vector<double> create_times;
    vision::HTuple model;
    for (int i = 0; i < 11; ++i) {
      const double t0 = Now();
      model = matchtest::BenchModel(templ);
      create_times.push_back(Now() - t0);
    }
    std::printf("model creation: median %.3f ms\n", Summarise(create_times).median);
    const std::vector<Input> inputs = Inputs(repeats, max_width);
    for (int threads : thread_counts) {
      vision::SetSystem("thread_num", threads);
      std::printf("\n%d thread%s\n%-26s %6s %10s %10s %10s %12s %10s\n", threads,
                  threads > 1 ? "s" : "", "image", "found", "median ms", "mean ms", "min ms",
                  "ms/Mpixel", "first ms");
      for (const Input& in : inputs) {
        std::size_t found = 0;
        const Stats s = TimeSearch(in.image, model, in.repeats, &found);
        std::printf("%-26s %6zu %10.3f %10.3f %10.3f %12.3f %10.3f\n", in.name.c_str(), found,
                    s.median, s.mean, s.min, s.median / (double(in.width) * in.height / 1e6),
                    s.first);
      }
    }
    // The first search of a process (threads started, buffers grown) against the median.
    std::printf("\nfirst search of a fresh process (ms: first, median of 21)\n");
    for (int threads : thread_counts) {
      for (int width : {640, 2592}) {
        if (width > max_width) continue;
        std::fflush(stdout);
        char cmd[4096];
        std::snprintf(cmd, sizeof cmd, "\"%s\" first %d %d", argv[0], width, threads);
        std::printf("%d thread%s, width ", threads, threads > 1 ? "s" : "");
        std::fflush(stdout);
        if (std::system(cmd) != 0) std::printf("(failed)\n");
      }
    }
  } catch (const vision::HException& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

// Helpers shared by the matching tests and the matching benchmark: scenes as library images, the
// benchmark's model, and pairing of found matches with the truth.
#pragma once

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "detail/iconic.h"
#include "scene.h"
#include "vision/HMatching.h"
#include "vision/HObject.h"
#include "vision/HTuple.h"

namespace matchtest {

inline vision::HObject ToObject(const scene::Image& img) {
  vision::detail::ImageData data = vision::detail::AllocateImage(vision::detail::PixelType::Byte,
                                                                 img.width, img.height, 1, "test");
  const std::vector<std::uint8_t> bytes = scene::ToBytes(img);
  std::memcpy(vision::detail::MutablePlane(data, 0), bytes.data(), bytes.size());
  return vision::detail::MakeObject(std::move(data));
}

inline vision::HTuple Rad(double deg) { return vision::HTuple(deg * std::numbers::pi / 180.0); }

// The benchmark's model: angles -10..10 degrees, row scale 0.9..1.7, column scale 0.9..1.1.
inline vision::HTuple BenchModel(const vision::HObject& templ,
                                 const vision::HTuple& metric = "use_polarity") {
  vision::HTuple model;
  vision::CreateAnisoShapeModel(templ, "auto", Rad(-10), Rad(20), "auto", 0.9, 1.7, "auto", 0.9,
                                1.1, "auto", "none", metric, "auto", 20, &model);
  return model;
}

struct Found {
  std::vector<double> row, col, angle, sr, sc, score;
  std::size_t Size() const { return score.size(); }
};

inline Found Find(const vision::HObject& image, const vision::HTuple& model,
                  const char* subpixel = "least_squares", double greediness = 0.8,
                  double min_score = 0.7) {
  vision::HTuple r, c, a, sr, sc, s;
  vision::FindAnisoShapeModel(image, model, -Rad(10).D(), Rad(20), 0.9, 1.7, 0.9, 1.1, min_score, 0,
                              0.5, subpixel, 0, greediness, &r, &c, &a, &sr, &sc, &s);
  Found f;
  for (vision::Hlong i = 0; i < s.Length(); ++i) {
    f.row.push_back(r[i].D());
    f.col.push_back(c[i].D());
    f.angle.push_back(a[i].D());
    f.sr.push_back(sr[i].D());
    f.sc.push_back(sc[i].D());
    f.score.push_back(s[i].D());
  }
  return f;
}

// Capacitor-like shapes at random poses within the benchmark's range, one per cell of a grid.
inline std::vector<scene::Shape> RandomShapes(int width, int height, int rows, int cols,
                                              std::uint64_t seed, double margin = 1.0) {
  scene::Rng rng(seed);
  std::vector<scene::Shape> out;
  const double ch = double(height) / rows, cw = double(width) / cols;
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      scene::Shape s;
      s.angle = rng.Uniform(-10, 10) * margin * std::numbers::pi / 180;
      s.sr = 1.3 + rng.Uniform(-0.4, 0.4) * margin;
      s.sc = 1.0 + rng.Uniform(-0.1, 0.1) * margin;
      s.row = ch * (i + 0.5) + rng.Uniform(-0.1, 0.1) * ch;
      s.col = cw * (j + 0.5) + rng.Uniform(-0.1, 0.1) * cw;
      s.grey = 170 + rng.Uniform(-20, 20);
      out.push_back(s);
    }
  }
  return out;
}

}  // namespace matchtest

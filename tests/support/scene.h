// Test-side renderer of rounded-rectangle scenes at exactly known poses, shared by the matching
// tests and benchmarks. Pixel centres lie at integer coordinates; a pixel covers +-0.5 around its
// centre and gets grey values in proportion to its coverage (8 x 8 samples).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace scene {

// The template of the matching benchmark: a 200 x 150 canvas with a rectangle from row 50 to
// 100 and column 50 to 150, corners rounded with radius 6. Its reference point is the canvas
// centre (74.5, 99.5).
inline constexpr double kRefRow = 74.5, kRefCol = 99.5;
inline constexpr int kTemplateWidth = 200, kTemplateHeight = 150;

struct Shape {
  double row = 0, col = 0;  // where the template's reference point lands
  double angle = 0, sr = 1, sc = 1;
  double grey = 128;                            // value inside
  double half_r = 25, half_c = 50, radius = 6;  // template-frame geometry around (75, 100)
};

// Whether the template-frame point (r, c) lies inside the shape's rounded rectangle.
inline bool Inside(const Shape& s, double r, double c) {
  const double ar = std::abs(r - 75.0), ac = std::abs(c - 100.0);
  if (ar > s.half_r || ac > s.half_c) return false;
  const double dr = std::max(ar - (s.half_r - s.radius), 0.0);
  const double dc = std::max(ac - (s.half_c - s.radius), 0.0);
  return dr * dr + dc * dc <= s.radius * s.radius;
}

// Maps an image point into the shape's template frame.
inline void ToTemplate(const Shape& s, double y, double x, double* r, double* c) {
  const double cs = std::cos(s.angle), sn = std::sin(s.angle);
  const double dy = y - s.row, dx = x - s.col;
  // Inverse of R(angle) diag(sr, sc): diag(1/sr, 1/sc) R(-angle).
  const double u = cs * dy + sn * dx, v = -sn * dy + cs * dx;
  *r = u / s.sr + kRefRow;
  *c = v / s.sc + kRefCol;
}

inline double Coverage(const Shape& s, int row, int col) {
  double r, c;
  int corners = 0;
  for (int i = 0; i < 4; ++i) {
    ToTemplate(s, row + ((i & 1) ? 0.5 : -0.5), col + ((i & 2) ? 0.5 : -0.5), &r, &c);
    corners += Inside(s, r, c);
  }
  if (corners == 0 || corners == 4) {
    // Features are much larger than a pixel: all corners alike means the pixel is uniform,
    // unless a rounded corner cuts through the pixel's middle (checked by the centre).
    ToTemplate(s, row, col, &r, &c);
    if (Inside(s, r, c) == (corners == 4)) return corners == 4 ? 1.0 : 0.0;
  }
  int in = 0;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 8; ++j) {
      ToTemplate(s, row - 0.5 + (i + 0.5) / 8, col - 0.5 + (j + 0.5) / 8, &r, &c);
      in += Inside(s, r, c);
    }
  }
  return in / 64.0;
}

struct Image {
  int width = 0, height = 0;
  std::vector<double> px;
};

inline Image Blank(int width, int height, double grey) {
  return Image{width, height, std::vector<double>(std::size_t(width) * height, grey)};
}

inline void Paint(Image* img, const Shape& s) {
  const double reach = 60 * std::max(s.sr, s.sc) * 1.5 + 2;
  const int r0 = std::max(0, int(s.row - reach)),
            r1 = std::min(img->height - 1, int(s.row + reach));
  const int c0 = std::max(0, int(s.col - reach)), c1 = std::min(img->width - 1, int(s.col + reach));
  for (int r = r0; r <= r1; ++r) {
    for (int c = c0; c <= c1; ++c) {
      const double a = Coverage(s, r, c);
      if (a > 0) {
        double& p = img->px[std::size_t(r) * img->width + c];
        p = (1 - a) * p + a * s.grey;
      }
    }
  }
}

// A filled ellipse or other distractor: painted through the same coverage rule.
inline void PaintDisc(Image* img, double row, double col, double rad_r, double rad_c, double grey) {
  for (int r = std::max(0, int(row - rad_r - 2));
       r <= std::min(img->height - 1, int(row + rad_r + 2)); ++r) {
    for (int c = std::max(0, int(col - rad_c - 2));
         c <= std::min(img->width - 1, int(col + rad_c + 2)); ++c) {
      int in = 0;
      for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
          const double y = (r - 0.5 + (i + 0.5) / 8 - row) / rad_r;
          const double x = (c - 0.5 + (j + 0.5) / 8 - col) / rad_c;
          in += y * y + x * x <= 1;
        }
      }
      if (in) {
        double& p = img->px[std::size_t(r) * img->width + c];
        p = (1 - in / 64.0) * p + in / 64.0 * grey;
      }
    }
  }
}

// Adds Gaussian noise from a fixed-seed generator.
inline void AddNoise(Image* img, double sigma, std::uint64_t seed) {
  std::uint64_t s = seed * 2862933555777941757ull + 3037000493ull;
  auto uniform = [&] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return (double((s >> 11) & ((1ull << 53) - 1)) + 0.5) / double(1ull << 53);
  };
  for (double& p : img->px) {
    const double u1 = uniform(), u2 = uniform();
    p += sigma * std::sqrt(-2 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
  }
}

inline std::vector<std::uint8_t> ToBytes(const Image& img) {
  std::vector<std::uint8_t> out(img.px.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(std::clamp(std::lround(img.px[i]), 0L, 255L));
  }
  return out;
}

inline Image Template() {
  Image img = Blank(kTemplateWidth, kTemplateHeight, 0);
  Shape s;
  s.row = kRefRow;
  s.col = kRefCol;
  Paint(&img, s);
  return img;
}

// Small deterministic generator for poses.
struct Rng {
  std::uint64_t s;
  explicit Rng(std::uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  double Uniform(double lo, double hi) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return lo + (hi - lo) * double(s >> 11) / double(1ull << 53);
  }
};

}  // namespace scene

// Rendering: primitives into a 4 x 4 supersampled canvas, box-downsampled to the output size,
// then uneven lighting, optical blur, sensor noise and quantisation.
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "detmath.h"
#include "smdgen.h"

namespace smdgen {
namespace {

constexpr int kSuper = 4;
constexpr int kCanvasWidth = kWidth * kSuper;
constexpr int kCanvasHeight = kHeight * kSuper;

// Image coordinate of canvas sample i (pixel centres at integers, samples evenly inside).
double SampleCoord(int i) { return (static_cast<double>(i) + 0.5) / kSuper - 0.5; }

// -1..1 triangle wave of period 1.
double Triangle(double x) { return 1.0 - 4.0 * std::fabs(x - std::floor(x) - 0.5); }

double BoardValue(const Scene& scene, double r, double c) {
  const std::uint64_t s = scene.texture_seed;
  double v = scene.board_level;
  v += 6.0 * ValueNoise(r, c, 70.0, s);
  v += 3.5 * ValueNoise(r, c, 17.0, s + 1);
  v += 2.5 * ValueNoise(r, c, 2.2, s + 2);
  // The glass weave of the laminate, faintly visible through the solder mask.
  v += 2.2 * Triangle((r + c) / 11.0) * Triangle((r - c) / 11.0);
  return v;
}

// Local coordinates of an image point for shading: model (u = column, v = row) for rounded
// rectangles, offsets from the centre for discs; t is the normalised distance from a capsule's
// axis or a disc's centre.
struct Local {
  double u = 0, v = 0, t = 0;
};

double Shade(const Scene& scene, const Shape& s, double r, double c, const Local& l) {
  const std::uint64_t ts = scene.texture_seed;
  switch (s.shader) {
    case Shader::Flat:
      return s.a + s.b * ValueNoise(r, c, 1.3, ts + 10);
    case Shader::Board:
      return BoardValue(scene, r, c) + s.a;
    case Shader::Capacitor: {
      const double hw = s.half_cols;
      const double vv = l.v / s.half_rows;
      const double au = std::fabs(l.u);
      if (au > hw - s.c) {
        // Tinned end cap: bright, rounded across, a little grain.
        return s.b * (1.0 - 0.10 * vv * vv) + 4.0 * ValueNoise(r, c, 1.6, ts + 11);
      }
      if (au > hw - s.c - 1.5) return s.a * 0.84;  // the seam between cap and ceramic
      return s.a * (1.0 + 0.04 * l.u / hw - 0.06 * vv * vv) + 3.0 * ValueNoise(r, c, 2.0, ts + 12);
    }
    case Shader::DarkBody:
      return (l.u < -s.half_cols + s.c ? s.b : s.a) + 2.0 * ValueNoise(r, c, 2.5, ts + 13);
    case Shader::Label: {
      const bool in_code =
          std::fabs(l.v) < 0.55 * s.half_rows && std::fabs(l.u) < 0.8 * s.half_cols;
      if (in_code) {
        const auto bar = static_cast<std::int64_t>(std::floor((l.u + s.half_cols) / 1.7));
        if ((Hash3(bar, 0, static_cast<std::uint64_t>(s.c)) & 3) < 2) return s.b;
      }
      return s.a + 3.0 * ValueNoise(r, c, 3.0, ts + 14);
    }
    case Shader::Wire: {
      const double hl = l.t < 0.35 ? 1.0 - (l.t / 0.35) * (l.t / 0.35) : 0.0;
      if (l.t > 0.8) return 0.3 * s.a;  // the shaded flank of the insulation
      return s.a * (1.0 - 0.25 * l.t * l.t) + s.b * hl;
    }
    case Shader::Can: {
      const double rad = s.radius;
      if (l.t < 0.55 && (std::fabs(l.u) < 1.3 || std::fabs(l.v) < 1.3)) return s.c;
      if (l.v > 0.58 * rad) return s.b;
      return s.a * (1.0 - 0.18 * l.t * l.t) + 3.0 * ValueNoise(r, c, 2.0, ts + 15);
    }
  }
  return s.a;
}

void PaintRoundRect(const Scene& scene, const Shape& s, std::vector<float>& canvas) {
  const Pose& p = s.pose;
  const double ca = Cos(p.angle);
  const double sa = Sin(p.angle);
  const double hr = s.half_rows * p.row_scale;
  const double hc = s.half_cols * p.col_scale;
  const double ext_r = hr * std::fabs(ca) + hc * std::fabs(sa) + 1.0;
  const double ext_c = hr * std::fabs(sa) + hc * std::fabs(ca) + 1.0;
  const int i0 = std::max(0, static_cast<int>(std::floor((p.row - ext_r + 0.5) * kSuper)));
  const int i1 =
      std::min(kCanvasHeight - 1, static_cast<int>(std::ceil((p.row + ext_r + 0.5) * kSuper)));
  const int j0 = std::max(0, static_cast<int>(std::floor((p.col - ext_c + 0.5) * kSuper)));
  const int j1 =
      std::min(kCanvasWidth - 1, static_cast<int>(std::ceil((p.col + ext_c + 0.5) * kSuper)));
  const double rad = s.radius;
  const double inner_r = s.half_rows - rad;
  const double inner_c = s.half_cols - rad;
  for (int i = i0; i <= i1; ++i) {
    const double r = SampleCoord(i);
    const double dr = r - p.row;
    for (int j = j0; j <= j1; ++j) {
      const double c = SampleCoord(j);
      const double dc = c - p.col;
      // Inverse pose: p = S^-1 R^T (x - centre).
      const double mv = (ca * dr + sa * dc) / p.row_scale;
      const double mu = (-sa * dr + ca * dc) / p.col_scale;
      const double qr = std::fabs(mv) - inner_r;
      const double qc = std::fabs(mu) - inner_c;
      bool inside;
      if (qr > 0.0 && qc > 0.0) {
        inside = qr * qr + qc * qc <= rad * rad;
      } else {
        inside = qr <= rad && qc <= rad;
      }
      if (!inside) continue;
      Local l;
      l.u = mu;
      l.v = mv;
      canvas[std::size_t(i) * kCanvasWidth + std::size_t(j)] =
          static_cast<float>(Shade(scene, s, r, c, l));
    }
  }
}

void PaintCapsule(const Scene& scene, const Shape& s, std::vector<float>& canvas) {
  const double rad = s.radius;
  const int i0 = std::max(
      0, static_cast<int>(std::floor((std::min(s.row0, s.row1) - rad - 1.0 + 0.5) * kSuper)));
  const int i1 =
      std::min(kCanvasHeight - 1,
               static_cast<int>(std::ceil((std::max(s.row0, s.row1) + rad + 1.0 + 0.5) * kSuper)));
  const int j0 = std::max(
      0, static_cast<int>(std::floor((std::min(s.col0, s.col1) - rad - 1.0 + 0.5) * kSuper)));
  const int j1 =
      std::min(kCanvasWidth - 1,
               static_cast<int>(std::ceil((std::max(s.col0, s.col1) + rad + 1.0 + 0.5) * kSuper)));
  const double er = s.row1 - s.row0;
  const double ec = s.col1 - s.col0;
  const double len2 = er * er + ec * ec;
  for (int i = i0; i <= i1; ++i) {
    const double r = SampleCoord(i);
    for (int j = j0; j <= j1; ++j) {
      const double c = SampleCoord(j);
      double t = 0.0;
      if (len2 > 0.0) t = std::clamp(((r - s.row0) * er + (c - s.col0) * ec) / len2, 0.0, 1.0);
      const double dr = r - (s.row0 + t * er);
      const double dc = c - (s.col0 + t * ec);
      const double d2 = dr * dr + dc * dc;
      if (d2 > rad * rad) continue;
      Local l;
      l.t = std::sqrt(d2) / rad;
      canvas[std::size_t(i) * kCanvasWidth + std::size_t(j)] =
          static_cast<float>(Shade(scene, s, r, c, l));
    }
  }
}

void PaintDisc(const Scene& scene, const Shape& s, std::vector<float>& canvas) {
  const double rad = s.radius;
  const int i0 = std::max(0, static_cast<int>(std::floor((s.row0 - rad - 1.0 + 0.5) * kSuper)));
  const int i1 =
      std::min(kCanvasHeight - 1, static_cast<int>(std::ceil((s.row0 + rad + 1.0 + 0.5) * kSuper)));
  const int j0 = std::max(0, static_cast<int>(std::floor((s.col0 - rad - 1.0 + 0.5) * kSuper)));
  const int j1 =
      std::min(kCanvasWidth - 1, static_cast<int>(std::ceil((s.col0 + rad + 1.0 + 0.5) * kSuper)));
  const double in2 = s.inner_radius * s.inner_radius;
  for (int i = i0; i <= i1; ++i) {
    const double r = SampleCoord(i);
    for (int j = j0; j <= j1; ++j) {
      const double c = SampleCoord(j);
      const double dr = r - s.row0;
      const double dc = c - s.col0;
      const double d2 = dr * dr + dc * dc;
      if (d2 > rad * rad || d2 < in2) continue;
      Local l;
      l.u = dc;
      l.v = dr;
      l.t = std::sqrt(d2) / rad;
      canvas[std::size_t(i) * kCanvasWidth + std::size_t(j)] =
          static_cast<float>(Shade(scene, s, r, c, l));
    }
  }
}

}  // namespace

std::vector<double> RenderClean(const Scene& scene) {
  std::vector<float> canvas(std::size_t(kCanvasWidth) * kCanvasHeight);
  for (int i = 0; i < kCanvasHeight; ++i) {
    const double r = SampleCoord(i);
    for (int j = 0; j < kCanvasWidth; ++j) {
      canvas[std::size_t(i) * kCanvasWidth + std::size_t(j)] =
          static_cast<float>(BoardValue(scene, r, SampleCoord(j)));
    }
  }
  for (const Shape& s : scene.shapes) {
    switch (s.geometry) {
      case Geometry::RoundRect:
        PaintRoundRect(scene, s, canvas);
        break;
      case Geometry::Capsule:
        PaintCapsule(scene, s, canvas);
        break;
      case Geometry::Disc:
        PaintDisc(scene, s, canvas);
        break;
    }
  }
  // Box filter over each pixel's 16 samples: the anti-aliasing.
  std::vector<double> out(std::size_t(kWidth) * kHeight);
  for (int r = 0; r < kHeight; ++r) {
    for (int c = 0; c < kWidth; ++c) {
      double sum = 0.0;
      for (int a = 0; a < kSuper; ++a) {
        const float* row =
            &canvas[std::size_t(r * kSuper + a) * kCanvasWidth + std::size_t(c * kSuper)];
        for (int b = 0; b < kSuper; ++b) sum += static_cast<double>(row[b]);
      }
      out[std::size_t(r) * kWidth + std::size_t(c)] = sum / (kSuper * kSuper);
    }
  }
  return out;
}

std::vector<std::uint8_t> Render(const Scene& scene) {
  const Optics& o = scene.optics;
  std::vector<double> img = RenderClean(scene);

  // Uneven lighting: a soft hot spot and a linear fall-off across the field.
  const double falloff = 1.0 / (420.0 * 420.0);
  for (int r = 0; r < kHeight; ++r) {
    for (int c = 0; c < kWidth; ++c) {
      const double dr = r - o.light_row;
      const double dc = c - o.light_col;
      double gain =
          1.0 - o.illumination * 0.9 * (dr * dr + dc * dc) * falloff +
          o.illumination * (o.tilt_row * (r - 240.0) / 480.0 + o.tilt_col * (c - 320.0) / 640.0);
      gain = std::max(gain, 0.4);
      double& v = img[std::size_t(r) * kWidth + std::size_t(c)];
      v = (o.offset + o.contrast * v) * gain;
    }
  }

  // Optical blur: separable Gaussian, edges clamped.
  const int radius = static_cast<int>(std::ceil(3.0 * o.blur_sigma));
  std::vector<double> kernel(std::size_t(2 * radius + 1));
  double ksum = 0.0;
  for (int k = -radius; k <= radius; ++k) {
    const double w = Exp(-(k * k) / (2.0 * o.blur_sigma * o.blur_sigma));
    kernel[std::size_t(k + radius)] = w;
    ksum += w;
  }
  for (double& w : kernel) w /= ksum;
  std::vector<double> tmp(img.size());
  for (int r = 0; r < kHeight; ++r) {
    for (int c = 0; c < kWidth; ++c) {
      double s = 0.0;
      for (int k = -radius; k <= radius; ++k) {
        const int cc = std::clamp(c + k, 0, kWidth - 1);
        s += kernel[std::size_t(k + radius)] * img[std::size_t(r) * kWidth + std::size_t(cc)];
      }
      tmp[std::size_t(r) * kWidth + std::size_t(c)] = s;
    }
  }
  for (int r = 0; r < kHeight; ++r) {
    for (int c = 0; c < kWidth; ++c) {
      double s = 0.0;
      for (int k = -radius; k <= radius; ++k) {
        const int rr = std::clamp(r + k, 0, kHeight - 1);
        s += kernel[std::size_t(k + radius)] * tmp[std::size_t(rr) * kWidth + std::size_t(c)];
      }
      img[std::size_t(r) * kWidth + std::size_t(c)] = s;
    }
  }

  // Sensor noise (read noise plus signal-dependent shot noise) and 8-bit quantisation.
  Rng rng(o.noise_seed);
  std::vector<std::uint8_t> out(img.size());
  for (std::size_t i = 0; i < img.size(); ++i) {
    const double v = img[i];
    const double sigma = std::sqrt(o.read_noise * o.read_noise + o.shot_noise * std::max(v, 0.0));
    const double n = v + sigma * rng.Normal();
    out[i] = static_cast<std::uint8_t>(std::clamp(std::floor(n + 0.5), 0.0, 255.0));
  }
  return out;
}

}  // namespace smdgen

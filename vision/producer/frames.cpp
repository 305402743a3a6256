#include "frames.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "scene_data.h"

namespace vision::simcam {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Resamples one line of n_in values to n_out values: the exact area average when shrinking,
// linear interpolation between sample centres when enlarging.
void ResampleLine(const float* in, int n_in, int stride_in, float* out, int n_out, int stride_out) {
  const double scale = double(n_in) / n_out;
  for (int i = 0; i < n_out; ++i) {
    double v = 0;
    if (scale > 1) {
      const double a = i * scale, b = (i + 1) * scale;
      int k = int(a);
      double acc = 0;
      for (double pos = a; pos < b - 1e-12 && k < n_in; ++k) {
        const double next = std::min(b, double(k + 1));
        acc += in[std::size_t(k) * std::size_t(stride_in)] * (next - pos);
        pos = next;
      }
      v = acc / scale;
    } else {
      const double c = std::clamp((i + 0.5) * scale - 0.5, 0.0, double(n_in - 1));
      const int k = std::min(int(c), n_in - 1);
      const int k1 = std::min(k + 1, n_in - 1);
      const double f = c - k;
      v = in[std::size_t(k) * std::size_t(stride_in)] * (1 - f) +
          in[std::size_t(k1) * std::size_t(stride_in)] * f;
    }
    out[std::size_t(i) * std::size_t(stride_out)] = float(v);
  }
}

std::shared_ptr<SceneTexture> MakeTexture(int width, int height) {
  auto t = std::make_shared<SceneTexture>();
  t->width = width;
  t->height = height;
  t->grey.resize(std::size_t(width) * std::size_t(height));
  if (kSceneWidth <= 0 || kSceneHeight <= 0) {
    // No scene was generated for this build: a plain diagonal pattern.
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        t->grey[std::size_t(y) * std::size_t(width) + std::size_t(x)] =
            std::uint8_t(((x / 16 + y / 16) % 2) * 128 + (x + y) % 64);
    return t;
  }
  const int sw = kSceneWidth, sh = kSceneHeight;
  std::vector<float> src(std::size_t(sw) * std::size_t(sh));
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = kSceneGrey[i];
  std::vector<float> rows(std::size_t(width) * std::size_t(sh));  // columns resampled
  for (int y = 0; y < sh; ++y)
    ResampleLine(&src[std::size_t(y) * std::size_t(sw)], sw, 1,
                 &rows[std::size_t(y) * std::size_t(width)], width, 1);
  std::vector<float> both(std::size_t(width) * std::size_t(height));
  for (int x = 0; x < width; ++x)
    ResampleLine(&rows[std::size_t(x)], sh, width, &both[std::size_t(x)], height, width);
  for (std::size_t i = 0; i < both.size(); ++i)
    t->grey[i] = std::uint8_t(std::clamp(std::lround(both[i]), 0L, 255L));
  return t;
}

// A mirrored index into 0..n-1 for coordinates a little outside the picture.
inline int Reflect(int i, int n) {
  if (i < 0) i = -i - 1;
  if (i >= n) i = 2 * n - 1 - i;
  return std::clamp(i, 0, n - 1);
}

std::uint32_t Hash(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return std::uint32_t(x);
}

}  // namespace

int BytesPerPixel(std::uint32_t pixel_format) {
  switch (pixel_format) {
    case pfnc::kMono8:
    case pfnc::kBayerRG8:
      return 1;
    case pfnc::kMono16:
      return 2;
    case pfnc::kRGB8:
    case pfnc::kBGR8:
      return 3;
    default:
      return 0;
  }
}

std::shared_ptr<const SceneTexture> SceneTexture::ForSensor(int width, int height) {
  static std::mutex mutex;
  static std::map<std::pair<int, int>, std::shared_ptr<const SceneTexture>> cache;
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = cache[{width, height}];
  if (!slot) slot = MakeTexture(width, height);
  return slot;
}

std::size_t RenderFrame(const SceneTexture& scene, const FrameSettings& s, std::uint64_t frame_id,
                        std::uint8_t* dst, std::size_t capacity) {
  const int w = s.width, h = s.height;
  const int bpp = BytesPerPixel(s.pixel_format);
  if (w <= 0 || h <= 0 || bpp == 0 || scene.width <= 0) return 0;

  // The pose of this frame: slow sines of the frame number (frame 0 would show the scene as it
  // is), different periods so the motion does not repeat soon.
  const double n = double(frame_id);
  const double angle = 1.5 * kPi / 180 * std::sin(2 * kPi * n / 900);
  const double tx = 0.02 * scene.width * std::sin(2 * kPi * n / 600);
  const double ty = 0.02 * scene.height * std::sin(2 * kPi * n / 750);
  const double cx = (scene.width - 1) / 2.0, cy = (scene.height - 1) / 2.0;
  const double ca = std::cos(angle), sa = std::sin(angle);
  // Sensor pixel (sx, sy) shows the scene at c + R(-angle) ((sx, sy) - c - t), in fixed point
  // with 16 fraction bits, computed from the sensor position alone (never accumulated along a
  // row): a region of interest shows exactly the pixels of the full frame there.
  const auto fixed = [](double v) { return std::int64_t(std::llround(v * 65536.0)); };
  const std::int64_t u_base = fixed(cx - ca * (cx + tx) - sa * (cy + ty));
  const std::int64_t v_base = fixed(cy + sa * (cx + tx) - ca * (cy + ty));
  const std::int64_t u_dx = fixed(ca), u_dy = fixed(sa), v_dx = fixed(-sa), v_dy = fixed(ca);

  // Gain and black level as one table.
  std::uint8_t lut[256];
  const double gain = std::pow(10.0, s.gain_db / 20.0);
  for (int v = 0; v < 256; ++v)
    lut[v] = std::uint8_t(std::clamp(std::lround(v * gain + s.black_level), 0L, 255L));

  // Sensor noise of -1 .. 2 grey values: a fixed random pattern indexed by the sensor pixel and
  // shifted with the frame number.
  static const std::vector<std::int8_t> noise = [] {
    std::vector<std::int8_t> t(65536);
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = std::int8_t(int((Hash(i) >> 30) & 3) - 1);
    return t;
  }();

  // The colour ramps of RGB8, BGR8 and BayerRG8 along the image's columns.
  std::vector<unsigned> ramp(static_cast<std::size_t>(w));
  for (int x = 0; x < w; ++x)
    ramp[std::size_t(x)] = 65u * 255u * unsigned(x) / unsigned(std::max(1, w - 1));

  const int sw = scene.width, sh = scene.height;
  std::vector<std::uint8_t> grey(static_cast<std::size_t>(w));
  std::vector<std::uint8_t> line(std::size_t(w) * std::size_t(bpp));
  const std::size_t line_bytes = line.size();
  std::size_t written = 0;
  for (int row = 0; row < h && written < capacity; ++row) {
    const int y = s.reverse_y ? h - 1 - row : row;  // row of the unmirrored image
    const std::int64_t sy = s.offset_y + y;
    const std::uint64_t noise_row =
        std::uint64_t(sy) * std::uint64_t(s.sensor_width) + frame_id * 40503u;
    // Integer steps along the row: exact, so the same as computing each pixel on its own.
    std::int64_t u = u_base + std::int64_t(s.offset_x) * u_dx + sy * u_dy;
    std::int64_t v = v_base + std::int64_t(s.offset_x) * v_dx + sy * v_dy;
    const std::uint64_t noise_start = noise_row + std::uint64_t(s.offset_x);
    for (int x = 0; x < w; ++x, u += u_dx, v += v_dx) {
      const int iu = int(u >> 16), iv = int(v >> 16);
      const unsigned a = unsigned(u >> 8) & 0xFF, b = unsigned(v >> 8) & 0xFF;
      unsigned p00, p01, p10, p11;
      if (iu >= 0 && iv >= 0 && iu < sw - 1 && iv < sh - 1) {
        const std::uint8_t* r0 = &scene.grey[std::size_t(iv) * std::size_t(sw) + std::size_t(iu)];
        p00 = r0[0];
        p01 = r0[1];
        p10 = r0[sw];
        p11 = r0[sw + 1];
      } else {  // at the picture's edge: mirrored
        const int u0 = Reflect(iu, sw), u1 = Reflect(iu + 1, sw);
        const int v0 = Reflect(iv, sh), v1 = Reflect(iv + 1, sh);
        const std::uint8_t* r0 = &scene.grey[std::size_t(v0) * std::size_t(sw)];
        const std::uint8_t* r1 = &scene.grey[std::size_t(v1) * std::size_t(sw)];
        p00 = r0[u0];
        p01 = r0[u1];
        p10 = r1[u0];
        p11 = r1[u1];
      }
      const unsigned top = p00 * (256 - a) + p01 * a, bottom = p10 * (256 - a) + p11 * a;
      const int val = int((top * (256 - b) + bottom * b + 32768) >> 16) +
                      noise[(noise_start + std::uint64_t(x)) & 0xFFFF];
      grey[std::size_t(x)] = lut[std::clamp(val, 0, 255)];
    }
    const unsigned blue_ramp = 65u * 255u * unsigned(y) / unsigned(std::max(1, h - 1));
    // column(xo): the column of the unmirrored image shown at output column xo.
    const auto column = [&](int xo) { return std::size_t(s.reverse_x ? w - 1 - xo : xo); };
    const auto red = [&](std::size_t x) {
      return std::uint8_t((35 * unsigned(grey[x]) + ramp[x]) / 100);
    };
    const auto blue = [&](std::size_t x) {
      return std::uint8_t((35 * unsigned(grey[x]) + blue_ramp) / 100);
    };
    std::uint8_t* p = line.data();
    switch (s.pixel_format) {
      case pfnc::kMono16:
        for (int xo = 0; xo < w; ++xo, p += 2) {
          const std::uint8_t g = grey[column(xo)];
          p[0] = std::uint8_t(g ^ 0xA5);
          p[1] = g;
        }
        break;
      case pfnc::kRGB8:
      case pfnc::kBGR8: {
        const int r = s.pixel_format == pfnc::kRGB8 ? 0 : 2;
        for (int xo = 0; xo < w; ++xo, p += 3) {
          const std::size_t x = column(xo);
          p[r] = red(x);
          p[1] = grey[x];
          p[2 - r] = blue(x);
        }
        break;
      }
      case pfnc::kBayerRG8:
        // The position in the delivered image decides the colour of the sample: R G / G B.
        for (int xo = 0; xo < w; ++xo, ++p) {
          const std::size_t x = column(xo);
          *p =
              (row % 2 == 0) ? (xo % 2 == 0 ? red(x) : grey[x]) : (xo % 2 == 0 ? grey[x] : blue(x));
        }
        break;
      default:
        for (int xo = 0; xo < w; ++xo) *p++ = grey[column(xo)];
    }
    const std::size_t n_copy = std::min(line_bytes, capacity - written);
    std::memcpy(dst + written, line.data(), n_copy);
    written += n_copy;
  }
  return written;
}

}  // namespace vision::simcam

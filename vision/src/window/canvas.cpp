// Drawing images and contours onto a window's canvas (0x00RRGGBB pixels), the same on every
// platform.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "detail/error.h"
#include "vision/HErrorCodes.h"
#include "window/canvas.h"

namespace vision::detail {

namespace {

// Source index for every destination index when n_src values are stretched over n_dst.
std::vector<int> NearestMap(int n_src, int n_dst) {
  std::vector<int> map(static_cast<std::size_t>(n_dst));
  for (int i = 0; i < n_dst; ++i) {
    const std::int64_t s = (std::int64_t(2 * i + 1) * n_src) / (2 * std::int64_t(n_dst));
    map[std::size_t(i)] = static_cast<int>(std::min<std::int64_t>(s, n_src - 1));
  }
  return map;
}

void RenderGreyImage(const ImageData& image, const Canvas& canvas) {
  const std::uint8_t* src = image.Plane<std::uint8_t>(0);
  const bool same = image.width == canvas.width && image.height == canvas.height;
  if (same) {
    for (int y = 0; y < canvas.height; ++y) {
      const std::uint8_t* s = src + std::size_t(y) * std::size_t(image.width);
      std::uint32_t* d = canvas.pixels + std::size_t(y) * std::size_t(canvas.stride);
      for (int x = 0; x < canvas.width; ++x) d[x] = std::uint32_t(s[x]) * 0x010101u;
    }
    return;
  }
  const std::vector<int> xs = NearestMap(image.width, canvas.width);
  const std::vector<int> ys = NearestMap(image.height, canvas.height);
  for (int y = 0; y < canvas.height; ++y) {
    const std::uint8_t* s = src + std::size_t(ys[std::size_t(y)]) * std::size_t(image.width);
    std::uint32_t* d = canvas.pixels + std::size_t(y) * std::size_t(canvas.stride);
    for (int x = 0; x < canvas.width; ++x) d[x] = std::uint32_t(s[xs[std::size_t(x)]]) * 0x010101u;
  }
}

void RenderRgbImage(const ImageData& image, const Canvas& canvas) {
  const std::uint8_t* r = image.Plane<std::uint8_t>(0);
  const std::uint8_t* g = image.Plane<std::uint8_t>(1);
  const std::uint8_t* b = image.Plane<std::uint8_t>(2);
  const bool same = image.width == canvas.width && image.height == canvas.height;
  if (same) {
    for (int y = 0; y < canvas.height; ++y) {
      const std::size_t o = std::size_t(y) * std::size_t(image.width);
      const std::uint8_t *sr = r + o, *sg = g + o, *sb = b + o;
      std::uint32_t* d = canvas.pixels + std::size_t(y) * std::size_t(canvas.stride);
      for (int x = 0; x < canvas.width; ++x) {
        d[x] = (std::uint32_t(sr[x]) << 16) | (std::uint32_t(sg[x]) << 8) | sb[x];
      }
    }
    return;
  }
  const std::vector<int> xs = NearestMap(image.width, canvas.width);
  const std::vector<int> ys = NearestMap(image.height, canvas.height);
  for (int y = 0; y < canvas.height; ++y) {
    const std::size_t o = std::size_t(ys[std::size_t(y)]) * std::size_t(image.width);
    const std::uint8_t *sr = r + o, *sg = g + o, *sb = b + o;
    std::uint32_t* d = canvas.pixels + std::size_t(y) * std::size_t(canvas.stride);
    for (int x = 0; x < canvas.width; ++x) {
      const int sx = xs[std::size_t(x)];
      d[x] = (std::uint32_t(sr[sx]) << 16) | (std::uint32_t(sg[sx]) << 8) | sb[sx];
    }
  }
}

void PutPixel(const Canvas& canvas, int x, int y, std::uint32_t rgb) {
  if (x < 0 || y < 0 || x >= canvas.width || y >= canvas.height) return;
  canvas.pixels[std::size_t(y) * std::size_t(canvas.stride) + std::size_t(x)] = rgb;
}

// Clips the segment (x0, y0)-(x1, y1) to the box [xmin, xmax] x [ymin, ymax], moving an end
// outside onto the side it lies beyond (Cohen-Sutherland); false when it misses the box. Works on
// halves, so far-apart finite coordinates cannot overflow, and a coordinate that does not change
// along the segment stays exact.
bool ClipToBox(double& x0, double& y0, double& x1, double& y1, double xmin, double xmax,
               double ymin, double ymax) {
  auto outside = [&](double x, double y) {
    return (x < xmin ? 1 : 0) | (x > xmax ? 2 : 0) | (y < ymin ? 4 : 0) | (y > ymax ? 8 : 0);
  };
  // The value of v at the point where u reaches target, along the segment.
  auto along = [](double u0, double u1, double v0, double v1, double target) {
    const double t = (0.5 * target - 0.5 * u0) / (0.5 * u1 - 0.5 * u0);
    return 2.0 * (0.5 * v0 + (0.5 * v1 - 0.5 * v0) * t);
  };
  int out0 = outside(x0, y0), out1 = outside(x1, y1);
  for (int step = 0; step < 8; ++step) {
    if ((out0 | out1) == 0) return true;
    if ((out0 & out1) != 0) return false;  // both beyond the same side
    const int out = out0 != 0 ? out0 : out1;
    double x, y;
    if (out & 8) {
      x = along(y0, y1, x0, x1, ymax), y = ymax;
    } else if (out & 4) {
      x = along(y0, y1, x0, x1, ymin), y = ymin;
    } else if (out & 2) {
      y = along(x0, x1, y0, y1, xmax), x = xmax;
    } else {
      y = along(x0, x1, y0, y1, xmin), x = xmin;
    }
    if (out == out0) {
      x0 = x, y0 = y, out0 = outside(x0, y0);
    } else {
      x1 = x, y1 = y, out1 = outside(x1, y1);
    }
  }
  return (out0 | out1) == 0;
}

}  // namespace

void RenderImage(const ImageData& image, const Canvas& canvas, const char* proc) {
  if (image.type != PixelType::Byte || (image.Channels() != 1 && image.Channels() != 3)) {
    Fail(err::kImageType, proc,
         "only 1-channel (grey) and 3-channel (colour) byte images can be shown, got a " +
             std::to_string(image.Channels()) + "-channel " + PixelTypeName(image.type) + " image");
  }
  if (image.Channels() == 1) {
    RenderGreyImage(image, canvas);
  } else {
    RenderRgbImage(image, canvas);
  }
}

void RenderContour(const ContourData& contour, int image_width, int image_height, std::uint32_t rgb,
                   const Canvas& canvas) {
  // Pixel centres sit at integer image coordinates; scale them to window pixel centres.
  const double sx = image_width > 0 ? double(canvas.width) / image_width : 1.0;
  const double sy = image_height > 0 ? double(canvas.height) / image_height : 1.0;
  auto to_x = [&](double c) { return static_cast<int>(std::floor((c + 0.5) * sx)); };
  auto to_y = [&](double r) { return static_cast<int>(std::floor((r + 0.5) * sy)); };
  // Points are clipped, in image coordinates, to the part that maps to the canvas plus a margin
  // of a pixel: the lines drawn stay as short as the canvas, and far-away coordinates never reach
  // the conversion to int.
  const double cmin = -1.0 / sx - 0.5, cmax = (canvas.width + 1.0) / sx - 0.5;
  const double rmin = -1.0 / sy - 0.5, rmax = (canvas.height + 1.0) / sy - 0.5;
  const std::size_t n = std::min(contour.rows.size(), contour.cols.size());
  if (n == 1) {
    const double r = contour.rows[0], c = contour.cols[0];
    if (r >= rmin && r <= rmax && c >= cmin && c <= cmax) PutPixel(canvas, to_x(c), to_y(r), rgb);
  }
  for (std::size_t i = 1; i < n; ++i) {
    double c0 = contour.cols[i - 1], r0 = contour.rows[i - 1];
    double c1 = contour.cols[i], r1 = contour.rows[i];
    if (!ClipToBox(c0, r0, c1, r1, cmin, cmax, rmin, rmax)) continue;
    // Bresenham between the clipped ends, clipped pixel by pixel.
    int x0 = to_x(c0), y0 = to_y(r0);
    const int x1 = to_x(c1), y1 = to_y(r1);
    const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    const int step_x = x0 < x1 ? 1 : -1, step_y = y0 < y1 ? 1 : -1;
    int e = dx + dy;
    for (int guard = 0; guard <= dx - dy; ++guard) {
      PutPixel(canvas, x0, y0, rgb);
      if (x0 == x1 && y0 == y1) break;
      const int e2 = 2 * e;
      if (e2 >= dy) e += dy, x0 += step_x;
      if (e2 <= dx) e += dx, y0 += step_y;
    }
  }
}

}  // namespace vision::detail

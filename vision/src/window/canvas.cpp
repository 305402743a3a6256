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
  const std::size_t n = std::min(contour.rows.size(), contour.cols.size());
  if (n == 1) PutPixel(canvas, to_x(contour.cols[0]), to_y(contour.rows[0]), rgb);
  for (std::size_t i = 1; i < n; ++i) {
    // Bresenham between consecutive points, clipped pixel by pixel.
    int x0 = to_x(contour.cols[i - 1]), y0 = to_y(contour.rows[i - 1]);
    const int x1 = to_x(contour.cols[i]), y1 = to_y(contour.rows[i]);
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

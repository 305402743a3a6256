// Drawing into a window's pixels, the same on every platform. Not installed.
#pragma once

#include <cstdint>

#include "detail/iconic.h"

namespace vision::detail {

// The pixels of a window as a backend hands them out for drawing: one 32-bit 0x00RRGGBB value
// per pixel, row by row; stride is the distance between rows in pixels.
struct Canvas {
  std::uint32_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
};

// Draws a 1-channel (grey) or 3-channel (colour) byte image onto the canvas, scaled to it
// (nearest neighbour) when the sizes differ. Raises HException (kImageType) for other images.
void RenderImage(const ImageData& image, const Canvas& canvas, const char* proc);
// Draws a contour given in image coordinates of an image_width x image_height image, scaled the
// way RenderImage scales such an image, in colour rgb.
void RenderContour(const ContourData& contour, int image_width, int image_height, std::uint32_t rgb,
                   const Canvas& canvas);

}  // namespace vision::detail

// Mean image pyramids with Sobel gradients for the shape search, and their kernels. Not
// installed.
#pragma once

#include <cstdint>
#include <vector>

#include "detail/iconic.h"
#include "detail/simd.h"
#include "matching/large_buffer.h"

namespace vision::detail {

// Rows [r0, r1) and columns [c0, c1) of a pyramid level.
struct PixelBox {
  int r0, r1, c0, c1;
};

// One level of a search pyramid: grey values (bytes for byte images, level 0 being the image
// itself; floats for other pixel types) and the Sobel gradient as interleaved (row, column)
// pairs of int16, in units of grad_scale per grey level.
struct PyramidLevel {
  int width = 0, height = 0;
  const std::uint8_t* bytes = nullptr;  // byte pyramids, else null
  LargeVector<std::uint8_t> own_bytes;  // storage of bytes above level 0
  LargeVector<float> grey;              // used when bytes is null
  // 2 * width * height; zero on the outermost pixels, and on level 0 of a pyramid built with
  // lazy_base in the tiles BaseGradients was not asked for.
  LargeVector<std::int16_t> grad;
  std::vector<std::uint8_t> tiles;  // level 0: the state of each tile of grad
};

struct Pyramid {
  float grad_scale = 1;  // int16 gradient units per grey level
  std::vector<PyramidLevel> levels;
  // Work lists, kept for their capacity.
  std::vector<PixelBox> jobs;
  std::vector<std::uint8_t> wanted;
};

// Builds levels [0, num_levels) from a one-channel image; levels above 0 are 2x2 means, with
// their gradients. Level 0's gradients too, unless lazy_base: then BaseGradients computes those
// a search needs.
void BuildPyramid(const ImageData& image, int num_levels, bool lazy_base, Pyramid* pyramid);

// For a pyramid built with lazy_base: level 0's gradients in every tile that meets one of the
// boxes (parts outside the image are ignored), zero everywhere else. The result depends only on
// the image and the boxes, never on earlier searches.
void BaseGradients(const std::vector<PixelBox>& boxes, Pyramid* pyramid);

// The kernels: each has a scalar reference (...Ref) and a fast entry that takes the best vector
// path (BestSimdPath()); the byte Sobel also runs on a path given (SobelBytesWith).
// Rounded 2x2 mean (dst is (w/2) x (h/2)).
void HalveBytesRef(const std::uint8_t* src, int w, int h, std::uint8_t* dst);
void HalveBytes(const std::uint8_t* src, int w, int h, std::uint8_t* dst);
void HalveFloatsRef(const float* src, int w, int h, float* dst);
void HalveFloats(const float* src, int w, int h, float* dst);
// Sobel gradient (divided by 4, times scale, rounded) of rows [r0, r1) and columns [c0, c1);
// the outermost pixels' are 0.
void SobelBytesRef(const std::uint8_t* src, int w, int h, int r0, int r1, int c0, int c1,
                   std::int16_t* grad);
void SobelBytes(const std::uint8_t* src, int w, int h, int r0, int r1, int c0, int c1,
                std::int16_t* grad);
void SobelBytesWith(SimdPath path, const std::uint8_t* src, int w, int h, int r0, int r1, int c0,
                    int c1, std::int16_t* grad);
void SobelFloatsRef(const float* src, int w, int h, float scale, int r0, int r1, int c0, int c1,
                    std::int16_t* grad);
void SobelFloats(const float* src, int w, int h, float scale, int r0, int r1, int c0, int c1,
                 std::int16_t* grad);

}  // namespace vision::detail

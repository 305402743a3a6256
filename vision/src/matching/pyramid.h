// Mean image pyramids with Sobel gradients for the shape search, and their kernels. Not
// installed.
#pragma once

#include <cstddef>
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

// A piece of a pyramid's storage: its start and its number of elements.
template <class T>
struct StoragePiece {
  T* start = nullptr;
  std::size_t count = 0;
  T* data() const { return start; }
  std::size_t size() const { return count; }
  T& operator[](std::size_t i) const { return start[i]; }
  T* begin() const { return start; }
  T* end() const { return start + count; }
};

// One level of a search pyramid: grey values (bytes for byte images, level 0 being the image
// itself; floats for other pixel types) and the Sobel gradient as interleaved (row, column)
// pairs of int16, in units of grad_scale per grey level.
struct PyramidLevel {
  int width = 0, height = 0;
  const std::uint8_t* bytes = nullptr;   // byte pyramids, else null
  StoragePiece<std::uint8_t> own_bytes;  // storage of bytes above level 0
  StoragePiece<float> grey;              // used when bytes is null
  // 2 * width * height; zero on the outermost pixels. Empty but on the top level of a pyramid
  // built with top_only.
  StoragePiece<std::int16_t> grad;
};

// What a pyramid's storage is laid out for.
struct PyramidLayout {
  int width = 0, height = 0, levels = 0;
  bool bytes = false, top_only = false;
  std::size_t extra = 0;
  bool operator==(const PyramidLayout&) const = default;
};

struct Pyramid {
  float grad_scale = 1;
  std::vector<PyramidLevel> levels;
  // Every level's grey values and gradients in one allocation: a fresh buffer costs a page
  // fault per 2 MiB page when first touched (see large_buffer.h), so one buffer for a 640 x 480
  // search instead of one per level and kind saves several.
  LargeVector<std::uint8_t> storage;
  PyramidLayout layout;
  // Bytes for the caller in the same storage (64-byte aligned), asked for by BuildPyramid's
  // extra: one buffer takes fewer fresh pages than several.
  StoragePiece<std::uint8_t> extra;
};

// The least storage a pyramid takes: 3.5 MiB, enough for a search of a 2592 x 1944 image.
inline constexpr std::size_t kLeastPyramidStorage = std::size_t(7) << 19;

// Builds levels [0, num_levels) from a one-channel image; levels above 0 are 2x2 means. Every
// level gets its gradients, or with top_only the top level alone: then GradientPatch computes
// those a search needs, piece by piece.
// The pyramid's extra piece gets extra bytes, of unspecified content.
void BuildPyramid(const ImageData& image, int num_levels, bool top_only, std::size_t extra,
                  Pyramid* pyramid);

// Level k's gradients in box, clipped to the level, as a level of their own: patch becomes a
// level of the clipped box's size whose pixel (0, 0) is the clipped box's top-left one, its
// gradients in storage (grown as needed). Each pixel's gradient is the one it has in the whole
// level (zero on the level's outermost pixels). Returns the clipped box; a box wholly outside the
// level gives a 1 x 1 patch without gradient.
PixelBox GradientPatch(const Pyramid& pyramid, int k, const PixelBox& box,
                       std::vector<std::int16_t>* storage, PyramidLevel* patch);

// The kernels: each has a scalar reference (...Ref) and a fast entry that takes the best vector
// path (BestSimdPath()); the byte kernels also run on a path given (...With).
// Rounded 2x2 mean (dst is (w/2) x (h/2)).
void HalveBytesRef(const std::uint8_t* src, int w, int h, std::uint8_t* dst);
void HalveBytes(const std::uint8_t* src, int w, int h, std::uint8_t* dst);
void HalveBytesWith(SimdPath path, const std::uint8_t* src, int w, int h, std::uint8_t* dst);
void HalveFloatsRef(const float* src, int w, int h, float* dst);
void HalveFloats(const float* src, int w, int h, float* dst);
// Where a Sobel kernel writes the gradients of a box of pixels: pixel (r, c)'s (row, column) pair
// at data + 2 ((r - box.r0) stride + c - box.c0).
struct GradOut {
  std::int16_t* data;
  std::size_t stride;  // pixels
};
// Sobel gradient (divided by 4, times scale, rounded; the byte kernels' scale is 4) of the pixels
// of box, which lies inside the w x h image; the image's outermost pixels' are 0.
void SobelBytesRef(const std::uint8_t* src, int w, int h, const PixelBox& box, GradOut out);
void SobelBytes(const std::uint8_t* src, int w, int h, const PixelBox& box, GradOut out);
void SobelBytesWith(SimdPath path, const std::uint8_t* src, int w, int h, const PixelBox& box,
                    GradOut out);
void SobelFloatsRef(const float* src, int w, int h, float scale, const PixelBox& box, GradOut out);
void SobelFloats(const float* src, int w, int h, float scale, const PixelBox& box, GradOut out);

}  // namespace vision::detail

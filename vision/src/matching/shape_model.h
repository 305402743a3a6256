// Internal representation of anisotropically scalable shape models and the pieces of the search
// that tests reach into. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "detail/iconic.h"
#include "vision/HTuple.h"

namespace vision::detail {

enum class MatchMetric { kUsePolarity, kIgnoreGlobalPolarity, kIgnoreLocalPolarity };

// The model points of one pyramid level, relative to the reference point and measured in that
// level's pixels, in (row, column) order. The points are stored in a fixed pseudo-random order so
// that any prefix is spread over the whole shape (the search stops early on prefixes).
struct ModelLevel {
  std::vector<float> row, col;          // position
  std::vector<float> dir_row, dir_col;  // unit gradient direction (dark to bright)
  float radius = 0;                     // largest distance of a point from the reference
  float row_extent = 0;                 // largest |row|
  float col_extent = 0;                 // largest |col|
  float row_lo = 0, row_hi = 0;         // bounding box of the points
  float col_lo = 0, col_hi = 0;
  double angle_step = 0;  // pose steps of this level's discrete search
  double scale_r_step = 0;
  double scale_c_step = 0;
  std::size_t Size() const noexcept { return row.size(); }
};

class ShapeModel final : public HandleBase {
 public:
  const char* KindName() const noexcept override { return "shape_model"; }

  double angle_start = 0, angle_extent = 0;
  double scale_r_min = 1, scale_r_max = 1;
  double scale_c_min = 1, scale_c_max = 1;
  MatchMetric metric = MatchMetric::kUsePolarity;
  float min_contrast = 0;
  float contrast_low = 0, contrast_high = 0;
  // Reference point in template pixel coordinates (level 0).
  double ref_row = 0, ref_col = 0;
  // Bounding box of the level-0 model points relative to the reference point.
  float box_r0 = 0, box_r1 = 0, box_c0 = 0, box_c1 = 0;
  std::vector<ModelLevel> levels;  // levels[0] is the full resolution
};

// ---- Image pyramid and gradients (pyramid.cpp) ------------------------------------------------

// One level of a search pyramid: grey values (bytes for byte images, level 0 being the image
// itself; floats for other pixel types) and the Sobel gradient as interleaved (row, column)
// pairs of int16, in units of grad_scale per grey level.
struct PyramidLevel {
  int width = 0, height = 0;
  const std::uint8_t* bytes = nullptr;  // byte pyramids, else null
  std::vector<std::uint8_t> own_bytes;  // storage of bytes above level 0
  std::vector<float> grey;              // used when bytes is null
  std::vector<std::int16_t> grad;       // 2 * width * height; zero on the outermost pixels
};

struct Pyramid {
  float grad_scale = 1;  // int16 gradient units per grey level
  std::vector<PyramidLevel> levels;
};

// Builds levels [0, num_levels) from a one-channel image; levels above 0 are 2x2 means.
// Gradients are computed for every level.
void BuildPyramid(const ImageData& image, int num_levels, Pyramid* pyramid);

// Rounded 2x2 mean (dst is (w/2) x (h/2)); scalar reference and fast path.
void HalveBytesRef(const std::uint8_t* src, int w, int h, std::uint8_t* dst);
void HalveBytes(const std::uint8_t* src, int w, int h, std::uint8_t* dst);
void HalveFloatsRef(const float* src, int w, int h, float* dst);
void HalveFloats(const float* src, int w, int h, float* dst);
// Sobel gradient (divided by 4, times scale, rounded) of rows [r0, r1); outermost pixels 0.
void SobelBytesRef(const std::uint8_t* src, int w, int h, int r0, int r1, std::int16_t* grad);
void SobelBytes(const std::uint8_t* src, int w, int h, int r0, int r1, std::int16_t* grad);
void SobelFloatsRef(const float* src, int w, int h, float scale, int r0, int r1,
                    std::int16_t* grad);
void SobelFloats(const float* src, int w, int h, float scale, int r0, int r1, std::int16_t* grad);

// ---- Coarse scan (scan.cpp) ------------------------------------------------------------------

// A normalised gradient image padded with zeros: for each pixel (row, col) of the level, the
// unit gradient times 256 as two int16 at index 2 * ((row + pad) * stride + col + pad); zero
// where the gradient is weaker than the minimum contrast.
struct ScanImage {
  int width = 0, height = 0, pad = 0, stride = 0;
  std::vector<std::int16_t> data;
};

// One pose of the coarse search: per model point, the offset into ScanImage::data and the
// transformed unit direction times 256.
struct ScanPose {
  std::vector<std::int32_t> offset;
  std::vector<std::int16_t> dir;  // interleaved (row, col)
};

// Scores of one image row for one pose: for each column, the sum over the points of
// round(256 * dir) . (256 * unit gradient), or kScanDead when the partial sum fell below
// threshold[k] at a checkpoint k (after 4 (k + 1) points). polarity: 0 use, 1 ignore global,
// 2 ignore local. The fast path must give exactly the same numbers as the reference.
inline constexpr std::int32_t kScanDead = INT32_MIN;
inline constexpr int kScanCheckEvery = 4;
void ScanRowRef(const ScanImage& img, const ScanPose& pose, int row, int polarity,
                const std::int32_t* threshold, std::int32_t* out);
void ScanRow(const ScanImage& img, const ScanPose& pose, int row, int polarity,
             const std::int32_t* threshold, std::int32_t* out);
// The implementations ScanRow chooses from (it takes the widest this processor has): the
// reference, 128-bit vectors (SSE2 or NEON) and 256-bit vectors (AVX2, x86-64 only).
enum class ScanPath { kReference, kVector128, kVector256 };
bool ScanPathAvailable(ScanPath path);
void ScanRowWith(ScanPath path, const ScanImage& img, const ScanPose& pose, int row, int polarity,
                 const std::int32_t* threshold, std::int32_t* out);

}  // namespace vision::detail

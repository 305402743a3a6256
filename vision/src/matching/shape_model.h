// Internal representation of anisotropically scalable shape models, made by
// CreateAnisoShapeModel (create.cpp) and searched for by FindAnisoShapeModel (find.cpp). Not
// installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "detail/iconic.h"
#include "vision/HTuple.h"

namespace vision::detail {

enum class MatchMetric { kUsePolarity, kIgnoreGlobalPolarity, kIgnoreLocalPolarity };

// The range of poses a model is made for or a search looks at. Angles in radians.
struct PoseRange {
  double a0 = 0, a1 = 0;    // angle
  double sr0 = 1, sr1 = 1;  // row scale
  double sc0 = 1, sc1 = 1;  // column scale
  bool operator==(const PoseRange&) const = default;
};

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

  std::uint64_t serial = 0;  // unique among the process's models: keys tables cached by searches
  PoseRange range;
  MatchMetric metric = MatchMetric::kUsePolarity;
  float min_contrast = 0;
  float contrast_low = 0, contrast_high = 0;
  // Reference point in template pixel coordinates (level 0).
  double ref_row = 0, ref_col = 0;
  // Bounding box of the level-0 model points relative to the reference point.
  float box_r0 = 0, box_r1 = 0, box_c0 = 0, box_c1 = 0;
  std::vector<ModelLevel> levels;  // levels[0] is the full resolution
};

}  // namespace vision::detail

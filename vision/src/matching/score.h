// Pose scoring of the shape search: the mean cosine between the model's directions and the
// image's gradients at the model points under a pose, on one pyramid level. Not installed.
#pragma once

#include <cstddef>

#include "detail/simd.h"
#include "matching/pose.h"
#include "matching/pyramid.h"
#include "matching/shape_model.h"

namespace vision::detail {

// The early-termination bound of the scan and of pose scoring: after j of n points the sum of
// the points' scores must reach
//   n [(1 - g)(need - 1 + j / n) + g need j / n] = base + slope j,
// the first term being the bound no pose can beat once missed (greediness g = 0), the second
// the expectation that the remaining points score like the ones seen (g = 1; the model points
// are stored in an order that spreads every prefix over the whole shape).
struct EarlyBound {
  double need, greed, n;
  EarlyBound(double need_, double greed_, std::size_t n_)
      : need(need_), greed(greed_), n(double(n_)) {}
  // The bound after j points.
  double At(double j) const {
    return ((1 - greed) * (need - 1 + j / n) + greed * need * j / n) * n;
  }
  // The same as base + slope j, for a running test in single precision.
  float Base() const { return float((1 - greed) * (need - 1) * n); }
  float Slope() const { return float((1 - greed) + greed * need); }
};

// Everything scoring and refinement need about one level.
struct LevelView {
  const PyramidLevel* img;
  const ModelLevel* model;
  float min_contrast;  // in int16 gradient units
  float inv_scale;     // grey levels per int16 gradient unit
  MatchMetric metric;
  // How many of the model points (a prefix, spread over the whole shape) the first least-squares
  // steps use: all on the full-resolution level, which decides the final pose; half on the
  // coarser ones, which only bring a candidate close enough for the next. (The steps after the
  // side search use all.)
  std::size_t refine_points;
  // The kernels' path (an available one): the scalar reference, or V::kLanes model points at a
  // time on 128-bit or 256-bit vectors, every path giving the reference's numbers.
  SimdPath path;
};

// Score of a pose on a level (bilinear gradients), in [0, 1]. With need > 0 the evaluation
// stops, returning -1, once the points seen make a score of need unlikely (EarlyBound, with
// greediness greed).
double ScorePose(const LevelView& v, const Pose& pose, double need = 0, double greed = 0);

}  // namespace vision::detail

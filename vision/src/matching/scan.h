// The coarse exhaustive scan of the shape search: scores of every position of one image row for
// one pose. Not installed.
#pragma once

#include <climits>
#include <cstdint>
#include <vector>

#include "detail/simd.h"
#include "matching/shape_model.h"

namespace vision::detail {

// A normalised gradient image padded with zeros: for each pixel (row, col) of the level, the
// unit gradient times 256 as two int16 at index 2 * ((row + pad) * stride + col + pad); zero
// where the gradient is weaker than the minimum contrast.
struct ScanImage {
  int width = 0, height = 0, pad = 0, stride = 0;
  std::int16_t* data = nullptr;  // 2 * stride * (height + 2 * pad), owned elsewhere
};

// One row of the scan image: for each of n pixels' gradients g (interleaved (row, column) int16),
// the unit gradient times 256 rounded to the nearest integer, or (0, 0) where the squared
// magnitude is zero or below min_contrast2. The vector paths give the same numbers.
void UnitGradientsRef(const std::int16_t* g, int n, float min_contrast2, std::int16_t* out);
void UnitGradientsWith(SimdPath path, const std::int16_t* g, int n, float min_contrast2,
                       std::int16_t* out);

// One pose of the coarse search: per model point, the offset into ScanImage::data and the
// transformed unit direction times 256.
struct ScanPose {
  std::vector<std::int32_t> offset;
  std::vector<std::int16_t> dir;  // interleaved (row, col)
};

// Scores of one image row for one pose: for each column, the sum over the points of
// round(256 * dir) . (256 * unit gradient), or kScanDead when the partial sum fell below
// threshold[k] at a checkpoint k (after 4 (k + 1) points); with kIgnoreGlobalPolarity the sums
// are compared and given as absolute values, with kIgnoreLocalPolarity each point's product is.
// The vector paths give exactly the same numbers as the reference.
inline constexpr std::int32_t kScanDead = INT32_MIN;
inline constexpr int kScanCheckEvery = 4;
void ScanRowRef(const ScanImage& img, const ScanPose& pose, int row, MatchMetric metric,
                const std::int32_t* threshold, std::int32_t* out);
void ScanRow(const ScanImage& img, const ScanPose& pose, int row, MatchMetric metric,
             const std::int32_t* threshold, std::int32_t* out);
// Keeps, per column, the best score of the row so far and the pose that gave it: where
// score[c] >= threshold and score[c] > best[c], best[c] = score[c] and best_pose[c] = pose.
void KeepBest(const std::int32_t* score, int width, std::int32_t threshold, std::int32_t pose,
              std::int32_t* best, std::int32_t* best_pose);
void KeepBestWith(SimdPath path, const std::int32_t* score, int width, std::int32_t threshold,
                  std::int32_t pose, std::int32_t* best, std::int32_t* best_pose);

// ScanRow and KeepBest take BestSimdPath(); the ...With forms the path given, which must be
// available.
void ScanRowWith(SimdPath path, const ScanImage& img, const ScanPose& pose, int row,
                 MatchMetric metric, const std::int32_t* threshold, std::int32_t* out);

// Where ScanRowKeepBest keeps a row's best scores (KeepBest's arguments, best and best_pose
// pointing at the row's first column).
struct KeepRule {
  std::int32_t threshold;
  std::int32_t pose;
  std::int32_t* best;
  std::int32_t* best_pose;
};
// ScanRow followed by KeepBest of its scores, in one pass without the row of scores (the
// search's form); ...Ref is the scalar reference.
void ScanRowKeepBestRef(const ScanImage& img, const ScanPose& pose, int row, MatchMetric metric,
                        const std::int32_t* threshold, const KeepRule& keep);
void ScanRowKeepBestWith(SimdPath path, const ScanImage& img, const ScanPose& pose, int row,
                         MatchMetric metric, const std::int32_t* threshold, const KeepRule& keep);

}  // namespace vision::detail

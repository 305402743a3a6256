// The coarse exhaustive scan: scores of every position of one image row for one pose.
#include "matching/scan.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "detail/simd.h"
#include "matching/vector.h"

namespace vision::detail {

namespace {

const std::int16_t* RowStart(const ScanImage& img, int row) {
  return img.data.data() + 2 * (std::size_t(row + img.pad) * img.stride + std::size_t(img.pad));
}

}  // namespace

void ScanRowRef(const ScanImage& img, const ScanPose& pose, int row, MatchMetric metric,
                const std::int32_t* threshold, std::int32_t* out) {
  const bool global = metric == MatchMetric::kIgnoreGlobalPolarity;
  const bool local = metric == MatchMetric::kIgnoreLocalPolarity;
  const std::size_t n = pose.offset.size();
  const std::int16_t* base = RowStart(img, row);
  const std::int32_t* off = pose.offset.data();
  const std::int16_t* dir = pose.dir.data();
  for (int c = 0; c < img.width; ++c) {
    const std::int16_t* p = base + 2 * c;
    std::int32_t sum = 0;
    bool dead = false;
    for (std::size_t j = 0; j < n; ++j) {
      const std::int16_t* g = p + off[j];
      std::int32_t d = std::int32_t(g[0]) * dir[2 * j] + std::int32_t(g[1]) * dir[2 * j + 1];
      if (local) d = std::abs(d);
      sum += d;
      if ((j + 1) % kScanCheckEvery == 0) {
        const std::int32_t s = global ? std::abs(sum) : sum;
        if (s < threshold[(j + 1) / kScanCheckEvery - 1]) {
          dead = true;
          break;
        }
      }
    }
    out[c] = dead ? kScanDead : (global ? std::abs(sum) : sum);
  }
}

#if defined(VISION_SIMD_128)
namespace {

// 2 * V::kLanes columns at a time; a lane that misses a checkpoint is dead for good, exactly as
// in the reference, and the block stops once all its lanes are dead.
template <class V, MatchMetric kMetric>
void ScanRowVec(const ScanImage& img, const ScanPose& pose, int row, const std::int32_t* threshold,
                std::int32_t* out) {
  constexpr bool kGlobal = kMetric == MatchMetric::kIgnoreGlobalPolarity;
  constexpr bool kLocal = kMetric == MatchMetric::kIgnoreLocalPolarity;
  constexpr int kBlock = 2 * V::kLanes;
  using I32 = typename V::I32;
  const std::size_t n = pose.offset.size();
  const std::int16_t* base = RowStart(img, row);
  const std::int32_t* off = pose.offset.data();
  const std::int16_t* dirs = pose.dir.data();
  for (int c = 0; c < img.width; c += kBlock) {
    const std::int16_t* p = base + 2 * c;
    I32 s0 = V::Zero(), s1 = V::Zero();
    I32 dead0 = V::Zero(), dead1 = V::Zero();
    std::size_t j = 0;
    for (std::size_t k = 0; j < n; ++k) {
      const std::size_t stop = std::min(n, j + kScanCheckEvery);
      for (; j < stop; ++j) {
        std::int32_t pair;  // (row, col) as one 32-bit lane, repeated
        std::memcpy(&pair, dirs + 2 * j, sizeof pair);
        const I32 d = V::Splat(pair);
        I32 m0 = V::Dot(p + off[j], d);
        I32 m1 = V::Dot(p + off[j] + kBlock, d);
        if (kLocal) m0 = V::Abs(m0), m1 = V::Abs(m1);
        s0 = V::Add(s0, m0);
        s1 = V::Add(s1, m1);
      }
      if (j % kScanCheckEvery != 0) break;  // no checkpoint after an incomplete group
      const I32 t = V::Splat(threshold[k]);
      dead0 = V::Or(dead0, V::Less(kGlobal ? V::Abs(s0) : s0, t));
      dead1 = V::Or(dead1, V::Less(kGlobal ? V::Abs(s1) : s1, t));
      if (V::AllSet(dead0, dead1)) break;
    }
    if (kGlobal) s0 = V::Abs(s0), s1 = V::Abs(s1);
    alignas(32) std::int32_t res[kBlock], dm[kBlock];
    V::Store(res, s0);
    V::Store(res + V::kLanes, s1);
    V::Store(dm, dead0);
    V::Store(dm + V::kLanes, dead1);
    const int lanes = std::min(kBlock, img.width - c);
    for (int l = 0; l < lanes; ++l) out[c + l] = dm[l] ? kScanDead : res[l];
  }
}

template <class V>
void ScanRowVecAny(const ScanImage& img, const ScanPose& pose, int row, MatchMetric metric,
                   const std::int32_t* threshold, std::int32_t* out) {
  switch (metric) {
    case MatchMetric::kUsePolarity:
      return ScanRowVec<V, MatchMetric::kUsePolarity>(img, pose, row, threshold, out);
    case MatchMetric::kIgnoreGlobalPolarity:
      return ScanRowVec<V, MatchMetric::kIgnoreGlobalPolarity>(img, pose, row, threshold, out);
    case MatchMetric::kIgnoreLocalPolarity:
      return ScanRowVec<V, MatchMetric::kIgnoreLocalPolarity>(img, pose, row, threshold, out);
  }
}

#if defined(VISION_SIMD_AVX2)
VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN void ScanRow256(const ScanImage& img,
                                                            const ScanPose& pose, int row,
                                                            MatchMetric metric,
                                                            const std::int32_t* threshold,
                                                            std::int32_t* out) {
  ScanRowVecAny<Vec256>(img, pose, row, metric, threshold, out);
}
#endif

}  // namespace
#endif

void ScanRowWith(SimdPath path, const ScanImage& img, const ScanPose& pose, int row,
                 MatchMetric metric, const std::int32_t* threshold, std::int32_t* out) {
  switch (path) {
#if defined(VISION_SIMD_AVX2)
    case SimdPath::kVector256:
      return ScanRow256(img, pose, row, metric, threshold, out);
#endif
#if defined(VISION_SIMD_128)
    case SimdPath::kVector128:
      return ScanRowVecAny<Vec128>(img, pose, row, metric, threshold, out);
#endif
    default:
      return ScanRowRef(img, pose, row, metric, threshold, out);
  }
}

namespace {

void KeepBestRef(const std::int32_t* score, int from, int width, std::int32_t threshold,
                 std::int32_t pose, std::int32_t* best, std::int32_t* best_pose) {
  for (int c = from; c < width; ++c) {
    if (score[c] >= threshold && score[c] > best[c]) {
      best[c] = score[c];
      best_pose[c] = pose;
    }
  }
}

#if defined(VISION_SIMD_128)
template <class V>
void KeepBestVec(const std::int32_t* score, int width, std::int32_t threshold, std::int32_t pose,
                 std::int32_t* best, std::int32_t* best_pose) {
  using I32 = typename V::I32;
  const I32 t = V::Splat(threshold), k = V::Splat(pose);
  int c = 0;
  for (; c + V::kLanes <= width; c += V::kLanes) {
    const I32 v = V::Load(score + c), b = V::Load(best + c);
    const I32 take = V::AndNot(V::Less(v, t), V::Greater(v, b));
    V::Store(best + c, V::Select(take, v, b));
    V::Store(best_pose + c, V::Select(take, k, V::Load(best_pose + c)));
  }
  KeepBestRef(score, c, width, threshold, pose, best, best_pose);
}
#endif

#if defined(VISION_SIMD_AVX2)
VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN void KeepBest256(const std::int32_t* score, int width,
                                                             std::int32_t threshold,
                                                             std::int32_t pose, std::int32_t* best,
                                                             std::int32_t* best_pose) {
  KeepBestVec<Vec256>(score, width, threshold, pose, best, best_pose);
}
#endif

}  // namespace

void KeepBest(const std::int32_t* score, int width, std::int32_t threshold, std::int32_t pose,
              std::int32_t* best, std::int32_t* best_pose) {
  KeepBestWith(BestSimdPath(), score, width, threshold, pose, best, best_pose);
}

void KeepBestWith(SimdPath path, const std::int32_t* score, int width, std::int32_t threshold,
                  std::int32_t pose, std::int32_t* best, std::int32_t* best_pose) {
  switch (path) {
#if defined(VISION_SIMD_AVX2)
    case SimdPath::kVector256:
      return KeepBest256(score, width, threshold, pose, best, best_pose);
#endif
#if defined(VISION_SIMD_128)
    case SimdPath::kVector128:
      return KeepBestVec<Vec128>(score, width, threshold, pose, best, best_pose);
#endif
    default:
      return KeepBestRef(score, 0, width, threshold, pose, best, best_pose);
  }
}

void ScanRow(const ScanImage& img, const ScanPose& pose, int row, MatchMetric metric,
             const std::int32_t* threshold, std::int32_t* out) {
  ScanRowWith(BestSimdPath(), img, pose, row, metric, threshold, out);
}

}  // namespace vision::detail

// The coarse exhaustive scan: scores of every position of one image row for one pose.
#include "matching/scan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "detail/simd.h"
#include "matching/vector.h"

namespace vision::detail {

namespace {

const std::int16_t* RowStart(const ScanImage& img, int row) {
  return img.data + 2 * (std::size_t(row + img.pad) * img.stride + std::size_t(img.pad));
}

}  // namespace

namespace {

// The reference score of one column (ScanRowRef).
std::int32_t ScanColumnRef(const std::int16_t* p, const ScanPose& pose, MatchMetric metric,
                           const std::int32_t* threshold) {
  const bool global = metric == MatchMetric::kIgnoreGlobalPolarity;
  const bool local = metric == MatchMetric::kIgnoreLocalPolarity;
  const std::size_t n = pose.offset.size();
  const std::int32_t* off = pose.offset.data();
  const std::int16_t* dir = pose.dir.data();
  std::int32_t sum = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const std::int16_t* g = p + off[j];
    std::int32_t d = std::int32_t(g[0]) * dir[2 * j] + std::int32_t(g[1]) * dir[2 * j + 1];
    if (local) d = std::abs(d);
    sum += d;
    if ((j + 1) % kScanCheckEvery == 0) {
      const std::int32_t s = global ? std::abs(sum) : sum;
      if (s < threshold[(j + 1) / kScanCheckEvery - 1]) return kScanDead;
    }
  }
  return global ? std::abs(sum) : sum;
}

// KeepBest's rule for one column.
inline void KeepOne(std::int32_t score, std::int32_t threshold, std::int32_t pose,
                    std::int32_t* best, std::int32_t* best_pose) {
  if (score >= threshold && score > *best) {
    *best = score;
    *best_pose = pose;
  }
}

}  // namespace

void ScanRowRef(const ScanImage& img, const ScanPose& pose, int row, MatchMetric metric,
                const std::int32_t* threshold, std::int32_t* out) {
  const std::int16_t* base = RowStart(img, row);
  for (int c = 0; c < img.width; ++c) out[c] = ScanColumnRef(base + 2 * c, pose, metric, threshold);
}

void ScanRowKeepBestRef(const ScanImage& img, const ScanPose& pose, int row, MatchMetric metric,
                        const std::int32_t* threshold, const KeepRule& keep) {
  const std::int16_t* base = RowStart(img, row);
  for (int c = 0; c < img.width; ++c) {
    KeepOne(ScanColumnRef(base + 2 * c, pose, metric, threshold), keep.threshold, keep.pose,
            keep.best + c, keep.best_pose + c);
  }
}

#if defined(VISION_SIMD_128)
namespace {

// KeepBest for the V::kLanes columns from c on.
template <class V>
void KeepBestLanes(typename V::I32 v, const KeepRule& keep, int c) {
  using I32 = typename V::I32;
  const I32 b = V::Load(keep.best + c);
  const I32 take = V::AndNot(V::Less(v, V::Splat(keep.threshold)), V::Greater(v, b));
  V::Store(keep.best + c, V::Select(take, v, b));
  V::Store(keep.best_pose + c, V::Select(take, V::Splat(keep.pose), V::Load(keep.best_pose + c)));
}

// 2 * V::kLanes columns at a time; a lane that misses a checkpoint is dead for good, exactly as
// in the reference, and the block stops once all its lanes are dead (noticed at every second
// checkpoint). The scores go to out, or
// with keep (not null) straight into its best scores.
template <class V, MatchMetric kMetric>
void ScanRowVec(const ScanImage& img, const ScanPose& pose, int row, const std::int32_t* threshold,
                std::int32_t* out, const KeepRule* keep) {
  constexpr bool kGlobal = kMetric == MatchMetric::kIgnoreGlobalPolarity;
  constexpr bool kLocal = kMetric == MatchMetric::kIgnoreLocalPolarity;
  constexpr int kBlock = 2 * V::kLanes;
  using I32 = typename V::I32;
  const std::size_t n = pose.offset.size();
  const std::int16_t* base = RowStart(img, row);
  const std::int32_t* off = pose.offset.data();
  const std::int16_t* dirs = pose.dir.data();
  // One point's products, added to the block's sums.
  auto point = [&](const std::int16_t* p, std::size_t j, I32* s0, I32* s1) {
    std::int32_t pair;  // (row, col) as one 32-bit lane, repeated
    std::memcpy(&pair, dirs + 2 * j, sizeof pair);
    const I32 d = V::Splat(pair);
    I32 m0 = V::Dot(p + off[j], d);
    I32 m1 = V::Dot(p + off[j] + kBlock, d);
    if (kLocal) m0 = V::Abs(m0), m1 = V::Abs(m1);
    *s0 = V::Add(*s0, m0);
    *s1 = V::Add(*s1, m1);
  };
  const std::size_t groups = n / kScanCheckEvery;  // each ends in a checkpoint
  for (int c = 0; c < img.width; c += kBlock) {
    const std::int16_t* p = base + 2 * c;
    I32 s0 = V::Zero(), s1 = V::Zero();
    I32 dead0 = V::Zero(), dead1 = V::Zero();
    bool all_dead = false;
    std::size_t k = 0;
    for (; k < groups; ++k) {
      const std::size_t j = k * kScanCheckEvery;
      static_assert(kScanCheckEvery == 4);
      point(p, j, &s0, &s1);
      point(p, j + 1, &s0, &s1);
      point(p, j + 2, &s0, &s1);
      point(p, j + 3, &s0, &s1);
      const I32 t = V::Splat(threshold[k]);
      dead0 = V::Or(dead0, V::Less(kGlobal ? V::Abs(s0) : s0, t));
      dead1 = V::Or(dead1, V::Less(kGlobal ? V::Abs(s1) : s1, t));
      // Whether the whole block is dead is asked at every second checkpoint only: the answer
      // decides a branch that the processor mispredicts about once a block (blocks die after
      // varying numbers of points), which costs about as much as the four points more that a
      // block may now take before it stops.
      if (k % 2 == 1 && V::AllSet(dead0, dead1)) {
        all_dead = true;
        break;
      }
    }
    // The points after the last checkpoint.
    if (!all_dead) {
      for (std::size_t j = groups * kScanCheckEvery; j < n; ++j) point(p, j, &s0, &s1);
    }
    if (all_dead && keep) continue;  // a dead score is never kept
    if (kGlobal) s0 = V::Abs(s0), s1 = V::Abs(s1);
    const I32 dead = V::Splat(kScanDead);
    s0 = V::Select(dead0, dead, s0);
    s1 = V::Select(dead1, dead, s1);
    if (c + kBlock <= img.width) {
      if (keep) {
        KeepBestLanes<V>(s0, *keep, c);
        KeepBestLanes<V>(s1, *keep, c + V::kLanes);
      } else {
        V::Store(out + c, s0);
        V::Store(out + c + V::kLanes, s1);
      }
      continue;
    }
    alignas(32) std::int32_t res[kBlock];
    V::Store(res, s0);
    V::Store(res + V::kLanes, s1);
    for (int l = 0; l < img.width - c; ++l) {
      if (keep) {
        KeepOne(res[l], keep->threshold, keep->pose, keep->best + c + l, keep->best_pose + c + l);
      } else {
        out[c + l] = res[l];
      }
    }
  }
}

template <class V>
void ScanRowVecAny(const ScanImage& img, const ScanPose& pose, int row, MatchMetric metric,
                   const std::int32_t* threshold, std::int32_t* out, const KeepRule* keep) {
  switch (metric) {
    case MatchMetric::kUsePolarity:
      return ScanRowVec<V, MatchMetric::kUsePolarity>(img, pose, row, threshold, out, keep);
    case MatchMetric::kIgnoreGlobalPolarity:
      return ScanRowVec<V, MatchMetric::kIgnoreGlobalPolarity>(img, pose, row, threshold, out,
                                                               keep);
    case MatchMetric::kIgnoreLocalPolarity:
      return ScanRowVec<V, MatchMetric::kIgnoreLocalPolarity>(img, pose, row, threshold, out, keep);
  }
}

#if defined(VISION_SIMD_AVX2)
VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN void ScanRow256(
    const ScanImage& img, const ScanPose& pose, int row, MatchMetric metric,
    const std::int32_t* threshold, std::int32_t* out, const KeepRule* keep) {
  ScanRowVecAny<Vec256>(img, pose, row, metric, threshold, out, keep);
}
#endif

}  // namespace
#endif

void ScanRowWith(SimdPath path, const ScanImage& img, const ScanPose& pose, int row,
                 MatchMetric metric, const std::int32_t* threshold, std::int32_t* out) {
  switch (path) {
#if defined(VISION_SIMD_AVX2)
    case SimdPath::kVector256:
      return ScanRow256(img, pose, row, metric, threshold, out, nullptr);
#endif
#if defined(VISION_SIMD_128)
    case SimdPath::kVector128:
      return ScanRowVecAny<Vec128>(img, pose, row, metric, threshold, out, nullptr);
#endif
    default:
      return ScanRowRef(img, pose, row, metric, threshold, out);
  }
}

void ScanRowKeepBestWith(SimdPath path, const ScanImage& img, const ScanPose& pose, int row,
                         MatchMetric metric, const std::int32_t* threshold, const KeepRule& keep) {
  switch (path) {
#if defined(VISION_SIMD_AVX2)
    case SimdPath::kVector256:
      return ScanRow256(img, pose, row, metric, threshold, nullptr, &keep);
#endif
#if defined(VISION_SIMD_128)
    case SimdPath::kVector128:
      return ScanRowVecAny<Vec128>(img, pose, row, metric, threshold, nullptr, &keep);
#endif
    default:
      return ScanRowKeepBestRef(img, pose, row, metric, threshold, keep);
  }
}

namespace {

void KeepBestRef(const std::int32_t* score, int from, int width, std::int32_t threshold,
                 std::int32_t pose, std::int32_t* best, std::int32_t* best_pose) {
  for (int c = from; c < width; ++c) KeepOne(score[c], threshold, pose, best + c, best_pose + c);
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

void UnitGradientsRef(const std::int16_t* g, int n, float min_contrast2, std::int16_t* out) {
  for (int c = 0; c < n; ++c) {
    const float gr = g[2 * c], gc = g[2 * c + 1];
    const float m2 = gr * gr + gc * gc;
    if (m2 < min_contrast2 || m2 <= 0) {
      out[2 * c] = out[2 * c + 1] = 0;
      continue;
    }
    const float inv = 256.0f / std::sqrt(m2);
    out[2 * c] = static_cast<std::int16_t>(std::lrint(gr * inv));
    out[2 * c + 1] = static_cast<std::int16_t>(std::lrint(gc * inv));
  }
}

#if defined(VISION_SIMD_128)
namespace {

// V::kLanes pixels at a time, each lane with the reference's operations (exact square root and
// division, conversion rounding to nearest as lrint does); a pixel's pair is one 32-bit lane.
template <class V>
void UnitGradientsVec(const std::int16_t* g, int n, float min_contrast2, std::int16_t* out) {
  using F32 = typename V::F32;
  using I32 = typename V::I32;
  const F32 minc2 = V::SplatF(min_contrast2), zero = V::SplatF(0.0f);
  const F32 unit = V::SplatF(256.0f);
  int c = 0;
  for (; c + V::kLanes <= n; c += V::kLanes) {
    const I32 v = V::LoadPairs(g + 2 * c);
    const F32 gr = V::ToFloat(V::LowHalf(v)), gc = V::ToFloat(V::HighHalf(v));
    const F32 m2 = V::Add(V::Mul(gr, gr), V::Mul(gc, gc));
    const I32 keep = V::And(V::GreaterEq(m2, minc2), V::Greater(m2, zero));
    const F32 inv = V::Div(unit, V::Sqrt(m2));
    const I32 pairs = V::MakePairs(V::Round(V::Mul(gr, inv)), V::Round(V::Mul(gc, inv)));
    V::StorePairs(out + 2 * c, V::And(pairs, keep));
  }
  UnitGradientsRef(g + 2 * c, n - c, min_contrast2, out + 2 * c);
}

#if defined(VISION_SIMD_AVX2)
VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN void UnitGradients256(const std::int16_t* g, int n,
                                                                  float min_contrast2,
                                                                  std::int16_t* out) {
  UnitGradientsVec<Vec256>(g, n, min_contrast2, out);
}
#endif

}  // namespace
#endif

void UnitGradientsWith(SimdPath path, const std::int16_t* g, int n, float min_contrast2,
                       std::int16_t* out) {
  switch (path) {
#if defined(VISION_SIMD_AVX2)
    case SimdPath::kVector256:
      return UnitGradients256(g, n, min_contrast2, out);
#endif
#if defined(VISION_SIMD_128)
    case SimdPath::kVector128:
      return UnitGradientsVec<Vec128>(g, n, min_contrast2, out);
#endif
    default:
      return UnitGradientsRef(g, n, min_contrast2, out);
  }
}

void ScanRow(const ScanImage& img, const ScanPose& pose, int row, MatchMetric metric,
             const std::int32_t* threshold, std::int32_t* out) {
  ScanRowWith(BestSimdPath(), img, pose, row, metric, threshold, out);
}

}  // namespace vision::detail

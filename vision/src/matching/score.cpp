// Pose scoring: the scalar reference and one vector kernel for the 128-bit and 256-bit paths.
#include "matching/score.h"

#include <algorithm>
#include <cmath>

#include "matching/sample.h"
#include "matching/vector.h"

namespace vision::detail {

namespace {

// ScorePose's loop: the points from `from` on (a vector kernel does the first ones), continuing
// the sum given; kRef: the scalar reference sampling.
template <bool kRef>
double ScorePoints(const LevelView& v, const Pose& pose, double need, double greed,
                   std::size_t from, float sum) {
  const ModelLevel& m = *v.model;
  const PoseMatrix a(pose);
  const std::size_t n = m.Size();
  const float minc2 = v.min_contrast * v.min_contrast;
  const float a00 = float(a.a00), a01 = float(a.a01), a10 = float(a.a10), a11 = float(a.a11);
  const float n00 = float(a.n00), n01 = float(a.n01), n10 = float(a.n10), n11 = float(a.n11);
  const float pr = float(pose.row), pc = float(pose.col);
  const bool local = v.metric == MatchMetric::kIgnoreLocalPolarity;
  const bool bounded = need > 0 && v.metric != MatchMetric::kIgnoreGlobalPolarity;
  const EarlyBound bound(need, greed, n);
  const float base = bound.Base(), slope = bound.Slope();
  for (std::size_t i = from; i < n; ++i) {
    if (bounded && (i & 7) == 0 && sum < base + slope * float(i)) return -1;
    const float mr = m.row[i], mc = m.col[i];
    const float qr = pr + a00 * mr + a01 * mc;
    const float qc = pc + a10 * mr + a11 * mc;
    float gr, gc;
    GradSample<kRef>(*v.img, qr, qc, &gr, &gc);
    const float g2 = gr * gr + gc * gc;
    if (g2 < minc2 || g2 <= 0) continue;
    const float dr = n00 * m.dir_row[i] + n01 * m.dir_col[i];
    const float dc = n10 * m.dir_row[i] + n11 * m.dir_col[i];
    float cosv = (gr * dr + gc * dc) / std::sqrt(g2 * (dr * dr + dc * dc));
    if (local) cosv = std::abs(cosv);
    sum += cosv;
  }
  if (v.metric == MatchMetric::kIgnoreGlobalPolarity) sum = std::abs(sum);
  return std::clamp(double(sum) / double(n), 0.0, 1.0);
}

#if defined(VISION_SIMD_128)
// ScorePoints for V::kLanes model points at a time: the same operations per point, the same
// early-termination tests (every eight points) and the same order of the sum (the terms of a
// vector are added one by one), so the same score. The points left over after the last whole
// vector are scored by ScorePoints.
template <class V>
double ScorePoseVec(const LevelView& v, const Pose& pose, double need, double greed) {
  using F32 = typename V::F32;
  using I32 = typename V::I32;
  constexpr int kLanes = V::kLanes;
  const ModelLevel& m = *v.model;
  const PoseMatrix a(pose);
  const std::size_t n = m.Size();
  const F32 minc2 = V::SplatF(v.min_contrast * v.min_contrast);
  const F32 a00 = V::SplatF(float(a.a00)), a01 = V::SplatF(float(a.a01));
  const F32 a10 = V::SplatF(float(a.a10)), a11 = V::SplatF(float(a.a11));
  const F32 n00 = V::SplatF(float(a.n00)), n01 = V::SplatF(float(a.n01));
  const F32 n10 = V::SplatF(float(a.n10)), n11 = V::SplatF(float(a.n11));
  const F32 pr = V::SplatF(float(pose.row)), pc = V::SplatF(float(pose.col));
  const F32 zero = V::SplatF(0.0f);
  const bool local = v.metric == MatchMetric::kIgnoreLocalPolarity;
  const bool bounded = need > 0 && v.metric != MatchMetric::kIgnoreGlobalPolarity;
  const EarlyBound bound(need, greed, n);
  const float base = bound.Base(), slope = bound.Slope();
  float sum = 0;
  alignas(32) float terms[kLanes];
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    if (bounded && (i & 7) == 0 && sum < base + slope * float(i)) return -1;
    const F32 mr = V::Load(m.row.data() + i), mc = V::Load(m.col.data() + i);
    const F32 qr = V::Add(V::Add(pr, V::Mul(a00, mr)), V::Mul(a01, mc));
    const F32 qc = V::Add(V::Add(pc, V::Mul(a10, mr)), V::Mul(a11, mc));
    F32 gr, gc;
    GradAtLanes<V>(*v.img, qr, qc, &gr, &gc);
    const F32 g2 = V::Add(V::Mul(gr, gr), V::Mul(gc, gc));
    // The scalar loop skips g2 < minc2 || g2 <= 0: here such terms are zero.
    const I32 counts = V::And(V::GreaterEq(g2, minc2), V::Greater(g2, zero));
    const F32 er = V::Load(m.dir_row.data() + i), ec = V::Load(m.dir_col.data() + i);
    const F32 dr = V::Add(V::Mul(n00, er), V::Mul(n01, ec));
    const F32 dc = V::Add(V::Mul(n10, er), V::Mul(n11, ec));
    const F32 dot = V::Add(V::Mul(gr, dr), V::Mul(gc, dc));
    const F32 d2 = V::Add(V::Mul(dr, dr), V::Mul(dc, dc));
    F32 cosv = V::Div(dot, V::Sqrt(V::Mul(g2, d2)));
    if (local) cosv = V::Abs(cosv);
    V::Store(terms, V::Keep(counts, cosv));
    for (const float t : terms) sum += t;
  }
  return ScorePoints<false>(v, pose, need, greed, i, sum);
}
#endif

#if defined(VISION_SIMD_AVX2)
VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN double ScorePose256(const LevelView& v,
                                                                const Pose& pose, double need,
                                                                double greed) {
  return ScorePoseVec<Vec256>(v, pose, need, greed);
}
#endif

}  // namespace

double ScorePose(const LevelView& v, const Pose& pose, double need, double greed) {
  switch (v.path) {
#if defined(VISION_SIMD_AVX2)
    case SimdPath::kVector256:
      return ScorePose256(v, pose, need, greed);
#endif
#if defined(VISION_SIMD_128)
    case SimdPath::kVector128:
      return ScorePoseVec<Vec128>(v, pose, need, greed);
#endif
    default:
      return ScorePoints<true>(v, pose, need, greed, 0, 0.0f);
  }
}

}  // namespace vision::detail

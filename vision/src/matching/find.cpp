// FindAnisoShapeModel: coarse-to-fine search for instances of a shape model.
//
// 1. A mean pyramid of the image with Sobel gradients on every level.
// 2. On the top level every position and every pose of a grid over angle, row scale and column
//    scale is scored (mean cosine between model directions and normalised image gradients),
//    with early termination controlled by the greediness. Local maxima become candidates.
// 3. Each candidate is followed down the pyramid; on each level its pose is refined by least
//    squares against the level's edges (point-to-line distances along the model normals), then
//    scored and kept if still promising.
// 4. On the full-resolution level the pose is refined as the subpixel mode asks, scored, and
//    matches are sorted and thinned by overlap.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <new>
#include <numbers>
#include <tuple>
#include <vector>

#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/parallel.h"
#include "detail/param.h"
#include "detail/simd.h"
#include "detail/system.h"
#include "matching/operators.h"
#include "matching/pyramid.h"
#include "matching/sample.h"
#include "matching/scan.h"
#include "matching/shape_model.h"
#include "vision/HErrorCodes.h"
#include "vision/HMatching.h"

namespace vision {

namespace {

using namespace detail;

constexpr const char* kProc = "FindAnisoShapeModel";

struct Pose {
  double row = 0, col = 0, angle = 0, sr = 1, sc = 1;
  double score = 0;
};

// SubPixel's choices, in the order of the parameter's list.
enum class SubPixel {
  kNone,
  kInterpolation,
  kLeastSquares,
  kLeastSquaresHigh,
  kLeastSquaresVeryHigh
};

// The sides of a model's bounding box, along the model's own axes.
enum class Side { kTop, kBottom, kLeft, kRight };
constexpr Side kSides[] = {Side::kTop, Side::kBottom, Side::kLeft, Side::kRight};

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

// Everything a candidate's refinement needs about one level.
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
  // Whether scoring and the least-squares steps take their 256-bit paths (AVX2, eight model
  // points at a time) when they are not asked for their scalar references.
  bool wide;
};

// The linear part of a pose: A = R(angle) diag(sr, sc), and the matrix that maps model
// directions (normals) to image directions, R(angle) diag(1/sr, 1/sc).
struct PoseMatrix {
  double a00, a01, a10, a11;
  double n00, n01, n10, n11;
  explicit PoseMatrix(const Pose& p) {
    const double cs = std::cos(p.angle), sn = std::sin(p.angle);
    a00 = cs * p.sr, a01 = -sn * p.sc, a10 = sn * p.sr, a11 = cs * p.sc;
    n00 = cs / p.sr, n01 = -sn / p.sc, n10 = sn / p.sr, n11 = cs / p.sc;
  }
};

// Score of a pose on a level (bilinear gradients), in [0, 1]. With need > 0 the evaluation
// stops, returning -1, once the points seen make a score of need unlikely (EarlyBound).
// kRef: the scalar reference sampling. The points from `from` on (ScorePose256 does the first
// ones) are scored here, continuing the sum given.
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

#if defined(VISION_SIMD_AVX2)
// ScorePoints for eight model points at a time (AVX2): the same operations per point and the
// same order of the sum (the eight terms are added one by one), so the same score. The points
// left over after the last whole eight are scored by ScorePoints.
VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN double ScorePose256(const LevelView& v,
                                                                const Pose& pose, double need,
                                                                double greed) {
  const ModelLevel& m = *v.model;
  const PoseMatrix a(pose);
  const std::size_t n = m.Size();
  const float minc = v.min_contrast * v.min_contrast;
  const __m256 minc2 = _mm256_set1_ps(minc);
  const __m256 a00 = _mm256_set1_ps(float(a.a00)), a01 = _mm256_set1_ps(float(a.a01));
  const __m256 a10 = _mm256_set1_ps(float(a.a10)), a11 = _mm256_set1_ps(float(a.a11));
  const __m256 n00 = _mm256_set1_ps(float(a.n00)), n01 = _mm256_set1_ps(float(a.n01));
  const __m256 n10 = _mm256_set1_ps(float(a.n10)), n11 = _mm256_set1_ps(float(a.n11));
  const __m256 pr = _mm256_set1_ps(float(pose.row)), pc = _mm256_set1_ps(float(pose.col));
  const __m256 zero = _mm256_setzero_ps();
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const bool local = v.metric == MatchMetric::kIgnoreLocalPolarity;
  const bool bounded = need > 0 && v.metric != MatchMetric::kIgnoreGlobalPolarity;
  const EarlyBound bound(need, greed, n);
  const float base = bound.Base(), slope = bound.Slope();
  float sum = 0;
  float terms[8];
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    if (bounded && sum < base + slope * float(i)) return -1;
    const __m256 mr = _mm256_loadu_ps(m.row.data() + i), mc = _mm256_loadu_ps(m.col.data() + i);
    const __m256 qr =
        _mm256_add_ps(_mm256_add_ps(pr, _mm256_mul_ps(a00, mr)), _mm256_mul_ps(a01, mc));
    const __m256 qc =
        _mm256_add_ps(_mm256_add_ps(pc, _mm256_mul_ps(a10, mr)), _mm256_mul_ps(a11, mc));
    __m256 gr, gc;
    GradAt8(*v.img, qr, qc, &gr, &gc);
    const __m256 g2 = _mm256_add_ps(_mm256_mul_ps(gr, gr), _mm256_mul_ps(gc, gc));
    // The scalar loop skips g2 < minc2 || g2 <= 0: here such terms are zero.
    const __m256 counts =
        _mm256_and_ps(_mm256_cmp_ps(g2, minc2, _CMP_NLT_UQ), _mm256_cmp_ps(g2, zero, _CMP_NLE_UQ));
    const __m256 er = _mm256_loadu_ps(m.dir_row.data() + i);
    const __m256 ec = _mm256_loadu_ps(m.dir_col.data() + i);
    const __m256 dr = _mm256_add_ps(_mm256_mul_ps(n00, er), _mm256_mul_ps(n01, ec));
    const __m256 dc = _mm256_add_ps(_mm256_mul_ps(n10, er), _mm256_mul_ps(n11, ec));
    const __m256 dot = _mm256_add_ps(_mm256_mul_ps(gr, dr), _mm256_mul_ps(gc, dc));
    const __m256 d2 = _mm256_add_ps(_mm256_mul_ps(dr, dr), _mm256_mul_ps(dc, dc));
    __m256 cosv = _mm256_div_ps(dot, _mm256_sqrt_ps(_mm256_mul_ps(g2, d2)));
    if (local) cosv = _mm256_and_ps(cosv, magnitude);
    _mm256_storeu_ps(terms, _mm256_and_ps(counts, cosv));
    for (const float t : terms) sum += t;
  }
  return ScorePoints<false>(v, pose, need, greed, i, sum);
}
#endif

template <bool kRef>
double ScorePose(const LevelView& v, const Pose& pose, double need = 0, double greed = 0) {
#if defined(VISION_SIMD_AVX2)
  if (!kRef && v.wide) return ScorePose256(v, pose, need, greed);
#endif
  return ScorePoints<kRef>(v, pose, need, greed, 0, 0.0f);
}

// Solves the symmetric 5x5 system M x = b by Gaussian elimination with partial pivoting.
bool Solve5(double m[5][5], double b[5], double x[5]) {
  for (int col = 0; col < 5; ++col) {
    int piv = col;
    for (int r = col + 1; r < 5; ++r) {
      if (std::abs(m[r][col]) > std::abs(m[piv][col])) piv = r;
    }
    if (std::abs(m[piv][col]) < 1e-12) return false;
    if (piv != col) {
      for (int k = 0; k < 5; ++k) std::swap(m[col][k], m[piv][k]);
      std::swap(b[col], b[piv]);
    }
    for (int r = col + 1; r < 5; ++r) {
      const double f = m[r][col] / m[col][col];
      for (int k = col; k < 5; ++k) m[r][k] -= f * m[col][k];
      b[r] -= f * b[col];
    }
  }
  for (int r = 4; r >= 0; --r) {
    double s = b[r];
    for (int k = r + 1; k < 5; ++k) s -= m[r][k] * x[k];
    x[r] = s / m[r][r];
  }
  return true;
}

void ClampPose(Pose* p, const PoseRange& range) {
  p->angle = std::clamp(p->angle, range.a0, range.a1);
  p->sr = std::clamp(p->sr, range.sr0, range.sr1);
  p->sc = std::clamp(p->sc, range.sc0, range.sc1);
}

// The subpixel position along the normal of a profile's peak at index best (values l, c, r
// at best - 1, best, best + 1; the profile starts at -reach - 1).
inline double PeakPosition(int best, float l, float c, float r, int reach) {
  const float den = l - 2 * c + r;
  float off = den < 0 ? 0.5f * (l - r) / den : 0.0f;
  off = std::clamp(off, -0.5f, 0.5f);
  return double(best - reach - 1) + off;
}

// The strongest edge of matching direction within +-reach pixels of (qr, qc) along the unit
// normal (dr, dc), located to subpixel precision: false where there is none above the minimum
// contrast. reach is at most 6.
template <bool kRef>
bool EdgeAlongNormal(const LevelView& v, float qr, float qc, float dr, float dc, int reach,
                     double* edge) {
  const bool signed_edges = v.metric == MatchMetric::kUsePolarity;
  float prof[16];
  // Projected gradient along the normal at -reach-1 .. reach+1.
  const int len = 2 * reach + 3;
  for (int s = 0; s < len; ++s) {
    const float t = static_cast<float>(s - reach - 1);
    float gr, gc;
    GradSample<kRef>(*v.img, qr + t * dr, qc + t * dc, &gr, &gc);
    float proj = gr * dr + gc * dc;
    if (!signed_edges) proj = std::abs(proj);
    prof[s] = proj;
  }
  int best = -1;
  float best_val = v.min_contrast;
  for (int s = 1; s < len - 1; ++s) {
    if (prof[s] < prof[s - 1] || prof[s] < prof[s + 1]) continue;
    // The strongest edge within reach: a part's own outline usually has more contrast than
    // clutter next to it (solder pads beyond its ends, print).
    const float val = prof[s];
    if (val > best_val) {
      best_val = val;
      best = s;
    }
  }
  if (best < 0) return false;
  *edge = PeakPosition(best, prof[best - 1], prof[best], prof[best + 1], reach);
  return true;
}

#if defined(VISION_SIMD_AVX2)
// Four doubles from four floats.
VISION_SIMD_TARGET_AVX2 inline __m256d Wide4(const float* p) {
  return _mm256_cvtps_pd(_mm_loadu_ps(p));
}
// a + b * x + c * y in doubles, rounded to float, for eight points (x, y) from four at a time.
VISION_SIMD_TARGET_AVX2 inline __m256 Affine8(double a, double b, double c, const float* x,
                                              const float* y) {
  const __m256d va = _mm256_set1_pd(a), vb = _mm256_set1_pd(b), vc = _mm256_set1_pd(c);
  const __m256d lo =
      _mm256_add_pd(_mm256_add_pd(va, _mm256_mul_pd(vb, Wide4(x))), _mm256_mul_pd(vc, Wide4(y)));
  const __m256d hi = _mm256_add_pd(_mm256_add_pd(va, _mm256_mul_pd(vb, Wide4(x + 4))),
                                   _mm256_mul_pd(vc, Wide4(y + 4)));
  return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
}
// b * x + c * y the same way.
VISION_SIMD_TARGET_AVX2 inline __m256 Linear8(double b, double c, const float* x, const float* y) {
  const __m256d vb = _mm256_set1_pd(b), vc = _mm256_set1_pd(c);
  const __m256d lo = _mm256_add_pd(_mm256_mul_pd(vb, Wide4(x)), _mm256_mul_pd(vc, Wide4(y)));
  const __m256d hi =
      _mm256_add_pd(_mm256_mul_pd(vb, Wide4(x + 4)), _mm256_mul_pd(vc, Wide4(y + 4)));
  return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
}

// EdgeAlongNormal for the eight model points from i on (AVX2), one per lane, placed by the pose
// as RefineStep places them: the same profiles, peaks and positions. Gives the points' unit
// normals and returns the lanes that found an edge as bits.
VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN unsigned EdgesAlongNormals256(
    const LevelView& v, const Pose& pose, const PoseMatrix& a, std::size_t i, int reach, float* dr8,
    float* dc8, double* edge) {
  const ModelLevel& m = *v.model;
  const bool signed_edges = v.metric == MatchMetric::kUsePolarity;
  // The positions and unit normals, as RefineStep's place computes them.
  const __m256 qr = Affine8(pose.row, a.a00, a.a01, m.row.data() + i, m.col.data() + i);
  const __m256 qc = Affine8(pose.col, a.a10, a.a11, m.row.data() + i, m.col.data() + i);
  const __m256 nr = Linear8(a.n00, a.n01, m.dir_row.data() + i, m.dir_col.data() + i);
  const __m256 nc = Linear8(a.n10, a.n11, m.dir_row.data() + i, m.dir_col.data() + i);
  const __m256 dn = _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(nr, nr), _mm256_mul_ps(nc, nc)));
  const __m256 dr = _mm256_div_ps(nr, dn), dc = _mm256_div_ps(nc, dn);
  _mm256_storeu_ps(dr8, dr);
  _mm256_storeu_ps(dc8, dc);
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const int len = 2 * reach + 3;
  float prof[16][8];  // prof[s][lane]
  for (int s = 0; s < len; ++s) {
    const __m256 t = _mm256_set1_ps(static_cast<float>(s - reach - 1));
    __m256 gr, gc;
    GradAt8(*v.img, _mm256_add_ps(qr, _mm256_mul_ps(t, dr)),
            _mm256_add_ps(qc, _mm256_mul_ps(t, dc)), &gr, &gc);
    __m256 proj = _mm256_add_ps(_mm256_mul_ps(gr, dr), _mm256_mul_ps(gc, dc));
    if (!signed_edges) proj = _mm256_and_ps(proj, magnitude);
    _mm256_storeu_ps(prof[s], proj);
  }
  __m256 best_val = _mm256_set1_ps(v.min_contrast);
  __m256i best = _mm256_set1_epi32(-1);
  __m256 left = _mm256_setzero_ps(), right = _mm256_setzero_ps();  // beside the best
  for (int s = 1; s < len - 1; ++s) {
    const __m256 here = _mm256_loadu_ps(prof[s]);
    const __m256 before = _mm256_loadu_ps(prof[s - 1]), after = _mm256_loadu_ps(prof[s + 1]);
    const __m256 peak = _mm256_and_ps(_mm256_cmp_ps(here, before, _CMP_NLT_UQ),
                                      _mm256_cmp_ps(here, after, _CMP_NLT_UQ));
    const __m256 better = _mm256_and_ps(peak, _mm256_cmp_ps(here, best_val, _CMP_GT_OQ));
    best_val = _mm256_blendv_ps(best_val, here, better);
    left = _mm256_blendv_ps(left, before, better);
    right = _mm256_blendv_ps(right, after, better);
    best = _mm256_blendv_epi8(best, _mm256_set1_epi32(s), _mm256_castps_si256(better));
  }
  // PeakPosition in every lane (those without a peak are not used).
  const __m256 den =
      _mm256_add_ps(_mm256_sub_ps(left, _mm256_mul_ps(_mm256_set1_ps(2.0f), best_val)), right);
  const __m256 half = _mm256_set1_ps(0.5f), minus_half = _mm256_set1_ps(-0.5f);
  __m256 off = _mm256_and_ps(_mm256_cmp_ps(den, _mm256_setzero_ps(), _CMP_LT_OQ),
                             _mm256_div_ps(_mm256_mul_ps(half, _mm256_sub_ps(left, right)), den));
  off = _mm256_blendv_ps(off, minus_half, _mm256_cmp_ps(off, minus_half, _CMP_LT_OQ));
  off = _mm256_blendv_ps(off, half, _mm256_cmp_ps(half, off, _CMP_LT_OQ));
  const __m256i steps = _mm256_sub_epi32(best, _mm256_set1_epi32(reach + 1));
  _mm256_storeu_pd(edge, _mm256_add_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(steps)),
                                       _mm256_cvtps_pd(_mm256_castps256_ps128(off))));
  _mm256_storeu_pd(edge + 4, _mm256_add_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(steps, 1)),
                                           _mm256_cvtps_pd(_mm256_extractf128_ps(off, 1))));
  const __m256i found = _mm256_cmpgt_epi32(best, _mm256_set1_epi32(-1));
  return unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(found)));
}
#endif

#if defined(VISION_SIMD_AVX2)
// The sums of a least-squares step's normal equations, h[p][q] += (w row[p]) row[q] (q >= p)
// and rhs[p] += (w row[p]) e, over points given in order (AVX2): each sum gets the same terms in
// the same order as RefineStep's scalar sums, so the same values. Held by columns: col[q] holds
// h[0..3][q] (lanes above q unused), col[5] rhs[0..3].
struct NormalSums256 {
  double col[6][4] = {};
  double h44 = 0, rhs4 = 0;

  // The equations of the points i + k (k < 8) whose bit k is set in found (their edges lie
  // e[k] pixels along the unit normals (dr[k], dc[k])), added in order. The coefficients and
  // weights are computed as RefineStep's equation computes them, from the pose's cos cs, sin sn
  // and scales sr, sc.
  VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN void AddPoints(const ModelLevel& m, std::size_t i,
                                                             double cs, double sn, double sr,
                                                             double sc, const float* dr,
                                                             const float* dc, const double* e,
                                                             unsigned found, int reach) {
    // Coefficients of every lane, by coefficient: rows[p][k].
    double rows[5][8], ws[8];
    for (int half = 0; half < 2; ++half) {
      const std::size_t at = i + 4 * std::size_t(half);
      const __m256d pr = Wide4(m.row.data() + at), pc = Wide4(m.col.data() + at);
      const __m256d vdr = Wide4(dr + 4 * half), vdc = Wide4(dc + 4 * half);
      const __m256d j_ang_r = _mm256_sub_pd(_mm256_mul_pd(_mm256_set1_pd(-sn * sr), pr),
                                            _mm256_mul_pd(_mm256_set1_pd(cs * sc), pc));
      const __m256d j_ang_c = _mm256_sub_pd(_mm256_mul_pd(_mm256_set1_pd(cs * sr), pr),
                                            _mm256_mul_pd(_mm256_set1_pd(sn * sc), pc));
      const __m256d vcs = _mm256_set1_pd(cs), vsn = _mm256_set1_pd(sn);
      const __m256d j_sr_r = _mm256_mul_pd(vcs, pr), j_sr_c = _mm256_mul_pd(vsn, pr);
      const __m256d j_sc_r = _mm256_mul_pd(_mm256_set1_pd(-sn), pc);
      const __m256d j_sc_c = _mm256_mul_pd(vcs, pc);
      _mm256_storeu_pd(rows[0] + 4 * half, vdr);
      _mm256_storeu_pd(rows[1] + 4 * half, vdc);
      _mm256_storeu_pd(rows[2] + 4 * half,
                       _mm256_add_pd(_mm256_mul_pd(vdr, j_ang_r), _mm256_mul_pd(vdc, j_ang_c)));
      _mm256_storeu_pd(rows[3] + 4 * half,
                       _mm256_add_pd(_mm256_mul_pd(vdr, j_sr_r), _mm256_mul_pd(vdc, j_sr_c)));
      _mm256_storeu_pd(rows[4] + 4 * half,
                       _mm256_add_pd(_mm256_mul_pd(vdr, j_sc_r), _mm256_mul_pd(vdc, j_sc_c)));
      const __m256d u = _mm256_div_pd(_mm256_loadu_pd(e + 4 * half), _mm256_set1_pd(reach + 1.0));
      const __m256d t = _mm256_sub_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(u, u));
      _mm256_storeu_pd(ws + 4 * half, _mm256_mul_pd(t, t));
    }
    __m256d c[6];
    for (int q = 0; q < 6; ++q) c[q] = _mm256_loadu_pd(col[q]);
    for (int k = 0; k < 8; ++k) {
      if (!(found >> k & 1)) continue;
      const __m256d row4 = _mm256_set_pd(rows[3][k], rows[2][k], rows[1][k], rows[0][k]);
      const __m256d wr = _mm256_mul_pd(_mm256_set1_pd(ws[k]), row4);
      for (int q = 0; q < 5; ++q) {
        c[q] = _mm256_add_pd(c[q], _mm256_mul_pd(wr, _mm256_set1_pd(rows[q][k])));
      }
      c[5] = _mm256_add_pd(c[5], _mm256_mul_pd(wr, _mm256_set1_pd(e[k])));
      const double wr4 = ws[k] * rows[4][k];
      h44 += wr4 * rows[4][k];
      rhs4 += wr4 * e[k];
    }
    for (int q = 0; q < 6; ++q) _mm256_storeu_pd(col[q], c[q]);
  }

  // Adds the sums to h's upper triangle and rhs (both zero so far).
  void Get(double h[5][5], double rhs[5]) const {
    for (int q = 0; q < 5; ++q) {
      for (int p = 0; p <= q && p < 4; ++p) h[p][q] = col[q][p];
    }
    h[4][4] = h44;
    for (int p = 0; p < 4; ++p) rhs[p] = col[5][p];
    rhs[4] = rhs4;
  }
};
#endif

// One least-squares step: every model point looks along its normal, within +-reach pixels, for
// the strongest edge of matching direction and locates it to subpixel precision; the pose is
// then moved to minimise the squared distances along the normals. Returns false when too few
// points found an edge. Uses the first n model points.
template <bool kRef>
bool RefineStep(const LevelView& v, Pose* pose, int reach, const PoseRange& range, std::size_t n) {
  const ModelLevel& m = *v.model;
  const PoseMatrix a(*pose);
  const double cs = std::cos(pose->angle), sn = std::sin(pose->angle);
  double h[5][5] = {};
  double rhs[5] = {};
  std::size_t used = 0;
  // Point i's position and unit normal under the pose.
  auto place = [&](std::size_t i, float* qr, float* qc, float* dr, float* dc) {
    const double pr = m.row[i], pc = m.col[i];
    *qr = static_cast<float>(pose->row + a.a00 * pr + a.a01 * pc);
    *qc = static_cast<float>(pose->col + a.a10 * pr + a.a11 * pc);
    float nr = static_cast<float>(a.n00 * m.dir_row[i] + a.n01 * m.dir_col[i]);
    float nc = static_cast<float>(a.n10 * m.dir_row[i] + a.n11 * m.dir_col[i]);
    const float dn = std::sqrt(nr * nr + nc * nc);
    *dr = nr / dn, *dc = nc / dn;
  };
  // Point i's equation, its edge lying e pixels along the normal (dr, dc): the coefficients
  // (row) and the weight.
  auto equation = [&](std::size_t i, double dr, double dc, double e, double row[5]) {
    const double pr = m.row[i], pc = m.col[i];
    // Derivatives of the point's position with respect to (row, col, angle, sr, sc).
    const double j_ang_r = -sn * pose->sr * pr - cs * pose->sc * pc;
    const double j_ang_c = cs * pose->sr * pr - sn * pose->sc * pc;
    const double j_sr_r = cs * pr, j_sr_c = sn * pr;
    const double j_sc_r = -sn * pc, j_sc_c = cs * pc;
    row[0] = dr;
    row[1] = dc;
    row[2] = dr * j_ang_r + dc * j_ang_c;
    row[3] = dr * j_sr_r + dc * j_sr_c;
    row[4] = dr * j_sc_r + dc * j_sc_c;
    // Tukey-like down-weighting of far edges.
    const double u = e / (reach + 1.0);
    return (1 - u * u) * (1 - u * u);
  };
  auto add = [&](std::size_t i, double dr, double dc, double e) {
    double row[5];
    const double w = equation(i, dr, dc, e, row);
    for (int p = 0; p < 5; ++p) {
      rhs[p] += w * row[p] * e;
      for (int q = p; q < 5; ++q) h[p][q] += w * row[p] * row[q];
    }
    ++used;
  };
  std::size_t i = 0;
#if defined(VISION_SIMD_AVX2)
  if (!kRef && v.wide && n >= 8) {
    NormalSums256 sums;
    for (; i + 8 <= n; i += 8) {
      float dr[8], dc[8];
      double e[8];
      const unsigned found = EdgesAlongNormals256(v, *pose, a, i, reach, dr, dc, e);
      sums.AddPoints(m, i, cs, sn, pose->sr, pose->sc, dr, dc, e, found, reach);
      used += std::size_t(std::popcount(found));
    }
    sums.Get(h, rhs);
  }
#endif
  for (; i < n; ++i) {
    float qr, qc, dr, dc;
    place(i, &qr, &qc, &dr, &dc);
    double e;  // edge position along the normal
    if (EdgeAlongNormal<kRef>(v, qr, qc, dr, dc, reach, &e)) add(i, dr, dc, e);
  }
  if (used < 6 || used * 4 < n) return false;
  for (int p = 0; p < 5; ++p) {
    for (int q = 0; q < p; ++q) h[p][q] = h[q][p];
  }
  // A little damping keeps poorly constrained parameters (a circle's angle) in place.
  for (int p = 0; p < 5; ++p) h[p][p] += 1e-6 * (h[p][p] + 1.0);
  double x[5];
  if (!Solve5(h, rhs, x)) return false;
  pose->row += x[0];
  pose->col += x[1];
  pose->angle += x[2];
  pose->sr += x[3];
  pose->sc += x[4];
  ClampPose(pose, range);
  return std::isfinite(pose->row) && std::isfinite(pose->col);
}

// Moves one side of the model's bounding box (along the model's row or column axis) by delta
// pixels outwards while the opposite side stays: a change of one scale and the position
// together.
Pose MoveSide(const ModelLevel& m, const Pose& p, Side side, double delta) {
  Pose q = p;
  const double cs = std::cos(p.angle), sn = std::sin(p.angle);
  const bool rows = side == Side::kTop || side == Side::kBottom;
  const double lo = rows ? m.row_lo : m.col_lo, hi = rows ? m.row_hi : m.col_hi;
  const double s = rows ? p.sr : p.sc;
  if (hi - lo <= 0) return q;
  const double s2 = s + delta / (hi - lo);
  // Fixed side's coordinate along the axis, before and after: s * fixed + t == s2 * fixed.
  const double fixed = (side == Side::kTop || side == Side::kLeft) ? hi : lo;
  const double t = s * fixed - s2 * fixed;
  const double ar = rows ? cs : -sn, ac = rows ? sn : cs;  // the axis in the image
  q.row += t * ar;
  q.col += t * ac;
  (rows ? q.sr : q.sc) = s2;
  return q;
}

// Searches each side of the bounding box separately over +-reach pixels for a better score.
// Clutter right next to a part (solder pads beyond its ends) can hold the least-squares fit on
// one side while the other side is right; moving one side at a time undoes that.
// Returns whether the pose changed. Only clear gains count: the score is flat within a pixel
// or two of an edge.
template <bool kRef>
bool SideSearch(const LevelView& v, Pose* pose, int reach, const PoseRange& range, double greed) {
  double current = ScorePose<kRef>(v, *pose);
  bool moved = false;
  for (const Side side : kSides) {
    Pose best_pose = *pose;
    double best = current + 0.01;
    int best_d = 0;
    auto consider = [&](int d) {
      const Pose q = MoveSide(*v.model, *pose, side, d);
      if (q.sr < range.sr0 || q.sr > range.sr1 || q.sc < range.sc0 || q.sc > range.sc1) return;
      const double s = ScorePose<kRef>(v, q, best, greed);
      if (s > best) {
        best = s;
        best_pose = q;
        best_d = d;
      }
    };
    // The score varies slowly with a side's offset (an edge scores over a pixel or two), so every
    // second offset is tried first and then the two beside the best one.
    for (int d = -reach; d <= reach; ++d) {
      if (d != 0 && d % 2 == 0) consider(d);
    }
    const int centre = best_d;
    if (centre - 1 != 0 && centre - 1 >= -reach) consider(centre - 1);
    if (centre + 1 != 0 && centre + 1 <= reach) consider(centre + 1);
    if (best_pose.row != pose->row || best_pose.col != pose->col) {
      *pose = best_pose;
      current = best;
      moved = true;
    }
  }
  return moved;
}

// Corners of the model's bounding box under a pose (level-0 coordinates).
// Corners of the box [r0, r1] x [c0, c1] (relative to the reference point) under a pose.
void BoxCorners(double r0, double r1, double c0, double c1, const Pose& p, double r[4],
                double c[4]) {
  const PoseMatrix a(p);
  const double br[4] = {r0, r0, r1, r1};
  const double bc[4] = {c0, c1, c1, c0};
  for (int i = 0; i < 4; ++i) {
    r[i] = p.row + a.a00 * br[i] + a.a01 * bc[i];
    c[i] = p.col + a.a10 * br[i] + a.a11 * bc[i];
  }
}

void PoseBox(const ShapeModel& model, const Pose& p, double r[4], double c[4]) {
  BoxCorners(model.box_r0, model.box_r1, model.box_c0, model.box_c1, p, r, c);
}

// A convex polygon of at most 12 corners: a quadrilateral clipped by four half-planes has at most
// eight.
struct Polygon {
  std::pair<double, double> v[12];
  std::size_t n = 0;
  std::size_t size() const { return n; }
  bool empty() const { return n == 0; }
  const std::pair<double, double>& operator[](std::size_t i) const { return v[i]; }
  void push_back(std::pair<double, double> p) { v[n++] = p; }
};

double PolygonArea(const Polygon& poly) {
  double s = 0;
  for (std::size_t i = 0; i < poly.size(); ++i) {
    const auto& p = poly[i];
    const auto& q = poly[(i + 1) % poly.size()];
    s += p.first * q.second - q.first * p.second;
  }
  return std::abs(s) / 2;
}

// Area of the intersection of two convex quadrilaterals (Sutherland-Hodgman clipping) over the
// smaller area.
double Overlap(const ShapeModel& model, const Pose& a, const Pose& b) {
  double ar[4], ac[4], br[4], bc[4];
  PoseBox(model, a, ar, ac);
  PoseBox(model, b, br, bc);
  Polygon pa, pb;
  for (int i = 0; i < 4; ++i) pa.push_back({ar[i], ac[i]}), pb.push_back({br[i], bc[i]});
  const double area_a = PolygonArea(pa), area_b = PolygonArea(pb);
  const double smaller = std::min(area_a, area_b);
  if (smaller <= 0) return 0;
  // Orientation of b, so "inside" is on the same side for every clip edge.
  double orient = 0;
  for (int i = 0; i < 4; ++i) {
    const int j = (i + 1) % 4;
    orient += pb[i].first * pb[j].second - pb[j].first * pb[i].second;
  }
  Polygon poly = pa;
  for (int e = 0; e < 4 && !poly.empty(); ++e) {
    const auto p0 = pb[e], p1 = pb[(e + 1) % 4];
    auto side = [&](const std::pair<double, double>& q) {
      return ((p1.first - p0.first) * (q.second - p0.second) -
              (p1.second - p0.second) * (q.first - p0.first)) *
             (orient > 0 ? 1.0 : -1.0);
    };
    Polygon out;
    for (std::size_t i = 0; i < poly.size(); ++i) {
      const auto cur = poly[i], nxt = poly[(i + 1) % poly.size()];
      const double sc = side(cur), sn = side(nxt);
      if (sc >= 0) out.push_back(cur);
      if ((sc >= 0) != (sn >= 0)) {
        const double t = sc / (sc - sn);
        out.push_back(
            {cur.first + t * (nxt.first - cur.first), cur.second + t * (nxt.second - cur.second)});
      }
    }
    poly = out;
  }
  if (poly.size() < 3) return 0;
  return PolygonArea(poly) / smaller;
}

std::vector<double> Grid(double lo, double hi, double step) {
  if (GridSize(lo, hi, step) == 1.0) return {0.5 * (lo + hi)};
  const int n = static_cast<int>(GridSize(lo, hi, step));
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(lo + (hi - lo) * i / (n - 1));
  return v;
}

// The operator's inputs and outputs as given.
struct FindArgs {
  const HObject& image;
  const HTuple &model_id, &angle_start, &angle_extent, &scale_r_min, &scale_r_max, &scale_c_min,
      &scale_c_max, &min_score, &num_matches, &max_overlap, &sub_pixel, &num_levels, &greediness;
};
struct FindOutputs {
  HTuple *row, *column, *angle, *scale_r, *scale_c, *score;
};

// The control values, checked.
struct SearchParams {
  const ShapeModel* model = nullptr;
  PoseRange range;
  double min_score = 0;
  long long max_count = 0;  // 0: every match
  double max_overlap = 0;
  SubPixel subpix = SubPixel::kNone;
  int levels = 0;  // pyramid levels to use
  double greed = 0;
  std::size_t patch_elements = 0;  // room for the largest gradient patch (PatchElements)
};

const ShapeModel& ModelOf(const HTuple& model_id) {
  if (model_id.Length() != 1 || model_id.Type(0) != HTupleType::Handle) {
    Fail(err::kModelHandle, kProc,
         ParamText("ModelID", model_id) + ": a shape model handle expected");
  }
  const HHandle handle = model_id.H();
  const auto* model = dynamic_cast<const ShapeModel*>(handle.get());
  if (model == nullptr) {
    Fail(err::kModelHandle, kProc, ParamText("ModelID", model_id) + ": not a shape model handle");
  }
  return *model;
}

SearchParams ReadParams(const FindArgs& a) {
  SearchParams p;
  p.model = &ModelOf(a.model_id);
  ReadAngleRange(a.angle_start, a.angle_extent, kProc, &p.range);
  std::tie(p.range.sr0, p.range.sr1) =
      ReadScaleRange(a.scale_r_min, a.scale_r_max, ScaleAxis::kRow, kProc);
  std::tie(p.range.sc0, p.range.sc1) =
      ReadScaleRange(a.scale_c_min, a.scale_c_max, ScaleAxis::kColumn, kProc);
  p.min_score = NumberInRange(a.min_score, kProc, "MinScore", 0.0, 1.0);
  p.max_count = IntegerParam(a.num_matches, kProc, "NumMatches", 0, 1 << 30);
  p.max_overlap = NumberInRange(a.max_overlap, kProc, "MaxOverlap", 0.0, 1.0);
  p.subpix = static_cast<SubPixel>(ChoiceParam(
      a.sub_pixel, kProc, "SubPixel",
      {"none", "interpolation", "least_squares", "least_squares_high", "least_squares_very_high"}));
  const int model_levels = static_cast<int>(p.model->levels.size());
  p.levels = static_cast<int>(IntegerParam(a.num_levels, kProc, "NumLevels", 0, 10));
  if (p.levels == 0) p.levels = model_levels;
  if (p.levels > model_levels) {
    Fail(err::kWrongParamValue, kProc,
         ParamText("NumLevels", a.num_levels) + ": the model has only " +
             std::to_string(model_levels) + " levels");
  }
  p.greed = NumberInRange(a.greediness, kProc, "Greediness", 0.0, 1.0);
  return p;
}

// The top-level scan keeps every pose of the grid over angle and both scales, each with its
// model points: a range far beyond the model's steps would ask for more memory (and time) than
// any search can use, so it is refused up front, naming the range.
void CheckScanSize(const ModelLevel& top, const PoseRange& range, const FindArgs& a) {
  const ScanSize size = ScanSizeOf(top, range);
  if (!size.TooLarge()) return;
  Fail(err::kWrongParamValue, kProc,
       ParamText("AngleExtent", a.angle_extent) + ", " + ParamText("ScaleRMin", a.scale_r_min) +
           ", " + ParamText("ScaleRMax", a.scale_r_max) + ", " +
           ParamText("ScaleCMin", a.scale_c_min) + ", " + ParamText("ScaleCMax", a.scale_c_max) +
           ": the search range needs " + size.Describe(top.Size()) +
           "; narrow the range or create the model with larger steps");
}
// The search's buffers (pyramid, the top level's gradients, scan image, scores, pose tables and
// every thread's gradient patch) must stay within the setting "search_memory_limit"; a larger
// search is refused before it allocates anything, naming what it would need.
void CheckMemory(const ImageData& img, const ShapeModel& model, const SearchParams& sp) {
  const int top = sp.levels - 1;
  const bool floats = img.type != PixelType::Byte;
  double bytes = 0;
  for (int k = 0; k < sp.levels; ++k) {
    const double n = double(img.width >> k) * double(img.height >> k);
    if (k > 0 || floats) bytes += (floats ? 4 : 1) * n;  // grey values
    if (k == top) bytes += 4 * n;                        // gradients
  }
  const ModelLevel& tm = model.levels[std::size_t(top)];
  const double pad = std::ceil(tm.radius * std::max(sp.range.sr1, sp.range.sc1)) + 2;
  const double tw = double(img.width >> top), th = double(img.height >> top);
  bytes += (tw + 2 * pad + 16) * (th + 2 * pad) * 4 + tw * th * 8;  // scan image, scores
  bytes = std::max(bytes, double(kLeastPyramidStorage));            // all in one buffer
  bytes += double(2 << 20);                                         // whole 2 MiB pages
  bytes += ScanSizeOf(tm, sp.range).entries * 16;                   // pose tables
  if (sp.levels > 1) bytes += double(ThreadSlots()) * double(sp.patch_elements) * 2;  // patches
  const double limit = double(SearchMemoryLimit());
  if (bytes <= limit) return;
  char text[256];
  std::snprintf(text, sizeof text,
                "a search of the %d x %d image needs about %.0f MiB of buffers, more than the "
                "limit of %.0f MiB (SetSystem 'search_memory_limit')",
                img.width, img.height, std::ceil(bytes / double(1 << 20)), limit / double(1 << 20));
  Fail(err::kOutOfMemory, kProc, text);
}

// Minimum fraction of the final minimum score that a candidate must reach on level k of the
// search (the coarse levels score lower: their sampling of the pose is coarser).
double LevelThreshold(double min_score, int k) { return min_score * std::max(0.5, 1.0 - 0.08 * k); }

// ---- Tables of the top-level scan ----

struct ComboPose {
  double angle, sr, sc;
};

// Every pose of the top level's grid with its model points transformed: rounded offsets in the
// level's pixels and directions times 256, and the padding the offsets need.
struct ScanTables {
  std::vector<ComboPose> combos;
  std::vector<ScanPose> poses;  // offsets set by SetScanOffsets once the stride is known
  std::vector<std::vector<int>> drs, dcs;
  int pad = 1;
  std::vector<std::int32_t> thresholds;  // per checkpoint, in the scan's units
  std::int32_t final_threshold = 0;
  int offsets_stride = -1;  // the ScanImage stride the poses' offsets are for
};

// What the tables' poses depend on (the thresholds are set by every search).
struct ScanTablesKey {
  std::uint64_t model = 0;  // ShapeModel::serial
  int top = -1;
  PoseRange range;
  bool operator==(const ScanTablesKey&) const = default;
};

// Buffers and tables kept per calling thread from one search to the next: fresh allocations of
// a few megabytes cost more in page faults than a small search takes, and repeated searches
// with one model use the same tables.
// The candidates' lists of one search, kept for their capacity.
struct SearchScratch {
  std::vector<Pose> maxima, cands, next, result;
  std::vector<char> alive;
  std::vector<LevelView> views;
  // Room for the candidates of a typical search from the start, so that a thread's first search
  // does not grow the lists step by step.
  SearchScratch() {
    constexpr std::size_t kTypical = 256;
    for (auto* list : {&maxima, &cands, &next, &result}) list->reserve(kTypical);
    alive.reserve(kTypical);
    views.reserve(8);
  }
};

struct SearchBuffers {
  SearchScratch scratch;
  Pyramid pyr;
  ScanImage scan;  // this and the next two in pyr's extra bytes
  std::int32_t* best = nullptr;
  std::int32_t* best_combo = nullptr;
  // Gradients around one candidate (RefineOnLevel), one buffer per slot of the threads
  // (ThreadSlot) that refine this thread's candidates.
  std::vector<std::vector<std::int16_t>> patches;
  ScanTablesKey tables_key;
  ScanTables tables;
};

constexpr double kScanUnit = 256.0 * 256.0;  // a perfect point's product in the scan

ScanTables MakeScanTables(const ModelLevel& tm, const PoseRange& range) {
  ScanTables t;
  const std::vector<double> angles = Grid(range.a0, range.a1, tm.angle_step);
  const std::vector<double> srs = Grid(range.sr0, range.sr1, tm.scale_r_step);
  const std::vector<double> scs = Grid(range.sc0, range.sc1, tm.scale_c_step);
  const std::size_t np = tm.Size();
  for (double a : angles) {
    for (double sr : srs) {
      for (double sc : scs) t.combos.push_back({a, sr, sc});
    }
  }
  t.drs.resize(t.combos.size());
  t.dcs.resize(t.combos.size());
  t.poses.resize(t.combos.size());
  for (std::size_t k = 0; k < t.combos.size(); ++k) {
    const Pose p{0, 0, t.combos[k].angle, t.combos[k].sr, t.combos[k].sc, 0};
    const PoseMatrix a(p);
    ScanPose& sp = t.poses[k];
    sp.dir.resize(2 * np);
    t.drs[k].resize(np);
    t.dcs[k].resize(np);
    for (std::size_t i = 0; i < np; ++i) {
      const double qr = a.a00 * tm.row[i] + a.a01 * tm.col[i];
      const double qc = a.a10 * tm.row[i] + a.a11 * tm.col[i];
      t.drs[k][i] = static_cast<int>(std::lround(qr));
      t.dcs[k][i] = static_cast<int>(std::lround(qc));
      t.pad = std::max({t.pad, std::abs(t.drs[k][i]) + 1, std::abs(t.dcs[k][i]) + 1});
      double dr = a.n00 * tm.dir_row[i] + a.n01 * tm.dir_col[i];
      double dc = a.n10 * tm.dir_row[i] + a.n11 * tm.dir_col[i];
      const double dn = std::hypot(dr, dc);
      sp.dir[2 * i] = static_cast<std::int16_t>(std::lround(256 * dr / dn));
      sp.dir[2 * i + 1] = static_cast<std::int16_t>(std::lround(256 * dc / dn));
    }
  }
  return t;
}

// The scan's thresholds for a search that needs a score of need at the top level, with
// greediness greed.
void SetScanThresholds(std::size_t np, double need, double greed, ScanTables* t) {
  const EarlyBound bound(need, greed, np);
  const std::size_t nchk = np / kScanCheckEvery;
  t->thresholds.assign(nchk + 1, 0);
  for (std::size_t k = 0; k < nchk; ++k) {
    const double j = double((k + 1) * kScanCheckEvery);
    const double v = std::floor(bound.At(j) * kScanUnit);
    t->thresholds[k] = v < -2.0e9 ? -2000000000 : static_cast<std::int32_t>(v);
  }
  t->final_threshold = static_cast<std::int32_t>(std::ceil(need * double(np) * kScanUnit - 1e-6));
}

// The scan's buffers, in the pyramid's extra bytes: the scan image of a width x height top level
// with the tables' padding, then the best score and its pose for every pixel.
struct ScanLayout {
  ScanImage image;
  std::size_t image_elements = 0, pixels = 0;

  ScanLayout(int width, int height, int pad) {
    image.width = width;
    image.height = height;
    image.pad = pad;
    image.stride = width + 2 * pad + 16;
    image_elements = 2 * std::size_t(image.stride) * std::size_t(height + 2 * pad);
    pixels = std::size_t(width) * std::size_t(height);
  }
  std::size_t Bytes() const {
    return (image_elements * sizeof(std::int16_t) + 63) / 64 * 64 + 2 * pixels * 4;
  }
  // Points the image, best and best_combo into bytes (Bytes() of them, 64-byte aligned).
  void Place(std::uint8_t* bytes, ScanImage* scan, std::int32_t** best,
             std::int32_t** best_combo) const {
    *scan = image;
    scan->data = reinterpret_cast<std::int16_t*>(bytes);
    *best = reinterpret_cast<std::int32_t*>(bytes + (Bytes() - 2 * pixels * 4));
    *best_combo = *best + pixels;
  }
};

// The top level's unit gradients (the scan image, laid out for the tables' padding), and the
// tables' offsets for its stride.
void PrepareScan(const PyramidLevel& tl, float min_contrast, ScanTables* t, ScanImage* scan) {
  const int pad = t->pad;
  // Zeros around the level (its own pixels are all written below).
  for (int r = 0; r < tl.height + 2 * pad; ++r) {
    std::int16_t* row = scan->data + 2 * std::size_t(r) * scan->stride;
    const bool inside = r >= pad && r < pad + tl.height;
    std::fill(row, row + 2 * (inside ? pad : scan->stride), std::int16_t(0));
    if (inside) std::fill(row + 2 * (pad + tl.width), row + 2 * scan->stride, std::int16_t(0));
  }
  const SimdPath path = BestSimdPath();
  for (int r = 0; r < tl.height; ++r) {
    UnitGradientsWith(path, tl.grad.data() + 2 * std::size_t(r) * tl.width, tl.width,
                      min_contrast * min_contrast,
                      scan->data + 2 * (std::size_t(r + pad) * scan->stride + pad));
  }
  if (t->offsets_stride == scan->stride) return;
  t->offsets_stride = scan->stride;
  for (std::size_t k = 0; k < t->poses.size(); ++k) {
    ScanPose& sp = t->poses[k];
    sp.offset.resize(t->drs[k].size());
    for (std::size_t i = 0; i < sp.offset.size(); ++i) {
      sp.offset[i] = 2 * (t->drs[k][i] * scan->stride + t->dcs[k][i]);
    }
  }
}

// Every position and pose of the top level: per pixel, the best score above the final
// threshold (best) and its pose (best_combo), kScanDead where none reached it.
void ScanTopLevel(const ScanTables& t, MatchMetric metric, SearchBuffers* buf) {
  const ScanImage& scan = buf->scan;
  const int width = scan.width;
  const std::size_t pixels = std::size_t(width) * std::size_t(scan.height);
  std::fill(buf->best, buf->best + pixels, kScanDead);
  std::fill(buf->best_combo, buf->best_combo + pixels, -1);
  const SimdPath path = BestSimdPath();
  ParallelFor(0, scan.height, [&](int r) {
    const std::size_t at = std::size_t(r) * width;
    for (std::size_t k = 0; k < t.combos.size(); ++k) {
      const KeepRule keep{t.final_threshold, static_cast<std::int32_t>(k), buf->best + at,
                          buf->best_combo + at};
      ScanRowKeepBestWith(path, scan, t.poses[k], r, metric, t.thresholds.data(), keep);
    }
  });
}

// ---- Candidates ----

// Best first; ties by position.
bool ByScore(const Pose& a, const Pose& b) {
  if (a.score != b.score) return a.score > b.score;
  if (a.row != b.row) return a.row < b.row;
  return a.col < b.col;
}

// Local maxima of the top level's best scores over the pose grid, best first, nearby maxima
// merged into one, at most a few times the number of matches asked for.
void TopCandidates(const ScanTables& t, const SearchBuffers& buf, std::size_t np,
                   long long max_count, std::vector<Pose>* maxima, std::vector<Pose>* out) {
  const int width = buf.scan.width, height = buf.scan.height;
  const std::int32_t* best = buf.best;
  std::vector<Pose>& cands = *maxima;
  cands.clear();
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) {
      const std::int32_t v = best[std::size_t(r) * width + c];
      if (v == kScanDead) continue;
      bool is_max = true;
      for (int dr = -1; dr <= 1 && is_max; ++dr) {
        for (int dc = -1; dc <= 1; ++dc) {
          if (!dr && !dc) continue;
          const int rr = r + dr, cc = c + dc;
          if (rr < 0 || cc < 0 || rr >= height || cc >= width) continue;
          const std::int32_t w = best[std::size_t(rr) * width + cc];
          // Ties go to the first in raster order.
          if (w > v || (w == v && (dr < 0 || (dr == 0 && dc < 0)))) {
            is_max = false;
            break;
          }
        }
      }
      if (!is_max) continue;
      const ComboPose& cp = t.combos[std::size_t(buf.best_combo[std::size_t(r) * width + c])];
      cands.push_back({double(r), double(c), cp.angle, cp.sr, cp.sc, v / (kScanUnit * double(np))});
    }
  }
  std::sort(cands.begin(), cands.end(), ByScore);
  // Nearby maxima belong to one object.
  std::vector<Pose>& kept = *out;
  kept.clear();
  for (const Pose& p : cands) {
    bool near = false;
    for (const Pose& q : kept) {
      if (std::hypot(p.row - q.row, p.col - q.col) < 2.5) {
        near = true;
        break;
      }
    }
    if (!near) kept.push_back(p);
  }
  if (max_count > 0) {
    const std::size_t cap = std::size_t(std::min<long long>(max_count * 8 + 16, 1 << 20));
    if (kept.size() > cap) kept.resize(cap);
  }
}

// ---- Down the pyramid ----

// Least-squares steps on the full-resolution level for each SubPixel choice.
int FinalSteps(SubPixel subpix) {
  switch (subpix) {
    case SubPixel::kNone:
      return 0;
    case SubPixel::kInterpolation:
      return 1;
    case SubPixel::kLeastSquares:
      return 2;
    case SubPixel::kLeastSquaresHigh:
      return 4;
    case SubPixel::kLeastSquaresVeryHigh:
      return 6;
  }
  return 0;
}

// Where a candidate can look on a level: the model's box on that level at the pose it starts
// from there, with room for the refinement's reach and moves (the side search's too).
PixelBox CandidateBox(const ModelLevel& m, const Pose& p) {
  constexpr double kMargin = 10;
  double r[4], c[4];
  BoxCorners(m.row_lo, m.row_hi, m.col_lo, m.col_hi, p, r, c);
  double r0 = p.row, r1 = p.row, c0 = p.col, c1 = p.col;
  for (int i = 0; i < 4; ++i) {
    r0 = std::min(r0, r[i]), r1 = std::max(r1, r[i]), c0 = std::min(c0, c[i]),
    c1 = std::max(c1, c[i]);
  }
  auto clip = [](double v) { return static_cast<int>(std::clamp(v, -1.0e9, 1.0e9)); };
  return {clip(std::floor(r0 - kMargin)), clip(std::ceil(r1 + kMargin)) + 1,
          clip(std::floor(c0 - kMargin)), clip(std::ceil(c1 + kMargin)) + 1};
}

// The elements of the largest gradient patch a candidate of the range can ask for (on level 0,
// where the model is largest): the box at the range's corners, its largest height and width.
std::size_t PatchElements(const ModelLevel& base, const PoseRange& range) {
  int h = 0, w = 0;
  for (const double a : {range.a0, range.a1, std::clamp(0.0, range.a0, range.a1)}) {
    const PixelBox b = CandidateBox(base, Pose{0, 0, a, range.sr1, range.sc1, 0});
    h = std::max(h, b.r1 - b.r0);
    w = std::max(w, b.c1 - b.c0);
  }
  return 2 * std::size_t(h) * std::size_t(w);
}

// The calling thread's search buffers. Not inlined: where the compiler sees the thread-local
// variable itself it computes its address anew at many of its uses, a library call each in a
// shared library (thousands per search).
[[gnu::noinline]] SearchBuffers& ThreadBuffers() {
  thread_local SearchBuffers buffers;
  return buffers;
}

// Follows one candidate from level k + 1 to level k (top: the scan's level) and scores it there;
// returns whether it is still promising. The level's gradients are computed here, in a patch
// around the candidate (CandidateBox) on the thread that refines it: only the pixels a search
// needs, in that thread's cache, and none outside the patch, so that the result depends on
// nothing but the image and the candidate.
template <bool kRef>
bool RefineOnLevel(const std::vector<LevelView>& views, int k, const SearchParams& sp,
                   const Pyramid& pyr, std::vector<std::int16_t>* storage, Pose* pose) {
  const int top = static_cast<int>(views.size()) - 1;
  Pose& p = *pose;
  const bool first = k == top - 1;
  const bool last = k == 0;
  p.row = 2 * p.row + 0.5;
  p.col = 2 * p.col + 0.5;
  PyramidLevel patch;
  LevelView v = views[std::size_t(k)];
  const PixelBox origin = GradientPatch(pyr, k, CandidateBox(*v.model, p), storage, &patch);
  v.img = &patch;
  // Whole pixels, so the move to the patch and back is exact.
  p.row -= origin.r0;
  p.col -= origin.c0;
  // Least-squares steps per level: the first level below the scan starts far off (up to a pixel
  // of the coarser level) and looks further; on the full-resolution level the pose is already
  // within a fraction of a pixel.
  const int iters = last ? FinalSteps(sp.subpix) : first ? 2 : 1;
  for (int it = 0; it < iters; ++it) {
    const Pose before = p;
    const int reach = (first && it == 0) ? 3 : last && !first ? 1 : 2;
    if (!RefineStep<kRef>(v, &p, reach, sp.range, it == 0 ? v.refine_points : v.model->Size()))
      break;
    if (std::abs(p.row - before.row) < 1e-4 && std::abs(p.col - before.col) < 1e-4 &&
        std::abs(p.angle - before.angle) < 1e-6 && std::abs(p.sr - before.sr) < 1e-6 &&
        std::abs(p.sc - before.sc) < 1e-6) {
      break;
    }
  }
  if (k == 1 && SideSearch<kRef>(v, &p, 6, sp.range, sp.greed)) {
    for (int it = 0; it < 2; ++it) {
      if (!RefineStep<kRef>(v, &p, 2, sp.range, v.model->Size())) break;
    }
  }
  if (last && sp.subpix == SubPixel::kNone) {
    p.row = std::round(p.row);
    p.col = std::round(p.col);
  }
  p.score = ScorePose<kRef>(v, p);
  p.row += origin.r0;
  p.col += origin.c0;
  return p.score >= (last ? sp.min_score : LevelThreshold(sp.min_score, k));
}

// Best first, without candidates that converged onto the same object as a better one (within
// one pose step of level k).
void MergeConverged(std::vector<Pose>* sorted, const ModelLevel& level, std::vector<Pose>* out) {
  std::vector<Pose>& cands = *sorted;
  std::sort(cands.begin(), cands.end(), ByScore);
  std::vector<Pose>& kept = *out;
  kept.clear();
  for (const Pose& p : cands) {
    bool dup = false;
    for (const Pose& q : kept) {
      if (std::hypot(p.row - q.row, p.col - q.col) < 1.5 &&
          std::abs(p.angle - q.angle) < level.angle_step &&
          std::abs(p.sr - q.sr) < level.scale_r_step &&
          std::abs(p.sc - q.sc) < level.scale_c_step) {
        dup = true;
        break;
      }
    }
    if (!dup) kept.push_back(p);
  }
}

// Follows the candidates (s->cands, best first) down to the full resolution; leaves the
// survivors there, best first. Each candidate goes all the way down on one thread, in one
// parallel loop: a loop per level made both threads wait for the slower one at every level, and
// candidates that converge onto the same object are rare enough to be merged at the end only.
void Descend(const std::vector<LevelView>& views, const SearchParams& sp, const Pyramid& pyr,
             std::vector<std::vector<std::int16_t>>* patches, SearchScratch* s) {
  std::vector<Pose>& cands = s->cands;
  const int top = static_cast<int>(views.size()) - 1;
  const bool ref = ScalarKernels();
  if (top > 0) {
    // Every thread's patch buffer with room for the search's largest patch, written here: a
    // buffer grows at most once per model, and fresh memory is touched by the calling thread
    // (during the warm-up search of model creation), not in the middle of a later search.
    patches->resize(std::size_t(ThreadSlots()));
    for (std::vector<std::int16_t>& patch : *patches) {
      if (patch.size() < sp.patch_elements) patch.resize(sp.patch_elements);
    }
    s->alive.assign(cands.size(), 0);
    ParallelFor(0, static_cast<int>(cands.size()), [&](int i) {
      const std::size_t slot = std::size_t(ThreadSlot());
      std::vector<std::int16_t>* storage = nullptr;
      if (slot < patches->size()) {
        storage = &(*patches)[slot];
      } else {  // a thread started since ("thread_num" grew) uses a buffer of its own
        std::vector<std::vector<std::int16_t>>& own = ThreadBuffers().patches;
        if (own.empty()) own.emplace_back();
        storage = &own[0];
      }
      // A copy: neighbouring candidates refined on other threads share cache lines.
      Pose p = cands[std::size_t(i)];
      bool alive = true;
      for (int k = top - 1; k >= 0 && alive; --k) {
        alive = ref ? RefineOnLevel<true>(views, k, sp, pyr, storage, &p)
                    : RefineOnLevel<false>(views, k, sp, pyr, storage, &p);
      }
      cands[std::size_t(i)] = p;
      s->alive[std::size_t(i)] = alive;
    });
    s->next.clear();
    for (std::size_t i = 0; i < cands.size(); ++i) {
      if (s->alive[i]) s->next.push_back(cands[i]);
    }
    MergeConverged(&s->next, sp.model->levels[0], &cands);
  } else {
    // A one-level search: the scan result is the final pose.
    s->next.clear();
    for (Pose& p : cands) {
      p.score = ref ? ScorePose<true>(views[0], p) : ScorePose<false>(views[0], p);
      if (p.score >= sp.min_score) s->next.push_back(p);
    }
    std::sort(s->next.begin(), s->next.end(), ByScore);
    cands.swap(s->next);
  }
}

// ---- Overlap and count ----

void SelectByOverlap(const std::vector<Pose>& cands, const SearchParams& sp,
                     std::vector<Pose>* out) {
  std::vector<Pose>& result = *out;
  result.clear();
  for (const Pose& p : cands) {
    bool drop = false;
    for (const Pose& q : result) {
      if (Overlap(*sp.model, p, q) > sp.max_overlap) {
        drop = true;
        break;
      }
    }
    if (drop) continue;
    result.push_back(p);
    if (sp.max_count > 0 && static_cast<long long>(result.size()) >= sp.max_count) break;
  }
}

void WriteMatches(const std::vector<Pose>& matches, const FindOutputs& out) {
  // One allocation per output.
  auto column = [&](double Pose::*field) {
    std::vector<HTuple::Element> elems;
    elems.reserve(matches.size());
    for (const Pose& p : matches) elems.emplace_back(p.*field);
    return HTuple(std::move(elems));
  };
  *out.row = column(&Pose::row);
  *out.column = column(&Pose::col);
  *out.angle = column(&Pose::angle);
  *out.scale_r = column(&Pose::sr);
  *out.scale_c = column(&Pose::sc);
  *out.score = column(&Pose::score);
}

void Find(const FindArgs& args, const FindOutputs& out) {
  if (!out.row || !out.column || !out.angle || !out.scale_r || !out.scale_c || !out.score) {
    Fail(err::kNullOutput, kProc, "every one of the six outputs must be given");
  }
  const ImageData& img = OneImage(args.image, kProc);
  SearchParams sp = ReadParams(args);
  const ShapeModel& model = *sp.model;
  // Fewer levels on images too small for the full pyramid.
  while (sp.levels > 1 &&
         ((img.width >> (sp.levels - 1)) < 4 || (img.height >> (sp.levels - 1)) < 4)) {
    --sp.levels;
  }
  // A patch is never larger than level 0 (it is clipped to it).
  sp.patch_elements = std::min(PatchElements(model.levels[0], sp.range),
                               2 * std::size_t(img.width) * std::size_t(img.height));
  const bool tiny = img.width < 3 || img.height < 3;
  if (!tiny) {
    CheckScanSize(model.levels[std::size_t(sp.levels - 1)], sp.range, args);
    CheckMemory(img, model, sp);
  }
  WriteMatches({}, out);  // the last check is done
  if (tiny) return;

  WakeThreads();                         // for the scan, after the pyramid
  SearchBuffers& buf = ThreadBuffers();  // the caller's, also inside the parallel bodies
  const int top = sp.levels - 1;
  const ModelLevel& tm = model.levels[std::size_t(top)];
  const ScanTablesKey key{model.serial, top, sp.range};
  if (!(buf.tables_key == key)) {
    buf.tables_key = {};  // until the new tables are complete
    buf.tables = MakeScanTables(tm, sp.range);
    buf.tables_key = key;
  }
  SetScanThresholds(tm.Size(), LevelThreshold(sp.min_score, top), sp.greed, &buf.tables);
  const ScanLayout scan(img.width >> top, img.height >> top, buf.tables.pad);
  BuildPyramid(img, sp.levels, /*top_only=*/sp.levels > 1, scan.Bytes(), &buf.pyr);
  scan.Place(buf.pyr.extra.data(), &buf.scan, &buf.best, &buf.best_combo);
  SearchScratch& s = buf.scratch;
  std::vector<LevelView>& views = s.views;
  views.resize(static_cast<std::size_t>(sp.levels));
  for (int k = 0; k < sp.levels; ++k) {
    const std::size_t points = model.levels[std::size_t(k)].Size();
    views[std::size_t(k)] = {
        &buf.pyr.levels[std::size_t(k)],
        &model.levels[std::size_t(k)],
        model.min_contrast * buf.pyr.grad_scale,
        1.0f / buf.pyr.grad_scale,
        model.metric,
        k == 0 ? points : std::max(points / 2, std::min<std::size_t>(points, 48)),
        BestSimdPath() == SimdPath::kVector256};
  }
  PrepareScan(buf.pyr.levels[std::size_t(top)], views[std::size_t(top)].min_contrast, &buf.tables,
              &buf.scan);
  ScanTopLevel(buf.tables, model.metric, &buf);
  TopCandidates(buf.tables, buf, tm.Size(), sp.max_count, &s.maxima, &s.cands);
  Descend(views, sp, buf.pyr, &buf.patches, &s);
  SelectByOverlap(s.cands, sp, &s.result);
  WriteMatches(s.result, out);
}

}  // namespace

void FindAnisoShapeModel(const HObject& image, const HTuple& model_id, const HTuple& angle_start,
                         const HTuple& angle_extent, const HTuple& scale_r_min,
                         const HTuple& scale_r_max, const HTuple& scale_c_min,
                         const HTuple& scale_c_max, const HTuple& min_score,
                         const HTuple& num_matches, const HTuple& max_overlap,
                         const HTuple& sub_pixel, const HTuple& num_levels,
                         const HTuple& greediness, HTuple* row, HTuple* column, HTuple* angle,
                         HTuple* scale_r, HTuple* scale_c, HTuple* score) {
  const FindArgs args{image,       model_id,    angle_start, angle_extent, scale_r_min,
                      scale_r_max, scale_c_min, scale_c_max, min_score,    num_matches,
                      max_overlap, sub_pixel,   num_levels,  greediness};
  ReportOutOfMemory(kProc, "the search's image pyramid and tables", [&] {
    Find(args, {row, column, angle, scale_r, scale_c, score});
  });
}

}  // namespace vision

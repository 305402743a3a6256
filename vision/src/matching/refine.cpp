// Least-squares refinement and the side search: the scalar reference and one vector kernel of
// the edge search and of the normal equations' sums for the 128-bit and 256-bit paths.
#include "matching/refine.h"

#include <algorithm>
#include <cmath>

#include "matching/sample.h"
#include "matching/vector.h"

namespace vision::detail {

namespace {

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

// The pose of a least-squares step with its matrix, computed once.
struct StepPose {
  const Pose& pose;
  PoseMatrix a;
  explicit StepPose(const Pose& p) : pose(p), a(p) {}
};

// What RefineStep sums over the points: the normal equations' upper triangle and right-hand
// side, and the number of points that found an edge.
struct NormalEquations {
  double h[5][5] = {};
  double rhs[5] = {};
  std::size_t used = 0;
};

#if defined(VISION_SIMD_128)
// a + b x + c y in doubles, rounded to float, for the V::kLanes points (x, y) (V::kLanes / 2 at
// a time), as RefineStep's place computes it.
template <class V>
typename V::F32 AffineLanes(double a, double b, double c, const float* x, const float* y) {
  constexpr std::size_t kD = V::kLanes / 2;
  const typename V::F64 va = V::SplatD(a), vb = V::SplatD(b), vc = V::SplatD(c);
  const typename V::F64 lo =
      V::Add(V::Add(va, V::Mul(vb, V::LoadWiden(x))), V::Mul(vc, V::LoadWiden(y)));
  const typename V::F64 hi =
      V::Add(V::Add(va, V::Mul(vb, V::LoadWiden(x + kD))), V::Mul(vc, V::LoadWiden(y + kD)));
  return V::Narrow(lo, hi);
}
// b x + c y the same way.
template <class V>
typename V::F32 LinearLanes(double b, double c, const float* x, const float* y) {
  constexpr std::size_t kD = V::kLanes / 2;
  const typename V::F64 vb = V::SplatD(b), vc = V::SplatD(c);
  const typename V::F64 lo = V::Add(V::Mul(vb, V::LoadWiden(x)), V::Mul(vc, V::LoadWiden(y)));
  const typename V::F64 hi =
      V::Add(V::Mul(vb, V::LoadWiden(x + kD)), V::Mul(vc, V::LoadWiden(y + kD)));
  return V::Narrow(lo, hi);
}

// EdgeAlongNormal for the V::kLanes model points from i on, one per lane, placed by the pose as
// RefineStep places them: the same profiles, peaks and positions. Gives the points' unit
// normals (dr, dc) and edge positions, and returns the lanes that found an edge as bits.
template <class V>
unsigned EdgesAlongNormalsVec(const LevelView& v, const Pose& pose, const PoseMatrix& a,
                              std::size_t i, int reach, float* dr_out, float* dc_out,
                              double* edge) {
  using F32 = typename V::F32;
  using I32 = typename V::I32;
  constexpr int kLanes = V::kLanes;
  const ModelLevel& m = *v.model;
  const bool signed_edges = v.metric == MatchMetric::kUsePolarity;
  const F32 qr = AffineLanes<V>(pose.row, a.a00, a.a01, m.row.data() + i, m.col.data() + i);
  const F32 qc = AffineLanes<V>(pose.col, a.a10, a.a11, m.row.data() + i, m.col.data() + i);
  const F32 nr = LinearLanes<V>(a.n00, a.n01, m.dir_row.data() + i, m.dir_col.data() + i);
  const F32 nc = LinearLanes<V>(a.n10, a.n11, m.dir_row.data() + i, m.dir_col.data() + i);
  const F32 dn = V::Sqrt(V::Add(V::Mul(nr, nr), V::Mul(nc, nc)));
  const F32 dr = V::Div(nr, dn), dc = V::Div(nc, dn);
  V::Store(dr_out, dr);
  V::Store(dc_out, dc);
  const int len = 2 * reach + 3;
  alignas(32) float prof[16][kLanes];  // prof[s][lane]
  for (int s = 0; s < len; ++s) {
    const F32 t = V::SplatF(static_cast<float>(s - reach - 1));
    F32 gr, gc;
    GradAtLanes<V>(*v.img, V::Add(qr, V::Mul(t, dr)), V::Add(qc, V::Mul(t, dc)), &gr, &gc);
    F32 proj = V::Add(V::Mul(gr, dr), V::Mul(gc, dc));
    if (!signed_edges) proj = V::Abs(proj);
    V::Store(prof[s], proj);
  }
  F32 best_val = V::SplatF(v.min_contrast);
  I32 best = V::Splat(-1);
  F32 left = V::SplatF(0.0f), right = V::SplatF(0.0f);  // the values beside the best
  for (int s = 1; s < len - 1; ++s) {
    const F32 here = V::Load(prof[s]);
    const F32 before = V::Load(prof[s - 1]), after = V::Load(prof[s + 1]);
    const I32 peak = V::And(V::GreaterEq(here, before), V::GreaterEq(here, after));
    const I32 better = V::And(peak, V::Greater(here, best_val));
    best_val = V::Select(better, here, best_val);
    left = V::Select(better, before, left);
    right = V::Select(better, after, right);
    best = V::Select(better, V::Splat(s), best);
  }
  // PeakPosition in every lane (those without a peak are not used).
  const F32 den = V::Add(V::Sub(left, V::Mul(V::SplatF(2.0f), best_val)), right);
  const F32 half = V::SplatF(0.5f), minus_half = V::SplatF(-0.5f);
  F32 off = V::Keep(V::Less(den, V::SplatF(0.0f)), V::Div(V::Mul(half, V::Sub(left, right)), den));
  off = V::Select(V::Less(off, minus_half), minus_half, off);
  off = V::Select(V::Less(half, off), half, off);
  const I32 steps = V::Sub(best, V::Splat(reach + 1));
  V::Store(edge, V::Add(V::WidenLo(steps), V::WidenLo(off)));
  V::Store(edge + kLanes / 2, V::Add(V::WidenHi(steps), V::WidenHi(off)));
  return V::MaskBits(V::Greater(best, V::Splat(-1)));
}

// What the equations of every point of a step share, in vectors of doubles.
template <class V>
struct StepConstants {
  typename V::F64 cs, sn, minus_sn, ang_rr, ang_rc, ang_cr, ang_cc, one, span;
  StepConstants(const StepPose& step, int reach) {
    const double c = step.a.cs, s = step.a.sn, sr = step.pose.sr, sc = step.pose.sc;
    cs = V::SplatD(c), sn = V::SplatD(s), minus_sn = V::SplatD(-s);
    ang_rr = V::SplatD(-s * sr), ang_rc = V::SplatD(c * sc);
    ang_cr = V::SplatD(c * sr), ang_cc = V::SplatD(s * sc);
    one = V::SplatD(1.0), span = V::SplatD(reach + 1.0);
  }
};

// The equations of the V::kLanes points from i on, whose edges lie e[k] pixels along the unit
// normals (dr[k], dc[k]): the coefficients by coefficient, rows[p][k], and the weights ws[k],
// computed V::kLanes / 2 points at a time in doubles as EquationsOneByOne computes them.
template <class V>
void LaneEquations(const ModelLevel& m, std::size_t i, const StepConstants<V>& k, const float* dr,
                   const float* dc, const double* e, double (*rows)[V::kLanes], double* ws) {
  using F64 = typename V::F64;
  constexpr int kD = V::kLanes / 2;
  for (int part = 0; part < 2; ++part) {
    const std::size_t at = i + std::size_t(kD * part);
    const F64 pr = V::LoadWiden(m.row.data() + at), pc = V::LoadWiden(m.col.data() + at);
    const F64 vdr = V::LoadWiden(dr + kD * part), vdc = V::LoadWiden(dc + kD * part);
    // Derivatives of the points' positions with respect to (angle, sr, sc).
    const F64 j_ang_r = V::Sub(V::Mul(k.ang_rr, pr), V::Mul(k.ang_rc, pc));
    const F64 j_ang_c = V::Sub(V::Mul(k.ang_cr, pr), V::Mul(k.ang_cc, pc));
    const F64 j_sr_r = V::Mul(k.cs, pr), j_sr_c = V::Mul(k.sn, pr);
    const F64 j_sc_r = V::Mul(k.minus_sn, pc), j_sc_c = V::Mul(k.cs, pc);
    V::Store(rows[0] + kD * part, vdr);
    V::Store(rows[1] + kD * part, vdc);
    V::Store(rows[2] + kD * part, V::Add(V::Mul(vdr, j_ang_r), V::Mul(vdc, j_ang_c)));
    V::Store(rows[3] + kD * part, V::Add(V::Mul(vdr, j_sr_r), V::Mul(vdc, j_sr_c)));
    V::Store(rows[4] + kD * part, V::Add(V::Mul(vdr, j_sc_r), V::Mul(vdc, j_sc_c)));
    const F64 u = V::Div(V::Load(e + kD * part), k.span);
    const F64 t = V::Sub(k.one, V::Mul(u, u));
    V::Store(ws + kD * part, V::Mul(t, t));
  }
}

// RefineStep's sums over the points [0, n) taken V::kLanes at a time: each sum gets the same
// terms in the same order as the scalar sums, so the same values. Each point that found an edge
// adds w row[p] row[q] to the columns h[0..3][q] (kept in vectors of doubles, lanes p > q
// unused) and w row[p] e to rhs[0..3], and h[4][4] and rhs[4] as scalars. Returns the number
// of points done, a multiple of V::kLanes.
template <class V>
std::size_t EquationsVec(const LevelView& v, const StepPose& step, int reach, std::size_t n,
                         NormalEquations* eq) {
  using F64 = typename V::F64;
  constexpr int kLanes = V::kLanes;
  constexpr int kD = kLanes / 2;   // doubles per vector
  constexpr int kChunks = 4 / kD;  // vectors per column h[0..3][q]
  F64 col[6][kChunks];             // col[q]: h[0..3][q]; col[5]: rhs[0..3]
  for (auto& c : col) {
    for (F64& x : c) x = V::SplatD(0.0);
  }
  double h44 = 0, rhs4 = 0;
  const StepConstants<V> constants(step, reach);
  std::size_t used = 0, i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    alignas(32) float dr[kLanes], dc[kLanes];
    alignas(32) double e[kLanes];
    const unsigned found = EdgesAlongNormalsVec<V>(v, step.pose, step.a, i, reach, dr, dc, e);
    if (found == 0) continue;
    alignas(32) double rows[5][kLanes], ws[kLanes];
    LaneEquations<V>(*v.model, i, constants, dr, dc, e, rows, ws);
    for (int k = 0; k < kLanes; ++k) {
      if (!(found >> k & 1)) continue;
      ++used;
      const F64 w = V::SplatD(ws[k]);
      F64 wr[kChunks];  // w row[p], p = 0..3
      for (int j = 0; j < kChunks; ++j) wr[j] = V::Mul(w, V::Gather(&rows[j * kD][k], kLanes));
      for (int q = 0; q < 5; ++q) {
        const F64 rq = V::SplatD(rows[q][k]);
        for (int j = 0; j < kChunks; ++j) {
          if (j * kD <= q) col[q][j] = V::Add(col[q][j], V::Mul(wr[j], rq));
        }
      }
      const F64 ek = V::SplatD(e[k]);
      for (int j = 0; j < kChunks; ++j) col[5][j] = V::Add(col[5][j], V::Mul(wr[j], ek));
      const double wr4 = ws[k] * rows[4][k];
      h44 += wr4 * rows[4][k];
      rhs4 += wr4 * e[k];
    }
  }
  alignas(32) double c[6][4];
  for (int q = 0; q < 6; ++q) {
    for (int j = 0; j < kChunks; ++j) V::Store(c[q] + j * kD, col[q][j]);
  }
  for (int q = 0; q < 5; ++q) {
    for (int p = 0; p <= q && p < 4; ++p) eq->h[p][q] = c[q][p];
  }
  eq->h[4][4] = h44;
  for (int p = 0; p < 4; ++p) eq->rhs[p] = c[5][p];
  eq->rhs[4] = rhs4;
  eq->used = used;
  return i;
}
#endif

#if defined(VISION_SIMD_AVX2)
VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN std::size_t Equations256(const LevelView& v,
                                                                     const StepPose& step,
                                                                     int reach, std::size_t n,
                                                                     NormalEquations* eq) {
  return EquationsVec<Vec256>(v, step, reach, n, eq);
}
#endif

// The points [i, n) added to the equations one at a time (kRef: the scalar reference
// sampling).
template <bool kRef>
void EquationsOneByOne(const LevelView& v, const StepPose& step, int reach, std::size_t i,
                       std::size_t n, NormalEquations* eq) {
  const ModelLevel& m = *v.model;
  const Pose& pose = step.pose;
  const PoseMatrix& a = step.a;
  const double cs = step.a.cs, sn = step.a.sn;
  for (; i < n; ++i) {
    // Point i's position and unit normal under the pose.
    const double pr = m.row[i], pc = m.col[i];
    const float qr = static_cast<float>(pose.row + a.a00 * pr + a.a01 * pc);
    const float qc = static_cast<float>(pose.col + a.a10 * pr + a.a11 * pc);
    const float nr = static_cast<float>(a.n00 * m.dir_row[i] + a.n01 * m.dir_col[i]);
    const float nc = static_cast<float>(a.n10 * m.dir_row[i] + a.n11 * m.dir_col[i]);
    const float dn = std::sqrt(nr * nr + nc * nc);
    const float drf = nr / dn, dcf = nc / dn;
    double e;  // edge position along the normal
    if (!EdgeAlongNormal<kRef>(v, qr, qc, drf, dcf, reach, &e)) continue;
    // The point's equation: the coefficients (row) and the weight.
    const double dr = drf, dc = dcf;
    // Derivatives of the point's position with respect to (row, col, angle, sr, sc).
    const double j_ang_r = -sn * pose.sr * pr - cs * pose.sc * pc;
    const double j_ang_c = cs * pose.sr * pr - sn * pose.sc * pc;
    const double j_sr_r = cs * pr, j_sr_c = sn * pr;
    const double j_sc_r = -sn * pc, j_sc_c = cs * pc;
    double row[5];
    row[0] = dr;
    row[1] = dc;
    row[2] = dr * j_ang_r + dc * j_ang_c;
    row[3] = dr * j_sr_r + dc * j_sr_c;
    row[4] = dr * j_sc_r + dc * j_sc_c;
    // Tukey-like down-weighting of far edges.
    const double u = e / (reach + 1.0);
    const double w = (1 - u * u) * (1 - u * u);
    for (int p = 0; p < 5; ++p) {
      eq->rhs[p] += w * row[p] * e;
      for (int q = p; q < 5; ++q) eq->h[p][q] += w * row[p] * row[q];
    }
    ++eq->used;
  }
}

// Moves one side of the model's bounding box (along the model's row or column axis) by delta
// pixels outwards while the opposite side stays: a change of one scale and the position
// together.
enum class Side { kTop, kBottom, kLeft, kRight };
constexpr Side kSides[] = {Side::kTop, Side::kBottom, Side::kLeft, Side::kRight};

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

}  // namespace

bool RefineStep(const LevelView& v, Pose* pose, int reach, const PoseRange& range, std::size_t n) {
  NormalEquations eq;
  const StepPose step(*pose);
  std::size_t i = 0;
  switch (v.path) {
#if defined(VISION_SIMD_AVX2)
    case SimdPath::kVector256:
      i = Equations256(v, step, reach, n, &eq);
      break;
#endif
#if defined(VISION_SIMD_128)
    case SimdPath::kVector128:
      i = EquationsVec<Vec128>(v, step, reach, n, &eq);
      break;
#endif
    default:
      break;
  }
  if (v.path == SimdPath::kReference) {
    EquationsOneByOne<true>(v, step, reach, i, n, &eq);
  } else {
    EquationsOneByOne<false>(v, step, reach, i, n, &eq);
  }
  if (eq.used < 6 || eq.used * 4 < n) return false;
  double(&h)[5][5] = eq.h;
  for (int p = 0; p < 5; ++p) {
    for (int q = 0; q < p; ++q) h[p][q] = h[q][p];
  }
  // A little damping keeps poorly constrained parameters (a circle's angle) in place.
  for (int p = 0; p < 5; ++p) h[p][p] += 1e-6 * (h[p][p] + 1.0);
  double x[5];
  if (!Solve5(h, eq.rhs, x)) return false;
  pose->row += x[0];
  pose->col += x[1];
  pose->angle += x[2];
  pose->sr += x[3];
  pose->sc += x[4];
  ClampPose(pose, range);
  return std::isfinite(pose->row) && std::isfinite(pose->col);
}

bool SideSearch(const LevelView& v, Pose* pose, int reach, const PoseRange& range, double greed) {
  double current = ScorePose(v, *pose);
  bool moved = false;
  for (const Side side : kSides) {
    Pose best_pose = *pose;
    double best = current + 0.01;
    int best_d = 0;
    auto consider = [&](int d) {
      const Pose q = MoveSide(*v.model, *pose, side, d);
      if (q.sr < range.sr0 || q.sr > range.sr1 || q.sc < range.sc0 || q.sc > range.sc1) return;
      const double s = ScorePose(v, q, best, greed);
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

}  // namespace vision::detail

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
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <new>
#include <numbers>
#include <vector>

#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/parallel.h"
#include "detail/param.h"
#include "matching/sample.h"
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

struct SearchRange {
  double a0, a1, sr0, sr1, sc0, sc1;
};

// Everything a candidate's refinement needs about one level.
struct LevelView {
  const PyramidLevel* img;
  const ModelLevel* model;
  float min_contrast;  // in int16 gradient units
  float inv_scale;     // grey levels per int16 gradient unit
  MatchMetric metric;
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
// stops, returning -1, once the points seen make a score of need unlikely: after i of n points
// the sum must reach n * [(1 - g)(need - 1 + i / n) + g * need * i / n]. With greediness g = 0
// that is the bound no pose can beat once missed; g = 1 expects the rest to score like the
// points seen (the model points are stored in an order that spreads every prefix over the
// whole shape).
double ScorePose(const LevelView& v, const Pose& pose, double need = 0, double greed = 0) {
  const ModelLevel& m = *v.model;
  const PoseMatrix a(pose);
  const std::size_t n = m.Size();
  const float minc2 = v.min_contrast * v.min_contrast;
  const float a00 = float(a.a00), a01 = float(a.a01), a10 = float(a.a10), a11 = float(a.a11);
  const float n00 = float(a.n00), n01 = float(a.n01), n10 = float(a.n10), n11 = float(a.n11);
  const float pr = float(pose.row), pc = float(pose.col);
  const bool local = v.metric == MatchMetric::kIgnoreLocalPolarity;
  const bool bounded = need > 0 && v.metric != MatchMetric::kIgnoreGlobalPolarity;
  // The bound after i points is base + slope * i.
  const float base = float((1 - greed) * (need - 1) * double(n));
  const float slope = float((1 - greed) + greed * need);
  float sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (bounded && (i & 7) == 0 && sum < base + slope * float(i)) return -1;
    const float mr = m.row[i], mc = m.col[i];
    const float qr = pr + a00 * mr + a01 * mc;
    const float qc = pc + a10 * mr + a11 * mc;
    float gr, gc;
    GradAt(*v.img, qr, qc, &gr, &gc);
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

// Solves the symmetric 5x5 system M x = b by Gaussian elimination with partial pivoting.
bool Solve5(double m[5][5], double b[5], double x[5]) {
  int idx[5] = {0, 1, 2, 3, 4};
  (void)idx;
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

void ClampPose(Pose* p, const SearchRange& range) {
  p->angle = std::clamp(p->angle, range.a0, range.a1);
  p->sr = std::clamp(p->sr, range.sr0, range.sr1);
  p->sc = std::clamp(p->sc, range.sc0, range.sc1);
}

// One least-squares step: every model point looks along its normal, within +-reach pixels, for
// the strongest edge of matching direction and locates it to subpixel precision; the pose is
// then moved to minimise the squared distances along the normals. Returns false when too few
// points found an edge.
bool RefineStep(const LevelView& v, Pose* pose, int reach, const SearchRange& range) {
  const ModelLevel& m = *v.model;
  const PoseMatrix a(*pose);
  const std::size_t n = m.Size();
  const double cs = std::cos(pose->angle), sn = std::sin(pose->angle);
  const bool signed_edges = v.metric == MatchMetric::kUsePolarity;
  double h[5][5] = {};
  double rhs[5] = {};
  std::size_t used = 0;
  float prof[16];
  for (std::size_t i = 0; i < n; ++i) {
    const double pr = m.row[i], pc = m.col[i];
    const float qr = static_cast<float>(pose->row + a.a00 * pr + a.a01 * pc);
    const float qc = static_cast<float>(pose->col + a.a10 * pr + a.a11 * pc);
    float dr = static_cast<float>(a.n00 * m.dir_row[i] + a.n01 * m.dir_col[i]);
    float dc = static_cast<float>(a.n10 * m.dir_row[i] + a.n11 * m.dir_col[i]);
    const float dn = std::sqrt(dr * dr + dc * dc);
    dr /= dn, dc /= dn;
    // Projected gradient along the normal at -reach-1 .. reach+1.
    const int len = 2 * reach + 3;
    for (int s = 0; s < len; ++s) {
      const float t = static_cast<float>(s - reach - 1);
      float gr, gc;
      GradAt(*v.img, qr + t * dr, qc + t * dc, &gr, &gc);
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
    if (best < 0) continue;
    const float l = prof[best - 1], c = prof[best], r = prof[best + 1];
    const float den = l - 2 * c + r;
    float off = den < 0 ? 0.5f * (l - r) / den : 0.0f;
    off = std::clamp(off, -0.5f, 0.5f);
    const double e = double(best - reach - 1) + off;  // edge position along the normal
    // Derivatives of the point's position with respect to (row, col, angle, sr, sc).
    const double j_ang_r = -sn * pose->sr * pr - cs * pose->sc * pc;
    const double j_ang_c = cs * pose->sr * pr - sn * pose->sc * pc;
    const double j_sr_r = cs * pr, j_sr_c = sn * pr;
    const double j_sc_r = -sn * pc, j_sc_c = cs * pc;
    const double row[5] = {dr, dc, dr * j_ang_r + dc * j_ang_c, dr * j_sr_r + dc * j_sr_c,
                           dr * j_sc_r + dc * j_sc_c};
    // Tukey-like down-weighting of far edges.
    const double u = e / (reach + 1.0);
    const double w = (1 - u * u) * (1 - u * u);
    for (int p = 0; p < 5; ++p) {
      rhs[p] += w * row[p] * e;
      for (int q = p; q < 5; ++q) h[p][q] += w * row[p] * row[q];
    }
    ++used;
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
// together. side: 0 top, 1 bottom, 2 left, 3 right.
Pose MoveSide(const ModelLevel& m, const Pose& p, int side, double delta) {
  Pose q = p;
  const double cs = std::cos(p.angle), sn = std::sin(p.angle);
  const bool rows = side < 2;
  const double lo = rows ? m.row_lo : m.col_lo, hi = rows ? m.row_hi : m.col_hi;
  const double s = rows ? p.sr : p.sc;
  if (hi - lo <= 0) return q;
  const double s2 = s + delta / (hi - lo);
  // Fixed side's coordinate along the axis, before and after: s * fixed + t == s2 * fixed.
  const double fixed = (side % 2 == 0) ? hi : lo;
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
bool SideSearch(const LevelView& v, Pose* pose, int reach, const SearchRange& range, double greed) {
  double current = ScorePose(v, *pose);
  bool moved = false;
  for (int side = 0; side < 4; ++side) {
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

// Corners of the model's bounding box under a pose (level-0 coordinates).
void PoseBox(const ShapeModel& model, const Pose& p, double r[4], double c[4]) {
  const PoseMatrix a(p);
  const double br[4] = {model.box_r0, model.box_r0, model.box_r1, model.box_r1};
  const double bc[4] = {model.box_c0, model.box_c1, model.box_c1, model.box_c0};
  for (int i = 0; i < 4; ++i) {
    r[i] = p.row + a.a00 * br[i] + a.a01 * bc[i];
    c[i] = p.col + a.a10 * br[i] + a.a11 * bc[i];
  }
}

double PolygonArea(const std::vector<std::pair<double, double>>& poly) {
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
  std::vector<std::pair<double, double>> pa, pb;
  for (int i = 0; i < 4; ++i) pa.emplace_back(ar[i], ac[i]), pb.emplace_back(br[i], bc[i]);
  const double area_a = PolygonArea(pa), area_b = PolygonArea(pb);
  const double smaller = std::min(area_a, area_b);
  if (smaller <= 0) return 0;
  // Orientation of b, so "inside" is on the same side for every clip edge.
  double orient = 0;
  for (int i = 0; i < 4; ++i) {
    const int j = (i + 1) % 4;
    orient += pb[i].first * pb[j].second - pb[j].first * pb[i].second;
  }
  std::vector<std::pair<double, double>> poly = pa;
  for (int e = 0; e < 4 && !poly.empty(); ++e) {
    const auto p0 = pb[e], p1 = pb[(e + 1) % 4];
    auto side = [&](const std::pair<double, double>& q) {
      return ((p1.first - p0.first) * (q.second - p0.second) -
              (p1.second - p0.second) * (q.first - p0.first)) *
             (orient > 0 ? 1.0 : -1.0);
    };
    std::vector<std::pair<double, double>> out;
    for (std::size_t i = 0; i < poly.size(); ++i) {
      const auto cur = poly[i], nxt = poly[(i + 1) % poly.size()];
      const double sc = side(cur), sn = side(nxt);
      if (sc >= 0) out.push_back(cur);
      if ((sc >= 0) != (sn >= 0)) {
        const double t = sc / (sc - sn);
        out.emplace_back(cur.first + t * (nxt.first - cur.first),
                         cur.second + t * (nxt.second - cur.second));
      }
    }
    poly.swap(out);
  }
  if (poly.size() < 3) return 0;
  return PolygonArea(poly) / smaller;
}

// How many values Grid gives: as a double, so that absurd ranges can be checked before they
// overflow anything.
double GridSize(double lo, double hi, double step) {
  return hi - lo <= 1e-12 || step <= 0 ? 1.0 : std::ceil((hi - lo) / step - 1e-9) + 1;
}

std::vector<double> Grid(double lo, double hi, double step) {
  if (GridSize(lo, hi, step) == 1.0) return {0.5 * (lo + hi)};
  const int n = static_cast<int>(GridSize(lo, hi, step));
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(lo + (hi - lo) * i / (n - 1));
  return v;
}

// The top-level scan keeps every pose of the grid over angle and both scales, each with its
// model points: a range far beyond the model's steps would ask for more memory (and time) than
// any search can use, so it is refused up front, naming the range.
void CheckScanSize(const ModelLevel& top, const SearchRange& range, const HTuple& angle_extent,
                   const HTuple& scale_r_min, const HTuple& scale_r_max, const HTuple& scale_c_min,
                   const HTuple& scale_c_max) {
  constexpr double kMaxEntries = 1 << 25;  // poses times points: about 512 MB of tables
  const double na = GridSize(range.a0, range.a1, top.angle_step);
  const double nr = GridSize(range.sr0, range.sr1, top.scale_r_step);
  const double nc = GridSize(range.sc0, range.sc1, top.scale_c_step);
  const double poses = na * nr * nc;
  if (poses * double(std::max<std::size_t>(top.Size(), 1)) <= kMaxEntries) return;
  char count[256];
  std::snprintf(count, sizeof count,
                "the search range needs %.3g poses on the top pyramid level (%.0f angles x %.0f "
                "row scales x %.0f column scales) of %zu points each, more than %.0f in all",
                poses, na, nr, nc, top.Size(), kMaxEntries);
  Fail(err::kWrongParamValue, kProc,
       ParamText("AngleExtent", angle_extent) + ", " + ParamText("ScaleRMin", scale_r_min) + ", " +
           ParamText("ScaleRMax", scale_r_max) + ", " + ParamText("ScaleCMin", scale_c_min) + ", " +
           ParamText("ScaleCMax", scale_c_max) + ": " + count +
           "; narrow the range or create the model with larger steps");
}

// Minimum fraction of the final minimum score that a candidate must reach on level k of the
// search (the coarse levels score lower: their sampling of the pose is coarser).
double LevelThreshold(double min_score, int k) { return min_score * std::max(0.5, 1.0 - 0.08 * k); }

}  // namespace

static void FindAnisoShapeModelImpl(const HObject& image, const HTuple& model_id,
                                    const HTuple& angle_start, const HTuple& angle_extent,
                                    const HTuple& scale_r_min, const HTuple& scale_r_max,
                                    const HTuple& scale_c_min, const HTuple& scale_c_max,
                                    const HTuple& min_score, const HTuple& num_matches,
                                    const HTuple& max_overlap, const HTuple& sub_pixel,
                                    const HTuple& num_levels, const HTuple& greediness, HTuple* row,
                                    HTuple* column, HTuple* angle, HTuple* scale_r, HTuple* scale_c,
                                    HTuple* score) {
  if (!row || !column || !angle || !scale_r || !scale_c || !score) {
    Fail(err::kNullOutput, kProc, "every one of the six outputs must be given");
  }
  const ImageData& img = SingleImage(image, kProc);
  if (model_id.Length() != 1 || model_id.Type(0) != HTupleType::Handle) {
    Fail(err::kModelHandle, kProc,
         ParamText("ModelID", model_id) + ": a shape model handle expected");
  }
  const HHandle handle = model_id.H();
  const auto* model = dynamic_cast<const ShapeModel*>(handle.get());
  if (model == nullptr) {
    Fail(err::kModelHandle, kProc, ParamText("ModelID", model_id) + ": not a shape model handle");
  }
  SearchRange range{};
  range.a0 = NumberInRange(angle_start, kProc, "AngleStart", -100.0, 100.0);
  const double a_ext = NumberParam(angle_extent, kProc, "AngleExtent");
  if (a_ext < 0) {
    Fail(err::kWrongParamRange, kProc,
         ParamText("AngleExtent", angle_extent) + ": the extent must not be negative");
  }
  if (a_ext > 2 * std::numbers::pi + 1e-9) {
    Fail(err::kWrongParamValue, kProc,
         ParamText("AngleExtent", angle_extent) + ": at most one full turn (2 pi)");
  }
  range.a1 = range.a0 + a_ext;
  range.sr0 = NumberInRange(scale_r_min, kProc, "ScaleRMin", 0.01, 100.0);
  range.sr1 = NumberInRange(scale_r_max, kProc, "ScaleRMax", 0.01, 100.0);
  CheckRange(range.sr0, range.sr1, kProc, "ScaleRMin", "ScaleRMax");
  range.sc0 = NumberInRange(scale_c_min, kProc, "ScaleCMin", 0.01, 100.0);
  range.sc1 = NumberInRange(scale_c_max, kProc, "ScaleCMax", 0.01, 100.0);
  CheckRange(range.sc0, range.sc1, kProc, "ScaleCMin", "ScaleCMax");
  const double s_min = NumberInRange(min_score, kProc, "MinScore", 0.0, 1.0);
  const long long max_count = IntegerParam(num_matches, kProc, "NumMatches", 0, 1 << 30);
  const double overlap_max = NumberInRange(max_overlap, kProc, "MaxOverlap", 0.0, 1.0);
  const int subpix = ChoiceParam(
      sub_pixel, kProc, "SubPixel",
      {"none", "interpolation", "least_squares", "least_squares_high", "least_squares_very_high"});
  const int model_levels = static_cast<int>(model->levels.size());
  int levels = static_cast<int>(IntegerParam(num_levels, kProc, "NumLevels", 0, 10));
  if (levels == 0) levels = model_levels;
  if (levels > model_levels) {
    Fail(err::kWrongParamValue, kProc,
         ParamText("NumLevels", num_levels) + ": the model has only " +
             std::to_string(model_levels) + " levels");
  }
  const double greed = NumberInRange(greediness, kProc, "Greediness", 0.0, 1.0);

  *row = HTuple();
  *column = HTuple();
  *angle = HTuple();
  *scale_r = HTuple();
  *scale_c = HTuple();
  *score = HTuple();
  // Fewer levels on images too small for the full pyramid.
  while (levels > 1 && ((img.width >> (levels - 1)) < 4 || (img.height >> (levels - 1)) < 4)) {
    --levels;
  }
  if (img.width < 3 || img.height < 3) return;
  CheckScanSize(model->levels[std::size_t(levels - 1)], range, angle_extent, scale_r_min,
                scale_r_max, scale_c_min, scale_c_max);

  // Buffers are kept per calling thread from one search to the next: fresh allocations of a few
  // megabytes cost more in page faults than a small search takes.
  // (Plain references, so that the parallel bodies below see this thread's buffers rather
  // than their own thread's.)
  thread_local Pyramid tl_pyr;
  thread_local ScanImage tl_scan;
  thread_local std::vector<std::int32_t> tl_best, tl_best_combo;
  Pyramid& pyr = tl_pyr;
  ScanImage& scan = tl_scan;
  std::vector<std::int32_t>& best = tl_best;
  std::vector<std::int32_t>& best_combo = tl_best_combo;
  BuildPyramid(img, levels, &pyr);
  const int top = levels - 1;
  std::vector<LevelView> views(static_cast<std::size_t>(levels));
  for (int k = 0; k < levels; ++k) {
    views[std::size_t(k)] = {&pyr.levels[std::size_t(k)], &model->levels[std::size_t(k)],
                             model->min_contrast * pyr.grad_scale, 1.0f / pyr.grad_scale,
                             model->metric};
  }

  // ---- Coarse scan on the top level ----
  const ModelLevel& tm = model->levels[std::size_t(top)];
  const PyramidLevel& tl = pyr.levels[std::size_t(top)];
  const std::vector<double> angles = Grid(range.a0, range.a1, tm.angle_step);
  const std::vector<double> srs = Grid(range.sr0, range.sr1, tm.scale_r_step);
  const std::vector<double> scs = Grid(range.sc0, range.sc1, tm.scale_c_step);
  const std::size_t np = tm.Size();
  struct ComboPose {
    double angle, sr, sc;
  };
  std::vector<ComboPose> combos;
  for (double a : angles) {
    for (double sr : srs) {
      for (double sc : scs) combos.push_back({a, sr, sc});
    }
  }
  std::vector<std::vector<int>> drs(combos.size()), dcs(combos.size());
  std::vector<ScanPose> scan_poses(combos.size());
  int pad = 1;
  for (std::size_t k = 0; k < combos.size(); ++k) {
    const Pose p{0, 0, combos[k].angle, combos[k].sr, combos[k].sc, 0};
    const PoseMatrix a(p);
    ScanPose& sp = scan_poses[k];
    sp.dir.resize(2 * np);
    drs[k].resize(np);
    dcs[k].resize(np);
    for (std::size_t i = 0; i < np; ++i) {
      const double qr = a.a00 * tm.row[i] + a.a01 * tm.col[i];
      const double qc = a.a10 * tm.row[i] + a.a11 * tm.col[i];
      drs[k][i] = static_cast<int>(std::lround(qr));
      dcs[k][i] = static_cast<int>(std::lround(qc));
      pad = std::max({pad, std::abs(drs[k][i]) + 1, std::abs(dcs[k][i]) + 1});
      double dr = a.n00 * tm.dir_row[i] + a.n01 * tm.dir_col[i];
      double dc = a.n10 * tm.dir_row[i] + a.n11 * tm.dir_col[i];
      const double dn = std::hypot(dr, dc);
      sp.dir[2 * i] = static_cast<std::int16_t>(std::lround(256 * dr / dn));
      sp.dir[2 * i + 1] = static_cast<std::int16_t>(std::lround(256 * dc / dn));
    }
  }
  scan.width = tl.width;
  scan.height = tl.height;
  scan.pad = pad;
  scan.stride = tl.width + 2 * pad + 16;
  scan.data.assign(2 * std::size_t(scan.stride) * (tl.height + 2 * pad), 0);
  {
    const float minc = views[std::size_t(top)].min_contrast;
    const float minc2 = minc * minc;
    for (int r = 0; r < tl.height; ++r) {
      const std::int16_t* g = tl.grad.data() + 2 * std::size_t(r) * tl.width;
      std::int16_t* out = scan.data.data() + 2 * (std::size_t(r + pad) * scan.stride + pad);
      for (int c = 0; c < tl.width; ++c) {
        const float gr = g[2 * c], gc = g[2 * c + 1];
        const float m2 = gr * gr + gc * gc;
        if (m2 < minc2 || m2 <= 0) continue;
        const float inv = 256.0f / std::sqrt(m2);
        out[2 * c] = static_cast<std::int16_t>(std::lrint(gr * inv));
        out[2 * c + 1] = static_cast<std::int16_t>(std::lrint(gc * inv));
      }
    }
  }
  for (std::size_t k = 0; k < combos.size(); ++k) {
    ScanPose& sp = scan_poses[k];
    sp.offset.resize(np);
    for (std::size_t i = 0; i < np; ++i) {
      sp.offset[i] = 2 * (drs[k][i] * scan.stride + dcs[k][i]);
    }
  }
  // Early termination: after j of n points the partial sum must reach
  //   (1 - g) * (s - 1 + j / n) + g * s * j / n     (times n, in the scan's units),
  // the first term being the bound no pose can beat once missed, the second the assumption that
  // the remaining points score like the ones seen.
  const double s_top = LevelThreshold(s_min, top);
  const double unit = 256.0 * 256.0;
  const std::size_t nchk = np / kScanCheckEvery;
  std::vector<std::int32_t> thresholds(nchk + 1);
  for (std::size_t k = 0; k < nchk; ++k) {
    const double j = double((k + 1) * kScanCheckEvery);
    const double frac = (1 - greed) * (s_top - 1 + j / double(np)) + greed * s_top * j / double(np);
    const double t = std::floor(frac * double(np) * unit);
    thresholds[k] = t < -2.0e9 ? -2000000000 : static_cast<std::int32_t>(t);
  }
  const std::int32_t final_threshold =
      static_cast<std::int32_t>(std::ceil(s_top * double(np) * unit - 1e-6));
  const int polarity = static_cast<int>(model->metric);
  best.assign(std::size_t(tl.width) * tl.height, kScanDead);
  best_combo.assign(best.size(), -1);
  ParallelFor(0, tl.height, [&](int r) {
    std::vector<std::int32_t> line(std::size_t(tl.width));
    std::int32_t* b = best.data() + std::size_t(r) * tl.width;
    std::int32_t* bc = best_combo.data() + std::size_t(r) * tl.width;
    for (std::size_t k = 0; k < combos.size(); ++k) {
      ScanRow(scan, scan_poses[k], r, polarity, thresholds.data(), line.data());
      for (int c = 0; c < tl.width; ++c) {
        if (line[std::size_t(c)] >= final_threshold && line[std::size_t(c)] > b[c]) {
          b[c] = line[std::size_t(c)];
          bc[c] = static_cast<std::int32_t>(k);
        }
      }
    }
  });
  // Local maxima of the best score over the pose grid.
  std::vector<Pose> cands;
  for (int r = 0; r < tl.height; ++r) {
    for (int c = 0; c < tl.width; ++c) {
      const std::int32_t v = best[std::size_t(r) * tl.width + c];
      if (v == kScanDead) continue;
      bool is_max = true;
      for (int dr = -1; dr <= 1 && is_max; ++dr) {
        for (int dc = -1; dc <= 1; ++dc) {
          if (!dr && !dc) continue;
          const int rr = r + dr, cc = c + dc;
          if (rr < 0 || cc < 0 || rr >= tl.height || cc >= tl.width) continue;
          const std::int32_t w = best[std::size_t(rr) * tl.width + cc];
          // Ties go to the first in raster order.
          if (w > v || (w == v && (dr < 0 || (dr == 0 && dc < 0)))) {
            is_max = false;
            break;
          }
        }
      }
      if (!is_max) continue;
      const ComboPose& cp = combos[std::size_t(best_combo[std::size_t(r) * tl.width + c])];
      cands.push_back({double(r), double(c), cp.angle, cp.sr, cp.sc, v / (unit * double(np))});
    }
  }
  auto by_score = [](const Pose& a, const Pose& b) {
    if (a.score != b.score) return a.score > b.score;
    if (a.row != b.row) return a.row < b.row;
    return a.col < b.col;
  };
  std::sort(cands.begin(), cands.end(), by_score);
  {
    // Nearby maxima belong to one object.
    std::vector<Pose> kept;
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
    cands.swap(kept);
  }
  if (max_count > 0) {
    const std::size_t cap = std::size_t(std::min<long long>(max_count * 8 + 16, 1 << 20));
    if (cands.size() > cap) cands.resize(cap);
  }

  // ---- Down the pyramid ----
  for (int k = top - 1; k >= 0; --k) {
    const LevelView& v = views[std::size_t(k)];
    const bool first = k == top - 1;
    const bool last = k == 0;
    std::vector<char> alive(cands.size(), 0);
    ParallelFor(0, static_cast<int>(cands.size()), [&](int i) {
      Pose& p = cands[std::size_t(i)];
      p.row = 2 * p.row + 0.5;
      p.col = 2 * p.col + 0.5;
      // Least-squares steps per level: the first level below the scan starts far off (up to a
      // pixel of the coarser level) and looks further; on the full-resolution level the pose
      // is already within a fraction of a pixel.
      int iters = first ? 2 : 1;
      if (last) iters = subpix == 0 ? 0 : subpix == 1 ? 1 : subpix == 2 ? 2 : subpix == 3 ? 4 : 6;
      for (int it = 0; it < iters; ++it) {
        const Pose before = p;
        const int reach = (first && it == 0) ? 3 : last && !first ? 1 : 2;
        if (!RefineStep(v, &p, reach, range)) break;
        if (std::abs(p.row - before.row) < 1e-4 && std::abs(p.col - before.col) < 1e-4 &&
            std::abs(p.angle - before.angle) < 1e-6 && std::abs(p.sr - before.sr) < 1e-6 &&
            std::abs(p.sc - before.sc) < 1e-6) {
          break;
        }
      }
      if (k == 1 && SideSearch(v, &p, 6, range, greed)) {
        for (int it = 0; it < 2; ++it) {
          if (!RefineStep(v, &p, 2, range)) break;
        }
      }
      if (last && subpix == 0) {
        p.row = std::round(p.row);
        p.col = std::round(p.col);
      }
      p.score = ScorePose(v, p);
      alive[std::size_t(i)] = p.score >= (last ? s_min : LevelThreshold(s_min, k));
    });
    std::vector<Pose> next;
    for (std::size_t i = 0; i < cands.size(); ++i) {
      if (alive[i]) next.push_back(cands[i]);
    }
    std::sort(next.begin(), next.end(), by_score);
    // Candidates that converged onto the same object.
    std::vector<Pose> kept;
    for (const Pose& p : next) {
      bool dup = false;
      for (const Pose& q : kept) {
        if (std::hypot(p.row - q.row, p.col - q.col) < 1.5 &&
            std::abs(p.angle - q.angle) < model->levels[std::size_t(k)].angle_step &&
            std::abs(p.sr - q.sr) < model->levels[std::size_t(k)].scale_r_step &&
            std::abs(p.sc - q.sc) < model->levels[std::size_t(k)].scale_c_step) {
          dup = true;
          break;
        }
      }
      if (!dup) kept.push_back(p);
    }
    cands.swap(kept);
  }
  if (top == 0) {
    // A one-level search: the scan result is the final pose.
    std::vector<Pose> kept;
    for (Pose& p : cands) {
      p.score = ScorePose(views[0], p);
      if (p.score >= s_min) kept.push_back(p);
    }
    std::sort(kept.begin(), kept.end(), by_score);
    cands.swap(kept);
  }

  // ---- Overlap and count ----
  std::vector<Pose> result;
  for (const Pose& p : cands) {
    bool drop = false;
    for (const Pose& q : result) {
      if (Overlap(*model, p, q) > overlap_max) {
        drop = true;
        break;
      }
    }
    if (drop) continue;
    result.push_back(p);
    if (max_count > 0 && static_cast<long long>(result.size()) >= max_count) break;
  }
  for (const Pose& p : result) {
    row->Append(HTuple(p.row));
    column->Append(HTuple(p.col));
    angle->Append(HTuple(p.angle));
    scale_r->Append(HTuple(p.sr));
    scale_c->Append(HTuple(p.sc));
    score->Append(HTuple(p.score));
  }
}

// Memory runs out only on very large inputs; that is reported like any other failure.
void FindAnisoShapeModel(const HObject& image, const HTuple& model_id, const HTuple& angle_start,
                         const HTuple& angle_extent, const HTuple& scale_r_min,
                         const HTuple& scale_r_max, const HTuple& scale_c_min,
                         const HTuple& scale_c_max, const HTuple& min_score,
                         const HTuple& num_matches, const HTuple& max_overlap,
                         const HTuple& sub_pixel, const HTuple& num_levels,
                         const HTuple& greediness, HTuple* row, HTuple* column, HTuple* angle,
                         HTuple* scale_r, HTuple* scale_c, HTuple* score) {
  try {
    FindAnisoShapeModelImpl(image, model_id, angle_start, angle_extent, scale_r_min, scale_r_max,
                            scale_c_min, scale_c_max, min_score, num_matches, max_overlap,
                            sub_pixel, num_levels, greediness, row, column, angle, scale_r, scale_c,
                            score);
  } catch (const std::bad_alloc&) {
    detail::Fail(err::kOutOfMemory, "FindAnisoShapeModel",
                 "not enough memory for the search's image pyramid and tables");
  }
}

}  // namespace vision

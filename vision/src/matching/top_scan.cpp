// The top level's exhaustive scan: its tables, its image, the scan and its candidates.
#include "matching/top_scan.h"

#include <algorithm>
#include <cmath>

#include "detail/parallel.h"
#include "detail/simd.h"
#include "matching/operators.h"
#include "matching/score.h"

namespace vision::detail {

std::vector<double> Grid(double lo, double hi, double step) {
  if (GridSize(lo, hi, step) == 1.0) return {0.5 * (lo + hi)};
  const int n = static_cast<int>(GridSize(lo, hi, step));
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(lo + (hi - lo) * i / (n - 1));
  return v;
}

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

ScanLayout::ScanLayout(int width, int height, int pad) {
  image.width = width;
  image.height = height;
  image.pad = pad;
  image.stride = width + 2 * pad + 16;
  image_elements = 2 * std::size_t(image.stride) * std::size_t(height + 2 * pad);
  pixels = std::size_t(width) * std::size_t(height);
}

std::size_t ScanLayout::Bytes() const {
  return (image_elements * sizeof(std::int16_t) + 63) / 64 * 64 + 2 * pixels * 4;
}

void ScanLayout::Place(std::uint8_t* bytes, TopScan* scan) const {
  scan->image = image;
  scan->image.data = reinterpret_cast<std::int16_t*>(bytes);
  scan->best = reinterpret_cast<std::int32_t*>(bytes + (Bytes() - 2 * pixels * 4));
  scan->best_combo = scan->best + pixels;
}

void PrepareScan(const PyramidLevel& tl, float min_contrast, ScanTables* t, TopScan* top) {
  ScanImage* scan = &top->image;
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

void ScanTopLevel(const ScanTables& t, MatchMetric metric, TopScan* top) {
  const ScanImage& scan = top->image;
  const int width = scan.width;
  const std::size_t pixels = std::size_t(width) * std::size_t(scan.height);
  std::fill(top->best, top->best + pixels, kScanDead);
  std::fill(top->best_combo, top->best_combo + pixels, -1);
  const SimdPath path = BestSimdPath();
  ParallelFor(0, scan.height, [&](int r) {
    const std::size_t at = std::size_t(r) * width;
    for (std::size_t k = 0; k < t.combos.size(); ++k) {
      const KeepRule keep{t.final_threshold, static_cast<std::int32_t>(k), top->best + at,
                          top->best_combo + at};
      ScanRowKeepBestWith(path, scan, t.poses[k], r, metric, t.thresholds.data(), keep);
    }
  });
}

void TopCandidates(const ScanTables& t, const TopScan& scan, std::size_t np, long long max_count,
                   std::vector<Pose>* maxima, std::vector<Pose>* out) {
  const int width = scan.image.width, height = scan.image.height;
  const std::int32_t* best = scan.best;
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
      const ComboPose& cp = t.combos[std::size_t(scan.best_combo[std::size_t(r) * width + c])];
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

}  // namespace vision::detail

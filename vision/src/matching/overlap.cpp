// Overlap of matches: convex polygon clipping of the models' boxes.
#include "matching/overlap.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace vision::detail {

namespace {

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

}  // namespace

// Sutherland-Hodgman clipping of a's box by b's.
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

void SelectByOverlap(const std::vector<Pose>& cands, const ShapeModel& model, double max_overlap,
                     long long max_count, std::vector<Pose>* out) {
  std::vector<Pose>& result = *out;
  result.clear();
  for (const Pose& p : cands) {
    bool drop = false;
    for (const Pose& q : result) {
      if (Overlap(model, p, q) > max_overlap) {
        drop = true;
        break;
      }
    }
    if (drop) continue;
    result.push_back(p);
    if (max_count > 0 && static_cast<long long>(result.size()) >= max_count) break;
  }
}

}  // namespace vision::detail

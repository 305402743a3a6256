// Polygon contours, with and without rounded corners.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/param.h"
#include "vision/HContourOps.h"
#include "vision/HErrorCodes.h"

namespace vision {

namespace {

// Upper bound on the points one contour may have, so a tiny sampling interval cannot exhaust
// memory.
constexpr std::size_t kMaxContourPoints = std::size_t{1} << 24;

struct Pt {
  double r, c;
};
Pt operator+(Pt a, Pt b) { return {a.r + b.r, a.c + b.c}; }
Pt operator-(Pt a, Pt b) { return {a.r - b.r, a.c - b.c}; }
Pt operator*(Pt a, double s) { return {a.r * s, a.c * s}; }
double Dot(Pt a, Pt b) { return a.r * b.r + a.c * b.c; }
double Norm(Pt a) { return std::hypot(a.r, a.c); }

std::vector<double> Numbers(const HTuple& t, const char* proc, const char* param) {
  std::vector<double> out;
  if (!detail::ReadFiniteNumbers(t, &out)) {
    detail::BadParam(err::kWrongParamType, proc, param, t, "finite numbers expected");
  }
  return out;
}

void CheckPoints(const std::vector<double>& rows, const std::vector<double>& cols,
                 std::size_t min_points, const char* proc, const HTuple& r, const HTuple& c) {
  if (rows.size() != cols.size()) {
    detail::Fail(err::kWrongParamCount, proc,
                 "Rows has " + std::to_string(rows.size()) + " values, Columns " +
                     std::to_string(cols.size()) + " (" + detail::Describe(r) + " / " +
                     detail::Describe(c) + ")");
  }
  if (rows.size() < min_points) {
    detail::Fail(err::kWrongParamCount, proc,
                 "at least " + std::to_string(min_points) + " points are needed, got " +
                     std::to_string(rows.size()));
  }
}

class PointSink {
 public:
  PointSink(detail::ContourData& out, const char* proc) : out_(out), proc_(proc) {}
  void Add(Pt p) {
    Reserve(1.0);
    out_.rows.push_back(p.r);
    out_.cols.push_back(p.c);
  }
  // Points from the last one to b (included), at most interval apart.
  void Line(Pt b, double interval) {
    const Pt a{out_.rows.back(), out_.cols.back()};
    const double len = Norm(b - a);
    if (len == 0.0) return;
    const double steps = std::ceil(len / interval - 1e-9);
    Reserve(steps);
    const int n = std::max(1, static_cast<int>(steps));
    for (int k = 1; k < n; ++k) Add(a + (b - a) * (double(k) / n));
    Add(b);
  }

  // Raises unless count more points keep the contour within its limit.
  void Reserve(double count) const {
    if (double(out_.rows.size()) + count > double(kMaxContourPoints)) {
      detail::Fail(err::kWrongParamValue, proc_,
                   "the contour would have more than " + std::to_string(kMaxContourPoints) +
                       " points; use a larger sampling interval");
    }
  }

 private:
  detail::ContourData& out_;
  const char* proc_;
};

}  // namespace

static void GenContourPolygonXldImpl(HObject* contour, const HTuple& rows, const HTuple& columns) {
  constexpr const char* proc = "GenContourPolygonXld";
  if (contour == nullptr) detail::Fail(err::kNullOutput, proc, "no output object given");
  detail::ContourData data;
  data.rows = Numbers(rows, proc, "Row");
  data.cols = Numbers(columns, proc, "Column");
  CheckPoints(data.rows, data.cols, 1, proc, rows, columns);
  *contour = detail::MakeObject(std::move(data));
}

void GenContourPolygonXld(HObject* contour, const HTuple& rows, const HTuple& columns) {
  detail::GuardMemory("GenContourPolygonXld",
                      [&] { GenContourPolygonXldImpl(contour, rows, columns); });
}

static void GenContourPolygonRoundedXldImpl(HObject* contour, const HTuple& rows,
                                            const HTuple& columns, const HTuple& radius,
                                            const HTuple& sampling_interval) {
  constexpr const char* proc = "GenContourPolygonRoundedXld";
  if (contour == nullptr) detail::Fail(err::kNullOutput, proc, "no output object given");
  const std::vector<double> r_in = Numbers(rows, proc, "Rows");
  const std::vector<double> c_in = Numbers(columns, proc, "Cols");
  CheckPoints(r_in, c_in, 2, proc, rows, columns);
  const std::vector<double> radii = Numbers(radius, proc, "Radius");
  if (radii.size() != 1 && radii.size() != r_in.size()) {
    detail::BadParam(err::kWrongParamCount, proc, "Radius", radius,
                     "one value or one per point (" + std::to_string(r_in.size()) + ") expected");
  }
  for (double r : radii) {
    if (r < 0) {
      detail::BadParam(err::kWrongParamValue, proc, "Radius", radius, "radii must not be negative");
    }
  }
  const std::vector<double> sampling = Numbers(sampling_interval, proc, "SamplingInterval");
  if (sampling.size() != 1 || !(sampling[0] > 0)) {
    detail::BadParam(err::kWrongParamValue, proc, "SamplingInterval", sampling_interval,
                     "one positive number expected");
  }
  const double interval = sampling[0];

  // Vertices without consecutive repeats; each keeps the radius given for it.
  std::vector<Pt> v;
  std::vector<double> vr;
  for (std::size_t i = 0; i < r_in.size(); ++i) {
    const Pt p{r_in[i], c_in[i]};
    if (!v.empty() && p.r == v.back().r && p.c == v.back().c) continue;
    v.push_back(p);
    vr.push_back(radii.size() == 1 ? radii[0] : radii[i]);
  }
  const bool closed = v.size() >= 4 && v.front().r == v.back().r && v.front().c == v.back().c;
  if (closed) {
    v.pop_back();
    vr.pop_back();
  }
  const std::size_t m = v.size();
  detail::ContourData data;
  PointSink sink(data, proc);
  if (m == 1) {
    sink.Add(v[0]);
    *contour = detail::MakeObject(std::move(data));
    return;
  }

  // Tangent distance d of every corner: r / tan(half the interior angle), limited to half of
  // each adjacent edge (all of it next to an open end), so neighbouring arcs never overlap.
  auto rounded = [&](std::size_t i) { return closed || (i > 0 && i + 1 < m); };
  std::vector<double> dist(m, 0.0), half(m, 0.0);
  for (std::size_t i = 0; i < m; ++i) {
    if (!rounded(i) || vr[i] <= 0) continue;
    const std::size_t prev = (i + m - 1) % m, next = (i + 1) % m;
    const Pt a = v[prev] - v[i], b = v[next] - v[i];
    const double la = Norm(a), lb = Norm(b);
    const double cosang = std::clamp(Dot(a, b) / (la * lb), -1.0, 1.0);
    const double h = std::acos(cosang) / 2;                     // half the interior angle
    if (h < 1e-9 || h > std::numbers::pi / 2 - 1e-9) continue;  // spike or straight on
    const double la_max = rounded(prev) ? la / 2 : la;
    const double lb_max = rounded(next) ? lb / 2 : lb;
    dist[i] = std::min({vr[i] / std::tan(h), la_max, lb_max});
    half[i] = h;
  }

  // One corner: the arc from the tangent point on the incoming edge to the one on the outgoing
  // edge, points spaced at most interval apart along the arc.
  auto corner = [&](std::size_t i) {
    if (dist[i] == 0.0) {
      sink.Line(v[i], interval);
      return;
    }
    const std::size_t prev = (i + m - 1) % m, next = (i + 1) % m;
    const Pt ua = (v[prev] - v[i]) * (1.0 / Norm(v[prev] - v[i]));
    const Pt ub = (v[next] - v[i]) * (1.0 / Norm(v[next] - v[i]));
    const Pt t_in = v[i] + ua * dist[i];
    const Pt t_out = v[i] + ub * dist[i];
    const double r = dist[i] * std::tan(half[i]);
    const Pt bis = (ua + ub) * (1.0 / Norm(ua + ub));
    const Pt centre = v[i] + bis * (r / std::sin(half[i]));
    const Pt s = t_in - centre, e = t_out - centre;
    Pt perp{-s.c, s.r};
    if (Dot(perp, e) < 0) perp = perp * -1.0;
    const double sweep = std::numbers::pi - 2 * half[i];
    const double steps = std::ceil(r * sweep / interval - 1e-9);
    sink.Reserve(steps);
    const int n = std::max(1, static_cast<int>(steps));
    sink.Line(t_in, interval);
    for (int k = 1; k < n; ++k) {
      const double t = sweep * k / n;
      sink.Add(centre + s * std::cos(t) + perp * std::sin(t));
    }
    sink.Add(t_out);
  };

  if (closed) {
    // Start after the first corner, end with it, and close exactly on the start point.
    const Pt start = dist[0] == 0.0 ? v[0] : v[0] + (v[1] - v[0]) * (dist[0] / Norm(v[1] - v[0]));
    sink.Add(start);
    for (std::size_t i = 1; i < m; ++i) corner(i);
    if (dist[0] == 0.0) {
      sink.Line(v[0], interval);
    } else {
      corner(0);
    }
    data.rows.back() = data.rows.front();
    data.cols.back() = data.cols.front();
  } else {
    sink.Add(v[0]);
    for (std::size_t i = 1; i + 1 < m; ++i) corner(i);
    sink.Line(v[m - 1], interval);
  }
  *contour = detail::MakeObject(std::move(data));
}

void GenContourPolygonRoundedXld(HObject* contour, const HTuple& rows, const HTuple& columns,
                                 const HTuple& radius, const HTuple& sampling_interval) {
  detail::GuardMemory("GenContourPolygonRoundedXld", [&] {
    GenContourPolygonRoundedXldImpl(contour, rows, columns, radius, sampling_interval);
  });
}

static void GetContourXldImpl(const HObject& contour, HTuple* rows, HTuple* columns) {
  constexpr const char* proc = "GetContourXld";
  if (!contour.IsInitialized())
    detail::Fail(err::kObjectEmpty, proc, "the contour object is empty");
  const auto* data = std::get_if<detail::ContourData>(&contour.Parts().front()->value);
  if (data == nullptr) detail::Fail(err::kObjectKind, proc, "a contour was expected, got an image");
  if (rows) {
    std::vector<HTuple::Element> e(data->rows.begin(), data->rows.end());
    *rows = HTuple(std::move(e));
  }
  if (columns) {
    std::vector<HTuple::Element> e(data->cols.begin(), data->cols.end());
    *columns = HTuple(std::move(e));
  }
}

void GetContourXld(const HObject& contour, HTuple* rows, HTuple* columns) {
  detail::GuardMemory("GetContourXld", [&] { GetContourXldImpl(contour, rows, columns); });
}

}  // namespace vision

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include <vision/vision.h>

#include "raises.h"

using namespace vision;
using visiontest::Raises;

namespace {

HTuple Ints(std::initializer_list<int> values) {
  HTuple t;
  for (int v : values) t.Append(v);
  return t;
}

struct Points {
  std::vector<double> r, c;
};

Points Get(const HObject& contour) {
  HTuple rows, cols;
  GetContourXld(contour, &rows, &cols);
  Points p;
  for (Hlong i = 0; i < rows.Length(); ++i) {
    p.r.push_back(rows[i].D());
    p.c.push_back(cols[i].D());
  }
  return p;
}

}  // namespace

TEST(RoundedPolygon, RectangleCornersAreArcsTangentToTheEdges) {
  HObject contour;
  GenContourPolygonRoundedXld(&contour, Ints({50, 100, 100, 50, 50}), Ints({50, 50, 150, 150, 50}),
                              Ints({6, 6, 6, 6, 6}), 1);
  const Points p = Get(contour);
  ASSERT_GT(p.r.size(), 200u);
  EXPECT_EQ(p.r.front(), p.r.back());
  EXPECT_EQ(p.c.front(), p.c.back());
  const double centres[4][2] = {{56, 56}, {94, 56}, {94, 144}, {56, 144}};
  for (std::size_t i = 0; i + 1 < p.r.size(); ++i) {
    // Every point is on an edge of the rectangle or on a corner arc of radius 6.
    const double r = p.r[i], c = p.c[i];
    ASSERT_TRUE(r >= 50 - 1e-9 && r <= 100 + 1e-9 && c >= 50 - 1e-9 && c <= 150 + 1e-9);
    const bool on_edge = (std::fabs(r - 50) < 1e-9 || std::fabs(r - 100) < 1e-9)
                             ? (c >= 56 - 1e-9 && c <= 144 + 1e-9)
                         : (std::fabs(c - 50) < 1e-9 || std::fabs(c - 150) < 1e-9)
                             ? (r >= 56 - 1e-9 && r <= 94 + 1e-9)
                             : false;
    bool on_arc = false;
    for (const auto& ctr : centres) {
      if (std::fabs(std::hypot(r - ctr[0], c - ctr[1]) - 6.0) < 1e-9) on_arc = true;
    }
    EXPECT_TRUE(on_edge || on_arc) << "point " << i << " (" << r << ", " << c << ")";
    // Sampled at the interval.
    EXPECT_LE(std::hypot(p.r[i + 1] - r, p.c[i + 1] - c), 1.0 + 1e-9);
  }
  // The sharp corners themselves are cut off.
  for (std::size_t i = 0; i < p.r.size(); ++i) {
    EXPECT_FALSE(std::fabs(p.r[i] - 50) < 1e-6 && std::fabs(p.c[i] - 50) < 1e-6);
  }
}

TEST(RoundedPolygon, OpenPolylineKeepsItsEndsAndClampsTheRadius) {
  HObject contour;
  // A radius of 100 on edges of length 10 and 4: the tangent distance is limited to the shorter
  // edge (its far end is an open end, so the whole edge may be used).
  GenContourPolygonRoundedXld(&contour, Ints({0, 0, 4}), Ints({0, 10, 10}), 100, 0.5);
  const Points p = Get(contour);
  EXPECT_DOUBLE_EQ(p.r.front(), 0);
  EXPECT_DOUBLE_EQ(p.c.front(), 0);
  EXPECT_DOUBLE_EQ(p.r.back(), 4);
  EXPECT_DOUBLE_EQ(p.c.back(), 10);
  for (std::size_t i = 0; i < p.r.size(); ++i) {
    // Arc of radius 4 around (4, 6).
    if (p.c[i] > 6 + 1e-9 && p.r[i] < 4 - 1e-9) {
      EXPECT_NEAR(std::hypot(p.r[i] - 4, p.c[i] - 6), 4.0, 1e-9);
    }
  }
}

TEST(RoundedPolygon, ZeroRadiusGivesThePlainPolygon) {
  HObject contour;
  GenContourPolygonRoundedXld(&contour, Ints({0, 0, 10, 0}), Ints({0, 10, 10, 0}), 0, 100.0);
  const Points p = Get(contour);
  ASSERT_EQ(p.r.size(), 4u);
  EXPECT_EQ(p.c[1], 10);
  EXPECT_EQ(p.r[2], 10);
}

TEST(RoundedPolygon, BadArgumentsRaise) {
  HObject c;
  Raises(err::kWrongParamCount, [&] {
    GenContourPolygonRoundedXld(&c, Ints({0, 1}), Ints({0}), 1, 1);
  });
  Raises(err::kWrongParamCount, [&] {
    GenContourPolygonRoundedXld(&c, Ints({0, 1, 2}), Ints({0, 1, 2}), Ints({1, 2}), 1);
  });
  Raises(err::kWrongParamValue, [&] {
    GenContourPolygonRoundedXld(&c, Ints({0, 1, 2}), Ints({0, 1, 2}), -1, 1);
  });
  Raises(err::kWrongParamValue, [&] {
    GenContourPolygonRoundedXld(&c, Ints({0, 1, 2}), Ints({0, 1, 2}), 1, 0);
  });
  Raises(err::kWrongParamType, [&] {
    GenContourPolygonRoundedXld(&c, Ints({0, 1}), HTuple("a").Append("b"), 1, 1);
  });
  // A sampling interval so small that the contour would exhaust memory.
  Raises(err::kWrongParamValue, [&] {
    GenContourPolygonRoundedXld(&c, Ints({0, 100000}), Ints({0, 0}), 1, 1e-6);
  });
  Raises(err::kNullOutput, [&] {
    GenContourPolygonRoundedXld(nullptr, Ints({0, 1}), Ints({0, 1}), 1, 1);
  });
  HObject image;
  GenImageConst(&image, "byte", 4, 4);
  HTuple rows, cols;
  Raises(err::kObjectKind, [&] { GetContourXld(image, &rows, &cols); });
  Raises(err::kObjectEmpty, [&] { GetContourXld(HObject(), &rows, &cols); });
}

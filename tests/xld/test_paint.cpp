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

// The template the benchmark paints: rows 50..100, columns 50..150, corners of radius 6.
HObject BenchmarkTemplate(HObject* canvas_out = nullptr) {
  HObject contour, canvas, painted;
  GenContourPolygonRoundedXld(&contour, Ints({50, 100, 100, 50, 50}), Ints({50, 50, 150, 150, 50}),
                              Ints({6, 6, 6, 6, 6}), 1);
  GenImageConst(&canvas, "byte", 200, 150);
  PaintXld(contour, canvas, &painted, 128);
  if (canvas_out) *canvas_out = canvas;
  return painted;
}

}  // namespace

TEST(PaintXld, BenchmarkTemplateIsSymmetricAndHasTheAnalyticArea) {
  HObject canvas;
  const HObject painted = BenchmarkTemplate(&canvas);
  HTuple type;
  Hlong w = 0, h = 0;
  const auto* px = static_cast<const std::uint8_t*>(GetImagePointer1(painted, &type, &w, &h));
  ASSERT_EQ(w, 200);
  ASSERT_EQ(h, 150);
  EXPECT_EQ(type.S().Str(), "byte");
  // Mirror symmetric about row 75 and column 100 (pixel centres at integers).
  double sum = 0;
  for (int r = 0; r < 150; ++r) {
    for (int c = 0; c < 200; ++c) {
      const int v = px[r * 200 + c];
      sum += v;
      ASSERT_EQ(v, px[(150 - r) % 150 * 200 + c]) << "row " << r << " col " << c;
      if (r >= 1) {
        ASSERT_EQ(v, px[(150 - r) * 200 + c]) << "row " << r << " col " << c;
      }
      if (c >= 1) {
        ASSERT_EQ(v, px[r * 200 + (200 - c)]) << "row " << r << " col " << c;
      }
    }
  }
  // Edges through pixel centres are half covered; the inside is full, the outside empty.
  EXPECT_EQ(px[50 * 200 + 100], 64);
  EXPECT_EQ(px[100 * 200 + 100], 64);
  EXPECT_EQ(px[75 * 200 + 50], 64);
  EXPECT_EQ(px[75 * 200 + 100], 128);
  EXPECT_EQ(px[49 * 200 + 100], 0);
  EXPECT_EQ(px[50 * 200 + 50], 0);  // the rounded-off corner
  // Area: 50 x 100 minus the four corners cut by the radius-6 arcs.
  const double area = 50.0 * 100.0 - (4.0 - std::numbers::pi) * 36.0;
  EXPECT_NEAR(sum / 128.0, area, area * 0.005);
  // The input canvas is untouched.
  const auto* blank =
      static_cast<const std::uint8_t*>(GetImagePointer1(canvas, nullptr, nullptr, nullptr));
  for (int i = 0; i < 200 * 150; ++i) ASSERT_EQ(blank[i], 0);
}

TEST(PaintXld, CoverageOfAnOffGridTriangleMatchesItsArea) {
  HObject contour, canvas, painted;
  HTuple rows, cols;
  rows.Append(10.3).Append(40.7).Append(25.1).Append(10.3);
  cols.Append(5.2).Append(12.9).Append(60.4).Append(5.2);
  GenContourPolygonXld(&contour, rows, cols);
  GenImageConst(&canvas, "real", 80, 60);
  PaintXld(contour, canvas, &painted, 1.0);
  const auto* px = static_cast<const float*>(GetImagePointer1(painted, nullptr, nullptr, nullptr));
  double sum = 0;
  for (int i = 0; i < 80 * 60; ++i) sum += px[i];
  const double area = 0.5 * std::fabs((40.7 - 10.3) * (60.4 - 5.2) - (25.1 - 10.3) * (12.9 - 5.2));
  EXPECT_NEAR(sum, area, 1e-3);
}

TEST(PaintXld, ColourImagesClippingAndErrors) {
  HObject contour, image, painted;
  // A square hanging over the image's left and top border.
  GenContourPolygonXld(&contour, Ints({-5, -5, 5, 5, -5}), Ints({-5, 5, 5, -5, -5}));
  std::vector<std::uint8_t> r(100, 10), g(100, 20), b(100, 30);
  GenImage3(&image, "byte", 10, 10, r.data(), g.data(), b.data());
  PaintXld(contour, image, &painted, HTuple(200).Append(100).Append(50));
  HTuple v;
  GetGrayval(painted, Ints({0, 4, 5, 9}), Ints({0, 4, 5, 9}), &v);
  ASSERT_EQ(v.Length(), 12);
  EXPECT_EQ(v[0].L(), 200);
  EXPECT_EQ(v[1].L(), 100);
  EXPECT_EQ(v[2].L(), 50);
  EXPECT_EQ(v[3].L(), 200);
  EXPECT_EQ(v[6].L(), 58);  // a quarter covered (a corner through its centre): 10 + 190 / 4
  EXPECT_EQ(v[9].L(), 10);

  HObject open;
  GenContourPolygonXld(&open, Ints({0, 5, 5}), Ints({0, 0, 5}));
  Raises(err::kContourNotClosed, [&] { PaintXld(open, image, &painted, 1); });
  Raises(err::kWrongParamCount, [&] { PaintXld(contour, image, &painted, Ints({1, 2})); });
  Raises(err::kWrongParamType, [&] { PaintXld(contour, image, &painted, "x"); });
  Raises(err::kObjectKind, [&] { PaintXld(image, image, &painted, 1); });
  Raises(err::kObjectKind, [&] { PaintXld(contour, contour, &painted, 1); });
  Raises(err::kNullOutput, [&] { PaintXld(contour, image, nullptr, 1); });
}

namespace {

HTuple Reals(std::initializer_list<double> values) {
  HTuple t;
  for (double v : values) t.Append(v);
  return t;
}

// Paints a closed polygon with 1.0 into a fresh "real" image and returns the coverage.
std::vector<float> Coverage(const HTuple& rows, const HTuple& cols, int width, int height) {
  HObject contour, canvas, painted;
  GenContourPolygonXld(&contour, rows, cols);
  GenImageConst(&canvas, "real", width, height);
  PaintXld(contour, canvas, &painted, 1.0);
  HTuple type;
  Hlong w = 0, h = 0;
  const auto* px = static_cast<const float*>(GetImagePointer1(painted, &type, &w, &h));
  return std::vector<float>(px, px + w * h);
}

}  // namespace

// The work depends on the image and the number of points only: a contour reaching far outside is
// clipped to the image before it is cut at the pixel grid (otherwise a corner at 1e9 means
// billions of grid crossings and gigabytes).
TEST(PaintXld, ContoursReachingFarOutsideAreClippedToTheImageFirst) {
  // The half-plane column > row, once as a huge triangle and once as a small one covering the
  // image: the same coverage.
  const double far = 1e9;
  const std::vector<float> big =
      Coverage(Reals({-far, far, -far, -far}), Reals({-far, far, far, -far}), 40, 30);
  const std::vector<float> small =
      Coverage(Reals({-10, 50, -10, -10}), Reals({-10, 50, 50, -10}), 40, 30);
  ASSERT_EQ(big.size(), small.size());
  for (std::size_t i = 0; i < big.size(); ++i) EXPECT_NEAR(big[i], small[i], 1e-4) << i;
  EXPECT_FLOAT_EQ(small[5 * 40 + 5], 0.5f);  // on the diagonal
  EXPECT_FLOAT_EQ(small[5 * 40 + 6], 1.0f);
  EXPECT_FLOAT_EQ(small[6 * 40 + 5], 0.0f);

  // Squares around the image up to the largest finite coordinates cover every pixel; the same
  // squares beside the image cover none.
  for (const double side : {1e15, 1e300, 1.7e308}) {
    for (const float v : Coverage(Reals({-side, -side, side, side, -side}),
                                  Reals({-side, side, side, -side, -side}), 40, 30))
      ASSERT_EQ(v, 1.0f) << side;
    for (const float v : Coverage(Reals({-side, -side, side, side, -side}),
                                  Reals({100, side, side, 100, 100}), 40, 30))
      ASSERT_EQ(v, 0.0f) << side;
  }
}

// Tall images are painted in bands of rows; a contour crossing a band's edge is painted whole.
TEST(PaintXld, BandsOfRowsJoinWithoutSeams) {
  // 3000 columns: a band holds about 1400 rows, so rows 10..1990 span two.
  const std::vector<float> cov = Coverage(Reals({10.25, 10.25, 1990.75, 1990.75, 10.25}),
                                          Reals({10.5, 20.5, 20.5, 10.5, 10.5}), 3000, 2000);
  double area = 0;
  for (const float v : cov) area += v;
  EXPECT_NEAR(area, 1980.5 * 10.0, 1e-3);
  for (int r = 11; r <= 1990; ++r) {
    for (int c = 11; c <= 20; ++c) ASSERT_EQ(cov[std::size_t(r) * 3000 + std::size_t(c)], 1.0f);
  }
  EXPECT_FLOAT_EQ(cov[10 * 3000 + 15], 0.25f);
  EXPECT_FLOAT_EQ(cov[1991 * 3000 + 15], 0.25f);
}

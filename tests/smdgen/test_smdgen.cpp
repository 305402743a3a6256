// Tests of the SMD sample-image generator: its deterministic arithmetic, the pose convention of
// its ground truth, the layout rules of the four scenes and the images the build produced.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "detmath.h"
#include "smdgen.h"
#include "vision/vision.h"

namespace smdgen {
namespace {

// --- Deterministic arithmetic -------------------------------------------------------------------

TEST(SmdgenMath, SplitMixFollowsTheReferenceSequence) {
  // Reference outputs of splitmix64 started from state 0.
  Rng rng(0);
  EXPECT_EQ(rng.Next(), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(rng.Next(), 0x6e789e6aa1b965f4ULL);
  EXPECT_EQ(rng.Next(), 0x06c45d188009454fULL);
}

TEST(SmdgenMath, UniformAndNormalHaveTheirRangeAndMoments) {
  Rng rng(42);
  double sum = 0, sum2 = 0;
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    const double u = rng.Uniform();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
    const double g = rng.Normal();
    sum += g;
    sum2 += g * g;
  }
  EXPECT_NEAR(sum / n, 0.0, 0.03);
  EXPECT_NEAR(sum2 / n, 1.0, 0.05);
  for (int i = 0; i < 1000; ++i) {
    const int k = rng.Below(7);
    ASSERT_GE(k, 0);
    ASSERT_LT(k, 7);
  }
}

TEST(SmdgenMath, OwnTranscendentalsMatchTheLibraryClosely) {
  for (double x = -7.0; x <= 7.0; x += 0.0137) {
    EXPECT_NEAR(Sin(x), std::sin(x), 1e-14) << x;
    EXPECT_NEAR(Cos(x), std::cos(x), 1e-14) << x;
  }
  for (double x = -12.0; x <= 3.0; x += 0.031) {
    EXPECT_NEAR(Exp(x) / std::exp(x), 1.0, 1e-12) << x;
  }
}

TEST(SmdgenMath, QuantizedValuesPrintExactly) {
  const double v = Quantize(123.45678, 1000.0);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  EXPECT_STREQ(buf, "123.457");
  std::snprintf(buf, sizeof buf, "%.17g", v);
  EXPECT_EQ(std::string(buf), "123.45699999999999") << "nearest double to 123.457";
  EXPECT_EQ(Quantize(-0.0000004, 1e6), 0.0);
}

TEST(SmdgenMath, ValueNoiseIsBoundedAndContinuous) {
  for (int i = 0; i < 2000; ++i) {
    const double r = i * 0.37;
    const double c = i * 0.91;
    const double v = ValueNoise(r, c, 10.0, 5);
    ASSERT_GE(v, -1.0);
    ASSERT_LE(v, 1.0);
    EXPECT_NEAR(ValueNoise(r + 0.01, c, 10.0, 5), v, 0.01);
  }
}

// --- Pose convention ----------------------------------------------------------------------------

TEST(SmdgenPose, PositiveAngleTurnsCounterClockwiseOnScreen) {
  const Pose pose{100, 200, 0.1, 1.5, 1.0};
  double r = 0, c = 0;
  // The model's right end goes up (smaller row) for a positive angle.
  PoseApply(pose, 0, 50, &r, &c);
  EXPECT_NEAR(r, 100 - 50 * std::sin(0.1), 1e-12);
  EXPECT_NEAR(c, 200 + 50 * std::cos(0.1), 1e-12);
  // The row scale stretches the model's rows before the turn.
  PoseApply(pose, 10, 0, &r, &c);
  EXPECT_NEAR(r, 100 + 15 * std::cos(0.1), 1e-12);
  EXPECT_NEAR(c, 200 + 15 * std::sin(0.1), 1e-12);
}

// Bilinear sample of a row-major image.
template <class T>
double Sample(const std::vector<T>& img, double r, double c) {
  const int r0 = static_cast<int>(std::floor(r));
  const int c0 = static_cast<int>(std::floor(c));
  const double fr = r - r0;
  const double fc = c - c0;
  auto at = [&](int rr, int cc) {
    rr = std::clamp(rr, 0, kHeight - 1);
    cc = std::clamp(cc, 0, kWidth - 1);
    return static_cast<double>(img[std::size_t(rr) * kWidth + std::size_t(cc)]);
  };
  return (1 - fr) * ((1 - fc) * at(r0, c0) + fc * at(r0, c0 + 1)) +
         fr * ((1 - fc) * at(r0 + 1, c0) + fc * at(r0 + 1, c0 + 1));
}

TEST(SmdgenPose, DrawnCapacitorSitsWhereItsPoseSays) {
  Scene scene = MakeEmptyScene(7);
  const Pose pose{240.25, 300.75, 0.15, 1.6, 1.05};
  AddCapacitor(scene, pose);
  const std::vector<double> img = RenderClean(scene);

  // Inside the body and on the caps: bright; just outside the outline: dark; at model points
  // mirrored by the wrong sign of the angle the picture differs.
  auto at_model = [&](double mr, double mc) {
    double r = 0, c = 0;
    PoseApply(pose, mr, mc, &r, &c);
    return Sample(img, r, c);
  };
  EXPECT_GT(at_model(0, 0), 140);
  EXPECT_GT(at_model(0, 44), 185);
  EXPECT_GT(at_model(0, -44), 185);
  EXPECT_GT(at_model(22, 30), 140);
  EXPECT_GT(at_model(-22, -30), 140);
  for (double mc = -40; mc <= 40; mc += 10) {
    EXPECT_LT(at_model(25 + 2.0 / 1.6, mc), 60) << mc;
    EXPECT_LT(at_model(-25 - 2.0 / 1.6, mc), 60) << mc;
  }
  for (double mr = -15; mr <= 15; mr += 5) {
    EXPECT_LT(at_model(mr, 50 + 2.0 / 1.05), 60) << mr;
    EXPECT_LT(at_model(mr, -50 - 2.0 / 1.05), 60) << mr;
  }

  // The centroid and orientation of the bright body match the pose.
  double m = 0, sr = 0, sc = 0;
  for (int r = 150; r < 330; ++r) {
    for (int c = 220; c < 380; ++c) {
      const double v = img[std::size_t(r) * kWidth + std::size_t(c)];
      if (v < 120) continue;
      m += 1;
      sr += r;
      sc += c;
    }
  }
  const double cr = sr / m;
  const double cc = sc / m;
  EXPECT_NEAR(cr, pose.row, 0.05);
  EXPECT_NEAR(cc, pose.col, 0.05);
  double mrr = 0, mcc = 0, mrc = 0;
  for (int r = 150; r < 330; ++r) {
    for (int c = 220; c < 380; ++c) {
      const double v = img[std::size_t(r) * kWidth + std::size_t(c)];
      if (v < 120) continue;
      mrr += (r - cr) * (r - cr);
      mcc += (c - cc) * (c - cc);
      mrc += (r - cr) * (c - cc);
    }
  }
  // The long axis (columns) points along (-sin a, cos a): the row/column covariance is negative.
  EXPECT_LT(mrc, 0.0);
  const double axis = 0.5 * std::atan2(-2 * mrc, mcc - mrr);
  EXPECT_NEAR(axis, pose.angle, 0.01);
}

// --- Scenes -------------------------------------------------------------------------------------

const Scene& SceneOf(int index) {
  static std::map<int, Scene> cache;
  auto it = cache.find(index);
  if (it == cache.end()) it = cache.emplace(index, MakeScene(index)).first;
  return it->second;
}

const std::vector<std::uint8_t>& ImageOf(int index) {
  static std::map<int, std::vector<std::uint8_t>> cache;
  auto it = cache.find(index);
  if (it == cache.end()) it = cache.emplace(index, Render(SceneOf(index))).first;
  return it->second;
}

Box BodyBox(const Pose& p) {
  return Box{p.row,
             p.col,
             kCapHalfRows * p.row_scale,
             kCapHalfCols * p.col_scale,
             std::cos(p.angle),
             std::sin(p.angle)};
}

class SmdgenScene : public ::testing::TestWithParam<int> {};

TEST_P(SmdgenScene, CapacitorPosesAreInRangeInsideAndApart) {
  const Scene& s = SceneOf(GetParam());
  ASSERT_GE(s.capacitors.size(), 4u);
  ASSERT_LE(s.capacitors.size(), 8u);
  for (std::size_t i = 0; i < s.capacitors.size(); ++i) {
    const Pose& p = s.capacitors[i].pose;
    EXPECT_LE(std::fabs(p.angle), 10.0 * kPi / 180.0);
    EXPECT_GE(p.row_scale, 0.9);
    EXPECT_LE(p.row_scale, 1.7);
    EXPECT_GE(p.col_scale, 0.9);
    EXPECT_LE(p.col_scale, 1.1);
    EXPECT_GE(BoxMarginToImage(BodyBox(p)), 8.0) << "capacitor " << i;
    for (std::size_t j = 0; j < i; ++j) {
      Box a = BodyBox(p);
      Box b = BodyBox(s.capacitors[j].pose);
      a.half_rows += 4;
      a.half_cols += 4;
      EXPECT_FALSE(BoxesOverlap(a, b)) << "capacitors " << j << " and " << i;
    }
  }
  // The row scales cover the range, not just one corner of it.
  double lo = 9, hi = 0;
  for (const Capacitor& c : s.capacitors) {
    lo = std::min(lo, c.pose.row_scale);
    hi = std::max(hi, c.pose.row_scale);
  }
  EXPECT_LT(lo, 1.1);
  EXPECT_GT(hi, 1.5);
}

TEST_P(SmdgenScene, HasEveryKindOfDistractor) {
  const Scene& s = SceneOf(GetParam());
  std::map<PartKind, int> count;
  for (const Part& p : s.parts) ++count[p.kind];
  EXPECT_EQ(count[PartKind::Capacitor], static_cast<int>(s.capacitors.size()));
  for (PartKind k : {PartKind::SmallPart, PartKind::LargePart, PartKind::DarkPartOnPatch,
                     PartKind::EmptyFootprint, PartKind::Trace, PartKind::Via, PartKind::SilkText,
                     PartKind::SilkMark, PartKind::Fiducial, PartKind::Occluder}) {
    EXPECT_GE(count[k], 1) << PartKindName(k);
  }
  EXPECT_GE(count[PartKind::SmallPart], 3);
  int occluded = 0;
  for (const Capacitor& c : s.capacitors) {
    if (!c.occluded) {
      EXPECT_EQ(c.occluded_fraction, 0.0);
      continue;
    }
    ++occluded;
    EXPECT_GT(c.occluded_fraction, 0.03);
    EXPECT_LT(c.occluded_fraction, 0.25);
  }
  EXPECT_GE(occluded, 1);
  EXPECT_LE(occluded, 2);
  EXPECT_EQ(count[PartKind::Occluder], occluded);
}

// Along the outline of each capacitor, the image 3 px inside is clearly brighter than 3 px
// outside (the matcher relies on that polarity); where an occluder lies, it may not be.
TEST_P(SmdgenScene, CapacitorsAreBrighterThanTheirSurroundingAllAlongTheOutline) {
  const Scene& s = SceneOf(GetParam());
  const std::vector<std::uint8_t>& img = ImageOf(GetParam());
  const double min_step = GetParam() == 4 ? 18.0 : 40.0;
  for (std::size_t i = 0; i < s.capacitors.size(); ++i) {
    const Pose& p = s.capacitors[i].pose;
    const auto inner = CapacitorOutline(
        Pose{p.row, p.col, p.angle, p.row_scale * (kCapHalfRows - 3.0 / p.row_scale) / kCapHalfRows,
             p.col_scale * (kCapHalfCols - 3.0 / p.col_scale) / kCapHalfCols},
        1.0);
    const auto outer = CapacitorOutline(
        Pose{p.row, p.col, p.angle, p.row_scale * (kCapHalfRows + 3.0 / p.row_scale) / kCapHalfRows,
             p.col_scale * (kCapHalfCols + 3.0 / p.col_scale) / kCapHalfCols},
        1.0);
    // Both outlines are walked the same way; pair points by relative position along them.
    int good = 0;
    const int n = 200;
    double in_sum = 0, out_sum = 0;
    for (int k = 0; k < n; ++k) {
      const auto& a = inner[inner.size() * std::size_t(k) / n];
      const auto& b = outer[outer.size() * std::size_t(k) / n];
      const double vi = Sample(img, a.first, a.second);
      const double vo = Sample(img, b.first, b.second);
      in_sum += vi;
      out_sum += vo;
      if (vi - vo > min_step) ++good;
    }
    const double share = static_cast<double>(good) / n;
    if (s.capacitors[i].occluded) {
      EXPECT_GT(share, 0.7) << "capacitor " << i;
    } else {
      EXPECT_GT(share, 0.98) << "capacitor " << i;
    }
    EXPECT_GT(in_sum / n - out_sum / n, 2 * min_step) << "capacitor " << i;
  }
}

TEST_P(SmdgenScene, GroundTruthLinesMatchTheScene) {
  const Scene& s = SceneOf(GetParam());
  std::istringstream csv(GroundTruthCsv({s}));
  std::string line;
  std::getline(csv, line);
  EXPECT_EQ(line, "image,row,col,angle_rad,row_scale,col_scale,occluded");
  std::size_t i = 0;
  while (std::getline(csv, line)) {
    ASSERT_LT(i, s.capacitors.size());
    char name[64] = {};
    double r, c, a, rs, cs;
    int occ;
    ASSERT_EQ(std::sscanf(line.c_str(), "%63[^,],%lf,%lf,%lf,%lf,%lf,%d", name, &r, &c, &a, &rs,
                          &cs, &occ),
              7)
        << line;
    const Capacitor& cap = s.capacitors[i];
    EXPECT_EQ(std::string(name), ImageName(GetParam()));
    // The poses are quantised before drawing, so the printed values are exact.
    EXPECT_EQ(r, cap.pose.row);
    EXPECT_EQ(c, cap.pose.col);
    EXPECT_EQ(a, cap.pose.angle);
    EXPECT_EQ(rs, cap.pose.row_scale);
    EXPECT_EQ(cs, cap.pose.col_scale);
    EXPECT_EQ(occ, cap.occluded ? 1 : 0);
    ++i;
  }
  EXPECT_EQ(i, s.capacitors.size());
}

INSTANTIATE_TEST_SUITE_P(Images, SmdgenScene, ::testing::Values(1, 2, 3, 4));

TEST(SmdgenScene, RejectsUnknownImages) {
  EXPECT_THROW(MakeScene(0), std::invalid_argument);
  EXPECT_THROW(MakeScene(5), std::invalid_argument);
}

// --- Determinism and the built files ------------------------------------------------------------

TEST(SmdgenOutput, RenderingTwiceGivesTheSameBytes) {
  const Scene again = MakeScene(3);
  ASSERT_EQ(again.shapes.size(), SceneOf(3).shapes.size());
  EXPECT_TRUE(Render(again) == ImageOf(3));
}

std::vector<std::uint8_t> ReadBuiltImage(int index) {
  const std::string path = std::string(SMD_IMAGE_DIR) + "/" + ImageName(index) + ".png";
  vision::HObject image;
  vision::ReadImage(&image, path.c_str());
  vision::HTuple type;
  vision::Hlong w = 0, h = 0;
  const auto* px = static_cast<const std::uint8_t*>(vision::GetImagePointer1(image, &type, &w, &h));
  if (std::string(type.S().Text()) != "byte" || w != kWidth || h != kHeight) return {};
  return std::vector<std::uint8_t>(px, px + std::size_t(w) * std::size_t(h));
}

// The library finds the images by their names without extension through its image path.
TEST(SmdgenOutput, LibraryFindsTheBundledImagesByName) {
  for (int i = 1; i <= kImageCount; ++i) {
    vision::HObject image;
    ASSERT_NO_THROW(vision::ReadImage(&image, ("smd/" + ImageName(i)).c_str())) << ImageName(i);
    vision::Hlong w = 0, h = 0;
    vision::HImage(image).GetImageSize(&w, &h);
    EXPECT_EQ(w, kWidth);
    EXPECT_EQ(h, kHeight);
  }
}

// The build ran the generator in its own process; its files hold exactly what we render here.
TEST(SmdgenOutput, BuiltImagesAndGroundTruthAreWhatTheGeneratorMakes) {
  std::vector<Scene> scenes;
  for (int i = 1; i <= kImageCount; ++i) {
    const std::vector<std::uint8_t> built = ReadBuiltImage(i);
    ASSERT_EQ(built.size(), std::size_t(kWidth) * kHeight) << ImageName(i);
    EXPECT_TRUE(built == ImageOf(i)) << ImageName(i);
    scenes.push_back(SceneOf(i));
  }
  std::ifstream f(std::string(SMD_IMAGE_DIR) + "/ground_truth.csv", std::ios::binary);
  std::stringstream text;
  text << f.rdbuf();
  EXPECT_EQ(text.str(), GroundTruthCsv(scenes));
}

}  // namespace
}  // namespace smdgen

namespace smdgen {
namespace {

std::uint64_t Fnv1a(const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (std::size_t i = 0; i < size; ++i) {
    h ^= p[i];
    h *= 0x100000001b3ULL;
  }
  return h;
}

// The pixels and the ground truth are the same on every platform and compiler: these digests
// were taken on x86-64 Linux with GCC and agree with Clang, aarch64 GCC and MinGW-w64 builds. A
// deliberate change of the generator changes them; update them with it.
TEST(SmdgenOutput, PixelsAndGroundTruthAreTheSameOnEveryPlatform) {
  const std::uint64_t expected[kImageCount] = {0xe85e3684e2d04794ULL, 0x0774929f0d0b65b1ULL,
                                               0x1574f24592510988ULL, 0x3cb567e9fed78b59ULL};
  std::vector<Scene> scenes;
  for (int i = 1; i <= kImageCount; ++i) {
    const auto& img = ImageOf(i);
    EXPECT_EQ(Fnv1a(img.data(), img.size()), expected[i - 1])
        << ImageName(i) << std::hex << " digest 0x" << Fnv1a(img.data(), img.size());
    scenes.push_back(SceneOf(i));
  }
  const std::string csv = GroundTruthCsv(scenes);
  EXPECT_EQ(Fnv1a(csv.data(), csv.size()), 0xa2a349eb57662de4ULL)
      << std::hex << "ground truth digest 0x" << Fnv1a(csv.data(), csv.size());
}

}  // namespace
}  // namespace smdgen

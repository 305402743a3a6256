// Shape matching against scenes rendered at exactly known poses.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <numbers>
#include <sstream>
#include <string>

#include "match_util.h"
#include "matching/overlap.h"
#include "matching/pose.h"
#include "matching/shape_model.h"
#include "vision/HErrorCodes.h"
#include "vision/HException.h"
#include "vision/HImageFile.h"
#include "vision/HSystem.h"

using namespace matchtest;

namespace {

struct Errors {
  int truth = 0, found = 0, missed = 0, extra = 0;
  double pos = 0, ang = 0, sr = 0, sc = 0;  // sums of squares
  void Add(const std::vector<scene::Shape>& shapes, const Found& f) {
    std::vector<bool> used(f.Size());
    for (const auto& s : shapes) {
      ++truth;
      int best = -1;
      for (std::size_t i = 0; i < f.Size(); ++i) {
        if (!used[i] && std::hypot(f.row[i] - s.row, f.col[i] - s.col) < 5) best = int(i);
      }
      if (best < 0) {
        ++missed;
        ADD_FAILURE() << "missed shape at " << s.row << ", " << s.col << " angle "
                      << s.angle * 180 / std::numbers::pi << " scales " << s.sr << ", " << s.sc;
        continue;
      }
      used[std::size_t(best)] = true;
      ++found;
      pos += std::pow(f.row[best] - s.row, 2) + std::pow(f.col[best] - s.col, 2);
      ang += std::pow((f.angle[best] - s.angle) * 180 / std::numbers::pi, 2);
      sr += std::pow(f.sr[best] / s.sr - 1, 2);
      sc += std::pow(f.sc[best] / s.sc - 1, 2);
    }
    for (bool u : used) extra += !u;
  }
  double Pos() const { return std::sqrt(pos / std::max(found, 1)); }
  double Ang() const { return std::sqrt(ang / std::max(found, 1)); }
  double Sr() const { return 100 * std::sqrt(sr / std::max(found, 1)); }
  double Sc() const { return 100 * std::sqrt(sc / std::max(found, 1)); }

  // Every part found, nothing else, and the RMS errors within the limits (scales in percent);
  // prints the figures under the given name.
  void ExpectWithin(const char* name, double max_pos, double max_ang, double max_scale) const {
    EXPECT_EQ(found, truth);
    EXPECT_EQ(extra, 0);
    EXPECT_LE(Pos(), max_pos);
    EXPECT_LE(Ang(), max_ang);
    EXPECT_LE(Sr(), max_scale);
    EXPECT_LE(Sc(), max_scale);
    std::printf(
        "%s: %d parts, RMS position %.4f px, angle %.4f deg, row scale %.4f%%, column scale "
        "%.4f%%\n",
        name, found, Pos(), Ang(), Sr(), Sc());
  }
};

const vision::HTuple& Model() {
  static const vision::HTuple model = BenchModel(ToObject(scene::Template()));
  return model;
}

scene::Image Scene(const std::vector<scene::Shape>& shapes, double noise, std::uint64_t seed) {
  scene::Image img = scene::Blank(640, 480, 60);
  for (const auto& s : shapes) scene::Paint(&img, s);
  if (noise > 0) scene::AddNoise(&img, noise, seed);
  return img;
}

}  // namespace

TEST(FindAccuracy, NoiseFreeScenesAtRandomSubpixelPoses) {
  Errors e;
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    const auto shapes = RandomShapes(640, 480, 2, 3, seed);
    e.Add(shapes, Find(ToObject(Scene(shapes, 0, 0)), Model()));
  }
  e.ExpectWithin("noise-free", 0.05, 0.05, 0.2);
}

// The bundled SMD images (noise, blur, clutter, occluded parts) against the generator's ground
// truth, with the benchmark's search: every capacitor found, nothing else, and the poses within
// the accuracy asked of noisy images.
TEST(FindAccuracy, BundledImagesAgainstTheirGroundTruth) {
  std::ifstream csv(std::string(VISION_TEST_DATA_DIR) + "/images/smd/ground_truth.csv");
  ASSERT_TRUE(csv) << "no ground truth in " << VISION_TEST_DATA_DIR;
  std::map<std::string, std::vector<scene::Shape>> truth;
  std::string line;
  std::getline(csv, line);  // header
  while (std::getline(csv, line)) {
    std::istringstream fields(line);
    std::string image, value;
    std::getline(fields, image, ',');
    double v[5];
    for (double& x : v) {
      std::getline(fields, value, ',');
      x = std::stod(value);
    }
    // The ground truth gives the body's centre; the model's reference point lies half a pixel
    // up and left of the template's centre, turned and scaled with the part.
    scene::Shape s;
    s.angle = v[2], s.sr = v[3], s.sc = v[4];
    const double cs = std::cos(s.angle), sn = std::sin(s.angle);
    s.row = v[0] - 0.5 * (cs * s.sr - sn * s.sc);
    s.col = v[1] - 0.5 * (sn * s.sr + cs * s.sc);
    truth[image].push_back(s);
  }
  ASSERT_EQ(truth.size(), 4u);
  Errors e;
  for (const auto& [name, shapes] : truth) {
    vision::HObject image;
    // Read from the bundled folder itself, whatever the working directory holds.
    vision::ReadImage(&image, (std::string(VISION_TEST_DATA_DIR) + "/images/smd/" + name).c_str());
    e.Add(shapes, Find(image, Model()));
  }
  EXPECT_EQ(e.truth, 24);
  e.ExpectWithin("bundled images", 0.15, 0.15, 0.5);
}

TEST(FindAccuracy, NoisyScenes) {
  Errors e;
  for (std::uint64_t seed = 11; seed <= 16; ++seed) {
    const auto shapes = RandomShapes(640, 480, 2, 3, seed);
    e.Add(shapes, Find(ToObject(Scene(shapes, 8, seed)), Model()));
  }
  e.ExpectWithin("noise sigma 8", 0.15, 0.15, 0.5);
}

// The corners of the search range: +-10 degrees, row scale 0.9 and 1.7, column scale 0.9 and
// 1.1. Reported poses stay inside the range.
TEST(FindAccuracy, EdgesOfTheSearchRange) {
  std::vector<scene::Shape> shapes;
  int i = 0;
  for (double a : {-10.0, 10.0}) {
    for (double sr : {0.9, 1.7}) {
      for (double sc : {0.9, 1.1}) {
        scene::Shape s;
        s.angle = a * std::numbers::pi / 180;
        s.sr = sr;
        s.sc = sc;
        s.row = 120.3 + 240 * (i / 4);
        s.col = 80.6 + 160 * (i % 4);
        ++i;
        shapes.push_back(s);
      }
    }
  }
  // Two rows of four: wider spacing than the random scenes, so use a larger canvas.
  scene::Image img = scene::Blank(660, 480, 60);
  for (const auto& s : shapes) scene::Paint(&img, s);
  const Found f = Find(ToObject(img), Model());
  Errors e;
  e.Add(shapes, f);
  EXPECT_EQ(e.extra, 0);
  EXPECT_LE(e.Pos(), 0.05);
  EXPECT_LE(e.Ang(), 0.05);
  EXPECT_LE(e.Sr(), 0.2);
  EXPECT_LE(e.Sc(), 0.2);
  const double lo = -10 * std::numbers::pi / 180, hi = 10 * std::numbers::pi / 180;
  for (std::size_t k = 0; k < f.Size(); ++k) {
    EXPECT_GE(f.angle[k], lo);
    EXPECT_LE(f.angle[k], hi);
    EXPECT_GE(f.sr[k], 0.9);
    EXPECT_LE(f.sr[k], 1.7);
    EXPECT_GE(f.sc[k], 0.9);
    EXPECT_LE(f.sc[k], 1.1);
  }
}

// Shapes that are not capacitors: discs, ellipses, small and long thin bars, a square with
// corners too sharp to matter and the wrong aspect for any scale in range.
TEST(FindPrecision, NoMatchesOnDistractors) {
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    scene::Image img = scene::Blank(640, 480, 60);
    scene::Rng rng(seed);
    for (int i = 0; i < 6; ++i) {
      scene::PaintDisc(&img, rng.Uniform(40, 440), rng.Uniform(40, 600), rng.Uniform(10, 45),
                       rng.Uniform(10, 45), rng.Uniform(100, 220));
    }
    scene::Shape bar;  // far too long for the column scale range
    bar.row = 400;
    bar.col = 320;
    bar.half_r = 10;
    bar.half_c = 150;
    scene::Paint(&img, bar);
    scene::Shape small;  // a third of the size
    small.row = 80;
    small.col = 320;
    small.half_r = 8;
    small.half_c = 16;
    small.radius = 2;
    scene::Paint(&img, small);
    scene::AddNoise(&img, 6, seed);
    const Found f = Find(ToObject(img), Model());
    EXPECT_EQ(f.Size(), 0u) << "seed " << seed << ": first at " << (f.Size() ? f.row[0] : 0) << ", "
                            << (f.Size() ? f.col[0] : 0);
  }
}

TEST(FindPolarity, ReversedContrastOnlyWithoutPolarity) {
  auto shapes = RandomShapes(640, 480, 2, 3, 21);
  scene::Image img = scene::Blank(640, 480, 200);
  for (auto& s : shapes) {
    s.grey = 50;
    scene::Paint(&img, s);
  }
  const vision::HObject obj = ToObject(img);
  EXPECT_EQ(Find(obj, Model()).Size(), 0u);
  const vision::HTuple global = BenchModel(ToObject(scene::Template()), "ignore_global_polarity");
  Errors e;
  e.Add(shapes, Find(obj, global));
  EXPECT_EQ(e.extra, 0);
  EXPECT_LE(e.Pos(), 0.05);
  const vision::HTuple local = BenchModel(ToObject(scene::Template()), "ignore_local_polarity");
  Errors e2;
  e2.Add(shapes, Find(obj, local));
  EXPECT_EQ(e2.extra, 0);
}

TEST(FindModes, SubpixelModesAndGreediness) {
  const auto shapes = RandomShapes(640, 480, 2, 3, 31);
  const vision::HObject obj = ToObject(Scene(shapes, 4, 31));
  for (const char* mode : {"none", "interpolation", "least_squares", "least_squares_high",
                           "least_squares_very_high"}) {
    for (double g : {0.0, 0.5, 1.0}) {
      const Found f = Find(obj, Model(), mode, g);
      Errors e;
      e.Add(shapes, f);
      EXPECT_EQ(e.extra, 0) << mode << " greediness " << g;
      if (std::string(mode) == "none") {
        for (std::size_t i = 0; i < f.Size(); ++i) {
          EXPECT_EQ(f.row[i], std::round(f.row[i]));
          EXPECT_EQ(f.col[i], std::round(f.col[i]));
        }
        EXPECT_LE(e.Pos(), 0.75);
      } else {
        EXPECT_LE(e.Pos(), 0.15) << mode;
      }
    }
  }
}

TEST(FindResults, CountOverlapAndOrder) {
  const auto shapes = RandomShapes(640, 480, 2, 3, 41);
  const vision::HObject obj = ToObject(Scene(shapes, 4, 41));
  vision::HTuple r, c, a, sr, sc, s;
  vision::FindAnisoShapeModel(obj, Model(), Rad(-10), Rad(20), 0.9, 1.7, 0.9, 1.1, 0.7, 2, 0.5,
                              "least_squares", 0, 0.8, &r, &c, &a, &sr, &sc, &s);
  ASSERT_EQ(s.Length(), 2);
  const Found all = Find(obj, Model());
  ASSERT_EQ(all.Size(), 6u);
  EXPECT_DOUBLE_EQ(s[0].D(), all.score[0]);
  EXPECT_DOUBLE_EQ(s[1].D(), all.score[1]);
  for (std::size_t i = 1; i < all.Size(); ++i) EXPECT_GE(all.score[i - 1], all.score[i]);
  for (double v : all.score) {
    EXPECT_GE(v, 0.7);
    EXPECT_LE(v, 1.0);
  }
  // Nothing found: six empty outputs.
  vision::FindAnisoShapeModel(ToObject(scene::Blank(320, 240, 90)), Model(), Rad(-10), Rad(20), 0.9,
                              1.7, 0.9, 1.1, 0.7, 0, 0.5, "least_squares", 0, 0.8, &r, &c, &a, &sr,
                              &sc, &s);
  EXPECT_EQ(r.Length() + c.Length() + a.Length() + sr.Length() + sc.Length() + s.Length(), 0);
}

// Two copies of the part, overlapping by about a third: both are reported with a maximum
// overlap of 0.5, only the better with 0.1.
TEST(FindResults, MaximumOverlap) {
  scene::Shape a, b;
  a.row = 200, a.col = 250;
  b.row = 200, b.col = 320;
  b.grey = 200;
  scene::Image img = scene::Blank(640, 480, 60);
  scene::Paint(&img, a);
  scene::Paint(&img, b);
  const vision::HObject obj = ToObject(img);
  vision::HTuple r, c, an, sr, sc, s;
  vision::FindAnisoShapeModel(obj, Model(), Rad(-10), Rad(20), 0.9, 1.7, 0.9, 1.1, 0.5, 0, 0.1,
                              "least_squares", 0, 0.8, &r, &c, &an, &sr, &sc, &s);
  EXPECT_EQ(s.Length(), 1);
}

// Gives "thread_num" back as it was when made, however the scope is left.
class ThreadNumRestored {
 public:
  ThreadNumRestored() : saved_(vision::GetSystem("thread_num")) {}
  ~ThreadNumRestored() { vision::SetSystem("thread_num", saved_); }
  ThreadNumRestored(const ThreadNumRestored&) = delete;
  ThreadNumRestored& operator=(const ThreadNumRestored&) = delete;

 private:
  vision::HTuple saved_;
};

TEST(FindThreads, ResultsDoNotDependOnTheThreadCount) {
  const auto shapes = RandomShapes(1280, 960, 4, 6, 51);
  scene::Image img = scene::Blank(1280, 960, 60);
  for (const auto& s : shapes) scene::Paint(&img, s);
  scene::AddNoise(&img, 6, 51);
  const vision::HObject obj = ToObject(img);
  // The caller's own setting, which the test must give back.
  vision::SetSystem("thread_num", 5);
  {
    const ThreadNumRestored restore;
    vision::SetSystem("thread_num", 1);
    const Found one = Find(obj, Model());
    for (int threads : {2, 3, 8}) {
      vision::SetSystem("thread_num", threads);
      const Found many = Find(obj, Model());
      EXPECT_EQ(one.row, many.row) << threads;
      EXPECT_EQ(one.col, many.col) << threads;
      EXPECT_EQ(one.angle, many.angle) << threads;
      EXPECT_EQ(one.sr, many.sr) << threads;
      EXPECT_EQ(one.sc, many.sc) << threads;
      EXPECT_EQ(one.score, many.score) << threads;
    }
    EXPECT_EQ(one.Size(), shapes.size());
  }
  EXPECT_EQ(vision::GetSystem("thread_num").L(), 5);
  vision::SetSystem("thread_num", "default");
}

TEST(FindInput, OtherPixelTypes) {
  const auto shapes = RandomShapes(640, 480, 2, 3, 61);
  const scene::Image img = Scene(shapes, 0, 0);
  vision::detail::ImageData data = vision::detail::AllocateImage(vision::detail::PixelType::UInt2,
                                                                 img.width, img.height, 1, "test");
  auto* p = reinterpret_cast<std::uint16_t*>(vision::detail::MutablePlane(data, 0));
  for (std::size_t i = 0; i < img.px.size(); ++i) p[i] = std::uint16_t(std::lround(img.px[i] * 4));
  Errors e;
  e.Add(shapes, Find(vision::detail::MakeObject(std::move(data)), Model()));
  EXPECT_EQ(e.extra, 0);
  EXPECT_LE(e.Pos(), 0.05);
}

// A search keeps its buffers for the next one on the same thread: a search after others on
// images of another size, another pixel type, with fewer levels and on an empty image gives
// exactly what it gave first.
TEST(FindInput, ResultsDoNotDependOnEarlierSearches) {
  const auto shapes = RandomShapes(640, 480, 2, 3, 67);
  const scene::Image img = Scene(shapes, 4, 67);
  const vision::HObject obj = ToObject(img);
  const Found first = Find(obj, Model());
  ASSERT_EQ(first.Size(), shapes.size());
  vision::detail::ImageData data = vision::detail::AllocateImage(vision::detail::PixelType::UInt2,
                                                                 img.width, img.height, 1, "test");
  auto* p = reinterpret_cast<std::uint16_t*>(vision::detail::MutablePlane(data, 0));
  for (std::size_t i = 0; i < img.px.size(); ++i) p[i] = std::uint16_t(std::lround(img.px[i] * 4));
  Find(vision::detail::MakeObject(std::move(data)), Model());
  Find(ToObject(Scene(RandomShapes(320, 240, 1, 1, 68), 4, 68)), Model());
  Find(ToObject(scene::Blank(640, 480, 90)), Model());
  vision::HTuple r, c, a, sr, sc, s;
  vision::FindAnisoShapeModel(obj, Model(), Rad(-10), Rad(20), 0.9, 1.7, 0.9, 1.1, 0.7, 0, 0.5,
                              "least_squares", 2, 0.8, &r, &c, &a, &sr, &sc, &s);
  const Found again = Find(obj, Model());
  ASSERT_EQ(again.Size(), first.Size());
  EXPECT_EQ(again.row, first.row);
  EXPECT_EQ(again.col, first.col);
  EXPECT_EQ(again.angle, first.angle);
  EXPECT_EQ(again.sr, first.sr);
  EXPECT_EQ(again.sc, first.sc);
  EXPECT_EQ(again.score, first.score);
}

// A search whose buffers would exceed "search_memory_limit" is refused before it allocates them,
// naming what it would need; within the limit it runs as before.
TEST(FindInput, SearchesBeyondTheMemoryLimitAreRefused) {
  struct Restore {
    ~Restore() {
      try {
        vision::SetSystem("search_memory_limit", "default");
      } catch (const vision::HException&) {
      }
    }
  } restore;
  const vision::Hlong by_default = vision::GetSystem("search_memory_limit").L();
  EXPECT_GE(by_default, 256);
  const auto shapes = RandomShapes(640, 480, 2, 3, 71);
  const vision::HObject obj = ToObject(Scene(shapes, 0, 0));
  vision::SetSystem("search_memory_limit", 1);
  EXPECT_EQ(vision::GetSystem("search_memory_limit").L(), 1);
  vision::HTuple r, c, a, sr, sc, s;
  try {
    vision::FindAnisoShapeModel(obj, Model(), Rad(-10), Rad(20), 0.9, 1.7, 0.9, 1.1, 0.7, 0, 0.5,
                                "least_squares", 0, 0.8, &r, &c, &a, &sr, &sc, &s);
    ADD_FAILURE() << "no error";
  } catch (const vision::HException& e) {
    EXPECT_EQ(e.ErrorCode(), vision::err::kOutOfMemory);
    const std::string text = e.ErrorMessage().Str();
    EXPECT_NE(text.find("640 x 480 image needs about"), std::string::npos) << text;
    EXPECT_NE(text.find("limit of 1 MiB"), std::string::npos) << text;
  }
  vision::SetSystem("search_memory_limit", 64);
  EXPECT_EQ(Find(obj, Model()).Size(), shapes.size());
  vision::SetSystem("search_memory_limit", "default");
  EXPECT_EQ(vision::GetSystem("search_memory_limit").L(), by_default);
  for (const vision::HTuple& bad : {vision::HTuple(0), vision::HTuple("lots")}) {
    try {
      vision::SetSystem("search_memory_limit", bad);
      ADD_FAILURE() << "a bad value was accepted";
    } catch (const vision::HException& e) {
      EXPECT_EQ(e.ErrorCode(), vision::err::kSystemBadValue);
    }
  }
}

// Thinning by overlap at its threshold: two matches whose boxes overlap by exactly MaxOverlap
// are both kept, by a hair more one is dropped; boxes that only touch overlap by nothing. Axis-
// aligned boxes of 20 x 40 pixels shifted along their columns, whose overlaps are exact.
TEST(FindResults, OverlapThresholdIsInclusive) {
  using vision::detail::Pose;
  vision::detail::ShapeModel model;
  model.box_r0 = -10, model.box_r1 = 10, model.box_c0 = -20, model.box_c1 = 20;
  const Pose p0{100, 100, 0, 1, 1, 0.9}, p1{100, 110, 0, 1, 1, 0.8}, p2{100, 140, 0, 1, 1, 0.7};
  const double o01 = vision::detail::Overlap(model, p0, p1);
  EXPECT_NEAR(o01, 0.75, 1e-12);
  EXPECT_NEAR(vision::detail::Overlap(model, p1, p2), 0.25, 1e-12);
  EXPECT_EQ(vision::detail::Overlap(model, p0, p2), 0.0);  // touching
  // A box twice as large around p0 holds p0's box: the overlap is over the smaller one.
  EXPECT_NEAR(vision::detail::Overlap(model, p0, Pose{100, 100, 0.3, 2, 2, 0}), 1.0, 1e-12);
  auto kept = [&](double max_overlap, long long max_count = 0) {
    std::vector<Pose> out;
    vision::detail::SelectByOverlap({p0, p1, p2}, model, max_overlap, max_count, &out);
    std::vector<double> cols;
    for (const Pose& p : out) cols.push_back(p.col);
    return cols;
  };
  const std::vector<double> all{100, 110, 140}, apart{100, 140};
  EXPECT_EQ(kept(o01), all);
  EXPECT_EQ(kept(std::nextafter(o01, 0.0)), apart);
  EXPECT_EQ(kept(std::nextafter(o01, 1.0)), all);
  EXPECT_EQ(kept(0.25), apart);  // p1 overlaps p0 by more; p2 touches p0 only
  EXPECT_EQ(kept(0.0), apart);
  EXPECT_EQ(kept(1.0), all);
  EXPECT_EQ(kept(1.0, 2), (std::vector<double>{100, 110}));
  EXPECT_EQ(kept(0.0, 1), (std::vector<double>{100}));
}

// The same through the operator: two overlapping parts, found with MaxOverlap 1; searched again
// with MaxOverlap exactly their overlap (both), a hair below it (the better one alone) and above.
TEST(FindResults, OverlappingPartsAtTheThreshold) {
  scene::Shape a, b;
  a.row = 200, a.col = 250;
  b.row = 210, b.col = 320;
  b.grey = 200;
  scene::Image img = scene::Blank(640, 480, 60);
  scene::Paint(&img, a);
  scene::Paint(&img, b);
  const vision::HObject obj = ToObject(img);
  auto find = [&](double max_overlap) {
    vision::HTuple r, c, an, sr, sc, s;
    vision::FindAnisoShapeModel(obj, Model(), Rad(-10), Rad(20), 0.9, 1.7, 0.9, 1.1, 0.5, 0,
                                max_overlap, "least_squares", 0, 0.8, &r, &c, &an, &sr, &sc, &s);
    std::vector<vision::detail::Pose> poses;
    for (vision::Hlong i = 0; i < s.Length(); ++i) {
      poses.push_back({r[i].D(), c[i].D(), an[i].D(), sr[i].D(), sc[i].D(), s[i].D()});
    }
    return poses;
  };
  const auto both = find(1.0);
  ASSERT_EQ(both.size(), 2u);
  const auto* model = dynamic_cast<const vision::detail::ShapeModel*>(Model().H().get());
  ASSERT_NE(model, nullptr);
  const double overlap = vision::detail::Overlap(*model, both[0], both[1]);
  EXPECT_GT(overlap, 0.15);
  EXPECT_LT(overlap, 0.5);
  EXPECT_EQ(find(overlap).size(), 2u);
  EXPECT_EQ(find(std::nextafter(overlap, 1.0)).size(), 2u);
  const auto one = find(std::nextafter(overlap, 0.0));
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].col, both[0].col);
  EXPECT_EQ(one[0].score, both[0].score);
  EXPECT_EQ(find(0.05).size(), 1u);
}

// The grid of poses the top level scans reaches both ends of the angle range and of each scale
// range. A search on one level reports the scan's poses themselves, so a part lying exactly at
// an end of a range (three and a half of the model's steps wide, the other ranges a single
// value) is reported there; the usual search finds it too, within the range. The model's angle
// step is 2.5 degrees: at level 0 the scan's rounding of the model points to whole pixels blurs
// differences of a finer step.
TEST(FindAccuracy, PartsAtTheEndsOfEachRange) {
  vision::HTuple handle;
  vision::CreateAnisoShapeModel(ToObject(scene::Template()), "auto", Rad(-10), Rad(20), Rad(2.5),
                                0.9, 1.7, "auto", 0.9, 1.1, "auto", "none", "use_polarity", "auto",
                                20, &handle);
  const auto* model = dynamic_cast<const vision::detail::ShapeModel*>(handle.H().get());
  ASSERT_NE(model, nullptr);
  const vision::detail::ModelLevel& base = model->levels[0];
  const double pi = std::numbers::pi;
  struct Case {
    const char* what;
    int axis;  // 0 angle, 1 row scale, 2 column scale
    double end, step;
    bool at_start;
  };
  const Case cases[] = {
      {"angle end", 0, -10 * pi / 180 + 20 * pi / 180, base.angle_step, false},
      {"angle start", 0, -10 * pi / 180, base.angle_step, true},
      {"row scale end", 1, 1.7, base.scale_r_step, false},
      {"row scale start", 1, 0.9, base.scale_r_step, true},
      {"column scale end", 2, 1.1, base.scale_c_step, false},
      {"column scale start", 2, 0.9, base.scale_c_step, true},
  };
  for (const Case& k : cases) {
    // The range: the end and 3.5 steps inwards; the other axes at the part's value.
    const double width = 3.5 * k.step;
    const double lo = k.at_start ? k.end : k.end - width, hi = k.at_start ? k.end + width : k.end;
    scene::Shape s;
    s.row = 120, s.col = 130;
    s.angle = k.axis == 0 ? k.end : 0.05;
    s.sr = k.axis == 1 ? k.end : 1.2;
    s.sc = k.axis == 2 ? k.end : 1.0;
    scene::Image img = scene::Blank(260, 240, 60);
    scene::Paint(&img, s);
    const vision::HObject obj = ToObject(img);
    const double a0 = k.axis == 0 ? lo : s.angle, a_ext = k.axis == 0 ? hi - lo : 0.0;
    const double sr0 = k.axis == 1 ? lo : s.sr, sr1 = k.axis == 1 ? hi : s.sr;
    const double sc0 = k.axis == 2 ? lo : s.sc, sc1 = k.axis == 2 ? hi : s.sc;
    for (const int levels : {1, 0}) {
      vision::HTuple r, c, an, sr, sc, score;
      vision::FindAnisoShapeModel(obj, handle, a0, a_ext, sr0, sr1, sc0, sc1, 0.7, 0, 0.5,
                                  "least_squares", levels, 0.8, &r, &c, &an, &sr, &sc, &score);
      ASSERT_EQ(score.Length(), 1) << k.what << " levels " << levels;
      const double got[] = {an[0].D(), sr[0].D(), sc[0].D()};
      EXPECT_NEAR(r[0].D(), s.row, levels == 1 ? 0.0 : 0.05) << k.what;
      EXPECT_NEAR(c[0].D(), s.col, levels == 1 ? 0.0 : 0.05) << k.what;
      if (levels == 1) {
        // The scan's own pose: the end of the range, and the part's values elsewhere.
        EXPECT_NEAR(got[k.axis], k.end, 1e-9) << k.what;
        EXPECT_NEAR(an[0].D(), s.angle, 1e-9) << k.what;
        EXPECT_NEAR(sr[0].D(), s.sr, 1e-9) << k.what;
        EXPECT_NEAR(sc[0].D(), s.sc, 1e-9) << k.what;
      } else {
        EXPECT_NEAR(got[k.axis], k.end, 0.1 * k.step) << k.what;
        EXPECT_GE(got[k.axis], lo) << k.what;
        EXPECT_LE(got[k.axis], hi) << k.what;
      }
    }
  }
}

// Hot kernels of the matcher: each fast path is held to its plain scalar reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "detail/simd.h"
#include "match_util.h"
#include "matching/pose.h"
#include "matching/pyramid.h"
#include "matching/refine.h"
#include "matching/sample.h"
#include "matching/scan.h"
#include "matching/score.h"
#include "matching/shape_model.h"
#include "scene.h"

// The vectorised scan must reproduce the scalar reference bit for bit, dead lanes included.
TEST(ScanKernel, FastPathMatchesReference) {
  using namespace vision::detail;
  scene::Rng rng(3);
  ScanImage img;
  img.width = 37;
  img.height = 5;
  img.pad = 6;
  img.stride = img.width + 2 * img.pad + 16;
  std::vector<std::int16_t> data(2 * std::size_t(img.stride) * (img.height + 2 * img.pad));
  for (auto& v : data) v = static_cast<std::int16_t>(rng.Uniform(-256, 256));
  img.data = data.data();
  for (int polarity = 0; polarity < 3; ++polarity) {
    const auto metric = static_cast<MatchMetric>(polarity);
    for (int n : {3, 4, 13, 40}) {
      ScanPose pose;
      for (int j = 0; j < n; ++j) {
        const int dr = int(rng.Uniform(-5, 6)), dc = int(rng.Uniform(-5, 6));
        pose.offset.push_back(2 * (dr * img.stride + dc));
        pose.dir.push_back(static_cast<std::int16_t>(rng.Uniform(-256, 256)));
        pose.dir.push_back(static_cast<std::int16_t>(rng.Uniform(-256, 256)));
      }
      std::vector<std::int32_t> thr(std::size_t(n / kScanCheckEvery) + 1);
      for (std::size_t k = 0; k < thr.size(); ++k) thr[k] = std::int32_t(-20000 + 8000 * double(k));
      for (int r = 0; r < img.height; ++r) {
        std::vector<std::int32_t> a(std::size_t(img.width)), b(std::size_t(img.width));
        ScanRowRef(img, pose, r, metric, thr.data(), a.data());
        ScanRow(img, pose, r, metric, thr.data(), b.data());
        EXPECT_EQ(a, b) << "polarity " << polarity << " points " << n << " row " << r;
        for (SimdPath path : {SimdPath::kVector128, SimdPath::kVector256}) {
          if (!SimdPathAvailable(path)) continue;
          ScanRowWith(path, img, pose, r, metric, thr.data(), b.data());
          EXPECT_EQ(a, b) << "path " << int(path) << " polarity " << polarity << " points " << n
                          << " row " << r;
        }
        // The scan that keeps each column's best straight away: as ScanRow and KeepBest, on
        // every path, from best scores that some of the new ones beat.
        std::vector<std::int32_t> best_ref(a.size()), pose_ref(a.size());
        for (std::size_t c = 0; c < a.size(); ++c) {
          best_ref[c] = c % 3 == 0 ? kScanDead : std::int32_t(rng.Uniform(-30000, 30000));
          pose_ref[c] = int(c);
        }
        const std::vector<std::int32_t> best0 = best_ref, pose0 = pose_ref;
        KeepBestWith(SimdPath::kReference, a.data(), img.width, -5000, 99, best_ref.data(),
                     pose_ref.data());
        for (SimdPath path : {SimdPath::kReference, SimdPath::kVector128, SimdPath::kVector256}) {
          if (!SimdPathAvailable(path)) continue;
          std::vector<std::int32_t> best = best0, best_pose = pose0;
          ScanRowKeepBestWith(path, img, pose, r, metric, thr.data(),
                              {-5000, 99, best.data(), best_pose.data()});
          EXPECT_EQ(best, best_ref) << "path " << int(path) << " points " << n << " row " << r;
          EXPECT_EQ(best_pose, pose_ref) << "path " << int(path) << " points " << n;
        }
      }
    }
  }
}

// Keeping each column's best score: the vector paths keep the same scores and poses as the
// reference, ties and scores below the threshold included.
// The scan image's unit gradients: every path the reference's numbers, at the contrast threshold
// and around it, for zero and for the largest gradients, and on the columns left over.
TEST(ScanKernel, UnitGradientPathsMatchReference) {
  using namespace vision::detail;
  scene::Rng rng(5);
  for (int n : {1, 7, 8, 9, 40, 83}) {
    std::vector<std::int16_t> g(2 * std::size_t(n));
    for (std::size_t i = 0; i < g.size(); ++i) {
      switch (i % 5) {
        case 0:
          g[i] = 0;
          break;
        case 1:
          g[i] = static_cast<std::int16_t>(rng.Uniform(-12, 13));
          break;  // near 10
        case 2:
          g[i] = (i % 2) ? 32767 : -32767;
          break;
        default:
          g[i] = static_cast<std::int16_t>(rng.Uniform(-4000, 4001));
      }
    }
    const float minc2 = 100.0f;  // contrast 10
    std::vector<std::int16_t> want(g.size(), 7);
    UnitGradientsRef(g.data(), n, minc2, want.data());
    for (std::size_t c = 0; c < std::size_t(n); ++c) {
      const float m2 = float(g[2 * c]) * g[2 * c] + float(g[2 * c + 1]) * g[2 * c + 1];
      if (m2 < minc2) {
        EXPECT_EQ(want[2 * c], 0);
        EXPECT_EQ(want[2 * c + 1], 0);
      } else {
        const double len = std::hypot(double(want[2 * c]), double(want[2 * c + 1]));
        EXPECT_NEAR(len, 256.0, 1.0) << "pixel " << c;
      }
    }
    for (SimdPath path : {SimdPath::kVector128, SimdPath::kVector256}) {
      if (!SimdPathAvailable(path)) continue;
      std::vector<std::int16_t> got(g.size(), 7);
      UnitGradientsWith(path, g.data(), n, minc2, got.data());
      EXPECT_EQ(want, got) << "path " << int(path) << " n " << n;
    }
  }
}

TEST(ScanKernel, KeepBestPathsMatchReference) {
  using namespace vision::detail;
  scene::Rng rng(9);
  for (int width : {1, 7, 8, 19, 64, 83}) {
    std::vector<std::int32_t> best_ref(std::size_t(width), kScanDead),
        pose_ref(best_ref.size(), -1);
    std::vector<std::vector<std::int32_t>> best(3, best_ref), pose(3, pose_ref);
    for (int k = 0; k < 12; ++k) {
      std::vector<std::int32_t> score(best_ref.size());
      for (auto& v : score)
        v = rng.Uniform(0, 1) < 0.2 ? kScanDead : std::int32_t(rng.Uniform(0, 40));
      KeepBestWith(SimdPath::kReference, score.data(), width, 10, k, best_ref.data(),
                   pose_ref.data());
      for (SimdPath path : {SimdPath::kVector128, SimdPath::kVector256}) {
        if (!SimdPathAvailable(path)) continue;
        const std::size_t p = std::size_t(path);
        KeepBestWith(path, score.data(), width, 10, k, best[p].data(), pose[p].data());
        EXPECT_EQ(best[p], best_ref) << "path " << p << " width " << width << " pose " << k;
        EXPECT_EQ(pose[p], pose_ref) << "path " << p << " width " << width << " pose " << k;
      }
    }
  }
}

// Pyramid kernels: the fast paths reproduce the scalar references exactly, borders included.
TEST(PyramidKernels, FastPathsMatchReferences) {
  using namespace vision::detail;
  scene::Rng rng(11);
  for (const auto& sz :
       {std::pair{5, 4}, std::pair{16, 9}, std::pair{37, 23}, std::pair{131, 67}}) {
    const int w = sz.first, h = sz.second;
    std::vector<std::uint8_t> img(std::size_t(w) * h);
    for (auto& v : img) v = static_cast<std::uint8_t>(rng.Uniform(0, 256));
    std::vector<std::uint8_t> ha(std::size_t(w / 2) * (h / 2)), hb(ha.size());
    HalveBytesRef(img.data(), w, h, ha.data());
    HalveBytes(img.data(), w, h, hb.data());
    EXPECT_EQ(ha, hb) << w << "x" << h;
    const PixelBox all{0, h, 0, w};
    std::vector<std::int16_t> ga(2 * img.size(), 7), gb(2 * img.size(), 7);
    SobelBytesRef(img.data(), w, h, all, {ga.data(), std::size_t(w)});
    SobelBytes(img.data(), w, h, all, {gb.data(), std::size_t(w)});
    EXPECT_EQ(ga, gb) << w << "x" << h;
    for (SimdPath path : {SimdPath::kVector128, SimdPath::kVector256}) {
      if (!SimdPathAvailable(path)) continue;
      std::fill(gb.begin(), gb.end(), std::int16_t(7));
      SobelBytesWith(path, img.data(), w, h, all, {gb.data(), std::size_t(w)});
      EXPECT_EQ(ga, gb) << "path " << int(path) << " " << w << "x" << h;
      std::fill(hb.begin(), hb.end(), std::uint8_t(7));
      HalveBytesWith(path, img.data(), w, h, hb.data());
      EXPECT_EQ(ha, hb) << "path " << int(path) << " " << w << "x" << h;
    }
  }
}

// The gradients of a box, written with a stride of the box's own, are those of the whole image
// at the same pixels, on every path: at the image's edges (zero there), and inside, where the
// box's own edge pixels take their neighbours from outside the box.
TEST(PyramidKernels, BoxesGiveTheWholeImagesGradients) {
  using namespace vision::detail;
  scene::Rng rng(12);
  const int w = 83, h = 41;
  std::vector<std::uint8_t> img(std::size_t(w) * h);
  for (auto& v : img) v = static_cast<std::uint8_t>(rng.Uniform(0, 256));
  std::vector<float> grey(img.begin(), img.end());
  std::vector<std::int16_t> whole(2 * img.size()), whole_f(2 * img.size());
  SobelBytesRef(img.data(), w, h, {0, h, 0, w}, {whole.data(), std::size_t(w)});
  SobelFloatsRef(grey.data(), w, h, 4.0f, {0, h, 0, w}, {whole_f.data(), std::size_t(w)});
  EXPECT_EQ(whole, whole_f);  // scale 4: the floats give the bytes' values
  for (const PixelBox box : {PixelBox{0, h, 0, w}, PixelBox{0, 5, 0, 40}, PixelBox{7, 30, 3, 70},
                             PixelBox{h - 3, h, w - 35, w}, PixelBox{20, 21, 1, 2}}) {
    const int bw = box.c1 - box.c0, bh = box.r1 - box.r0;
    for (SimdPath path : {SimdPath::kReference, SimdPath::kVector128, SimdPath::kVector256}) {
      if (!SimdPathAvailable(path)) continue;
      std::vector<std::int16_t> patch(2 * std::size_t(bw) * bh, 7);
      SobelBytesWith(path, img.data(), w, h, box, {patch.data(), std::size_t(bw)});
      for (int r = box.r0; r < box.r1; ++r) {
        for (int c = box.c0; c < box.c1; ++c) {
          const std::size_t at = 2 * (std::size_t(r - box.r0) * bw + (c - box.c0));
          const std::size_t in_whole = 2 * (std::size_t(r) * w + c);
          ASSERT_EQ(patch[at], whole[in_whole]) << "path " << int(path) << " at " << r << "," << c;
          ASSERT_EQ(patch[at + 1], whole[in_whole + 1])
              << "path " << int(path) << " at " << r << "," << c;
        }
      }
    }
    std::vector<std::int16_t> patch_f(2 * std::size_t(bw) * bh, 7);
    SobelFloats(grey.data(), w, h, 4.0f, box, {patch_f.data(), std::size_t(bw)});
    for (int r = box.r0; r < box.r1; ++r) {
      for (int c = box.c0; c < box.c1; ++c) {
        const std::size_t at = 2 * (std::size_t(r - box.r0) * bw + (c - box.c0));
        ASSERT_EQ(patch_f[at], whole[2 * (std::size_t(r) * w + c)]) << r << "," << c;
      }
    }
  }
}

// The paths a kernel can take here, the reference first.
std::vector<vision::detail::SimdPath> AvailablePaths() {
  using vision::detail::SimdPath;
  std::vector<SimdPath> paths;
  for (SimdPath p : {SimdPath::kReference, SimdPath::kVector128, SimdPath::kVector256}) {
    if (vision::detail::SimdPathAvailable(p)) paths.push_back(p);
  }
  return paths;
}

// Bilinear gradient sampling: inside cells, on cell borders, and outside the image; one at a
// time, and on every path a vector of positions at a time, with positions left over.
TEST(GradientSampling, FastPathsMatchReference) {
  using namespace vision::detail;
  scene::Rng rng(5);
  PyramidLevel lv;
  lv.width = 23;
  lv.height = 17;
  std::vector<std::int16_t> grad(2 * std::size_t(lv.width) * lv.height);
  for (auto& v : grad) v = static_cast<std::int16_t>(rng.Uniform(-32000, 32000));
  lv.grad = {grad.data(), grad.size()};
  const std::size_t n = 20003;
  // The roundings of fused and unfused interpolation between pixels of up to 32000 (each at most
  // 2^-24 * 65536, 0.004; a dozen between the two); a wrong weight or pixel is off by far more.
  const float kFusedTolerance = 0.05f;
  std::vector<float> rs(n), cs(n);
  for (std::size_t i = 0; i < n; ++i) {
    float r = float(rng.Uniform(-2, lv.height + 1)), c = float(rng.Uniform(-2, lv.width + 1));
    if (i % 4 == 0) r = std::floor(r);  // exactly on a row of pixels
    if (i % 5 == 0) c = std::floor(c);
    if (i % 97 == 0) r = -5000;   // far outside, where truncation and floor differ
    if (i % 89 == 0) c = 3.0e9f;  // beyond the integers
    rs[i] = r, cs[i] = c;
    float ar, ac, br, bc;
    GradAtRef(lv, r, c, &ar, &ac);
    GradAt(lv, r, c, &br, &bc);
    // Exact where neither is fused into multiply-adds; within float rounding where one is (this
    // file is not compiled with -ffp-contract=off, and 64-bit ARM fuses). The rounding is of the
    // interpolated pixels, up to 32000, not of the result, which may be near zero.
    ASSERT_NEAR(ar, br, kFusedTolerance) << "at " << r << ", " << c;
    ASSERT_NEAR(ac, bc, kFusedTolerance) << "at " << r << ", " << c;
  }
  // Each path in the library (compiled without fused multiply-adds) against its reference.
  std::vector<float> want_r(n), want_c(n);
  GradAtWith(SimdPath::kReference, lv, rs.data(), cs.data(), n, want_r.data(), want_c.data());
  for (std::size_t i = 0; i < n; i += 101) {
    float ar, ac;
    GradAtRef(lv, rs[i], cs[i], &ar, &ac);
    ASSERT_NEAR(want_r[i], ar, kFusedTolerance) << i;
    ASSERT_NEAR(want_c[i], ac, kFusedTolerance) << i;
  }
  for (SimdPath path : AvailablePaths()) {
    std::vector<float> gr(n, 7), gc(n, 7);
    GradAtWith(path, lv, rs.data(), cs.data(), n, gr.data(), gc.data());
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(gr[i], want_r[i]) << "path " << int(path) << " at " << rs[i] << ", " << cs[i];
      ASSERT_EQ(gc[i], want_c[i]) << "path " << int(path) << " at " << rs[i] << ", " << cs[i];
    }
  }
}

// Levels of one or two pixels (a candidate's patch wholly outside the image is 1 x 1): every
// position is outside a whole cell, and no path reads beyond the level's gradients (the
// sanitizer build would notice).
TEST(GradientSampling, TinyLevelsGiveZero) {
  using namespace vision::detail;
  for (const auto& size : {std::pair{1, 1}, std::pair{2, 1}, std::pair{1, 2}}) {
    PyramidLevel lv;
    lv.width = size.first;
    lv.height = size.second;
    std::vector<std::int16_t> grad(2 * std::size_t(lv.width) * lv.height, 1000);
    lv.grad = {grad.data(), grad.size()};
    std::vector<float> rs, cs;
    for (float r : {-1.0f, 0.0f, 0.25f, 1.0f}) {
      for (float c : {-1.0f, 0.0f, 0.5f, 1.0f}) rs.push_back(r), cs.push_back(c);
    }
    for (SimdPath path : AvailablePaths()) {
      std::vector<float> gr(rs.size(), 7), gc(rs.size(), 7);
      GradAtWith(path, lv, rs.data(), cs.data(), rs.size(), gr.data(), gc.data());
      for (std::size_t i = 0; i < rs.size(); ++i) {
        EXPECT_EQ(gr[i], 0.0f) << "path " << int(path) << " " << lv.width << "x" << lv.height;
        EXPECT_EQ(gc[i], 0.0f) << "path " << int(path) << " " << lv.width << "x" << lv.height;
      }
    }
  }
}

namespace {

// A rendered board with three parts at known poses, its gradients as a pyramid level (the byte
// kernels' units), and matchbench's model: what scoring and refinement work on.
struct KernelScene {
  std::vector<scene::Shape> shapes = matchtest::RandomShapes(320, 240, 1, 3, 17);
  std::vector<std::int16_t> grad;
  vision::detail::PyramidLevel level;
  vision::HTuple model_handle;
  const vision::detail::ShapeModel* model = nullptr;

  explicit KernelScene(const char* metric) {
    scene::Image img = scene::Blank(320, 240, 60);
    for (const auto& s : shapes) scene::Paint(&img, s);
    scene::AddNoise(&img, 6, 17);
    const std::vector<std::uint8_t> bytes = scene::ToBytes(img);
    grad.resize(2 * bytes.size());
    vision::detail::SobelBytesRef(bytes.data(), img.width, img.height,
                                  {0, img.height, 0, img.width},
                                  {grad.data(), std::size_t(img.width)});
    level.width = img.width;
    level.height = img.height;
    level.grad = {grad.data(), grad.size()};
    model_handle = matchtest::BenchModel(matchtest::ToObject(scene::Template()), metric);
    model = dynamic_cast<const vision::detail::ShapeModel*>(model_handle.H().get());
  }

  // Level 0 of the model on the rendered level, on a path.
  vision::detail::LevelView View(vision::detail::SimdPath path, std::size_t refine_points) const {
    return {&level, &model->levels[0], model->min_contrast * 4,
            0.25f,  model->metric,     std::min(refine_points, model->levels[0].Size()),
            path};
  }

  // Poses near each part (up to a few pixels, a degree and 3 % off) and far from any.
  std::vector<vision::detail::Pose> Poses(std::uint64_t seed, int count) const {
    scene::Rng rng(seed);
    std::vector<vision::detail::Pose> poses;
    for (int i = 0; i < count; ++i) {
      const scene::Shape& s = shapes[std::size_t(i) % shapes.size()];
      const double spread = i % 5 == 4 ? 40 : 3;
      poses.push_back({s.row + rng.Uniform(-spread, spread), s.col + rng.Uniform(-spread, spread),
                       s.angle + rng.Uniform(-0.02, 0.02), s.sr * (1 + rng.Uniform(-0.03, 0.03)),
                       s.sc * (1 + rng.Uniform(-0.03, 0.03)), 0});
    }
    return poses;
  }
};

}  // namespace

// Pose scoring on every path gives the reference's score bit for bit: with and without early
// termination (which must stop at the same point: -1 on both or the same score), for every
// polarity, and for models whose point counts leave points over after the last whole vector.
TEST(ScoreKernels, EveryPathGivesTheReferenceScore) {
  using namespace vision::detail;
  for (const char* metric : {"use_polarity", "ignore_global_polarity", "ignore_local_polarity"}) {
    const KernelScene sc(metric);
    ASSERT_NE(sc.model, nullptr);
    ModelLevel trimmed = sc.model->levels[0];
    int stopped = 0, kept = 0;
    for (std::size_t points : {trimmed.Size(), std::size_t(45), std::size_t(13), std::size_t(5)}) {
      ModelLevel m = trimmed;
      for (auto* v : {&m.row, &m.col, &m.dir_row, &m.dir_col}) v->resize(points);
      for (const Pose& pose : sc.Poses(points, 40)) {
        for (const auto& [need, greed] : {std::pair{0.0, 0.0}, std::pair{0.7, 0.0},
                                          std::pair{0.7, 0.9}, std::pair{0.95, 0.5}}) {
          LevelView ref = sc.View(SimdPath::kReference, points);
          ref.model = &m;
          const double want = ScorePose(ref, pose, need, greed);
          (want < 0 ? stopped : kept)++;
          for (SimdPath path : AvailablePaths()) {
            LevelView v = ref;
            v.path = path;
            ASSERT_EQ(ScorePose(v, pose, need, greed), want)
                << metric << " path " << int(path) << " points " << points << " need " << need;
          }
        }
      }
    }
    // Both outcomes of the early termination were seen (a polarity-free sum has none).
    if (std::string(metric) != "ignore_global_polarity") {
      EXPECT_GT(stopped, 0) << metric;
    }
    EXPECT_GT(kept, 0) << metric;
  }
}

// A least-squares step on every path moves the pose exactly as the reference does (and fails
// where it fails): from poses near the parts and far from them, for each reach the search
// uses, on all model points and on a prefix, for every polarity.
TEST(RefineKernels, EveryPathMovesThePoseAsTheReference) {
  using namespace vision::detail;
  for (const char* metric : {"use_polarity", "ignore_global_polarity", "ignore_local_polarity"}) {
    const KernelScene sc(metric);
    ASSERT_NE(sc.model, nullptr);
    const PoseRange range = sc.model->range;
    int moved = 0, refused = 0;
    for (const int reach : {1, 2, 3, 6}) {
      for (std::size_t points : {sc.model->levels[0].Size(), std::size_t(61)}) {
        for (const Pose& start : sc.Poses(std::uint64_t(reach) * 7 + points, 20)) {
          const LevelView ref = sc.View(SimdPath::kReference, points);
          Pose want = start;
          const bool ok = RefineStep(ref, &want, reach, range, points);
          (ok ? moved : refused)++;
          for (SimdPath path : AvailablePaths()) {
            LevelView v = ref;
            v.path = path;
            Pose got = start;
            ASSERT_EQ(RefineStep(v, &got, reach, range, points), ok)
                << metric << " path " << int(path) << " reach " << reach;
            EXPECT_EQ(got.row, want.row) << metric << " path " << int(path) << " reach " << reach;
            EXPECT_EQ(got.col, want.col) << metric << " path " << int(path);
            EXPECT_EQ(got.angle, want.angle) << metric << " path " << int(path);
            EXPECT_EQ(got.sr, want.sr) << metric << " path " << int(path);
            EXPECT_EQ(got.sc, want.sc) << metric << " path " << int(path);
          }
          // The side search scores on the path too.
          Pose side_want = want;
          const bool side_moved = SideSearch(ref, &side_want, 6, range, 0.8);
          for (SimdPath path : AvailablePaths()) {
            LevelView v = ref;
            v.path = path;
            Pose got = want;
            EXPECT_EQ(SideSearch(v, &got, 6, range, 0.8), side_moved) << int(path);
            EXPECT_EQ(got.row, side_want.row) << int(path);
            EXPECT_EQ(got.sr, side_want.sr) << int(path);
          }
        }
      }
    }
    EXPECT_GT(moved, 0) << metric;
    EXPECT_GT(refused, 0) << metric;
  }
}

// A whole search on each vector path against the same search on the scalar references: the
// same matches bit for bit (on a noisy scene, which exercises the early terminations, and on a
// polarity-free model).
TEST(SearchKernels, VectorPathsReproduceTheScalarSearch) {
  using namespace vision::detail;
  struct Restore {
    bool was = ScalarKernels();
    SimdPath limit = SimdPathLimit();
    ~Restore() {
      SetScalarKernels(was);
      SetSimdPathLimit(limit);
    }
  } restore;
  const auto shapes = matchtest::RandomShapes(640, 480, 2, 3, 77);
  scene::Image img = scene::Blank(640, 480, 60);
  for (const auto& s : shapes) scene::Paint(&img, s);
  scene::AddNoise(&img, 8, 77);
  const vision::HObject obj = matchtest::ToObject(img);
  const vision::HObject templ = matchtest::ToObject(scene::Template());
  for (const char* metric : {"use_polarity", "ignore_local_polarity"}) {
    const vision::HTuple model = matchtest::BenchModel(templ, metric);
    SetScalarKernels(true);
    const matchtest::Found ref = matchtest::Find(obj, model, "least_squares", 0.5);
    EXPECT_EQ(ref.Size(), shapes.size()) << metric;
    SetScalarKernels(false);
    for (SimdPath path : {SimdPath::kVector128, SimdPath::kVector256}) {
      if (!SimdPathAvailable(path)) continue;
      SetSimdPathLimit(path);
      ASSERT_EQ(BestSimdPath(), path);
      const matchtest::Found fast = matchtest::Find(obj, model, "least_squares", 0.5);
      ASSERT_EQ(fast.Size(), ref.Size()) << metric << " path " << int(path);
      EXPECT_EQ(fast.row, ref.row) << metric << " path " << int(path);
      EXPECT_EQ(fast.col, ref.col) << metric << " path " << int(path);
      EXPECT_EQ(fast.angle, ref.angle) << metric << " path " << int(path);
      EXPECT_EQ(fast.sr, ref.sr) << metric << " path " << int(path);
      EXPECT_EQ(fast.sc, ref.sc) << metric << " path " << int(path);
      EXPECT_EQ(fast.score, ref.score) << metric << " path " << int(path);
    }
  }
}

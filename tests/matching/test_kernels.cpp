// Hot kernels of the matcher: each fast path is held to its plain scalar reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "detail/simd.h"
#include "match_util.h"
#include "matching/pyramid.h"
#include "matching/sample.h"
#include "matching/scan.h"
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

#if defined(VISION_SIMD_AVX2)
// GradAt8 on arrays of eight positions (the caller must check CpuHasAvx2()).
VISION_SIMD_TARGET_AVX2 void GradAt8Of(const vision::detail::PyramidLevel& lv, const float* r,
                                       const float* c, float* gr, float* gc) {
  __m256 vr, vc;
  vision::detail::GradAt8(lv, _mm256_loadu_ps(r), _mm256_loadu_ps(c), &vr, &vc);
  _mm256_storeu_ps(gr, vr);
  _mm256_storeu_ps(gc, vc);
}
#endif

// Bilinear gradient sampling: inside cells, on cell borders, and outside the image; one at a
// time and, where the processor has AVX2, eight at a time.
TEST(GradientSampling, FastPathMatchesReference) {
  using namespace vision::detail;
  scene::Rng rng(5);
  PyramidLevel lv;
  lv.width = 23;
  lv.height = 17;
  std::vector<std::int16_t> grad(2 * std::size_t(lv.width) * lv.height);
  for (auto& v : grad) v = static_cast<std::int16_t>(rng.Uniform(-32000, 32000));
  lv.grad = {grad.data(), grad.size()};
#if defined(VISION_SIMD_AVX2)
  float rs[8], cs[8], ref_r[8], ref_c[8];  // the last eight positions and their references
#endif
  for (int i = 0; i < 20000; ++i) {
    float r = float(rng.Uniform(-2, lv.height + 1)), c = float(rng.Uniform(-2, lv.width + 1));
    if (i % 4 == 0) r = std::floor(r);  // exactly on a row of pixels
    if (i % 5 == 0) c = std::floor(c);
    if (i % 97 == 0) r = -5000;  // far outside, where truncation and floor differ
    float ar, ac, br, bc;
    GradAtRef(lv, r, c, &ar, &ac);
    GradAt(lv, r, c, &br, &bc);
    // Exact where neither is fused into multiply-adds; within float rounding where one is.
    const float tol_r = 1e-6f * (1 + std::abs(ar)), tol_c = 1e-6f * (1 + std::abs(ac));
    ASSERT_NEAR(ar, br, tol_r) << "at " << r << ", " << c;
    ASSERT_NEAR(ac, bc, tol_c) << "at " << r << ", " << c;
#if defined(__SSE2__) && !defined(__FMA__)
    ASSERT_EQ(ar, br) << "at " << r << ", " << c;
    ASSERT_EQ(ac, bc) << "at " << r << ", " << c;
#endif
#if defined(VISION_SIMD_AVX2)
    rs[i % 8] = r, cs[i % 8] = c, ref_r[i % 8] = ar, ref_c[i % 8] = ac;
    if (i % 8 == 7 && CpuHasAvx2()) {
      float gr[8], gc[8];
      GradAt8Of(lv, rs, cs, gr, gc);
      for (int k = 0; k < 8; ++k) {
        ASSERT_EQ(gr[k], ref_r[k]) << "lane " << k << " at " << rs[k] << ", " << cs[k];
        ASSERT_EQ(gc[k], ref_c[k]) << "lane " << k << " at " << rs[k] << ", " << cs[k];
      }
    }
#endif
  }
}

// A whole search on the vector paths against the same search on the scalar references: the same
// matches (on a noisy scene, which exercises the early terminations, and on a polarity-free
// model).
TEST(SearchKernels, VectorPathsReproduceTheScalarSearch) {
  using namespace vision::detail;
  struct Restore {
    bool was = ScalarKernels();
    ~Restore() { SetScalarKernels(was); }
  } restore;
  const auto shapes = matchtest::RandomShapes(640, 480, 2, 3, 77);
  scene::Image img = scene::Blank(640, 480, 60);
  for (const auto& s : shapes) scene::Paint(&img, s);
  scene::AddNoise(&img, 8, 77);
  const vision::HObject obj = matchtest::ToObject(img);
  const vision::HObject templ = matchtest::ToObject(scene::Template());
  for (const char* metric : {"use_polarity", "ignore_local_polarity"}) {
    const vision::HTuple model = matchtest::BenchModel(templ, metric);
    SetScalarKernels(false);
    const matchtest::Found fast = matchtest::Find(obj, model, "least_squares", 0.5);
    SetScalarKernels(true);
    const matchtest::Found ref = matchtest::Find(obj, model, "least_squares", 0.5);
    ASSERT_EQ(fast.Size(), ref.Size()) << metric;
    EXPECT_EQ(fast.Size(), shapes.size()) << metric;
    for (std::size_t i = 0; i < ref.Size(); ++i) {
      // Exact where no multiply-add is fused (see GradientSampling); within rounding elsewhere.
      EXPECT_NEAR(fast.row[i], ref.row[i], 1e-6) << metric << " match " << i;
      EXPECT_NEAR(fast.col[i], ref.col[i], 1e-6) << metric << " match " << i;
      EXPECT_NEAR(fast.angle[i], ref.angle[i], 1e-8) << metric << " match " << i;
      EXPECT_NEAR(fast.sr[i], ref.sr[i], 1e-8) << metric << " match " << i;
      EXPECT_NEAR(fast.sc[i], ref.sc[i], 1e-8) << metric << " match " << i;
      EXPECT_NEAR(fast.score[i], ref.score[i], 1e-8) << metric << " match " << i;
#if defined(__SSE2__) && !defined(__FMA__)
      EXPECT_EQ(fast.row[i], ref.row[i]) << metric << " match " << i;
      EXPECT_EQ(fast.score[i], ref.score[i]) << metric << " match " << i;
#endif
    }
  }
}

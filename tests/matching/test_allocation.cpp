// Repeated searches of one size allocate nothing but their results. A program of its own: it
// counts every allocation of the process by replacing the global operator new.
#include <gtest/gtest.h>

// GCC cannot tell that the replaced operators below are the ones every new and delete of this
// program reach, and warns about free() on memory from operator new.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "match_util.h"
#include "vision/HImageFile.h"
#include "vision/HImageOps.h"
#include "vision/HSystem.h"

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t n) {
  ++g_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

// The library's allocations reach this operator new only where the program's replacement
// applies to the shared library too (not with Windows DLLs).
#if !defined(_WIN32)
TEST(SearchAllocation, RepeatedSearchesAllocateOnlyTheirResults) {
  using vision::HTuple;
  const HTuple model = matchtest::BenchModel(matchtest::ToObject(scene::Template()));
  vision::HObject image;
  vision::ReadImage(&image,
                    (std::string(VISION_TEST_DATA_DIR) + "/images/smd/smd_capacitors_01").c_str());
  const vision::HObject blank = matchtest::ToObject(scene::Blank(640, 480, 60));
  const HTuple a0 = -matchtest::Rad(10).D(), ae = matchtest::Rad(20), r0 = 0.9, r1 = 1.7, c0 = 0.9,
               c1 = 1.1, score = 0.7, count = 0, overlap = 0.5, subpix = "least_squares",
               levels = 0, greed = 0.8;
  HTuple row, col, angle, sr, sc, s;
  auto search = [&](const vision::HObject& img) {
    const long before = g_allocations;
    vision::FindAnisoShapeModel(img, model, a0, ae, r0, r1, c0, c1, score, count, overlap, subpix,
                                levels, greed, &row, &col, &angle, &sr, &sc, &s);
    return g_allocations - before;
  };
  for (int i = 0; i < 2; ++i) search(image), search(blank);  // buffers grow here
  const long with_matches = search(image);
  ASSERT_EQ(s.Length(), 5);
  const long without = search(blank);
  ASSERT_EQ(s.Length(), 0);
  // Reading the parameters may allocate a little; the matches' six outputs one each.
  EXPECT_LE(without, 4);
  EXPECT_LE(with_matches, without + 6);
}

// Creating a model prepares its searches (a warm-up search in the template): the first search of
// a 640 x 480 image after it grows no buffer either. One thread, so that the warm-up surely ran
// where the search will.
TEST(SearchAllocation, TheFirstSearchAfterModelCreationAllocatesOnlyItsResults) {
  using vision::HTuple;
  vision::SetSystem("thread_num", 1);
  struct Restore {
    ~Restore() { vision::SetSystem("thread_num", "default"); }
  } restore;
  vision::HObject image;
  vision::ReadImage(&image,
                    (std::string(VISION_TEST_DATA_DIR) + "/images/smd/smd_capacitors_03").c_str());
  // A model of its own: the scan tables of earlier models do not serve it.
  const HTuple model = matchtest::BenchModel(matchtest::ToObject(scene::Template()));
  HTuple row, col, angle, sr, sc, s;
  const long before = g_allocations;
  vision::FindAnisoShapeModel(image, model, -matchtest::Rad(10).D(), matchtest::Rad(20), 0.9, 1.7,
                              0.9, 1.1, 0.7, 0, 0.5, "least_squares", 0, 0.8, &row, &col, &angle,
                              &sr, &sc, &s);
  const long allocations = g_allocations - before;
  // The same search again: what any search allocates (its parameters' texts, its results).
  const long again = g_allocations;
  vision::FindAnisoShapeModel(image, model, -matchtest::Rad(10).D(), matchtest::Rad(20), 0.9, 1.7,
                              0.9, 1.1, 0.7, 0, 0.5, "least_squares", 0, 0.8, &row, &col, &angle,
                              &sr, &sc, &s);
  const long steady = g_allocations - again;
  ASSERT_EQ(s.Length(), 7);
  EXPECT_LE(allocations, steady + 4) << "the search after it: " << steady;
}
#endif

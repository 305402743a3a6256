// FindAnisoShapeModel: coarse-to-fine search for instances of a shape model. The driver: the
// parameters, the search's buffers, and each candidate's way down the pyramid.
//
// 1. A mean pyramid of the image (pyramid.h); the top level's gradients.
// 2. On the top level every position and every pose of a grid over angle, row scale and column
//    scale is scored (mean cosine between model directions and normalised image gradients),
//    with early termination controlled by the greediness. Local maxima become candidates
//    (top_scan.h, the kernels in scan.h).
// 3. Each candidate is followed down the pyramid; on each level its pose is refined by least
//    squares against the level's edges (point-to-line distances along the model normals), then
//    scored and kept if still promising (refine.h, score.h).
// 4. On the full-resolution level the pose is refined as the subpixel mode asks, scored, and
//    matches are sorted and thinned by overlap (overlap.h).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <new>
#include <tuple>
#include <vector>

#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/parallel.h"
#include "detail/param.h"
#include "detail/simd.h"
#include "detail/system.h"
#include "matching/operators.h"
#include "matching/overlap.h"
#include "matching/pose.h"
#include "matching/pyramid.h"
#include "matching/refine.h"
#include "matching/scan.h"
#include "matching/score.h"
#include "matching/shape_model.h"
#include "matching/top_scan.h"
#include "vision/HErrorCodes.h"
#include "vision/HMatching.h"

namespace vision {

namespace {

using namespace detail;

constexpr const char* kProc = "FindAnisoShapeModel";

// SubPixel's choices, in the order of the parameter's list.
enum class SubPixel {
  kNone,
  kInterpolation,
  kLeastSquares,
  kLeastSquaresHigh,
  kLeastSquaresVeryHigh
};

// The operator's inputs and outputs as given.
struct FindArgs {
  const HObject& image;
  const HTuple &model_id, &angle_start, &angle_extent, &scale_r_min, &scale_r_max, &scale_c_min,
      &scale_c_max, &min_score, &num_matches, &max_overlap, &sub_pixel, &num_levels, &greediness;
};
struct FindOutputs {
  HTuple *row, *column, *angle, *scale_r, *scale_c, *score;
};

// The control values, checked.
struct SearchParams {
  const ShapeModel* model = nullptr;
  PoseRange range;
  double min_score = 0;
  long long max_count = 0;  // 0: every match
  double max_overlap = 0;
  SubPixel subpix = SubPixel::kNone;
  int levels = 0;  // pyramid levels to use
  double greed = 0;
  std::size_t patch_elements = 0;  // room for the largest gradient patch (PatchElements)
};

const ShapeModel& ModelOf(const HTuple& model_id) {
  if (model_id.Length() != 1 || model_id.Type(0) != HTupleType::Handle) {
    Fail(err::kModelHandle, kProc,
         ParamText("ModelID", model_id) + ": a shape model handle expected");
  }
  const HHandle handle = model_id.H();
  const auto* model = dynamic_cast<const ShapeModel*>(handle.get());
  if (model == nullptr) {
    Fail(err::kModelHandle, kProc, ParamText("ModelID", model_id) + ": not a shape model handle");
  }
  return *model;
}

SearchParams ReadParams(const FindArgs& a) {
  SearchParams p;
  p.model = &ModelOf(a.model_id);
  ReadAngleRange(a.angle_start, a.angle_extent, kProc, &p.range);
  std::tie(p.range.sr0, p.range.sr1) =
      ReadScaleRange(a.scale_r_min, a.scale_r_max, ScaleAxis::kRow, kProc);
  std::tie(p.range.sc0, p.range.sc1) =
      ReadScaleRange(a.scale_c_min, a.scale_c_max, ScaleAxis::kColumn, kProc);
  p.min_score = NumberInRange(a.min_score, kProc, "MinScore", 0.0, 1.0);
  p.max_count = IntegerParam(a.num_matches, kProc, "NumMatches", 0, 1 << 30);
  p.max_overlap = NumberInRange(a.max_overlap, kProc, "MaxOverlap", 0.0, 1.0);
  p.subpix = static_cast<SubPixel>(ChoiceParam(
      a.sub_pixel, kProc, "SubPixel",
      {"none", "interpolation", "least_squares", "least_squares_high", "least_squares_very_high"}));
  const int model_levels = static_cast<int>(p.model->levels.size());
  p.levels = static_cast<int>(IntegerParam(a.num_levels, kProc, "NumLevels", 0, 10));
  if (p.levels == 0) p.levels = model_levels;
  if (p.levels > model_levels) {
    Fail(err::kWrongParamValue, kProc,
         ParamText("NumLevels", a.num_levels) + ": the model has only " +
             std::to_string(model_levels) + " levels");
  }
  p.greed = NumberInRange(a.greediness, kProc, "Greediness", 0.0, 1.0);
  return p;
}

// The top-level scan keeps every pose of the grid over angle and both scales, each with its
// model points: a range far beyond the model's steps would ask for more memory (and time) than
// any search can use, so it is refused up front, naming the range.
void CheckScanSize(const ModelLevel& top, const PoseRange& range, const FindArgs& a) {
  const ScanSize size = ScanSizeOf(top, range);
  if (!size.TooLarge()) return;
  Fail(err::kWrongParamValue, kProc,
       ParamText("AngleExtent", a.angle_extent) + ", " + ParamText("ScaleRMin", a.scale_r_min) +
           ", " + ParamText("ScaleRMax", a.scale_r_max) + ", " +
           ParamText("ScaleCMin", a.scale_c_min) + ", " + ParamText("ScaleCMax", a.scale_c_max) +
           ": the search range needs " + size.Describe(top.Size()) +
           "; narrow the range or create the model with larger steps");
}
// The search's buffers (pyramid, the top level's gradients, scan image, scores, pose tables and
// every thread's gradient patch) must stay within the setting "search_memory_limit"; a larger
// search is refused before it allocates anything, naming what it would need.
void CheckMemory(const ImageData& img, const ShapeModel& model, const SearchParams& sp) {
  const int top = sp.levels - 1;
  const bool floats = img.type != PixelType::Byte;
  double bytes = 0;
  for (int k = 0; k < sp.levels; ++k) {
    const double n = double(img.width >> k) * double(img.height >> k);
    if (k > 0 || floats) bytes += (floats ? 4 : 1) * n;  // grey values
    if (k == top) bytes += 4 * n;                        // gradients
  }
  const ModelLevel& tm = model.levels[std::size_t(top)];
  const double pad = std::ceil(tm.radius * std::max(sp.range.sr1, sp.range.sc1)) + 2;
  const double tw = double(img.width >> top), th = double(img.height >> top);
  bytes += (tw + 2 * pad + 16) * (th + 2 * pad) * 4 + tw * th * 8;  // scan image, scores
  bytes = std::max(bytes, double(kLeastPyramidStorage));            // all in one buffer
  bytes += double(2 << 20);                                         // whole 2 MiB pages
  bytes += ScanSizeOf(tm, sp.range).entries * 16;                   // pose tables
  if (sp.levels > 1) bytes += double(ThreadSlots()) * double(sp.patch_elements) * 2;  // patches
  const double limit = double(SearchMemoryLimit());
  if (bytes <= limit) return;
  char text[256];
  std::snprintf(text, sizeof text,
                "a search of the %d x %d image needs about %.0f MiB of buffers, more than the "
                "limit of %.0f MiB (SetSystem 'search_memory_limit')",
                img.width, img.height, std::ceil(bytes / double(1 << 20)), limit / double(1 << 20));
  Fail(err::kOutOfMemory, kProc, text);
}

// Minimum fraction of the final minimum score that a candidate must reach on level k of the
// search (the coarse levels score lower: their sampling of the pose is coarser).
double LevelThreshold(double min_score, int k) { return min_score * std::max(0.5, 1.0 - 0.08 * k); }

// The candidates' lists of one search, kept for their capacity.
struct SearchScratch {
  std::vector<Pose> maxima, cands, next, result;
  std::vector<char> alive;
  std::vector<LevelView> views;
  // Room for the candidates of a typical search from the start, so that a thread's first search
  // does not grow the lists step by step.
  SearchScratch() {
    constexpr std::size_t kTypical = 256;
    for (auto* list : {&maxima, &cands, &next, &result}) list->reserve(kTypical);
    alive.reserve(kTypical);
    views.reserve(8);
  }
};

// Buffers and tables kept per calling thread from one search to the next: fresh allocations of
// a few megabytes cost more in page faults than a small search takes, and repeated searches
// with one model use the same tables.
struct SearchBuffers {
  SearchScratch scratch;
  Pyramid pyr;
  TopScan scan;  // in pyr's extra bytes
  // Gradients around one candidate (RefineOnLevel), one buffer per slot of the threads
  // (ThreadSlot) that refine this thread's candidates.
  std::vector<std::vector<std::int16_t>> patches;
  ScanTablesKey tables_key;
  ScanTables tables;
};

// ---- Down the pyramid ----

// Least-squares steps on the full-resolution level for each SubPixel choice.
int FinalSteps(SubPixel subpix) {
  switch (subpix) {
    case SubPixel::kNone:
      return 0;
    case SubPixel::kInterpolation:
      return 1;
    case SubPixel::kLeastSquares:
      return 2;
    case SubPixel::kLeastSquaresHigh:
      return 4;
    case SubPixel::kLeastSquaresVeryHigh:
      return 6;
  }
  return 0;
}

// Where a candidate can look on a level: the model's box on that level at the pose it starts
// from there, with room for the refinement's reach and moves (the side search's too).
PixelBox CandidateBox(const ModelLevel& m, const Pose& p) {
  constexpr double kMargin = 10;
  double r[4], c[4];
  BoxCorners(m.row_lo, m.row_hi, m.col_lo, m.col_hi, p, r, c);
  double r0 = p.row, r1 = p.row, c0 = p.col, c1 = p.col;
  for (int i = 0; i < 4; ++i) {
    r0 = std::min(r0, r[i]), r1 = std::max(r1, r[i]), c0 = std::min(c0, c[i]),
    c1 = std::max(c1, c[i]);
  }
  auto clip = [](double v) { return static_cast<int>(std::clamp(v, -1.0e9, 1.0e9)); };
  return {clip(std::floor(r0 - kMargin)), clip(std::ceil(r1 + kMargin)) + 1,
          clip(std::floor(c0 - kMargin)), clip(std::ceil(c1 + kMargin)) + 1};
}

// The elements of the largest gradient patch a candidate of the range can ask for (on level 0,
// where the model is largest): the box at the range's corners, its largest height and width.
std::size_t PatchElements(const ModelLevel& base, const PoseRange& range) {
  int h = 0, w = 0;
  for (const double a : {range.a0, range.a1, std::clamp(0.0, range.a0, range.a1)}) {
    const PixelBox b = CandidateBox(base, Pose{0, 0, a, range.sr1, range.sc1, 0});
    h = std::max(h, b.r1 - b.r0);
    w = std::max(w, b.c1 - b.c0);
  }
  return 2 * std::size_t(h) * std::size_t(w);
}

// The calling thread's search buffers. Not inlined: where the compiler sees the thread-local
// variable itself it computes its address anew at many of its uses, a library call each in a
// shared library (thousands per search).
[[gnu::noinline]] SearchBuffers& ThreadBuffers() {
  thread_local SearchBuffers buffers;
  return buffers;
}

// Follows one candidate from level k + 1 to level k (top: the scan's level) and scores it there;
// returns whether it is still promising. The level's gradients are computed here, in a patch
// around the candidate (CandidateBox) on the thread that refines it: only the pixels a search
// needs, in that thread's cache, and none outside the patch, so that the result depends on
// nothing but the image and the candidate.
bool RefineOnLevel(const std::vector<LevelView>& views, int k, const SearchParams& sp,
                   const Pyramid& pyr, std::vector<std::int16_t>* storage, Pose* pose) {
  const int top = static_cast<int>(views.size()) - 1;
  Pose& p = *pose;
  const bool first = k == top - 1;
  const bool last = k == 0;
  p.row = 2 * p.row + 0.5;
  p.col = 2 * p.col + 0.5;
  PyramidLevel patch;
  LevelView v = views[std::size_t(k)];
  const PixelBox origin = GradientPatch(pyr, k, CandidateBox(*v.model, p), storage, &patch);
  v.img = &patch;
  // Whole pixels, so the move to the patch and back is exact.
  p.row -= origin.r0;
  p.col -= origin.c0;
  // Least-squares steps per level: the first level below the scan starts far off (up to a pixel
  // of the coarser level) and looks further; on the full-resolution level the pose is already
  // within a fraction of a pixel.
  const int iters = last ? FinalSteps(sp.subpix) : first ? 2 : 1;
  for (int it = 0; it < iters; ++it) {
    const Pose before = p;
    const int reach = (first && it == 0) ? 3 : last && !first ? 1 : 2;
    if (!RefineStep(v, &p, reach, sp.range, it == 0 ? v.refine_points : v.model->Size())) break;
    if (std::abs(p.row - before.row) < 1e-4 && std::abs(p.col - before.col) < 1e-4 &&
        std::abs(p.angle - before.angle) < 1e-6 && std::abs(p.sr - before.sr) < 1e-6 &&
        std::abs(p.sc - before.sc) < 1e-6) {
      break;
    }
  }
  if (k == 1 && SideSearch(v, &p, 6, sp.range, sp.greed)) {
    for (int it = 0; it < 2; ++it) {
      if (!RefineStep(v, &p, 2, sp.range, v.model->Size())) break;
    }
  }
  if (last && sp.subpix == SubPixel::kNone) {
    p.row = std::round(p.row);
    p.col = std::round(p.col);
  }
  p.score = ScorePose(v, p);
  p.row += origin.r0;
  p.col += origin.c0;
  return p.score >= (last ? sp.min_score : LevelThreshold(sp.min_score, k));
}

// Best first, without candidates that converged onto the same object as a better one (within
// one pose step of level k).
void MergeConverged(std::vector<Pose>* sorted, const ModelLevel& level, std::vector<Pose>* out) {
  std::vector<Pose>& cands = *sorted;
  std::sort(cands.begin(), cands.end(), ByScore);
  std::vector<Pose>& kept = *out;
  kept.clear();
  for (const Pose& p : cands) {
    bool dup = false;
    for (const Pose& q : kept) {
      if (std::hypot(p.row - q.row, p.col - q.col) < 1.5 &&
          std::abs(p.angle - q.angle) < level.angle_step &&
          std::abs(p.sr - q.sr) < level.scale_r_step &&
          std::abs(p.sc - q.sc) < level.scale_c_step) {
        dup = true;
        break;
      }
    }
    if (!dup) kept.push_back(p);
  }
}

// Follows the candidates (s->cands, best first) down to the full resolution; leaves the
// survivors there, best first. Each candidate goes all the way down on one thread, in one
// parallel loop: a loop per level made both threads wait for the slower one at every level, and
// candidates that converge onto the same object are rare enough to be merged at the end only.
void Descend(const std::vector<LevelView>& views, const SearchParams& sp, const Pyramid& pyr,
             std::vector<std::vector<std::int16_t>>* patches, SearchScratch* s) {
  std::vector<Pose>& cands = s->cands;
  const int top = static_cast<int>(views.size()) - 1;
  if (top > 0) {
    // Every thread's patch buffer with room for the search's largest patch, written here: a
    // buffer grows at most once per model, and fresh memory is touched by the calling thread
    // (during the warm-up search of model creation), not in the middle of a later search.
    patches->resize(std::size_t(ThreadSlots()));
    for (std::vector<std::int16_t>& patch : *patches) {
      if (patch.size() < sp.patch_elements) patch.resize(sp.patch_elements);
    }
    s->alive.assign(cands.size(), 0);
    ParallelFor(0, static_cast<int>(cands.size()), [&](int i) {
      const std::size_t slot = std::size_t(ThreadSlot());
      std::vector<std::int16_t>* storage = nullptr;
      if (slot < patches->size()) {
        storage = &(*patches)[slot];
      } else {  // a thread started since ("thread_num" grew) uses a buffer of its own
        std::vector<std::vector<std::int16_t>>& own = ThreadBuffers().patches;
        if (own.empty()) own.emplace_back();
        storage = &own[0];
      }
      // A copy: neighbouring candidates refined on other threads share cache lines.
      Pose p = cands[std::size_t(i)];
      bool alive = true;
      for (int k = top - 1; k >= 0 && alive; --k) {
        alive = RefineOnLevel(views, k, sp, pyr, storage, &p);
      }
      cands[std::size_t(i)] = p;
      s->alive[std::size_t(i)] = alive;
    });
    s->next.clear();
    for (std::size_t i = 0; i < cands.size(); ++i) {
      if (s->alive[i]) s->next.push_back(cands[i]);
    }
    MergeConverged(&s->next, sp.model->levels[0], &cands);
  } else {
    // A one-level search: the scan result is the final pose.
    s->next.clear();
    for (Pose& p : cands) {
      p.score = ScorePose(views[0], p);
      if (p.score >= sp.min_score) s->next.push_back(p);
    }
    std::sort(s->next.begin(), s->next.end(), ByScore);
    cands.swap(s->next);
  }
}

void WriteMatches(const std::vector<Pose>& matches, const FindOutputs& out) {
  // One allocation per output.
  auto column = [&](double Pose::*field) {
    std::vector<HTuple::Element> elems;
    elems.reserve(matches.size());
    for (const Pose& p : matches) elems.emplace_back(p.*field);
    return HTuple(std::move(elems));
  };
  *out.row = column(&Pose::row);
  *out.column = column(&Pose::col);
  *out.angle = column(&Pose::angle);
  *out.scale_r = column(&Pose::sr);
  *out.scale_c = column(&Pose::sc);
  *out.score = column(&Pose::score);
}

void Find(const FindArgs& args, const FindOutputs& out) {
  if (!out.row || !out.column || !out.angle || !out.scale_r || !out.scale_c || !out.score) {
    Fail(err::kNullOutput, kProc, "every one of the six outputs must be given");
  }
  const ImageData& img = OneImage(args.image, kProc);
  SearchParams sp = ReadParams(args);
  const ShapeModel& model = *sp.model;
  // Fewer levels on images too small for the full pyramid.
  while (sp.levels > 1 &&
         ((img.width >> (sp.levels - 1)) < 4 || (img.height >> (sp.levels - 1)) < 4)) {
    --sp.levels;
  }
  // A patch is never larger than level 0 (it is clipped to it).
  sp.patch_elements = std::min(PatchElements(model.levels[0], sp.range),
                               2 * std::size_t(img.width) * std::size_t(img.height));
  const bool tiny = img.width < 3 || img.height < 3;
  if (!tiny) {
    CheckScanSize(model.levels[std::size_t(sp.levels - 1)], sp.range, args);
    CheckMemory(img, model, sp);
  }
  WriteMatches({}, out);  // the last check is done
  if (tiny) return;

  WakeThreads();                         // for the scan, after the pyramid
  SearchBuffers& buf = ThreadBuffers();  // the caller's, also inside the parallel bodies
  const int top = sp.levels - 1;
  const ModelLevel& tm = model.levels[std::size_t(top)];
  const ScanTablesKey key{model.serial, top, sp.range};
  if (!(buf.tables_key == key)) {
    buf.tables_key = {};  // until the new tables are complete
    buf.tables = MakeScanTables(tm, sp.range);
    buf.tables_key = key;
  }
  SetScanThresholds(tm.Size(), LevelThreshold(sp.min_score, top), sp.greed, &buf.tables);
  const ScanLayout scan(img.width >> top, img.height >> top, buf.tables.pad);
  BuildPyramid(img, sp.levels, /*top_only=*/sp.levels > 1, scan.Bytes(), &buf.pyr);
  scan.Place(buf.pyr.extra.data(), &buf.scan);
  SearchScratch& s = buf.scratch;
  std::vector<LevelView>& views = s.views;
  views.resize(static_cast<std::size_t>(sp.levels));
  for (int k = 0; k < sp.levels; ++k) {
    const std::size_t points = model.levels[std::size_t(k)].Size();
    views[std::size_t(k)] = {
        &buf.pyr.levels[std::size_t(k)],
        &model.levels[std::size_t(k)],
        model.min_contrast * buf.pyr.grad_scale,
        1.0f / buf.pyr.grad_scale,
        model.metric,
        k == 0 ? points : std::max(points / 2, std::min<std::size_t>(points, 48)),
        BestSimdPath()};
  }
  PrepareScan(buf.pyr.levels[std::size_t(top)], views[std::size_t(top)].min_contrast, &buf.tables,
              &buf.scan);
  ScanTopLevel(buf.tables, model.metric, &buf.scan);
  TopCandidates(buf.tables, buf.scan, tm.Size(), sp.max_count, &s.maxima, &s.cands);
  Descend(views, sp, buf.pyr, &buf.patches, &s);
  SelectByOverlap(s.cands, model, sp.max_overlap, sp.max_count, &s.result);
  WriteMatches(s.result, out);
}

}  // namespace

void FindAnisoShapeModel(const HObject& image, const HTuple& model_id, const HTuple& angle_start,
                         const HTuple& angle_extent, const HTuple& scale_r_min,
                         const HTuple& scale_r_max, const HTuple& scale_c_min,
                         const HTuple& scale_c_max, const HTuple& min_score,
                         const HTuple& num_matches, const HTuple& max_overlap,
                         const HTuple& sub_pixel, const HTuple& num_levels,
                         const HTuple& greediness, HTuple* row, HTuple* column, HTuple* angle,
                         HTuple* scale_r, HTuple* scale_c, HTuple* score) {
  const FindArgs args{image,       model_id,    angle_start, angle_extent, scale_r_min,
                      scale_r_max, scale_c_min, scale_c_max, min_score,    num_matches,
                      max_overlap, sub_pixel,   num_levels,  greediness};
  ReportOutOfMemory(kProc, "the search's image pyramid and tables", [&] {
    Find(args, {row, column, angle, scale_r, scale_c, score});
  });
}

}  // namespace vision
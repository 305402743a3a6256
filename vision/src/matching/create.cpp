// CreateAnisoShapeModel: model points from the edges of a template, per pyramid level.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <new>
#include <numbers>
#include <tuple>
#include <vector>

#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/parallel.h"
#include "detail/param.h"
#include "matching/operators.h"
#include "matching/pyramid.h"
#include "matching/shape_model.h"
#include "vision/HErrorCodes.h"
#include "vision/HMatching.h"

namespace vision {

namespace {

using namespace detail;

constexpr const char* kProc = "CreateAnisoShapeModel";
// Fewest edge points a model may have at full resolution.
constexpr std::size_t kMinModelPoints = 10;
// Fewest points the top level of an "auto" pyramid keeps: below this the coarse scan stops
// telling shapes from clutter reliably.
constexpr std::size_t kMinTopPoints = 24;
// Fewest points any level of a user-chosen pyramid may have.
constexpr std::size_t kMinLevelPoints = 8;
constexpr int kMaxLevels = 10;

struct FloatImage {
  int width = 0, height = 0;
  std::vector<float> px;
  float At(int r, int c) const { return px[std::size_t(r) * width + c]; }
};

FloatImage ToFloat(const detail::ImageData& image) {
  FloatImage out;
  out.width = image.width;
  out.height = image.height;
  const std::size_t n = std::size_t(image.width) * image.height;
  out.px.resize(n);
  switch (image.type) {
    case detail::PixelType::Byte: {
      const auto* p = image.Plane<std::uint8_t>(0);
      for (std::size_t i = 0; i < n; ++i) out.px[i] = p[i];
      break;
    }
    case detail::PixelType::UInt2: {
      const auto* p = image.Plane<std::uint16_t>(0);
      for (std::size_t i = 0; i < n; ++i) out.px[i] = p[i];
      break;
    }
    case detail::PixelType::Real: {
      const auto* p = image.Plane<float>(0);
      for (std::size_t i = 0; i < n; ++i) out.px[i] = std::isfinite(p[i]) ? p[i] : 0.0f;
      break;
    }
  }
  return out;
}

FloatImage Halve(const FloatImage& src) {
  FloatImage out;
  out.width = src.width / 2;
  out.height = src.height / 2;
  out.px.resize(std::size_t(out.width) * out.height);
  detail::HalveFloatsRef(src.px.data(), src.width, src.height, out.px.data());
  return out;
}

// Sobel gradient (divided by 4: a step of contrast C gives magnitude C) of the inner pixels.
struct Gradient {
  int width = 0, height = 0;
  std::vector<float> gr, gc, mag;
};

Gradient SobelOf(const FloatImage& img) {
  Gradient g;
  g.width = img.width;
  g.height = img.height;
  const std::size_t n = std::size_t(img.width) * img.height;
  g.gr.assign(n, 0.0f);
  g.gc.assign(n, 0.0f);
  g.mag.assign(n, 0.0f);
  for (int r = 1; r + 1 < img.height; ++r) {
    for (int c = 1; c + 1 < img.width; ++c) {
      const float gr = ((img.At(r + 1, c - 1) + img.At(r + 1, c + 1)) + 2 * img.At(r + 1, c)) -
                       ((img.At(r - 1, c - 1) + img.At(r - 1, c + 1)) + 2 * img.At(r - 1, c));
      const float gc = ((img.At(r - 1, c + 1) + img.At(r + 1, c + 1)) + 2 * img.At(r, c + 1)) -
                       ((img.At(r - 1, c - 1) + img.At(r + 1, c - 1)) + 2 * img.At(r, c - 1));
      const std::size_t i = std::size_t(r) * img.width + c;
      g.gr[i] = gr * 0.25f;
      g.gc[i] = gc * 0.25f;
      g.mag[i] = std::hypot(g.gr[i], g.gc[i]);
    }
  }
  return g;
}

float BilinearMag(const Gradient& g, float r, float c) {
  const int r0 = static_cast<int>(std::floor(r)), c0 = static_cast<int>(std::floor(c));
  if (r0 < 0 || c0 < 0 || r0 + 1 >= g.height || c0 + 1 >= g.width) return 0;
  const float fr = r - r0, fc = c - c0;
  const float* m = g.mag.data() + std::size_t(r0) * g.width + c0;
  return (1 - fr) * ((1 - fc) * m[0] + fc * m[1]) +
         fr * ((1 - fc) * m[g.width] + fc * m[g.width + 1]);
}

// Pixels whose magnitude is a maximum across the edge (along the gradient direction, quantised
// to one of four neighbours' directions).
std::vector<std::uint8_t> NonMaximum(const Gradient& g, float low) {
  std::vector<std::uint8_t> keep(g.mag.size(), 0);
  const float t = std::tan(std::numbers::pi_v<float> / 8);
  for (int r = 1; r + 1 < g.height; ++r) {
    for (int c = 1; c + 1 < g.width; ++c) {
      const std::size_t i = std::size_t(r) * g.width + c;
      const float m = g.mag[i];
      if (m < low || m <= 0) continue;
      const float ar = std::abs(g.gr[i]), ac = std::abs(g.gc[i]);
      int dr, dc;
      if (ar <= t * ac) {
        dr = 0, dc = 1;
      } else if (ac <= t * ar) {
        dr = 1, dc = 0;
      } else {
        dr = 1, dc = (g.gr[i] > 0) == (g.gc[i] > 0) ? 1 : -1;
      }
      const float a = g.mag[std::size_t(r + dr) * g.width + c + dc];
      const float b = g.mag[std::size_t(r - dr) * g.width + c - dc];
      // >= on one side and > on the other, so a plateau of two yields one point.
      if (m >= a && m > b) keep[i] = 1;
    }
  }
  return keep;
}

// Hysteresis: non-maximum pixels >= low that are 8-connected to one >= high.
std::vector<std::uint8_t> Hysteresis(const Gradient& g, const std::vector<std::uint8_t>& nms,
                                     float low, float high) {
  std::vector<std::uint8_t> edge(nms.size(), 0);
  std::vector<int> stack;
  for (std::size_t i = 0; i < nms.size(); ++i) {
    if (nms[i] && g.mag[i] >= high && !edge[i]) {
      edge[i] = 1;
      stack.push_back(static_cast<int>(i));
      while (!stack.empty()) {
        const int j = stack.back();
        stack.pop_back();
        const int r = j / g.width, c = j % g.width;
        for (int dr = -1; dr <= 1; ++dr) {
          for (int dc = -1; dc <= 1; ++dc) {
            const int rr = r + dr, cc = c + dc;
            if (rr < 0 || cc < 0 || rr >= g.height || cc >= g.width) continue;
            const std::size_t k = std::size_t(rr) * g.width + cc;
            if (nms[k] && !edge[k] && g.mag[k] >= low) {
              edge[k] = 1;
              stack.push_back(static_cast<int>(k));
            }
          }
        }
      }
    }
  }
  return edge;
}

// Keeps one point per cell of a grid of the given spacing (in pixels), in raster order.
void Thin(ModelLevel* level, int spacing) {
  if (spacing <= 1) return;
  ModelLevel out;
  std::vector<std::pair<long, long>> seen;
  for (std::size_t i = 0; i < level->Size(); ++i) {
    const long cr = std::lround(std::floor(level->row[i] / spacing));
    const long cc = std::lround(std::floor(level->col[i] / spacing));
    if (std::find(seen.begin(), seen.end(), std::make_pair(cr, cc)) != seen.end()) continue;
    seen.emplace_back(cr, cc);
    out.row.push_back(level->row[i]);
    out.col.push_back(level->col[i]);
    out.dir_row.push_back(level->dir_row[i]);
    out.dir_col.push_back(level->dir_col[i]);
  }
  level->row.swap(out.row);
  level->col.swap(out.col);
  level->dir_row.swap(out.dir_row);
  level->dir_col.swap(out.dir_col);
}

// Edge points of one level with subpixel positions along the gradient, relative to (ref_r,
// ref_c) in that level's pixels.
ModelLevel ExtractPoints(const Gradient& g, float low, float high, double ref_r, double ref_c) {
  const std::vector<std::uint8_t> edge = Hysteresis(g, NonMaximum(g, low), low, high);
  ModelLevel level;
  for (int r = 0; r < g.height; ++r) {
    for (int c = 0; c < g.width; ++c) {
      const std::size_t i = std::size_t(r) * g.width + c;
      if (!edge[i]) continue;
      const float m = g.mag[i];
      const float ur = g.gr[i] / m, uc = g.gc[i] / m;
      // Parabola through the magnitudes one pixel before and after along the gradient.
      const float a = BilinearMag(g, r - ur, c - uc);
      const float b = BilinearMag(g, r + ur, c + uc);
      const float den = a - 2 * m + b;
      float t = den < 0 ? 0.5f * (a - b) / den : 0.0f;
      t = std::clamp(t, -0.5f, 0.5f);
      level.row.push_back(static_cast<float>(r + t * ur - ref_r));
      level.col.push_back(static_cast<float>(c + t * uc - ref_c));
      level.dir_row.push_back(ur);
      level.dir_col.push_back(uc);
    }
  }
  return level;
}

// Fixed pseudo-random order, so that every prefix of the points covers the whole shape.
void Shuffle(ModelLevel* level) {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  const std::size_t n = level->Size();
  for (std::size_t i = n; i > 1; --i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const std::size_t j = static_cast<std::size_t>((state >> 33) % i);
    std::swap(level->row[i - 1], level->row[j]);
    std::swap(level->col[i - 1], level->col[j]);
    std::swap(level->dir_row[i - 1], level->dir_row[j]);
    std::swap(level->dir_col[i - 1], level->dir_col[j]);
  }
}

void Measure(ModelLevel* level) {
  level->radius = level->row_extent = level->col_extent = 0;
  if (level->Size() > 0) {
    level->row_lo = *std::min_element(level->row.begin(), level->row.end());
    level->row_hi = *std::max_element(level->row.begin(), level->row.end());
    level->col_lo = *std::min_element(level->col.begin(), level->col.end());
    level->col_hi = *std::max_element(level->col.begin(), level->col.end());
  }
  for (std::size_t i = 0; i < level->Size(); ++i) {
    level->radius = std::max(level->radius, std::hypot(level->row[i], level->col[i]));
    level->row_extent = std::max(level->row_extent, std::abs(level->row[i]));
    level->col_extent = std::max(level->col_extent, std::abs(level->col[i]));
  }
}

// Optimization's first value, in the order of the parameter's list.
enum class Optimization {
  kNone,
  kAuto,
  kPointReductionLow,
  kPointReductionMedium,
  kPointReductionHigh
};

// The control values, checked.
struct CreateParams {
  int levels_wanted = 0;  // 0: auto
  PoseRange range;
  double a_step = 0, r_step = 0, c_step = 0;  // 0: auto
  Optimization opt = Optimization::kNone;
  MatchMetric metric = MatchMetric::kUsePolarity;
  float min_contrast = -1;    // -1: auto (derived from the contrast)
  float low = -1, high = -1;  // contrast thresholds; -1: auto (from the template)
};

// The operator's inputs as given.
struct CreateArgs {
  const HObject& templ;
  const HTuple &num_levels, &angle_start, &angle_extent, &angle_step, &scale_r_min, &scale_r_max,
      &scale_r_step, &scale_c_min, &scale_c_max, &scale_c_step, &optimization, &metric, &contrast,
      &min_contrast;
};

// Contrast: "auto", one threshold, [low, high] or [low, high, min_size]; sets p->low, p->high.
void ReadContrast(const HTuple& contrast, CreateParams* p) {
  if (IsText(contrast, "auto")) return;
  if (contrast.Length() < 1 || contrast.Length() > 3) {
    Fail(err::kWrongParamCount, kProc,
         ParamText("Contrast", contrast) + ": 'auto', one threshold or [low, high] expected");
  }
  for (Hlong i = 0; i < contrast.Length(); ++i) {
    NumberInRange(contrast[i], kProc, "Contrast", 0.0, 1.0e9);
  }
  if (contrast.Length() == 1) {
    p->low = p->high = static_cast<float>(contrast.D());
  } else {
    p->low = static_cast<float>(contrast[0].D());
    p->high = static_cast<float>(contrast[1].D());
    if (p->high < p->low) {
      Fail(err::kWrongParamRange, kProc,
           ParamText("Contrast", contrast) + ": the low threshold exceeds the high one");
    }
  }
  if (!(p->high > 0)) {
    Fail(err::kWrongParamValue, kProc, ParamText("Contrast", contrast) + ": must be positive");
  }
}

CreateParams ReadParams(const CreateArgs& a) {
  CreateParams p;
  if (!IsText(a.num_levels, "auto")) {
    p.levels_wanted =
        static_cast<int>(IntegerParam(a.num_levels, kProc, "NumLevels", 1, kMaxLevels));
  }
  ReadAngleRange(a.angle_start, a.angle_extent, kProc, &p.range);
  p.a_step = AutoOrPositive(a.angle_step, kProc, "AngleStep", std::numbers::pi / 4);
  std::tie(p.range.sr0, p.range.sr1) =
      ReadScaleRange(a.scale_r_min, a.scale_r_max, ScaleAxis::kRow, kProc);
  p.r_step = AutoOrPositive(a.scale_r_step, kProc, "ScaleRStep", 1.0);
  std::tie(p.range.sc0, p.range.sc1) =
      ReadScaleRange(a.scale_c_min, a.scale_c_max, ScaleAxis::kColumn, kProc);
  p.c_step = AutoOrPositive(a.scale_c_step, kProc, "ScaleCStep", 1.0);

  // Optimization: one text, optionally followed by a pregeneration flag (accepted, no effect:
  // poses are generated when a search starts).
  if (a.optimization.Length() < 1 || a.optimization.Length() > 2) {
    Fail(err::kWrongParamCount, kProc,
         ParamText("Optimization", a.optimization) + ": one or two texts expected");
  }
  p.opt = static_cast<Optimization>(ChoiceParam(
      a.optimization[0], kProc, "Optimization",
      {"none", "auto", "point_reduction_low", "point_reduction_medium", "point_reduction_high"}));
  if (a.optimization.Length() == 2) {
    ChoiceParam(a.optimization[1], kProc, "Optimization", {"pregeneration", "no_pregeneration"});
  }
  p.metric = static_cast<MatchMetric>(
      ChoiceParam(a.metric, kProc, "Metric",
                  {"use_polarity", "ignore_global_polarity", "ignore_local_polarity"}));
  // Minimum contrast: the noise floor at search time.
  if (!IsText(a.min_contrast, "auto")) {
    p.min_contrast =
        static_cast<float>(NumberInRange(a.min_contrast, kProc, "MinContrast", 0.0, 1.0e9));
  }
  ReadContrast(a.contrast, &p);
  // The search ignores gradients below the minimum contrast: above the contrast that selects the
  // model's edges, it would not see them.
  if (p.min_contrast >= 0 && p.high > 0 && p.min_contrast > p.high) {
    Fail(err::kWrongParamValue, kProc,
         ParamText("MinContrast", a.min_contrast) + " is above " +
             ParamText("Contrast", a.contrast) +
             ": a search would ignore every edge of the model; the minimum contrast must not "
             "exceed the contrast");
  }
  return p;
}

// The template's mean pyramid, as many levels as asked for (or as its size allows), with the
// gradients of every level.
std::vector<Gradient> TemplateGradients(const ImageData& image, const CreateParams& p,
                                        const HTuple& num_levels) {
  std::vector<FloatImage> pyr;
  pyr.push_back(ToFloat(image));
  const int max_levels = p.levels_wanted ? p.levels_wanted : kMaxLevels;
  while (static_cast<int>(pyr.size()) < max_levels && pyr.back().width >= 8 &&
         pyr.back().height >= 8) {
    pyr.push_back(Halve(pyr.back()));
  }
  if (p.levels_wanted && static_cast<int>(pyr.size()) < p.levels_wanted) {
    Fail(err::kWrongParamValue, kProc,
         ParamText("NumLevels", num_levels) + ": the " + std::to_string(image.width) + " x " +
             std::to_string(image.height) + " template allows at most " +
             std::to_string(pyr.size()) + " levels");
  }
  std::vector<Gradient> grads;
  for (const FloatImage& img : pyr) grads.push_back(SobelOf(img));
  return grads;
}

// Thresholds from the template where the contrast is "auto": half (high) and a quarter (low) of
// the strong edges' contrast, the 90th percentile of the edge pixels' magnitudes; never below
// the noise floor. Then the minimum contrast where that is "auto", and the thresholds raised to
// it.
void SettleContrast(const Gradient& base, const HTuple& min_contrast, CreateParams* p) {
  if (p->low < 0) {
    std::vector<float> mags;
    const std::vector<std::uint8_t> nms = NonMaximum(base, std::max(p->min_contrast, 1e-3f));
    for (std::size_t i = 0; i < nms.size(); ++i) {
      if (nms[i]) mags.push_back(base.mag[i]);
    }
    if (mags.size() < kMinModelPoints) {
      Fail(err::kModelTooFewPoints, kProc,
           "the template has only " + std::to_string(mags.size()) +
               " edge points above the minimum contrast " + Describe(min_contrast) + "; at least " +
               std::to_string(kMinModelPoints) + " are needed");
    }
    const std::size_t q = mags.size() * 9 / 10;
    std::nth_element(mags.begin(), mags.begin() + std::ptrdiff_t(q), mags.end());
    const float strong = mags[q];
    p->high = 0.5f * strong;
    p->low = 0.25f * strong;
  }
  if (p->min_contrast < 0) p->min_contrast = std::max(1.0f, 0.5f * p->low);
  p->low = std::max(p->low, p->min_contrast);
  p->high = std::max(p->high, p->low);
}

// Grid spacing of the point reduction ("auto" decides per level, from the number of points).
int Spacing(Optimization opt) {
  switch (opt) {
    case Optimization::kPointReductionLow:
      return 2;
    case Optimization::kPointReductionMedium:
      return 3;
    case Optimization::kPointReductionHigh:
      return 4;
    default:
      return 1;
  }
}

// The model points of every level of the template's pyramid, thinned as asked, relative to the
// reference point (ref_row, ref_col) of level 0.
std::vector<ModelLevel> LevelPoints(const std::vector<Gradient>& grads, const CreateParams& p,
                                    double ref_row, double ref_col) {
  std::vector<ModelLevel> levels;
  for (std::size_t k = 0; k < grads.size(); ++k) {
    const double f = std::ldexp(1.0, -static_cast<int>(k));
    const double rr = (ref_row + 0.5) * f - 0.5;
    const double rc = (ref_col + 0.5) * f - 0.5;
    ModelLevel level = ExtractPoints(grads[k], p.low, p.high, rr, rc);
    int s = Spacing(p.opt);
    // "auto" thins only large models, to keep the fine levels' cost bounded.
    if (p.opt == Optimization::kAuto && level.Size() > 2000) {
      s = static_cast<int>(std::ceil(level.Size() / 2000.0));
    }
    if (level.Size() / std::size_t(s) < 32) s = 1;
    Thin(&level, s);
    Measure(&level);
    levels.push_back(std::move(level));
  }
  return levels;
}

// How many levels the model keeps: those asked for, each with enough points, or with "auto" as
// many as keep enough points on the top level.
std::size_t LevelsToKeep(const std::vector<ModelLevel>& levels, const CreateParams& p,
                         const CreateArgs& a) {
  if (levels[0].Size() < kMinModelPoints) {
    Fail(err::kModelTooFewPoints, kProc,
         "the template has only " + std::to_string(levels[0].Size()) +
             " edge points with contrast " + Describe(a.contrast) + "; at least " +
             std::to_string(kMinModelPoints) + " are needed");
  }
  if (p.levels_wanted) {
    for (std::size_t k = 0; k < std::size_t(p.levels_wanted); ++k) {
      if (levels[k].Size() < kMinLevelPoints) {
        Fail(err::kWrongParamValue, kProc,
             ParamText("NumLevels", a.num_levels) + ": pyramid level " + std::to_string(k + 1) +
                 " keeps only " + std::to_string(levels[k].Size()) + " model points");
      }
    }
    return std::size_t(p.levels_wanted);
  }
  std::size_t used = 1;
  while (used < levels.size() && levels[used].Size() >= kMinTopPoints) ++used;
  return used;
}

// Pose steps of every level (those given, doubled per level, or steps that move the outermost
// point by about one pixel of the level), and the points' fixed order.
void SetSteps(const CreateParams& p, std::vector<ModelLevel>* levels) {
  for (std::size_t k = 0; k < levels->size(); ++k) {
    ModelLevel& level = (*levels)[k];
    const double f = std::ldexp(1.0, static_cast<int>(k));
    level.angle_step = p.a_step > 0 ? p.a_step * f : 1.0 / std::max(level.radius, 1.0f);
    level.scale_r_step = p.r_step > 0 ? p.r_step * f : 1.0 / std::max(level.row_extent, 1.0f);
    level.scale_c_step = p.c_step > 0 ? p.c_step * f : 1.0 / std::max(level.col_extent, 1.0f);
    Shuffle(&level);
  }
}

// Steps so fine that not even a search of the model's own range could run (see ScanSize) are
// refused now rather than by every search.
void CheckSteps(const ModelLevel& top, const PoseRange& range, const CreateArgs& a) {
  const ScanSize size = ScanSizeOf(top, range);
  if (!size.TooLarge()) return;
  Fail(err::kWrongParamValue, kProc,
       ParamText("AngleStep", a.angle_step) + ", " + ParamText("ScaleRStep", a.scale_r_step) +
           ", " + ParamText("ScaleCStep", a.scale_c_step) + ": a search of the model's range (" +
           ParamText("AngleExtent", a.angle_extent) + ", rows " +
           ParamText("ScaleRMin", a.scale_r_min) + " to " + Describe(a.scale_r_max) + ", columns " +
           ParamText("ScaleCMin", a.scale_c_min) + " to " + Describe(a.scale_c_max) +
           ") would need " + size.Describe(top.Size()) + "; choose larger steps");
}

void Create(const CreateArgs& a, HTuple* model_id) {
  if (model_id == nullptr) Fail(err::kNullOutput, kProc, "no output for the model handle given");
  const ImageData& image = OneImage(a.templ, kProc);
  CreateParams p = ReadParams(a);
  const std::vector<Gradient> grads = TemplateGradients(image, p, a.num_levels);
  SettleContrast(grads[0], a.min_contrast, &p);

  auto model = std::make_shared<ShapeModel>();
  static std::atomic<std::uint64_t> serials{0};
  model->serial = ++serials;
  model->range = p.range;
  model->metric = p.metric;
  model->min_contrast = p.min_contrast;
  model->contrast_low = p.low;
  model->contrast_high = p.high;
  // Reference point: the centre of gravity of the domain (the whole template).
  model->ref_row = (image.height - 1) / 2.0;
  model->ref_col = (image.width - 1) / 2.0;
  std::vector<ModelLevel> levels = LevelPoints(grads, p, model->ref_row, model->ref_col);
  levels.resize(LevelsToKeep(levels, p, a));
  SetSteps(p, &levels);
  CheckSteps(levels.back(), p.range, a);
  const ModelLevel& base = levels[0];
  model->box_r0 = *std::min_element(base.row.begin(), base.row.end());
  model->box_r1 = *std::max_element(base.row.begin(), base.row.end());
  model->box_c0 = *std::min_element(base.col.begin(), base.col.end());
  model->box_c1 = *std::max_element(base.col.begin(), base.col.end());
  model->levels = std::move(levels);
  *model_id = HTuple(HHandle(std::move(model)));
}

// One search for the new model in its own template, whose result is not used: the first search
// of a process otherwise pays for running the search's code for the first time, for the scan's
// tables of the model's range (kept by the calling thread for the next searches) and for the
// first of the search buffers, several times what a search of a 640 x 480 image takes. The
// template is cut to the model's box and a margin, so that the search stays short however large
// the template. Failures are of no concern here (a real search reports its own).
void WarmUp(const CreateArgs& a, const HTuple& model_id) {
  const HObject& templ = a.templ;
  try {
    const HHandle handle = model_id.H();
    const ShapeModel& model = dynamic_cast<const ShapeModel&>(*handle);
    const ImageData& image = OneImage(templ, kProc);
    constexpr double kMargin = 16;
    const int r0 = std::max(0, int(std::floor(model.ref_row + model.box_r0 - kMargin)));
    const int r1 =
        std::min(image.height, int(std::ceil(model.ref_row + model.box_r1 + kMargin)) + 1);
    const int c0 = std::max(0, int(std::floor(model.ref_col + model.box_c0 - kMargin)));
    const int c1 =
        std::min(image.width, int(std::ceil(model.ref_col + model.box_c1 + kMargin)) + 1);
    if (r0 >= r1 || c0 >= c1) return;
    // Two copies side by side, so that the search's threads are likely to refine one each.
    ImageData part;
    part.type = image.type;
    const int w = c1 - c0;
    part.width = 2 * w;
    part.height = r1 - r0;
    const std::size_t bpp = BytesPerPixel(image.type);
    auto plane = std::make_shared<std::vector<std::uint8_t>>(part.PlaneBytes());
    for (int r = r0; r < r1; ++r) {
      const std::uint8_t* from =
          image.planes[0]->data() + (std::size_t(r) * image.width + std::size_t(c0)) * bpp;
      for (int copy = 0; copy < 2; ++copy) {
        std::copy(from, from + std::size_t(w) * bpp,
                  plane->data() + (std::size_t(r - r0) * part.width + std::size_t(copy * w)) * bpp);
      }
    }
    part.planes.push_back(std::move(plane));
    // The model's own range, given as it was given here: a search given it the same way uses
    // the scan tables made now.
    HTuple row, col, angle, sr, sc, score;
    FindAnisoShapeModel(MakeObject(std::move(part)), model_id, a.angle_start, a.angle_extent,
                        a.scale_r_min, a.scale_r_max, a.scale_c_min, a.scale_c_max, 0.5, 0, 0.5,
                        "least_squares", 0, 0.9, &row, &col, &angle, &sr, &sc, &score);
  } catch (...) {
  }
}

}  // namespace

void CreateAnisoShapeModel(const HObject& templ, const HTuple& num_levels,
                           const HTuple& angle_start, const HTuple& angle_extent,
                           const HTuple& angle_step, const HTuple& scale_r_min,
                           const HTuple& scale_r_max, const HTuple& scale_r_step,
                           const HTuple& scale_c_min, const HTuple& scale_c_max,
                           const HTuple& scale_c_step, const HTuple& optimization,
                           const HTuple& metric, const HTuple& contrast, const HTuple& min_contrast,
                           HTuple* model_id) {
  const CreateArgs args{templ,        num_levels,   angle_start,  angle_extent, angle_step,
                        scale_r_min,  scale_r_max,  scale_r_step, scale_c_min,  scale_c_max,
                        scale_c_step, optimization, metric,       contrast,     min_contrast};
  ReportOutOfMemory(kProc, "the model's image pyramid and tables", [&] { Create(args, model_id); });
  // Searches with the model follow: their threads start now rather than in the first one.
  detail::StartThreads();
  WarmUp(args, *model_id);
}

}  // namespace vision

// Model creation and the checking of every control value of both operators.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "match_util.h"
#include "matching/shape_model.h"
#include "raises.h"
#include "vision/HErrorCodes.h"
#include "vision/HException.h"

using namespace matchtest;
using vision::HTuple;
using visiontest::Raised;

namespace {

struct CreateArgs {
  HTuple levels = "auto", a0 = Rad(-10), ext = Rad(20), astep = "auto", r0 = 0.9, r1 = 1.7,
         rstep = "auto", c0 = 0.9, c1 = 1.1, cstep = "auto", opt = "none", metric = "use_polarity",
         contrast = "auto", minc = 20;
};

void Create(const vision::HObject& t, const CreateArgs& a, HTuple* model) {
  vision::CreateAnisoShapeModel(t, a.levels, a.a0, a.ext, a.astep, a.r0, a.r1, a.rstep, a.c0, a.c1,
                                a.cstep, a.opt, a.metric, a.contrast, a.minc, model);
}

const vision::detail::ShapeModel& Inner(const HTuple& model) {
  return dynamic_cast<const vision::detail::ShapeModel&>(*model.H());
}

}  // namespace

TEST(CreateModel, BenchmarkTemplate) {
  const HTuple model = BenchModel(ToObject(scene::Template()));
  const auto& m = Inner(model);
  EXPECT_DOUBLE_EQ(m.ref_row, 74.5);
  EXPECT_DOUBLE_EQ(m.ref_col, 99.5);
  ASSERT_GE(m.levels.size(), 3u);
  // The rectangle's outline at full resolution: about 2 * (50 + 100) points, all of them kept
  // ("none"), lying on the outline to a tenth of a pixel.
  const auto& base = m.levels[0];
  EXPECT_GT(base.Size(), 250u);
  for (std::size_t i = 0; i < base.Size(); ++i) {
    const double r = base.row[i] + 74.5, c = base.col[i] + 99.5;
    const double dr = std::min(std::abs(r - 50), std::abs(r - 100));
    const double dc = std::min(std::abs(c - 50), std::abs(c - 150));
    const bool corner = dr < 6.5 && dc < 6.5;
    if (!corner) {
      EXPECT_LT(std::min(dr, dc), 0.1) << r << ", " << c;
    }
  }
  // "auto" levels keep enough points on top; steps grow with the level.
  EXPECT_GE(m.levels.back().Size(), 24u);
  for (std::size_t k = 1; k < m.levels.size(); ++k) {
    EXPECT_GT(m.levels[k].angle_step, m.levels[k - 1].angle_step);
    EXPECT_GT(m.levels[k].scale_r_step, m.levels[k - 1].scale_r_step);
  }
  // Outermost point moves about a pixel per angle step.
  EXPECT_NEAR(base.angle_step * base.radius, 1.0, 0.05);
}

TEST(CreateModel, PointReductionThinsButNoneKeepsAll) {
  const vision::HObject t = ToObject(scene::Template());
  CreateArgs a;
  HTuple full, thin;
  Create(t, a, &full);
  a.opt = "point_reduction_high";
  Create(t, a, &thin);
  EXPECT_LT(Inner(thin).levels[0].Size(), Inner(full).levels[0].Size() / 2);
  a.levels = 2;
  a.opt = HTuple("auto").Append(HTuple("no_pregeneration"));
  HTuple two;
  Create(t, a, &two);
  EXPECT_EQ(Inner(two).levels.size(), 2u);
}

TEST(CreateModel, TooFewEdgePointsIsAnError) {
  const vision::HObject blank = ToObject(scene::Blank(200, 150, 80));
  HTuple model;
  const auto e = Raised([&] { Create(blank, CreateArgs{}, &model); });
  EXPECT_EQ(e.ErrorCode(), vision::err::kModelTooFewPoints);
  EXPECT_TRUE(model.IsEmpty());
  // Edges weaker than the contrast asked for do not count either.
  CreateArgs a;
  a.contrast = 200;
  const auto e2 = Raised([&] { Create(ToObject(scene::Template()), a, &model); });
  EXPECT_EQ(e2.ErrorCode(), vision::err::kModelTooFewPoints);
}

TEST(CreateModel, EveryValueIsChecked) {
  const vision::HObject t = ToObject(scene::Template());
  struct Case {
    std::function<void(CreateArgs&)> set;
    std::uint32_t code;
    const char* text;  // the parameter's name and value must appear in the message
  };
  const std::vector<Case> cases = {
      {[](CreateArgs& a) { a.levels = "many"; }, vision::err::kWrongParamType,
       "NumLevels = 'many'"},
      {[](CreateArgs& a) { a.levels = 0; }, vision::err::kWrongParamValue, "NumLevels = 0"},
      {[](CreateArgs& a) { a.levels = 9; }, vision::err::kWrongParamValue, "NumLevels = 9"},
      {[](CreateArgs& a) { a.a0 = "zero"; }, vision::err::kWrongParamType, "AngleStart = 'zero'"},
      {[](CreateArgs& a) { a.ext = -0.5; }, vision::err::kWrongParamRange, "AngleExtent = -0.5"},
      {[](CreateArgs& a) { a.astep = -1; }, vision::err::kWrongParamValue, "AngleStep = -1"},
      {[](CreateArgs& a) { a.astep = "fine"; }, vision::err::kWrongParamValue,
       "AngleStep = 'fine'"},
      {[](CreateArgs& a) { a.r0 = 1.8; }, vision::err::kWrongParamRange, "ScaleRMin = 1.8"},
      {[](CreateArgs& a) { a.r1 = 0; }, vision::err::kWrongParamValue, "ScaleRMax = 0"},
      {[](CreateArgs& a) { a.rstep = HTuple(); }, vision::err::kWrongParamCount, "ScaleRStep"},
      {[](CreateArgs& a) { a.c0 = 1.2; }, vision::err::kWrongParamRange, "ScaleCMin = 1.2"},
      {[](CreateArgs& a) { a.cstep = 2.5; }, vision::err::kWrongParamValue, "ScaleCStep = 2.5"},
      {[](CreateArgs& a) { a.opt = "fastest"; }, vision::err::kWrongParamValue,
       "Optimization = 'fastest'"},
      {[](CreateArgs& a) { a.metric = "use_color"; }, vision::err::kWrongParamValue,
       "Metric = 'use_color'"},
      {[](CreateArgs& a) { a.metric = 1; }, vision::err::kWrongParamType, "Metric = 1"},
      {[](CreateArgs& a) { a.contrast = HTuple(40).Append(HTuple(20)); },
       vision::err::kWrongParamRange, "Contrast = [40, 20]"},
      {[](CreateArgs& a) { a.contrast = "high"; }, vision::err::kWrongParamType,
       "Contrast = 'high'"},
      {[](CreateArgs& a) { a.minc = -3; }, vision::err::kWrongParamValue, "MinContrast = -3"},
  };
  for (const Case& c : cases) {
    CreateArgs a;
    c.set(a);
    HTuple model;
    const auto e = Raised([&] { Create(t, a, &model); });
    EXPECT_EQ(e.ErrorCode(), c.code) << c.text << ": " << e.ErrorMessage().Str();
    EXPECT_NE(e.ErrorMessage().Str().find(c.text), std::string::npos) << e.ErrorMessage().Str();
    EXPECT_EQ(e.ProcName().Str(), "CreateAnisoShapeModel");
  }
}

TEST(FindModel, EveryValueIsChecked) {
  const HTuple model = BenchModel(ToObject(scene::Template()));
  const vision::HObject img = ToObject(scene::Blank(64, 48, 0));
  struct Args {
    HTuple id, a0 = Rad(-10), ext = Rad(20), r0 = 0.9, r1 = 1.7, c0 = 0.9, c1 = 1.1, score = 0.7,
               count = 0, overlap = 0.5, sub = "least_squares", levels = 0, greed = 0.8;
  };
  struct Case {
    std::function<void(Args&)> set;
    std::uint32_t code;
    const char* text;
  };
  const std::vector<Case> cases = {
      {[](Args& a) { a.id = 5; }, vision::err::kModelHandle, "ModelID = 5"},
      {[](Args& a) { a.ext = -1; }, vision::err::kWrongParamRange, "AngleExtent = -1"},
      {[](Args& a) { a.r0 = 2.0; }, vision::err::kWrongParamRange, "ScaleRMin = 2"},
      {[](Args& a) { a.c1 = "big"; }, vision::err::kWrongParamType, "ScaleCMax = 'big'"},
      {[](Args& a) { a.score = 1.5; }, vision::err::kWrongParamValue, "MinScore = 1.5"},
      {[](Args& a) { a.count = -1; }, vision::err::kWrongParamValue, "NumMatches = -1"},
      {[](Args& a) { a.count = 0.5; }, vision::err::kWrongParamType, "NumMatches = 0.5"},
      {[](Args& a) { a.overlap = -0.1; }, vision::err::kWrongParamValue, "MaxOverlap = -0.1"},
      {[](Args& a) { a.sub = "bicubic"; }, vision::err::kWrongParamValue, "SubPixel = 'bicubic'"},
      {[](Args& a) { a.levels = 9; }, vision::err::kWrongParamValue, "NumLevels = 9"},
      {[](Args& a) { a.greed = 2; }, vision::err::kWrongParamValue, "Greediness = 2"},
      // A range far beyond the model's steps would need gigabytes of pose tables.
      {[](Args& a) { a.ext = 6.28, a.r0 = 0.01, a.r1 = 100, a.c0 = 0.01, a.c1 = 100; },
       vision::err::kWrongParamValue, "ScaleRMax = 100, parameter ScaleCMin = 0.01"},
      {[](Args& a) { a.ext = 6.28, a.r0 = 0.01, a.r1 = 100, a.c0 = 0.01, a.c1 = 100; },
       vision::err::kWrongParamValue, "poses on the top pyramid level"},
  };
  for (const Case& c : cases) {
    Args a;
    a.id = model;
    c.set(a);
    HTuple r, co, an, sr, sc, s;
    const auto e = Raised([&] {
      vision::FindAnisoShapeModel(img, a.id, a.a0, a.ext, a.r0, a.r1, a.c0, a.c1, a.score, a.count,
                                  a.overlap, a.sub, a.levels, a.greed, &r, &co, &an, &sr, &sc, &s);
    });
    EXPECT_EQ(e.ErrorCode(), c.code) << c.text << ": " << e.ErrorMessage().Str();
    EXPECT_NE(e.ErrorMessage().Str().find(c.text), std::string::npos) << e.ErrorMessage().Str();
    EXPECT_EQ(e.ProcName().Str(), "FindAnisoShapeModel");
  }
}

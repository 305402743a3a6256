// The camera feature layer (camera/features.h) over a node map of the test's own, and the range
// rule of the GenApi module (camera/genapi/range.h) that it and every backend use.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>

#include "camera/features.h"
#include "camera/genapi/range.h"
#include "vision/HErrorCodes.h"

namespace {

namespace camera = vision::detail::camera;
namespace genapi = vision::detail::genapi;
namespace err = vision::err;
using camera::FeatureError;
using camera::FeatureFault;
using camera::WriteMode;
using vision::Hlong;
using vision::HTuple;

// ---- The range rule --------------------------------------------------------------------------

TEST(RangeRule, IntegersWithinBoundsAndOnTheIncrementFromMin) {
  const genapi::IntRange r{-7, 93, 4};  // -7, -3, 1, ..., 93
  EXPECT_FALSE(genapi::IntegerRefusal(r, -7));
  EXPECT_FALSE(genapi::IntegerRefusal(r, 1));
  EXPECT_FALSE(genapi::IntegerRefusal(r, 93));
  EXPECT_EQ(genapi::IntegerRefusal(r, 94), "out of range -7 to 93");
  EXPECT_EQ(genapi::IntegerRefusal(r, -8), "out of range -7 to 93");
  EXPECT_EQ(genapi::IntegerRefusal(r, 0), "not on the increment 4 from -7 (range -7 to 93)");
  // Increments of 1 and below constrain nothing but the bounds.
  EXPECT_FALSE(genapi::IntegerRefusal({0, 10, 1}, 7));
  EXPECT_FALSE(genapi::IntegerRefusal({0, 10, 0}, 7));
  // The whole 64-bit range: the distance from min does not overflow.
  constexpr auto lo = std::numeric_limits<std::int64_t>::min();
  constexpr auto hi = std::numeric_limits<std::int64_t>::max();
  EXPECT_FALSE(genapi::IntegerRefusal({lo, hi, 2}, hi - 1));
  EXPECT_TRUE(genapi::IntegerRefusal({lo, hi, 2}, hi));
  EXPECT_FALSE(genapi::IntegerRefusal({lo, hi, 3}, lo + 3 * std::int64_t{1000000007}));
}

TEST(RangeRule, FloatsWithinBoundsAndBetweenTheirSteps) {
  const genapi::FloatRange free{0.1, 1000, std::nullopt};
  EXPECT_FALSE(genapi::FloatRefusal(free, 0.1));
  EXPECT_FALSE(genapi::FloatRefusal(free, 1000));
  EXPECT_EQ(genapi::FloatRefusal(free, 5000), "out of range 0.1 to 1000");
  EXPECT_EQ(genapi::FloatRefusal(free, 0.0999), "out of range 0.1 to 1000");
  EXPECT_TRUE(genapi::FloatRefusal(free, std::nan("")));
  EXPECT_TRUE(genapi::FloatRefusal(free, std::numeric_limits<double>::infinity()));
  // A float's increment is a hint for user interfaces: values between the steps are accepted,
  // as other GenApi readers accept them, while the bounds still hold.
  const genapi::FloatRange stepped{0.5, 10, 0.25};
  EXPECT_FALSE(genapi::FloatRefusal(stepped, 0.5 + 0.25 * 7));
  EXPECT_FALSE(genapi::FloatRefusal(stepped, 0.6));
  EXPECT_EQ(genapi::FloatRefusal(stepped, 10.25), "out of range 0.5 to 10");
  EXPECT_FALSE(genapi::FloatRefusal({0, 1, 0.0}, 0.3));
}

// ---- The layer over a node map -----------------------------------------------------------------

struct Feature {
  genapi::Type type = genapi::Type::kInteger;
  genapi::Access access = genapi::Access::kRW;
  std::string lock;
  genapi::IntRange ints{0, 100, 1};
  genapi::FloatRange floats{0, 1, std::nullopt};
  std::vector<std::string> entries;
  HTuple value;
  // A fault every write (and, with fail_reads, every read) reports.
  std::optional<FeatureFault> fails;
  bool fail_reads = false;
  bool fail_questions = false;  // access, lock, ranges and entries fail too
  std::string unit;
  std::string why;  // why it is NI or NA
  std::optional<std::int64_t> max_length;
};

// A node map that writes what it is given, and counts the writes.
class TestMap final : public camera::FeatureMap {
 public:
  std::map<std::string, Feature> features;
  int writes = 0;
  int checks = 0;
  std::vector<std::string> listed;

  std::string CameraName() const override { return "'Test 1'"; }
  std::vector<std::string> FeatureNames() const override { return listed; }
  bool Has(const std::string& name) override { return features.count(name) != 0; }
  genapi::Type TypeOf(const std::string& name) override { return F(name).type; }
  genapi::Access AccessOf(const std::string& name) override { return Q(name).access; }
  std::string LockReason(const std::string& name) override { return Q(name).lock; }
  genapi::IntRange IntegerRange(const std::string& name) override { return Q(name).ints; }
  genapi::FloatRange FloatRange(const std::string& name) override { return Q(name).floats; }
  std::vector<std::string> Entries(const std::string& name) override { return Q(name).entries; }
  std::string Unit(const std::string& name) override { return Q(name).unit; }
  std::string WhyNotAccessible(const std::string& name) override { return Q(name).why; }
  std::optional<std::int64_t> StringMaxLength(const std::string& name) override {
    return Q(name).max_length;
  }
  std::int64_t GetInteger(const std::string& name) override { return R(name).value.L(); }
  double GetFloat(const std::string& name) override { return R(name).value.D(); }
  bool GetBoolean(const std::string& name) override { return R(name).value.L() != 0; }
  std::string GetEnumeration(const std::string& name) override { return R(name).value.S().Str(); }
  std::string GetString(const std::string& name) override { return R(name).value.S().Str(); }
  void SetInteger(const std::string& n, std::int64_t v, WriteMode m) override {
    Set(n, HTuple(Hlong(v)), m);
  }
  void SetFloat(const std::string& n, double v, WriteMode m) override { Set(n, HTuple(v), m); }
  void SetBoolean(const std::string& n, bool v, WriteMode m) override {
    Set(n, HTuple(Hlong(v ? 1 : 0)), m);
  }
  void SetEnumeration(const std::string& n, const std::string& v, WriteMode m) override {
    Set(n, HTuple(v), m);
  }
  void SetString(const std::string& n, const std::string& v, WriteMode m) override {
    Set(n, HTuple(v), m);
  }
  void Execute(const std::string& n, WriteMode m) override { Set(n, HTuple(Hlong(1)), m); }

 private:
  Feature& F(const std::string& name) { return features.at(name); }
  Feature& Q(const std::string& name) {
    Feature& f = F(name);
    if (f.fail_questions) throw FeatureError(*f.fails, "asked and failed");
    return f;
  }
  Feature& R(const std::string& name) {
    Feature& f = F(name);
    if (f.fail_reads) throw FeatureError(*f.fails, "read and failed");
    return f;
  }
  void Set(const std::string& name, const HTuple& v, WriteMode mode) {
    Feature& f = F(name);
    if (mode == WriteMode::kCheck) {
      ++checks;
      return;
    }
    if (f.fails) throw FeatureError(*f.fails, "wrote and failed");
    ++writes;
    f.value = v;
  }
};

// The code and message of the DeviceError that call raises.
template <class F>
std::pair<std::uint32_t, std::string> Raised(F call) {
  try {
    call();
  } catch (const camera::DeviceError& e) {
    return {e.Code(), e.what()};
  }
  ADD_FAILURE() << "no DeviceError";
  return {0, ""};
}

TestMap Camera() {
  TestMap map;
  map.features["Width"] = Feature{};
  map.features["Width"].ints = {16, 640, 16};
  map.features["Width"].value = HTuple(Hlong(320));
  Feature& rate = map.features["Rate"];
  rate.type = genapi::Type::kFloat;
  rate.floats = {0.5, 60, std::nullopt};
  rate.value = HTuple(30.0);
  Feature& mode = map.features["Mode"];
  mode.type = genapi::Type::kEnumeration;
  mode.entries = {"Off", "On"};
  mode.value = HTuple("Off");
  Feature& flag = map.features["Flag"];
  flag.type = genapi::Type::kBoolean;
  flag.value = HTuple(Hlong(0));
  map.features["Trigger"].type = genapi::Type::kCommand;
  Feature& label = map.features["Label"];
  label.type = genapi::Type::kString;
  label.value = HTuple("x");
  map.features["Port"].type = genapi::Type::kOther;
  return map;
}

TEST(FeatureLayer, WritesDecodeTheValueForTheFeaturesType) {
  TestMap map = Camera();
  camera::WriteFeature(map, "Width", HTuple("0640"), WriteMode::kWrite);
  camera::WriteFeature(map, "Rate", HTuple("12.5"), WriteMode::kWrite);
  camera::WriteFeature(map, "Flag", HTuple("true"), WriteMode::kWrite);
  camera::WriteFeature(map, "Mode", HTuple("On"), WriteMode::kWrite);
  camera::WriteFeature(map, "Label", HTuple(Hlong(7)), WriteMode::kWrite);
  camera::WriteFeature(map, "Trigger", HTuple("anything"), WriteMode::kWrite);
  EXPECT_EQ(map.writes, 6);
  EXPECT_EQ(camera::ReadFeature(map, "Width").L(), 640);
  EXPECT_DOUBLE_EQ(camera::ReadFeature(map, "Rate").D(), 12.5);
  EXPECT_EQ(camera::ReadFeature(map, "Flag").L(), 1);
  EXPECT_EQ(camera::ReadFeature(map, "Mode").S().Str(), "On");
  EXPECT_EQ(camera::ReadFeature(map, "Label").S().Str(), "7");

  auto [code, m] =
      Raised([&] { camera::WriteFeature(map, "Width", HTuple("0x10"), WriteMode::kWrite); });
  EXPECT_EQ(code, err::kAcqParamValue);
  EXPECT_EQ(m, "camera 'Test 1' refused Width = '0x10': an integer is expected");
  std::tie(code, m) =
      Raised([&] { camera::WriteFeature(map, "Rate", HTuple("fast"), WriteMode::kCheck); });
  EXPECT_EQ(m, "camera 'Test 1' refused Rate = 'fast': a number is expected");
  std::tie(code, m) =
      Raised([&] { camera::WriteFeature(map, "Flag", HTuple(Hlong(2)), WriteMode::kWrite); });
  EXPECT_EQ(m, "camera 'Test 1' refused Flag = 2: true or false is expected");
  std::tie(code, m) =
      Raised([&] { camera::WriteFeature(map, "Port", HTuple(Hlong(2)), WriteMode::kWrite); });
  EXPECT_EQ(code, err::kAcqUnknownParam);
  EXPECT_EQ(map.writes, 6);
}

TEST(FeatureLayer, ACheckRefusesWhatTheWriteWouldAndWritesNothing) {
  TestMap map = Camera();
  auto check = [&](const char* name, HTuple v) {
    return Raised([&] { camera::WriteFeature(map, name, v, WriteMode::kCheck); });
  };
  auto [code, m] = check("Width", HTuple(Hlong(650)));
  EXPECT_EQ(code, err::kAcqParamValue);
  EXPECT_EQ(m, "camera 'Test 1' refused Width = 650: out of range 16 to 640");
  std::tie(code, m) = check("Width", HTuple(Hlong(100)));
  EXPECT_EQ(
      m, "camera 'Test 1' refused Width = 100: not on the increment 16 from 16 (range 16 to 640)");
  std::tie(code, m) = check("Rate", HTuple(0.25));
  EXPECT_EQ(m, "camera 'Test 1' refused Rate = 0.25: out of range 0.5 to 60");
  std::tie(code, m) = check("Mode", HTuple("Maybe"));
  EXPECT_EQ(m, "camera 'Test 1' refused Mode = 'Maybe': no such entry (the camera offers Off, On)");

  map.features["Width"].access = genapi::Access::kRO;
  std::tie(code, m) = check("Width", HTuple("tall"));  // not writable comes before the value
  EXPECT_EQ(code, err::kAcqReadOnly);
  EXPECT_EQ(m, "camera 'Test 1' refused Width = 'tall': the feature is read-only");
  map.features["Width"].lock = "the feature is locked while acquisition runs";
  std::tie(code, m) = check("Width", HTuple(Hlong(32)));
  EXPECT_EQ(code, err::kAcqParamValue);
  EXPECT_EQ(m, "camera 'Test 1' refused Width = 32: the feature is locked while acquisition runs");
  map.features["Rate"].access = genapi::Access::kNA;
  std::tie(code, m) = check("Rate", HTuple(Hlong(5)));
  EXPECT_EQ(m,
            "camera 'Test 1' refused Rate = 5: the feature is not available in the camera's "
            "current state");
  // A lock the map reports for a writable feature refuses too.
  map.features["Mode"].lock = "held by the sequencer";
  std::tie(code, m) = check("Mode", HTuple("On"));
  EXPECT_EQ(m, "camera 'Test 1' refused Mode = 'On': held by the sequencer");
  map.features["Flag"].access = genapi::Access::kNI;
  std::tie(code, m) = check("Flag", HTuple(Hlong(1)));
  EXPECT_EQ(code, err::kAcqUnknownParam);
  EXPECT_EQ(m, "camera 'Test 1' has no feature 'Flag'");

  camera::WriteFeature(map, "Label", HTuple("y"), WriteMode::kCheck);
  camera::WriteFeature(map, "Trigger", HTuple(Hlong(1)), WriteMode::kCheck);
  EXPECT_EQ(map.checks, 2);  // the map's own check is asked last, after the layer's
  EXPECT_EQ(map.writes, 0);
  EXPECT_EQ(map.features["Label"].value.S().Str(), "x");
}

TEST(FeatureLayer, UnknownNamesListWhatTheCameraOffersUpToALimit) {
  TestMap map = Camera();
  auto [code, m] = Raised([&] { camera::ReadFeature(map, "Gamma"); });
  EXPECT_EQ(code, err::kAcqUnknownParam);
  EXPECT_EQ(m, "camera 'Test 1' has no feature 'Gamma'");
  for (int i = 0; i < 65; ++i) map.listed.push_back(std::string(1, 'F').append(std::to_string(i)));
  std::tie(code, m) =
      Raised([&] { camera::WriteFeature(map, "Gamma", HTuple(Hlong(1)), WriteMode::kWrite); });
  EXPECT_NE(m.find("(it offers F0, F1, "), std::string::npos) << m;
  EXPECT_NE(m.find("F59 and 5 more)"), std::string::npos) << m;
  EXPECT_EQ(m.find("F60"), std::string::npos) << m;
}

TEST(FeatureLayer, AFailedWriteIsWordedByItsFaultOrExplainedByTheMap) {
  TestMap map = Camera();
  auto write = [&](const char* name, HTuple v) {
    return Raised([&] { camera::WriteFeature(map, name, v, WriteMode::kWrite); });
  };
  // A fault with a kind is worded from it, the ranges and entries asked for the details.
  map.features["Width"].fails = FeatureFault::kOutOfRange;
  auto [code, m] = write("Width", HTuple(Hlong(1000)));
  EXPECT_EQ(m, "camera 'Test 1' refused Width = 1000: out of range 16 to 640");
  std::tie(code, m) = write("Width", HTuple(Hlong(32)));  // in range: the map's reason
  EXPECT_EQ(m, "camera 'Test 1' refused Width = 32: wrote and failed");
  map.features["Mode"].fails = FeatureFault::kNoSuchEntry;
  std::tie(code, m) = write("Mode", HTuple("Auto"));
  EXPECT_EQ(m, "camera 'Test 1' refused Mode = 'Auto': no such entry (the camera offers Off, On)");
  map.features["Label"].fails = FeatureFault::kNotWritable;
  std::tie(code, m) = write("Label", HTuple("z"));
  EXPECT_EQ(code, err::kAcqReadOnly);
  map.features["Label"].lock = "locked now";
  std::tie(code, m) = write("Label", HTuple("z"));
  EXPECT_EQ(code, err::kAcqParamValue);
  EXPECT_EQ(m, "camera 'Test 1' refused Label = 'z': locked now");
  map.features["Flag"].fails = FeatureFault::kLost;
  std::tie(code, m) = write("Flag", HTuple(Hlong(1)));
  EXPECT_EQ(code, err::kAcqLost);
  EXPECT_EQ(m, "camera 'Test 1' refused Flag = 1: the camera no longer answers: wrote and failed");
  map.features["Trigger"].fails = FeatureFault::kBrokenDescription;
  std::tie(code, m) = write("Trigger", HTuple(Hlong(1)));
  EXPECT_EQ(m,
            "camera 'Test 1' refused Trigger = 1: the camera's description is broken: wrote "
            "and failed");

  // A refusal without a reason is explained by what a check finds, else by the map's text.
  map.features["Rate"].fails = FeatureFault::kUnexplained;
  std::tie(code, m) = write("Rate", HTuple(Hlong(99)));
  EXPECT_EQ(m, "camera 'Test 1' refused Rate = 99: out of range 0.5 to 60");
  std::tie(code, m) = write("Rate", HTuple(Hlong(9)));
  EXPECT_EQ(code, err::kAcqParamValue);
  EXPECT_EQ(m, "camera 'Test 1' refused Rate = 9: wrote and failed");
  map.features["Rate"].access = genapi::Access::kRO;
  std::tie(code, m) = write("Rate", HTuple(Hlong(9)));
  EXPECT_EQ(code, err::kAcqReadOnly);
  // Questions that fail while explaining tell nothing.
  map.features["Rate"].fail_questions = true;
  std::tie(code, m) = write("Rate", HTuple(Hlong(99)));
  EXPECT_EQ(code, err::kAcqParamValue);
  EXPECT_EQ(m, "camera 'Test 1' refused Rate = 99: wrote and failed");
  // ... but in a check they are the refusal.
  map.features["Rate"].fails = FeatureFault::kLost;
  std::tie(code, m) =
      Raised([&] { camera::WriteFeature(map, "Rate", HTuple(Hlong(1)), WriteMode::kCheck); });
  EXPECT_EQ(code, err::kAcqLost);
  EXPECT_EQ(map.writes, 0);
}

TEST(FeatureLayer, ReadsSayWhatFailedAndWhatHasNoValue) {
  TestMap map = Camera();
  auto [code, m] = Raised([&] { camera::ReadFeature(map, "Trigger"); });
  EXPECT_EQ(code, err::kAcqParamValue);
  EXPECT_EQ(m, "feature 'Trigger' of camera 'Test 1' is a command: it runs, it has no value");
  std::tie(code, m) = Raised([&] { camera::ReadFeature(map, "Port"); });
  EXPECT_EQ(code, err::kAcqUnknownParam);
  map.features["Width"].fails = FeatureFault::kOther;
  map.features["Width"].fail_reads = true;
  std::tie(code, m) = Raised([&] { camera::ReadFeature(map, "Width"); });
  EXPECT_EQ(code, err::kAcqParamValue);
  EXPECT_EQ(m, "reading Width from camera 'Test 1' failed: read and failed");
  map.features["Width"].fails = FeatureFault::kLost;
  std::tie(code, m) = Raised([&] { camera::ReadFeature(map, "Width"); });
  EXPECT_EQ(code, err::kAcqLost);
  EXPECT_EQ(m, "camera 'Test 1' no longer answers: read and failed");
  map.features["Width"].fails = FeatureFault::kUnknown;
  std::tie(code, m) = Raised([&] { camera::ReadFeature(map, "Width"); });
  EXPECT_EQ(code, err::kAcqUnknownParam);
}

// ---- The listing -------------------------------------------------------------------------------

TEST(FeatureListing, OneLinePerFeatureWithValueRangeOrWhyNone) {
  TestMap map = Camera();
  map.features["Width"].unit = "px";
  map.features["Rate"].floats = {0.5, 60, 0.25};
  map.features["Rate"].unit = "Hz";
  map.features["Label"].max_length = 16;
  Feature& gain = map.features["Gain"];
  gain.access = genapi::Access::kNI;
  gain.why = "its pIsImplemented 'GainOK' reads 0";
  gain.fail_reads = true;  // an NI feature is never read
  gain.fails = FeatureFault::kOther;
  Feature& frames = map.features["Frames"];
  frames.access = genapi::Access::kNA;  // no reason known: the access says what it can
  Feature& key = map.features["Key"];
  key.type = genapi::Type::kString;
  key.access = genapi::Access::kWO;
  key.max_length = 8;
  Feature& reset = map.features["Reset"];
  reset.type = genapi::Type::kCommand;
  reset.access = genapi::Access::kNA;
  reset.why = "it is locked";
  map.features["Blank"].type = genapi::Type::kString;  // RO, takes no text: no length shown
  map.features["Blank"].max_length = 0;
  map.features["Blank"].value = HTuple("");
  map.listed = {"Width", "Rate", "Mode",   "Flag", "Trigger", "Label",
                "Port",  "Gain", "Frames", "Key",  "Reset",   "Blank"};
  const std::vector<std::string> expected = {
      "'Width' Integer RW value:320 min:16 max:640 inc:16 unit:'px'",
      "'Rate' Float RW value:30 min:0.5 max:60 inc:0.25 unit:'Hz'",
      "'Mode' Enumeration RW value:'Off' entries:'Off','On'",
      "'Flag' Boolean RW value:false",
      "'Trigger' Command RW",
      "'Label' String RW value:'x' max_length:16",
      "'Port' Other RW",
      "'Gain' Integer NI no_value:'its pIsImplemented \\'GainOK\\' reads 0'",
      "'Frames' Integer NA no_value:'not available now'",
      "'Key' String WO no_value:'write-only' max_length:8",
      "'Reset' Command NA no_value:'it is locked'",
      "'Blank' String RW value:''",
  };
  EXPECT_EQ(camera::ListFeatures(map), expected);
  map.features["Mode"].entries.clear();
  EXPECT_EQ(camera::ListFeatures(map)[2], "'Mode' Enumeration RW value:'Off' entries:none");
}

TEST(FeatureListing, CameraTextsCannotEndTheLineOrForgeAField) {
  TestMap map;
  const std::string name = "Evil\n'Gain' Integer RW value:1\x1b[2J";
  Feature& evil = map.features[name];
  evil.type = genapi::Type::kEnumeration;
  evil.value = HTuple("a'b\\");
  evil.entries = {"a'b\\", "x\ry"};
  Feature& text = map.features["Text"];
  text.type = genapi::Type::kString;
  text.value = HTuple("line\nnext\x1b]0;title\x07");
  Feature& temp = map.features["Temp"];
  temp.type = genapi::Type::kFloat;
  temp.value = HTuple(21.5);
  temp.unit =
      "\xe2\x80\xae"
      "C";  // a right-to-left override ahead of the unit
  map.listed = {name, "Text", "Temp"};
  const std::vector<std::string> lines = camera::ListFeatures(map);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "'Evil\\n\\'Gain\\' Integer RW value:1\\x1b[2J' Enumeration RW value:'a\\'b\\\\' "
            "entries:'a\\'b\\\\','x\\ry'");
  EXPECT_EQ(lines[1], "'Text' String RW value:'line\\nnext\\x1b]0;title\\x07'");
  EXPECT_EQ(lines[2], "'Temp' Float RW value:21.5 min:0 max:1 unit:'\\u202eC'");
  for (const std::string& line : lines)
    for (const char c : line) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << line;
}

TEST(FeatureListing, AFailedQuestionShowsInItsFieldOnlyALostCameraEndsTheListing) {
  TestMap map = Camera();
  map.features["Width"].fails = FeatureFault::kOther;
  map.features["Width"].fail_reads = true;
  Feature& mode = map.features["Mode"];
  mode.fails = FeatureFault::kOther;
  mode.fail_questions = true;  // its access cannot be told: nothing after it is asked
  Feature& rate = map.features["Rate"];
  rate.fails = FeatureFault::kUnknown;
  rate.fail_reads = true;
  map.listed = {"Width", "Mode", "Rate", "Flag"};
  const std::vector<std::string> expected = {
      "'Width' Integer RW error:'read and failed' min:16 max:640 inc:16",
      "'Mode' Enumeration access_error:'asked and failed'",
      "'Rate' Float RW error:'read and failed' min:0.5 max:60",
      "'Flag' Boolean RW value:false",
  };
  EXPECT_EQ(camera::ListFeatures(map), expected);
  map.features["Rate"].fails = FeatureFault::kLost;
  map.listed = {"Flag", "Rate"};
  const auto [code, m] = Raised([&] { camera::ListFeatures(map); });
  EXPECT_EQ(code, err::kAcqLost);
  EXPECT_EQ(m, "camera 'Test 1' no longer answers: read and failed");
}

}  // namespace

// The formula evaluator: precedence and associativity, integer against floating arithmetic,
// functions, and formulas that must fail cleanly instead of crashing or hanging.
#include <cmath>
#include <limits>
#include <string>

#include "camera/genapi/formula.h"
#include "genapi_test_util.h"

namespace genapitest {
namespace {

namespace f = vision::detail::genapi::formula;

constexpr double kPi = 3.14159265358979323846;

f::Value Int(std::string_view text,
             const std::vector<std::pair<std::string, f::Value>>& vars = {}) {
  return f::Evaluate(text, f::Mode::kInteger, vars);
}
f::Value Float(std::string_view text,
               const std::vector<std::pair<std::string, f::Value>>& vars = {}) {
  return f::Evaluate(text, f::Mode::kFloat, vars);
}

std::string ErrorText(std::string_view text, f::Mode mode = f::Mode::kInteger) {
  try {
    f::Evaluate(text, mode, {{"X", f::Value::Int(3)}});
  } catch (const f::FormulaError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(Formula, PrecedenceAndAssociativity) {
  const std::pair<const char*, std::int64_t> cases[] = {
      {"1 + 2 * 3", 7},
      {"(1 + 2) * 3", 9},
      {"10 - 4 - 3", 3},
      {"2 ** 3 ** 2", 512},  // right-associative
      {"2 * 3 ** 2", 18},
      {"1 << 2 + 2 >> 1", 8},  // additive binds tighter than shifts
      {"1 + 2 < 4", 1},
      {"1 < 2 = 1", 1},  // relational before equality
      {"3 = 3 = 1", 1},
      {"5 <> 4", 1},
      {"3 >= 3", 1},
      {"3 <= 2", 0},
      {"6 & 3 ^ 1 | 8", 11},  // & then ^ then |
      {"1 | 2 ^ 3", 1},
      {"1 || 0 && 0", 1},  // && before ||
      {"(1 || 1 && 0)", 1},
      {"0 ? 1 : 0 ? 2 : 3", 3},  // right-associative
      {"1 ? 0 ? 4 : 5 : 6", 5},
      {"2 + 3 > 4 ? 10 : 20", 10},
      {"(0xff00 ^ 0xf0f0) = 0x0ff0", 1},
      {"(~(~0xC2000221|0xFEFFFFFF)) ? 2:0", 0},
      {"(0 & 1)=0?((0 & 1)+2):1", 2},
      {"~0", -1},
      {"- -3", 3},
      {"+4", 4},
      {"0x10 + 0XfF", 271},
      {"8 >> 1 << 2", 16},
  };
  for (const auto& [text, value] : cases) {
    SCOPED_TRACE(text);
    const f::Value v = Int(text);
    EXPECT_FALSE(v.is_float);
    EXPECT_EQ(v.i, value);
  }
}

TEST(Formula, UnaryMinusBindsTighterThanPower) {
  // Pinned: unary operators bind tighter than **, so this is (-1) ** 2.
  EXPECT_EQ(Int("-1**2").i, 1);
  EXPECT_EQ(Int("-(1**2)").i, -1);
  EXPECT_EQ(Int("-2**3").i, -8);
  EXPECT_EQ(Int("0 - 2**2").i, -4);
  EXPECT_DOUBLE_EQ(Int("2**-1").d, 0.5);
}

TEST(Formula, IntegerAgainstFloatingDivision) {
  EXPECT_EQ(Int("7 / 2").i, 3);
  EXPECT_EQ(Int("-7 / 2").i, -3);  // toward zero
  EXPECT_EQ(Int("-7 % 3").i, -1);
  EXPECT_DOUBLE_EQ(Float("7 / 2").d, 3.5);
  EXPECT_DOUBLE_EQ(Float("7 % 2.5").d, 2.0);
  // A packet-count formula that breaks when divided in floating point.
  const std::vector<std::pair<std::string, f::Value>> vars = {{"DATA_SIZE", f::Value::Int(1000)},
                                                              {"PACKET_SIZE", f::Value::Int(384)}};
  const char* payload =
      "((DATA_SIZE / PACKET_SIZE) + ((DATA_SIZE % PACKET_SIZE)?1:0)) * PACKET_SIZE";
  EXPECT_EQ(Int(payload, vars).i, 1152);
  EXPECT_NE(std::lround(Float(payload, vars).d), 1152);
  // A float literal makes that operation floating, even among integers.
  EXPECT_DOUBLE_EQ(Int("2.5 * 4").AsDouble(), 10.0);
  EXPECT_EQ(Int("5 / 2 * 2").i, 4);
  EXPECT_DOUBLE_EQ(Int("5 / 2.0 * 2").AsDouble(), 5.0);
  // Bitwise operators work on integers in float mode too.
  EXPECT_DOUBLE_EQ(Float("(0x1234 >> 4) & 0xFF").d, 0x23);
  EXPECT_DOUBLE_EQ(Float("7.9 | 0").d, 7);
}

TEST(Formula, IntegersWrapInsteadOfOverflowing) {
  EXPECT_EQ(Int("0x7FFFFFFFFFFFFFFF + 1").i, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Int("0xFFFFFFFFFFFFFFFF").i, -1);
  EXPECT_EQ(Int("(-9223372036854775807 - 1) / -1").i, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Int("(-9223372036854775807 - 1) % -1").i, 0);
  EXPECT_EQ(Int("1 << 64").i, 0);
  EXPECT_EQ(Int("-8 >> 70").i, -1);
  EXPECT_EQ(Int("3 ** 40").i, static_cast<std::int64_t>(12157665459056928801ull));
}

TEST(Formula, FunctionsAndLiterals) {
  EXPECT_DOUBLE_EQ(Float("ROUND(10.11, 1)").d, 10.1);
  EXPECT_DOUBLE_EQ(Float("ROUND(2.5)").d, 3);
  EXPECT_DOUBLE_EQ(Float("ROUND(-2.5)").d, -3);
  EXPECT_DOUBLE_EQ(Float("ROUND(1234.5, -2)").d, 1200);
  EXPECT_DOUBLE_EQ(Float("TRUNC(-2.7)").d, -2);
  EXPECT_DOUBLE_EQ(Float("FLOOR(-2.5)").d, -3);
  EXPECT_DOUBLE_EQ(Float("CEIL(2.1)").d, 3);
  EXPECT_DOUBLE_EQ(Float("SQRT(16) + ABS(-1.5)").d, 5.5);
  EXPECT_DOUBLE_EQ(Float("LN(E) + LG(100) + EXP(0)").d, 4);
  EXPECT_NEAR(Float("SIN(PI / 2) + COS(0) + TAN(0) + ATAN(1) * 4").d, 2 + kPi, 1e-12);
  EXPECT_NEAR(Float("ASIN(1) + ACOS(1)").d, kPi / 2, 1e-12);
  EXPECT_DOUBLE_EQ(Float("sqrt(4)").d, 2);  // function names in any case
  EXPECT_EQ(Int("ABS(-3) + SGN(-5) + NEG(4)").i, -2);
  EXPECT_FALSE(Int("ABS(-3)").is_float);
  EXPECT_DOUBLE_EQ(Float(".5 + 1.").d, 1.5);
  EXPECT_DOUBLE_EQ(Float("1e3 + 2.5E-1").d, 1000.25);
  // Variables with dots in their names, and variables named like constants win over them.
  EXPECT_EQ(Int("W.Max - E", {{"W.Max", f::Value::Int(10)}, {"E", f::Value::Int(1)}}).i, 9);
}

TEST(Formula, OnlyTheNeededOperandIsEvaluated) {
  EXPECT_EQ(Int("0 ? 1 / 0 : 5").i, 5);
  EXPECT_EQ(Int("1 || 1 / 0").i, 1);
  EXPECT_EQ(Int("0 && 1 / 0").i, 0);
}

TEST(Formula, ErrorsSayWhatAndWhere) {
  const std::pair<const char*, const char*> cases[] = {
      {"1 / 0", "division by zero"},
      {"X % 0", "division by zero"},
      {"0 ** -1", "division by zero"},
      {"1 +", "operand expected"},
      {"(1 + 2", "')' expected"},
      {"1 2", "unexpected"},
      {"FOO(1)", "unknown function 'FOO'"},
      {"Y + 1", "unknown name 'Y'"},
      {"1 ? 2", "':' expected"},
      {"99999999999999999999", "too large"},
      {"0x", "hexadecimal digits"},
      {"0x11112222333344445", "too large"},
      {"12abc", "bad number"},
      {"ROUND(1, 99)", "decimals"},
      {"@", "operand expected"},
  };
  for (const auto& [text, why] : cases) {
    SCOPED_TRACE(text);
    EXPECT_NE(ErrorText(text).find(why), std::string::npos) << ErrorText(text);
  }
  EXPECT_NE(ErrorText("1.0 / 0", f::Mode::kFloat).find("division by zero"), std::string::npos);
  // Results beyond the reals are values, as IEEE arithmetic gives them.
  EXPECT_TRUE(std::isnan(f::Evaluate("SQRT(-1)", f::Mode::kFloat).d));
  EXPECT_EQ(f::Evaluate("1e308 * 10", f::Mode::kFloat).d, INFINITY);
  EXPECT_EQ(f::Evaluate("LN(0)", f::Mode::kFloat).d, -INFINITY);
  EXPECT_EQ(f::Evaluate("-LN(0) > 1e308", f::Mode::kFloat).AsDouble(), 1);
}

TEST(Formula, HostileFormulasFailWithoutExhaustingTheStack) {
  const std::string parens = std::string(30000, '(') + "1" + std::string(30000, ')');
  EXPECT_NE(ErrorText(parens).find("nested"), std::string::npos);
  std::string sum = "1";
  for (int i = 0; i < 20000; ++i) sum += "+1";
  EXPECT_NE(ErrorText(sum).find("nested"), std::string::npos);
  EXPECT_NE(ErrorText(std::string(60000, '-') + "1").find("nested"), std::string::npos);
  std::string power = "1";
  for (int i = 0; i < 10000; ++i) power += "**1";
  EXPECT_NE(ErrorText(power).find("nested"), std::string::npos);
  std::string ternary = "1";
  for (int i = 0; i < 10000; ++i) ternary = "1?" + ternary + ":0";
  EXPECT_NE(ErrorText(ternary).find("nested"), std::string::npos);
  EXPECT_NE(ErrorText(std::string(70000, '1')).find("characters"), std::string::npos);
  // Moderate depth is fine.
  std::string ok = "1";
  for (int i = 0; i < 100; ++i) ok += "+1";
  EXPECT_EQ(Int(ok).i, 101);
}

TEST(Formula, BudgetLimitsWork) {
  const f::Formula formula = f::Formula::Parse("1+2+3+4", nullptr);
  f::Budget budget;
  budget.max_steps = 3;
  EXPECT_THROW(formula.Evaluate(f::Mode::kInteger, nullptr, budget), f::FormulaError);
  f::Budget deep;
  deep.max_depth = 2;
  EXPECT_THROW(formula.Evaluate(f::Mode::kInteger, nullptr, deep), f::FormulaError);
  f::Budget enough;
  EXPECT_EQ(formula.Evaluate(f::Mode::kInteger, nullptr, enough).i, 10);
  EXPECT_EQ(enough.depth, 0);
}

TEST(Formula, ToIntRefusesWhatDoesNotFit) {
  EXPECT_EQ(f::ToInt(-2.9), -2);
  EXPECT_EQ(f::ToInt(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min());
  EXPECT_THROW(f::ToInt(9223372036854775808.0), f::FormulaError);
  EXPECT_THROW(f::ToInt(std::nan("")), f::FormulaError);
}

}  // namespace
}  // namespace genapitest

// The parameter module: what each reader accepts, and the message every area words its refusals
// with.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <vision/vision.h>

#include "detail/error.h"
#include "detail/param.h"
#include "raises.h"

using namespace vision;

namespace {

HTuple Two(const HTuple& a, const HTuple& b) {
  HTuple t = a;
  t.Append(b);
  return t;
}

}  // namespace

TEST(Param, IntegerReaderTakesIntegralNumbersAndDecimalTextOnly) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    HTuple value;
    bool ok;
    std::int64_t expected;
  };
  const std::vector<Case> cases = {
      {HTuple(7), true, 7},
      {HTuple(-7), true, -7},
      {HTuple(7.0), true, 7},
      {HTuple(7.5), false, 0},
      {HTuple(1e19), false, 0},  // beyond 64 bits
      {HTuple(nan), false, 0},
      {HTuple("010"), true, 10},  // decimal, not octal
      {HTuple("-3"), true, -3},
      {HTuple("9223372036854775807"), true, std::numeric_limits<std::int64_t>::max()},
      {HTuple("9223372036854775808"), false, 0},
      {HTuple("+3"), false, 0},
      {HTuple("0x10"), false, 0},
      {HTuple(" 5"), false, 0},
      {HTuple("5 "), false, 0},
      {HTuple("-"), false, 0},
      {HTuple(""), false, 0},
      {HTuple(), false, 0},
      {Two(HTuple(1), HTuple(2)), false, 0},
  };
  for (const Case& c : cases) {
    std::int64_t v = -99;
    EXPECT_EQ(detail::ReadInteger(c.value, &v), c.ok) << detail::Describe(c.value);
    if (c.ok) {
      EXPECT_EQ(v, c.expected) << detail::Describe(c.value);
    }
  }
  std::int64_t v = 0;
  EXPECT_FALSE(detail::ReadIntegerNumber(HTuple("5"), &v)) << "texts are for ReadInteger only";
  EXPECT_TRUE(detail::ReadIntegerNumber(HTuple(-2.0), &v));
  EXPECT_EQ(v, -2);
}

TEST(Param, NumberBooleanTextAndListReaders) {
  double d = 0;
  EXPECT_TRUE(detail::ReadNumber(HTuple(3), &d));
  EXPECT_EQ(d, 3.0);
  EXPECT_TRUE(detail::ReadNumber(HTuple("2.5e1"), &d));
  EXPECT_EQ(d, 25.0);
  EXPECT_FALSE(detail::ReadNumber(HTuple("2.5x"), &d));
  EXPECT_FALSE(detail::ReadNumber(HTuple(""), &d));
  EXPECT_FALSE(detail::ReadNumber(HTuple(), &d));

  for (const HTuple& yes : {HTuple("true"), HTuple("1"), HTuple(1), HTuple(1.0)}) {
    bool b = false;
    EXPECT_TRUE(detail::ReadBoolean(yes, &b) && b) << detail::Describe(yes);
  }
  for (const HTuple& no : {HTuple("false"), HTuple("0"), HTuple(0)}) {
    bool b = true;
    EXPECT_TRUE(detail::ReadBoolean(no, &b) && !b) << detail::Describe(no);
  }
  for (const HTuple& bad : {HTuple("yes"), HTuple("TRUE"), HTuple(2), HTuple(0.5), HTuple()}) {
    bool b = false;
    EXPECT_FALSE(detail::ReadBoolean(bad, &b)) << detail::Describe(bad);
  }

  std::string s;
  EXPECT_TRUE(detail::ReadText(HTuple("abc"), &s));
  EXPECT_EQ(s, "abc");
  EXPECT_FALSE(detail::ReadText(HTuple(5), &s));
  EXPECT_EQ(detail::ValueText(HTuple("abc")), "abc");
  EXPECT_EQ(detail::ValueText(HTuple(5)), "5");
  EXPECT_EQ(detail::ValueText(Two(HTuple(1), HTuple("a"))), "[1, 'a']");
  EXPECT_TRUE(detail::IsText(HTuple("auto"), "auto"));
  EXPECT_FALSE(detail::IsText(Two(HTuple("auto"), HTuple("auto")), "auto"));

  std::vector<double> list{9.0};
  EXPECT_TRUE(detail::ReadFiniteNumbers(Two(HTuple(1), HTuple(2.5)), &list));
  EXPECT_EQ(list, (std::vector<double>{1.0, 2.5}));
  EXPECT_TRUE(detail::ReadFiniteNumbers(HTuple(), &list));
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(detail::ReadFiniteNumbers(Two(HTuple(1), HTuple(INFINITY)), &list));
  EXPECT_FALSE(detail::ReadFiniteNumbers(Two(HTuple(1), HTuple("2")), &list));
}

TEST(Param, RefusalsNameTheOperatorTheParameterAndTheValue) {
  const HException e = visiontest::Raised([] {
    detail::BadParam(err::kWrongParamValue, "SomeOperator", "Width", HTuple("wide"), "too wide");
  });
  EXPECT_EQ(e.ErrorCode(), err::kWrongParamValue);
  EXPECT_EQ(e.ProcName().Str(), "SomeOperator");
  EXPECT_EQ(e.ErrorMessage().Str(), "parameter Width = 'wide': too wide");
  EXPECT_EQ(visiontest::Raises(err::kWrongParamType,
                               [] { (void)detail::TextParam(HTuple(5), "Op", "Name"); }),
            "parameter Name = 5: one text expected");
  EXPECT_EQ(visiontest::Raises(err::kWrongParamRange,
                               [] { detail::CheckRange(2, 1, "Op", "AngleStart", "AngleEnd"); }),
            "range the wrong way round: AngleStart = 2 is larger than AngleEnd = 1");
  EXPECT_EQ(detail::ChoiceParam(HTuple("b"), "Op", "Mode", {"a", "b"}), 1);
  EXPECT_EQ(detail::IntegerParam(HTuple(4.0), "Op", "Levels", 1, 10), 4);
}

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <numbers>

#include <vision/vision.h>

#include "raises.h"

using vision::HException;
using vision::HTuple;

TEST(TupleArithmetic, MixedKindsBroadcastAndPromote) {
  HTuple a;
  a.Append(1).Append(2).Append(3);
  const HTuple sum = a + 2.5;
  ASSERT_EQ(sum.Length(), 3);
  EXPECT_EQ(sum.Type(0), vision::HTupleType::Double);
  EXPECT_DOUBLE_EQ(sum[2].D(), 5.5);
  const HTuple prod = a * 1000;
  EXPECT_EQ(prod.Type(1), vision::HTupleType::Integer);
  EXPECT_EQ(prod[1].L(), 2000);
}

TEST(TupleArithmetic, MismatchedLengthsAreAnError) {
  HTuple a, b;
  a.Append(1).Append(2);
  b.Append(1).Append(2).Append(3);
  EXPECT_THROW(a - b, HException);
}

TEST(TupleConversion, EmptyOrWrongKindRaisesInsteadOfZero) {
  EXPECT_THROW((void)static_cast<int>(HTuple()), HException);
  EXPECT_THROW((void)static_cast<int>(HTuple("7")), HException);
  EXPECT_THROW((void)static_cast<int>(HTuple(7.5)), HException);
  EXPECT_FLOAT_EQ(static_cast<float>(HTuple(7)), 7.0f);
}

TEST(TupleString, TwoDigitIndexAndBadFormats) {
  EXPECT_EQ(HTuple(4).TupleString("02d").S().Str(), "04");
  const HTuple name = "smd/smd_capacitors_" + HTuple(1).TupleString("02d");
  EXPECT_EQ(name.S().Str(), "smd/smd_capacitors_01");
  EXPECT_EQ(HTuple(3.14159).TupleString(".3f").S().Str(), "3.142");
  EXPECT_THROW(HTuple(1).TupleString("%n"), HException);
  EXPECT_THROW(HTuple(1).TupleString("d%s"), HException);
  EXPECT_THROW(HTuple("x").TupleString("d"), HException);
}

TEST(TupleLoop, LessOrEqualAndAddAssignDriveAFourPassLoop) {
  int passes = 0;
  for (HTuple i = 1; i <= 4; i += 1) ++passes;
  EXPECT_EQ(passes, 4);
}

TEST(TupleAngles, RadAndNegation) {
  const HTuple r = -HTuple(10).TupleRad();
  EXPECT_NEAR(r.D(), -0.17453292519943295, 1e-15);
}

namespace {

using visiontest::Raises;

struct DummyHandle : vision::detail::HandleBase {
  const char* KindName() const noexcept override { return "dummy"; }
};

}  // namespace

TEST(TupleConversion, EachAccessorAcceptsOnlyItsKind) {
  namespace err = vision::err;
  const HTuple big = HTuple(vision::Hlong{1} << 40);
  EXPECT_EQ(big.L(), vision::Hlong{1} << 40);
  Raises(err::kTupleType, [&] { (void)big.I(); });  // does not fit an int
  EXPECT_DOUBLE_EQ(HTuple(3).D(), 3.0);
  Raises(err::kTupleType, [] { (void)HTuple("a").D(); });
  Raises(err::kTupleType, [] { (void)HTuple(1).S(); });
  Raises(err::kTupleType, [] { (void)HTuple(1).H(); });
  Raises(err::kTupleEmpty, [] { (void)HTuple().D(); });
  Raises(err::kTupleIndex, [] { (void)HTuple(1)[1]; });
  Raises(err::kTupleIndex, [] { (void)HTuple(1)[-1]; });
  Raises(err::kTupleIndex, [] { (void)HTuple(1).Type(3); });
  Raises(err::kWrongParamValue, [] { HTuple t(static_cast<const char*>(nullptr)); });
  Raises(err::kWrongParamValue, [] { HTuple t(vision::HHandle{}); });
  // Further elements are ignored by the conversions.
  HTuple two;
  two.Append(5).Append("x");
  EXPECT_EQ(static_cast<int>(two), 5);
}

TEST(TupleArithmetic, IntegerRulesOverflowAndDivision) {
  namespace err = vision::err;
  const vision::Hlong max = std::numeric_limits<vision::Hlong>::max();
  const vision::Hlong min = std::numeric_limits<vision::Hlong>::min();
  EXPECT_EQ((HTuple(max) + 1).L(), min);  // wraps, no undefined behaviour
  EXPECT_EQ((HTuple(min) / -1).L(), min);
  EXPECT_EQ((-HTuple(min)).L(), min);
  EXPECT_EQ((HTuple(7) / 2).L(), 3);
  EXPECT_EQ((HTuple(-7) / 2).L(), -3);
  EXPECT_DOUBLE_EQ((HTuple(7) / 2.0).D(), 3.5);
  Raises(err::kTupleDivZero, [] { (void)(HTuple(1) / 0); });
  EXPECT_TRUE(std::isinf((HTuple(1.0) / 0).D()));
  Raises(err::kTupleType, [] { (void)(HTuple("a") - 1); });
  Raises(err::kTupleType, [] { (void)(HTuple("a") * HTuple("b")); });
  Raises(err::kTupleType, [] { (void)-HTuple("a"); });
  // Empty operands give empty results; an empty and a longer tuple do not mix.
  EXPECT_TRUE((HTuple() + 1).IsEmpty());
  HTuple three;
  three.Append(1).Append(2).Append(3);
  Raises(err::kTupleLength, [&] { (void)(HTuple() + three); });
  // The benchmark's time arithmetic: (end - start) * 1000 stays a double.
  const HTuple ms = (HTuple(2.5) - HTuple(2.25)) * 1000;
  EXPECT_EQ(ms.Type(0), vision::HTupleType::Double);
  EXPECT_DOUBLE_EQ(ms.D(), 250.0);
  HTuple acc = 1;
  acc += 2.5;
  acc -= 1;
  acc *= 2;
  EXPECT_DOUBLE_EQ(acc.D(), 5.0);
}

TEST(TupleText, ConcatenationOfTextsAndNumbers) {
  EXPECT_EQ((HTuple("a") + 1).S().Str(), "a1");
  EXPECT_EQ((HTuple(2) + "b").S().Str(), "2b");
  EXPECT_EQ((HTuple("x") + 0.5).S().Str(), "x0.5");
  HTuple idx;
  idx.Append(1).Append(2);
  const HTuple names = "img_" + idx.TupleString("03d");
  ASSERT_EQ(names.Length(), 2);
  EXPECT_EQ(names[1].S().Str(), "img_002");
  auto handle = std::make_shared<DummyHandle>();
  Raises(vision::err::kTupleType, [&] { (void)(HTuple("h") + HTuple(vision::HHandle(handle))); });
}

TEST(TupleString, FormatsAndLimits) {
  EXPECT_EQ(HTuple(255).TupleString("x").S().Str(), "ff");
  EXPECT_EQ(HTuple(255).TupleString("#X").S().Str(), "0XFF");
  EXPECT_EQ(HTuple(-3).TupleString("+5d").S().Str(), "   -3");
  EXPECT_EQ(HTuple(2.5).TupleString("d").S().Str(), "2");  // doubles truncate for d
  EXPECT_EQ(HTuple(1e6).TupleString("g").S().Str(), "1e+06");
  EXPECT_EQ(HTuple("ab").TupleString("-4s").S().Str(), "ab  ");
  EXPECT_EQ(HTuple(7).TupleString("s").S().Str(), "7");
  const std::string wide = HTuple(1e308).TupleString("512.512f").S().Str();
  EXPECT_GT(wide.size(), 800u);
  Raises(vision::err::kTupleFormat, [] { (void)HTuple(1).TupleString("513d"); });
  Raises(vision::err::kTupleFormat, [] { (void)HTuple(1).TupleString(""); });
  Raises(vision::err::kTupleEmpty, [] { (void)HTuple(1).TupleString(HTuple()); });
  Raises(vision::err::kTupleFormat, [] { (void)HTuple(1).TupleString(5); });
  Raises(vision::err::kTupleType, [] { (void)HTuple(std::nan("")).TupleString("d"); });
  Raises(vision::err::kTupleType, [] { (void)HTuple(1e300).TupleString("d"); });
  EXPECT_TRUE(HTuple().TupleString("d").IsEmpty());
}

// Precision as printf has it: a "." without digits is precision 0 (no fraction, one digit for
// g, no digits at all for an integer 0, an empty text for s), with or without width and flags;
// digits after the "." as given; a "." with nothing after it or before a sign is no format.
TEST(TupleString, PrecisionEdgeCases) {
  auto str = [](const HTuple& v, const char* format) { return v.TupleString(format).S().Str(); };
  EXPECT_EQ(str(3.7, ".f"), "4");
  EXPECT_EQ(str(2.5, ".f"), "2");  // ties to even, as printf rounds
  EXPECT_EQ(str(3.7, ".0f"), "4");
  EXPECT_EQ(str(3.7, "10.f"), "         4");
  EXPECT_EQ(str(3.7, "-6.f"), "4     ");
  EXPECT_EQ(str(3.7, "0.f"), "4");  // the flag 0, no width
  EXPECT_EQ(str(3.7, "#.f"), "4.");
  EXPECT_EQ(str(7, ".f"), "7");  // integers formatted as doubles
  EXPECT_EQ(str(1234.5, ".e"), "1e+03");
  EXPECT_EQ(str(1234.5, ".E"), "1E+03");
  EXPECT_EQ(str(3.7, ".g"), "4");  // precision 0 is one significant digit
  EXPECT_EQ(str(0, ".d"), "");     // no digits for zero
  EXPECT_EQ(str(42, ".d"), "42");
  EXPECT_EQ(str(0, "3.d"), "   ");
  EXPECT_EQ(str(0, ".x"), "");
  EXPECT_EQ(str(5, ".3d"), "005");
  EXPECT_EQ(str("text", ".s"), "");
  EXPECT_EQ(str("text", "5.s"), "     ");
  EXPECT_EQ(str("text", ".2s"), "te");
  EXPECT_EQ(str(3.14159, "8.3f"), "   3.142");
  EXPECT_EQ(str(3.14159, ".10f"), "3.1415900000");
  HTuple many;
  many.Append(0.4).Append(1.6).Append(-2.5);
  const HTuple each = many.TupleString(".f");
  ASSERT_EQ(each.Length(), 3);
  EXPECT_EQ(each[0].S().Str(), "0");
  EXPECT_EQ(each[1].S().Str(), "2");
  EXPECT_EQ(each[2].S().Str(), "-2");
  for (const char* bad : {".", "..f", ".-3f", "f.", "5.", ".3", ".513f", ". f"}) {
    Raises(vision::err::kTupleFormat, [&] { (void)HTuple(1.5).TupleString(bad); });
  }
}

TEST(TupleCompare, NumbersTextsHandlesAndNaN) {
  EXPECT_TRUE(HTuple(1) == HTuple(1.0));
  EXPECT_TRUE(HTuple(1) < HTuple(1.5));
  EXPECT_TRUE(HTuple("a") < HTuple("b"));
  // Equality across kinds is false (a value tested against a keyword), ordering raises: the
  // header promises exactly this.
  EXPECT_FALSE(HTuple(1) == HTuple("1"));
  EXPECT_FALSE(HTuple(1) == HTuple("a"));
  EXPECT_TRUE(HTuple(2.5) != HTuple("auto"));
  EXPECT_FALSE(HTuple(1).Append("a") == HTuple(1).Append(2));
  Raises(vision::err::kTupleType, [] { (void)(HTuple(1) < HTuple("1")); });
  Raises(vision::err::kTupleType, [] { (void)(HTuple("a") >= HTuple(1)); });
  // NaN never equals a number; it equals itself so the order stays total.
  const HTuple nan(std::nan(""));
  EXPECT_FALSE(nan == HTuple(1.0));
  EXPECT_FALSE(HTuple(0) == nan);
  EXPECT_TRUE(nan == nan);
  EXPECT_TRUE(HTuple(1e308) < nan);
  // Integers and doubles compare exactly where the platform allows: 2^53 + 1 > 2^53.
  const vision::Hlong big = (vision::Hlong{1} << 53) + 1;
  if (sizeof(long double) > sizeof(double)) {
    EXPECT_TRUE(HTuple(9007199254740992.0) < HTuple(big));
  }
  // Lexicographic over elements, shorter first on a tie.
  HTuple a, b;
  a.Append(1).Append(2);
  b.Append(1).Append(2).Append(0);
  EXPECT_TRUE(a < b);
  EXPECT_TRUE(HTuple() <= HTuple(4));
  auto h1 = std::make_shared<DummyHandle>();
  const HTuple t1{vision::HHandle(h1)};
  const HTuple t1_copy = t1;
  EXPECT_TRUE(t1 == t1_copy);
  EXPECT_FALSE(t1 == HTuple(vision::HHandle(std::make_shared<DummyHandle>())));
}

TEST(TupleValues, CopiesAreIndependentAndHandlesAreShared) {
  HTuple a;
  a.Append(1).Append(2);
  HTuple b = a;
  b.Append(3);
  b += 10;
  EXPECT_EQ(a.Length(), 2);
  EXPECT_EQ(a[0].L(), 1);
  EXPECT_EQ(b[2].L(), 13);
  a.Append(a);  // appending to itself doubles it
  EXPECT_EQ(a.Length(), 4);
  EXPECT_EQ(a[3].L(), 2);
  // A handle lives as long as a tuple holds it.
  std::weak_ptr<DummyHandle> watch;
  {
    auto h = std::make_shared<DummyHandle>();
    watch = h;
    HTuple t{vision::HHandle(h)};
    h.reset();
    const HTuple copy = t;
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(copy.H().get(), t.H().get());
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(a.TupleLength().L(), 4);
  EXPECT_EQ(a.TupleConcat(5).Length(), 5);
  EXPECT_NEAR(HTuple(std::numbers::pi).TupleDeg().D(), 180.0, 1e-12);
}

#include <gtest/gtest.h>

#include <vision/vision.h>

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

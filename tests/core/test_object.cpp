#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include <vision/vision.h>

#include "raises.h"

using namespace vision;

namespace {

using visiontest::Raises;

}  // namespace

TEST(Objects, CopiesShareStorageButNeverSeeEachOthersChanges) {
  HObject a;
  GenImageConst(&a, "byte", 8, 4);
  HObject b = a;  // shares the pixels
  EXPECT_EQ(GetImagePointer1(a, nullptr, nullptr, nullptr),
            GetImagePointer1(b, nullptr, nullptr, nullptr));
  // "Changing" b means making a new object; a keeps its pixels.
  HObject square, painted;
  GenContourPolygonXld(&square, HTuple(0).Append(0).Append(3).Append(3).Append(0),
                       HTuple(0).Append(7).Append(7).Append(0).Append(0));
  PaintXld(square, b, &painted, 200);
  b = painted;
  HTuple va, vb;
  GetGrayval(a, 1, 1, &va);
  GetGrayval(b, 1, 1, &vb);
  EXPECT_EQ(va.L(), 0);
  EXPECT_EQ(vb.L(), 200);
  // GenImage1 copies the caller's buffer: later writes to it do not reach the image.
  std::uint8_t px[4] = {1, 2, 3, 4};
  HObject c;
  GenImage1(&c, "byte", 2, 2, px);
  px[0] = 99;
  GetGrayval(c, 0, 0, &va);
  EXPECT_EQ(va.L(), 1);
}

TEST(Objects, SelectConcatAndEmptyObjects) {
  HObject a, b;
  GenImageConst(&a, "byte", 2, 2);
  GenImageConst(&b, "uint2", 3, 3);
  const HObject both = a.ConcatObj(b);
  EXPECT_EQ(both.CountObj(), 2);
  HTuple type;
  Hlong w, h;
  GetImagePointer1(both.SelectObj(2), &type, &w, &h);
  EXPECT_EQ(type.S().Str(), "uint2");
  EXPECT_EQ(w, 3);
  Raises(err::kObjectIndex, [&] { (void)both.SelectObj(3); });
  Raises(err::kObjectIndex, [&] { (void)both.SelectObj(0); });
  HObject empty;
  EXPECT_FALSE(empty.IsInitialized());
  HTuple width, height;
  Raises(err::kObjectEmpty, [&] { GetImageSize(empty, &width, &height); });
}

TEST(Images, CreationAndAccessCheckTheirArguments) {
  Raises(err::kWrongParamValue, [] {
    HObject i;
    GenImageConst(&i, "int4", 2, 2);
  });
  Raises(err::kImageSize, [] {
    HObject i;
    GenImageConst(&i, "byte", 0, 2);
  });
  Raises(err::kImageSize, [] {
    HObject i;
    GenImageConst(&i, "byte", 70000, 2);
  });
  Raises(err::kImageSize, [] {
    HObject i;
    GenImageConst(&i, "real", 65536, 65536);
  });
  Raises(err::kWrongParamType, [] {
    HObject i;
    GenImageConst(&i, "byte", 2.0, 2);
  });
  Raises(err::kWrongParamValue, [] {
    HObject i;
    GenImage1(&i, "byte", 2, 2, nullptr);
  });
  const std::uint16_t r[2] = {1, 2}, g[2] = {3, 4}, b[2] = {5, 65535};
  HObject rgb;
  GenImage3(&rgb, "uint2", 2, 1, r, g, b);
  HTuple channels, v;
  CountChannels(rgb, &channels);
  EXPECT_EQ(channels.L(), 3);
  GetGrayval(rgb, 0, 1, &v);
  ASSERT_EQ(v.Length(), 3);
  EXPECT_EQ(v[2].L(), 65535);
  const void *pr, *pg, *pb;
  GetImagePointer3(rgb, &pr, &pg, &pb, nullptr, nullptr, nullptr);
  EXPECT_EQ(static_cast<const std::uint16_t*>(pg)[1], 4);
  HObject grey;
  GenImageConst(&grey, "byte", 2, 2);
  Raises(err::kImageType,
         [&] { GetImagePointer3(grey, &pr, &pg, &pb, nullptr, nullptr, nullptr); });
  Raises(err::kWrongParamValue, [&] { GetGrayval(grey, 2, 0, &v); });
  Raises(err::kWrongParamValue, [&] { GetGrayval(grey, -1, 0, &v); });
  // One column past the right edge: on the first row it would read the next row, on the last
  // row past the buffer.
  Raises(err::kWrongParamValue, [&] { GetGrayval(grey, 0, 2, &v); });
  Raises(err::kWrongParamValue, [&] { GetGrayval(grey, 1, 2, &v); });
  Raises(err::kWrongParamValue, [&] { GetGrayval(grey, 1, -1, &v); });
  // Integral doubles beyond any integer are outside too; NaN is no position.
  Raises(err::kWrongParamValue, [&] { GetGrayval(grey, 1e30, 0, &v); });
  Raises(err::kWrongParamValue, [&] { GetGrayval(grey, 0, -1e300, &v); });
  Raises(err::kWrongParamType, [&] { GetGrayval(grey, 0, std::nan(""), &v); });
  GetGrayval(grey, 1.0, 1.0, &v);
  EXPECT_EQ(v.L(), 0);
  Raises(err::kWrongParamType, [&] { GetGrayval(grey, 0.5, 0, &v); });
  Raises(err::kWrongParamCount, [&] { GetGrayval(grey, HTuple(0).Append(1), 0, &v); });
  const float f[1] = {0.25f};
  HObject real;
  GenImage1(&real, "real", 1, 1, f);
  GetGrayval(real, 0, 0, &v);
  EXPECT_EQ(v.Type(0), HTupleType::Double);
  EXPECT_DOUBLE_EQ(v.D(), 0.25);
}

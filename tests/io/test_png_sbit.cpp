// A 16-bit PNG that stores 10-bit data scaled up to 16 bits and says so in its sBIT chunk.
#include <png.h>

#include <cstdio>

#include "io_test_util.h"

using namespace vision;

namespace {

// Writes a 4 x 1 grey PNG of the given 10-bit values, scaled up as the PNG format asks.
void WriteScaled10(const std::string& path, const std::uint16_t (&values)[4]) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, 4, 1, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color_8 sig{};
  sig.gray = 10;
  png_set_sBIT(png, info, &sig);
  png_write_info(png, info);
  png_byte row[8];
  for (int i = 0; i < 4; ++i) {
    const unsigned v = unsigned(values[i]) << 6 | unsigned(values[i]) >> 4;  // bit replication
    row[2 * i] = png_byte(v >> 8);
    row[2 * i + 1] = png_byte(v & 0xff);
  }
  png_write_row(png, row);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

}  // namespace

TEST(ImageFiles, PngSignificantBitsAreRestoredWhenInt2BitsIsSet) {
  iotest::TempDir dir;
  const std::uint16_t values[4] = {0, 1, 512, 1023};
  WriteScaled10(dir / "sbit.png", values);
  HObject image;
  HTuple v;
  const HTuple rows = HTuple(0).Append(0).Append(0).Append(0);
  const HTuple cols = HTuple(0).Append(1).Append(2).Append(3);
  SetSystem("int2_bits", 10);
  ReadImage(&image, (dir / "sbit.png").c_str());
  SetSystem("int2_bits", -1);
  GetGrayval(image, rows, cols, &v);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(v[i].L(), values[i]) << i;
  // Without int2_bits the samples stay as stored (full 16-bit scale).
  ReadImage(&image, (dir / "sbit.png").c_str());
  GetGrayval(image, rows, cols, &v);
  EXPECT_EQ(v[3].L(), 65535);
}

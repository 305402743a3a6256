#include <unistd.h>

#include "io_test_util.h"

using namespace vision;
using iotest::MaxDiff;
using iotest::Pattern;
using iotest::Raises;
using iotest::TempDir;

namespace {

struct RoundTrip {
  const char* format;
  int channels;
  bool wide;
  double tolerance;  // 0: lossless
};

}  // namespace

TEST(ImageFiles, EveryWrittenFormatReadsBackWithTypeSizeAndPixels) {
  const RoundTrip cases[] = {
      {"png", 1, false, 0},  {"png", 3, false, 0},  {"png", 1, true, 0},  {"png", 3, true, 0},
      {"tiff", 1, false, 0}, {"tiff", 3, false, 0}, {"tiff", 1, true, 0}, {"pgm", 1, false, 0},
      {"ppm", 3, false, 0},  {"pgm", 1, true, 0},   {"bmp", 1, false, 0}, {"bmp", 3, false, 0},
  };
  TempDir dir;
  for (const RoundTrip& rt : cases) {
    SCOPED_TRACE(std::string(rt.format) + " channels " + std::to_string(rt.channels) +
                 (rt.wide ? " uint2" : " byte"));
    // Odd sizes catch row padding and stride faults.
    const HObject image = Pattern(37, 23, rt.channels, rt.wide);
    const std::string base = dir / (std::string("rt_") + rt.format + std::to_string(rt.channels) +
                                    (rt.wide ? "w" : "b"));
    WriteImage(image, rt.format, 0, base.c_str());
    HObject back;
    ReadImage(&back, base.c_str());  // found by adding the extension
    HTuple w, h;
    GetImageSize(back, &w, &h);
    EXPECT_EQ(w.L(), 37);
    EXPECT_EQ(h.L(), 23);
    EXPECT_LE(MaxDiff(image, back), rt.tolerance);
  }
}

TEST(ImageFiles, JpegRoundTripIsClose) {
  TempDir dir;
  // Smooth content: JPEG is lossy and subsamples colour.
  std::vector<std::uint8_t> r(64 * 48), g(64 * 48), b(64 * 48);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x)
      r[y * 64 + x] = std::uint8_t(x * 3 + y), g[y * 64 + x] = std::uint8_t(100 + y),
                 b[y * 64 + x] = 60;
  HObject colour, grey, back;
  GenImage3(&colour, "byte", 64, 48, r.data(), g.data(), b.data());
  GenImage1(&grey, "byte", 64, 48, r.data());
  for (const HObject* image : {&colour, &grey}) {
    WriteImage(*image, "jpeg", 0, (dir / "smooth").c_str());
    ReadImage(&back, (dir / "smooth").c_str());
    EXPECT_LE(MaxDiff(*image, back), 6.0);
  }
}

TEST(ImageFiles, RealImagesRoundTripThroughTiffOnly) {
  TempDir dir;
  std::vector<float> px(12);
  for (int i = 0; i < 12; ++i) px[std::size_t(i)] = 0.25f * float(i) - 1.0f;
  HObject image, back;
  GenImage1(&image, "real", 4, 3, px.data());
  WriteImage(image, "tiff", 0, (dir / "real.tif").c_str());
  ReadImage(&back, (dir / "real.tif").c_str());
  EXPECT_EQ(MaxDiff(image, back), 0.0);
  Raises(err::kImageType, [&] { WriteImage(image, "png", 0, (dir / "real").c_str()); });
  Raises(err::kImageType, [&] { WriteImage(image, "bmp", 0, (dir / "real").c_str()); });
  Raises(err::kImageType,
         [&] { WriteImage(Pattern(4, 4, 1, true), "bmp", 0, (dir / "w").c_str()); });
  Raises(err::kWrongParamValue, [&] { WriteImage(image, "gif", 0, (dir / "x").c_str()); });
  Raises(err::kFileWrite, [&] { WriteImage(image, "tiff", 0, (dir / "no/such/dir/x").c_str()); });
}

TEST(ImageFiles, Int2BitsClampsSixteenBitSamples) {
  TempDir dir;
  const std::uint16_t px[4] = {0, 1023, 1024, 65535};
  HObject image, back;
  GenImage1(&image, "uint2", 2, 2, px);
  WriteImage(image, "png", 0, (dir / "wide.png").c_str());
  WriteImage(image, "pgm", 0, (dir / "wide.pgm").c_str());
  for (const char* name : {"wide.png", "wide.pgm"}) {
    SetSystem("int2_bits", 10);
    ReadImage(&back, (dir / name).c_str());
    SetSystem("int2_bits", -1);
    HTuple v;
    GetGrayval(back, HTuple(0).Append(0).Append(1).Append(1),
               HTuple(0).Append(1).Append(0).Append(1), &v);
    EXPECT_EQ(v[0].L(), 0) << name;
    EXPECT_EQ(v[1].L(), 1023) << name;
    EXPECT_EQ(v[2].L(), 1023) << name;
    EXPECT_EQ(v[3].L(), 1023) << name;
    ReadImage(&back, (dir / name).c_str());
    GetGrayval(back, 1, 1, &v);
    EXPECT_EQ(v.L(), 65535) << name;
  }
}

// BMP variants our writer does not produce, built byte by byte.
namespace {

void Put(std::vector<std::uint8_t>& o, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) o.push_back(i < 4 ? std::uint8_t(v >> (8 * i)) : 0);
}

std::vector<std::uint8_t> Bmp(int width, int height, int bpp, std::uint32_t compression,
                              const std::vector<std::uint8_t>& palette_and_masks,
                              const std::vector<std::uint8_t>& pixels) {
  std::vector<std::uint8_t> o{'B', 'M'};
  const std::uint32_t offset = 14 + 40 + std::uint32_t(palette_and_masks.size());
  Put(o, offset + std::uint32_t(pixels.size()), 4);
  Put(o, 0, 4);
  Put(o, offset, 4);
  Put(o, 40, 4);
  Put(o, std::uint32_t(width), 4);
  Put(o, std::uint32_t(height), 4);
  Put(o, 1, 2);
  Put(o, std::uint32_t(bpp), 2);
  Put(o, compression, 4);
  Put(o, std::uint32_t(pixels.size()), 4);
  Put(o, 0, 16);
  o.insert(o.end(), palette_and_masks.begin(), palette_and_masks.end());
  o.insert(o.end(), pixels.begin(), pixels.end());
  return o;
}

}  // namespace

TEST(ImageFiles, BmpTopDownThirtyTwoBitPaletteAndOneBit) {
  TempDir dir;
  HTuple v;
  HObject image;
  // 2 x 2, 32 bits, top-down (negative height): rows stored first row first, B G R X.
  iotest::WriteBytes(dir / "td32.bmp",
                     Bmp(2, -2, 32, 0, {}, {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0}));
  ReadImage(&image, (dir / "td32.bmp").c_str());
  GetGrayval(image, 0, 1, &v);
  EXPECT_EQ(v.Length(), 3);
  EXPECT_EQ(v[0].L(), 6);  // red
  EXPECT_EQ(v[2].L(), 4);  // blue
  GetGrayval(image, 1, 0, &v);
  EXPECT_EQ(v[0].L(), 9);

  // 32 bits with bit masks (red in the low byte).
  std::vector<std::uint8_t> masks;
  Put(masks, 0x000000ff, 4), Put(masks, 0x0000ff00, 4), Put(masks, 0x00ff0000, 4);
  iotest::WriteBytes(dir / "mask.bmp", Bmp(1, 1, 32, 3, masks, {200, 100, 50, 0}));
  ReadImage(&image, (dir / "mask.bmp").c_str());
  GetGrayval(image, 0, 0, &v);
  EXPECT_EQ(v[0].L(), 200);
  EXPECT_EQ(v[2].L(), 50);

  // 8-bit palette that is not grey gives colour; bottom-up rows padded to 4 bytes.
  std::vector<std::uint8_t> palette = {0, 0, 255, 0, 0, 255, 0, 0};  // red, green
  iotest::WriteBytes(dir / "pal.bmp", Bmp(3, 2, 8, 0, palette, {1, 1, 1, 0, 0, 1, 0, 0}));
  ReadImage(&image, (dir / "pal.bmp").c_str());
  GetGrayval(image, 0, 0, &v);  // top row = last stored row: 0 1 0
  EXPECT_EQ(v[0].L(), 255);
  GetGrayval(image, 0, 1, &v);
  EXPECT_EQ(v[1].L(), 255);
  EXPECT_EQ(v[0].L(), 0);

  // 1 bit with a grey palette gives a one-channel image.
  iotest::WriteBytes(dir / "bits.bmp",
                     Bmp(10, 1, 1, 0, {0, 0, 0, 0, 255, 255, 255, 0}, {0xa0, 0x40, 0, 0}));
  ReadImage(&image, (dir / "bits.bmp").c_str());
  HTuple channels;
  CountChannels(image, &channels);
  EXPECT_EQ(channels.L(), 1);
  GetGrayval(image, HTuple(0).Append(0).Append(0).Append(0),
             HTuple(0).Append(1).Append(2).Append(9), &v);
  EXPECT_EQ(v[0].L(), 255);
  EXPECT_EQ(v[1].L(), 0);
  EXPECT_EQ(v[2].L(), 255);
  EXPECT_EQ(v[3].L(), 255);

  // The header's colour count is capped at what the depth can index: a 1-bit file claiming four
  // colours has two, both grey here, and the two colours stored after them are not used.
  std::vector<std::uint8_t> claims4 = Bmp(
      10, 1, 1, 0, {0, 0, 0, 0, 255, 255, 255, 0, 0, 0, 255, 0, 0, 255, 0, 0}, {0xa0, 0x40, 0, 0});
  claims4[46] = 4;
  iotest::WriteBytes(dir / "claims4.bmp", claims4);
  ReadImage(&image, (dir / "claims4.bmp").c_str());
  CountChannels(image, &channels);
  EXPECT_EQ(channels.L(), 1);
  // An 8-bit file claiming 300 colours, all stored: 256 greys (in reverse) then 44 reds, which
  // no index reaches and which must not land past the 256-entry palette.
  std::vector<std::uint8_t> palette300;
  for (int i = 0; i < 300; ++i) {
    const auto v = std::uint8_t(255 - i);
    if (i < 256)
      palette300.insert(palette300.end(), {v, v, v, 0});
    else
      palette300.insert(palette300.end(), {0, 0, 255, 0});
  }
  std::vector<std::uint8_t> claims300 = Bmp(4, 1, 8, 0, palette300, {0, 1, 254, 255});
  claims300[46] = 300 & 0xff, claims300[47] = 300 >> 8;
  iotest::WriteBytes(dir / "claims300.bmp", claims300);
  ReadImage(&image, (dir / "claims300.bmp").c_str());
  CountChannels(image, &channels);
  EXPECT_EQ(channels.L(), 1);
  GetGrayval(image, HTuple(0).Append(0).Append(0).Append(0),
             HTuple(0).Append(1).Append(2).Append(3), &v);
  EXPECT_EQ(v[0].L(), 255);
  EXPECT_EQ(v[1].L(), 254);
  EXPECT_EQ(v[2].L(), 1);
  EXPECT_EQ(v[3].L(), 0);

  // RLE is refused with a clear error.
  iotest::WriteBytes(dir / "rle.bmp",
                     Bmp(2, 2, 8, 1, std::vector<std::uint8_t>(1024, 0), {0, 0, 0, 1}));
  Raises(err::kFileFormat, [&] { ReadImage(&image, (dir / "rle.bmp").c_str()); });
}

TEST(ImageFiles, PnmHeaderCommentsAndSmallMaxval) {
  TempDir dir;
  iotest::WriteText(dir / "c.pgm", std::string("P5\n# made by hand\n3 # width\n1\n15\n") + '\x01' +
                                       '\x07' + '\x0f');
  HObject image;
  ReadImage(&image, (dir / "c.pgm").c_str());
  HTuple v;
  GetGrayval(image, HTuple(0).Append(0), HTuple(0).Append(2), &v);
  EXPECT_EQ(v[0].L(), 1);
  EXPECT_EQ(v[1].L(), 15);
}

TEST(ImageFiles, ContentDecidesTheFormatNotTheName) {
  TempDir dir;
  const HObject image = Pattern(5, 4, 3);
  WriteImage(image, "png", 0, (dir / "really_png.bmp").c_str());
  HObject back;
  ReadImage(&back, (dir / "really_png.bmp").c_str());
  EXPECT_EQ(MaxDiff(image, back), 0.0);
}

TEST(ImageFiles, SeveralNamesGiveSeveralImages) {
  TempDir dir;
  WriteImage(Pattern(5, 4, 1), "png", 0, (dir / "a").c_str());
  WriteImage(Pattern(6, 4, 3), "tiff", 0, (dir / "b").c_str());
  HObject images;
  ReadImage(&images, HTuple((dir / "a").c_str()).Append((dir / "b").c_str()));
  ASSERT_EQ(images.CountObj(), 2);
  HTuple w, h;
  GetImageSize(images.SelectObj(2), &w, &h);
  EXPECT_EQ(w.L(), 6);
  Raises(err::kWrongParamType, [&] { ReadImage(&images, 5); });
  Raises(err::kWrongParamCount, [&] { ReadImage(&images, HTuple()); });
  Raises(err::kNullOutput, [&] { ReadImage(nullptr, "x"); });
}

TEST(ImageFiles, EveryFuzzSeedIsAValidImage) {
  // The seed corpus should reach deep into each decoder: every file in it must decode.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VISION_FUZZ_CORPUS)) {
    HObject image;
    EXPECT_NO_THROW(ReadImage(&image, entry.path().string().c_str())) << entry.path();
    ++files;
  }
  EXPECT_GE(files, 15);
}

// Palette PNG and TIFF files, which our writer never produces, built byte by byte.
namespace {

std::uint32_t Crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutBe32(std::vector<std::uint8_t>& o, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) o.push_back(std::uint8_t(v >> s));
}

void PngChunk(std::vector<std::uint8_t>& o, const char* type, const std::vector<std::uint8_t>& d) {
  PutBe32(o, std::uint32_t(d.size()));
  const std::size_t start = o.size();
  o.insert(o.end(), type, type + 4);
  o.insert(o.end(), d.begin(), d.end());
  PutBe32(o, Crc32(&o[start], o.size() - start));
}

// An indexed PNG: rows of packed indices (each row without its filter byte), the palette as
// r, g, b triples, an optional tRNS chunk. The pixel data is one stored (uncompressed) deflate
// block.
std::vector<std::uint8_t> PalettePng(int width, int depth, const std::vector<std::uint8_t>& rgb,
                                     const std::vector<std::vector<std::uint8_t>>& rows,
                                     const std::vector<std::uint8_t>& trns = {}) {
  std::vector<std::uint8_t> o{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<std::uint8_t> ihdr;
  PutBe32(ihdr, std::uint32_t(width));
  PutBe32(ihdr, std::uint32_t(rows.size()));
  ihdr.insert(ihdr.end(), {std::uint8_t(depth), 3, 0, 0, 0});
  PngChunk(o, "IHDR", ihdr);
  PngChunk(o, "PLTE", rgb);
  if (!trns.empty()) PngChunk(o, "tRNS", trns);
  std::vector<std::uint8_t> raw;
  for (const auto& row : rows) {
    raw.push_back(0);
    raw.insert(raw.end(), row.begin(), row.end());
  }
  std::vector<std::uint8_t> z{0x78,
                              0x01,
                              0x01,
                              std::uint8_t(raw.size()),
                              std::uint8_t(raw.size() >> 8),
                              std::uint8_t(~raw.size()),
                              std::uint8_t(~raw.size() >> 8)};
  z.insert(z.end(), raw.begin(), raw.end());
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t v : raw) a = (a + v) % 65521, b = (b + a) % 65521;
  PutBe32(z, b << 16 | a);
  PngChunk(o, "IDAT", z);
  PngChunk(o, "IEND", {});
  return o;
}

// An uncompressed little-endian palette TIFF of one strip; colormap holds 3 x 2^bits values.
std::vector<std::uint8_t> PaletteTiff(int width, int height, int bits,
                                      const std::vector<std::uint16_t>& colormap,
                                      const std::vector<std::uint8_t>& strip) {
  std::vector<std::uint8_t> o{'I', 'I', 42, 0, 8, 0, 0, 0};
  const std::uint32_t entries = 9;
  const std::uint32_t map_at = 8 + 2 + entries * 12 + 4;
  const std::uint32_t strip_at = map_at + std::uint32_t(colormap.size()) * 2;
  auto put = [&](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) o.push_back(std::uint8_t(v >> (8 * i)));
  };
  put(entries, 2);
  auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t v) {
    put(tag, 2), put(type, 2), put(count, 4), put(v, 4);
  };
  entry(256, 3, 1, std::uint32_t(width));
  entry(257, 3, 1, std::uint32_t(height));
  entry(258, 3, 1, std::uint32_t(bits));
  entry(259, 3, 1, 1);  // no compression
  entry(262, 3, 1, 3);  // palette
  entry(273, 4, 1, strip_at);
  entry(278, 3, 1, std::uint32_t(height));
  entry(279, 4, 1, std::uint32_t(strip.size()));
  entry(320, 3, std::uint32_t(colormap.size()), map_at);
  put(0, 4);  // no further directory
  for (std::uint16_t v : colormap) put(v, 2);
  o.insert(o.end(), strip.begin(), strip.end());
  return o;
}

HTuple Row(int y, int width) {
  HTuple rows, cols;
  for (int x = 0; x < width; ++x) rows.Append(y), cols.Append(x);
  return rows;
}

// The grey values of row y, channel after channel per pixel.
std::vector<Hlong> Values(const HObject& image, int y, int width) {
  HTuple cols, v;
  for (int x = 0; x < width; ++x) cols.Append(x);
  GetGrayval(image, Row(y, width), cols, &v);
  std::vector<Hlong> out;
  for (Hlong i = 0; i < v.Length(); ++i) out.push_back(v[i].L());
  return out;
}

Hlong Channels(const HObject& image) {
  HTuple n;
  CountChannels(image, &n);
  return n.L();
}

}  // namespace

TEST(ImageFiles, PalettePngGivesColourOrGreyValuesNotIndices) {
  TempDir dir;
  HObject image;
  // 4-bit colour palette with transparency: red, green, blue, white.
  const std::vector<std::uint8_t> colours = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
  iotest::WriteBytes(dir / "colour.png",
                     PalettePng(3, 4, colours, {{0x01, 0x20}, {0x32, 0x00}}, {0, 128}));
  ReadImage(&image, (dir / "colour.png").c_str());
  ASSERT_EQ(Channels(image), 3);
  EXPECT_EQ(Values(image, 0, 3), (std::vector<Hlong>{255, 0, 0, 0, 255, 0, 0, 0, 255}));
  EXPECT_EQ(Values(image, 1, 3), (std::vector<Hlong>{255, 255, 255, 0, 0, 255, 255, 0, 0}));
  // 8-bit colour palette without transparency.
  iotest::WriteBytes(dir / "colour8.png", PalettePng(2, 8, colours, {{3, 1}}));
  ReadImage(&image, (dir / "colour8.png").c_str());
  ASSERT_EQ(Channels(image), 3);
  EXPECT_EQ(Values(image, 0, 2), (std::vector<Hlong>{255, 255, 255, 0, 255, 0}));

  // A palette of greys, in no particular order, gives one channel of the palette's values; an
  // index past the palette's end reads as black.
  const std::vector<std::uint8_t> greys = {200, 200, 200, 10, 10, 10, 90, 90, 90};
  iotest::WriteBytes(dir / "grey.png", PalettePng(5, 2, greys, {{0x1b, 0x40}, {0x90, 0x00}}));
  ReadImage(&image, (dir / "grey.png").c_str());
  ASSERT_EQ(Channels(image), 1);
  EXPECT_EQ(Values(image, 0, 5), (std::vector<Hlong>{200, 10, 90, 0, 10}));
  EXPECT_EQ(Values(image, 1, 5), (std::vector<Hlong>{90, 10, 200, 200, 200}));
}

TEST(ImageFiles, PaletteTiffGivesColourOrGreyValuesNotIndices) {
  TempDir dir;
  HObject image;
  // 2 bits: four colormap entries per channel, 16-bit values.
  iotest::WriteBytes(dir / "colour.tif", PaletteTiff(4, 1, 2,
                                                     {0xffff, 0, 0, 0x8080,   // red
                                                      0, 0xffff, 0, 0x8080,   // green
                                                      0, 0, 0xffff, 0x8080},  // blue
                                                     {0x1b}));                // indices 0 1 2 3
  ReadImage(&image, (dir / "colour.tif").c_str());
  ASSERT_EQ(Channels(image), 3);
  EXPECT_EQ(Values(image, 0, 4),
            (std::vector<Hlong>{255, 0, 0, 0, 255, 0, 0, 0, 255, 128, 128, 128}));
  iotest::WriteBytes(dir / "grey.tif", PaletteTiff(4, 1, 2,
                                                   {0xc8c8, 0x0a0a, 0x5a5a, 0xffff, 0xc8c8, 0x0a0a,
                                                    0x5a5a, 0xffff, 0xc8c8, 0x0a0a, 0x5a5a, 0xffff},
                                                   {0xe4}));  // indices 3 2 1 0
  ReadImage(&image, (dir / "grey.tif").c_str());
  ASSERT_EQ(Channels(image), 1);
  EXPECT_EQ(Values(image, 0, 4), (std::vector<Hlong>{255, 90, 10, 200}));
}

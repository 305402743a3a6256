// Damaged files: every truncation, flipped bytes and headers that claim absurd sizes must give an
// HException with a file error, never a crash or a huge allocation.
#include <unistd.h>

#include "io/codec.h"
#include "io_test_util.h"

using namespace vision;
using iotest::ErrorOf;
using iotest::Pattern;
using iotest::Raises;
using iotest::TempDir;

namespace {

std::vector<std::uint8_t> Encoded(const char* format, int channels, bool wide = false) {
  TempDir dir;
  WriteImage(Pattern(19, 11, channels, wide), format, 0, (dir / "x.img").c_str());
  return iotest::ReadBytes(dir / "x.img");
}

bool IsFileError(std::uint32_t code) {
  return code == err::kFileFormat || code == err::kFileLimits;
}

}  // namespace

TEST(DamagedFiles, EveryTruncationIsAFileError) {
  for (const char* format : {"png", "tiff", "jpeg", "bmp", "pgm", "ppm"}) {
    const std::vector<std::uint8_t> full = Encoded(format, std::string(format) == "pgm" ? 1 : 3);
    for (std::size_t len = 0; len < full.size(); len += (len < 64 ? 1 : 7)) {
      const std::uint32_t code = ErrorOf([&] { io::DecodeImage(full.data(), len, "cut"); });
      // A TIFF cut after its last strip may still decode; everything else must fail cleanly.
      if (code == 0 && std::string(format) == "tiff") continue;
      EXPECT_TRUE(IsFileError(code)) << format << " cut to " << len << " bytes: code " << code;
    }
  }
}

TEST(DamagedFiles, FlippedBytesNeverCrash) {
  for (const char* format : {"png", "tiff", "jpeg", "bmp", "ppm"}) {
    const std::vector<std::uint8_t> full = Encoded(format, 3);
    std::uint32_t seed = 12345;
    for (int trial = 0; trial < 300; ++trial) {
      std::vector<std::uint8_t> bad = full;
      for (int k = 0; k < 3; ++k) {
        seed = seed * 1103515245u + 12345u;
        bad[(seed >> 8) % bad.size()] ^= std::uint8_t(1u << ((seed >> 4) % 8));
      }
      const std::uint32_t code = ErrorOf([&] { io::DecodeImage(bad.data(), bad.size(), "flip"); });
      EXPECT_TRUE(code == 0 || IsFileError(code)) << format << " trial " << trial << ": " << code;
    }
  }
}

TEST(DamagedFiles, AbsurdDimensionsAreRefusedBeforeAllocating) {
  TempDir dir;
  HObject image;
  // Past the per-side limit.
  iotest::WriteText(dir / "huge.pgm", "P5 100000 10 255\n");
  Raises(err::kFileLimits, [&] { ReadImage(&image, (dir / "huge.pgm").c_str()); });
  // Within the limits, but the file cannot hold the pixels.
  iotest::WriteText(dir / "big.ppm", "P6 40000 40000 65535\n" + std::string(100, 'x'));
  Raises(err::kFileLimits, [&] { ReadImage(&image, (dir / "big.ppm").c_str()); });
  iotest::WriteText(dir / "short.pgm", "P5 30000 30000 255\n" + std::string(100, 'x'));
  Raises(err::kFileFormat, [&] { ReadImage(&image, (dir / "short.pgm").c_str()); });

  // PNG whose IHDR claims 60000 x 60000 (CRC fixed up so only the size is wrong).
  std::vector<std::uint8_t> png = Encoded("png", 1);
  auto put32 = [](std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24), p[1] = std::uint8_t(v >> 16), p[2] = std::uint8_t(v >> 8),
    p[3] = std::uint8_t(v);
  };
  auto fix_crc = [&] {
    std::uint32_t crc = 0xffffffffu;
    for (std::size_t i = 12; i < 29; ++i) {
      crc ^= png[i];
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    put32(&png[29], ~crc);
  };
  put32(&png[16], 60000);
  put32(&png[20], 60000);
  fix_crc();
  const std::uint32_t code = ErrorOf([&] { io::DecodeImage(png.data(), png.size(), "png"); });
  EXPECT_TRUE(IsFileError(code)) << code;
  put32(&png[16], 70000);  // past the per-side limit: too large, not damaged
  fix_crc();
  EXPECT_EQ(ErrorOf([&] { io::DecodeImage(png.data(), png.size(), "png"); }), err::kFileLimits);

  // BMP claiming 65536 x 65536 at 24 bits with no pixel data.
  std::vector<std::uint8_t> bmp = Encoded("bmp", 3);
  bmp.resize(54);
  for (int i = 0; i < 4; ++i) bmp[18 + i] = bmp[22 + i] = std::uint8_t(i == 2 ? 1 : 0);
  EXPECT_TRUE(IsFileError(ErrorOf([&] { io::DecodeImage(bmp.data(), bmp.size(), "bmp"); })));

  // JPEG: change the frame header's size to 65000 x 65000.
  std::vector<std::uint8_t> jpg = Encoded("jpeg", 3);
  for (std::size_t i = 2; i + 8 < jpg.size(); ++i) {
    if (jpg[i] == 0xff && jpg[i + 1] == 0xc0) {
      jpg[i + 5] = 0xfd, jpg[i + 6] = 0xe8, jpg[i + 7] = 0xfd, jpg[i + 8] = 0xe8;
      break;
    }
  }
  EXPECT_TRUE(IsFileError(ErrorOf([&] { io::DecodeImage(jpg.data(), jpg.size(), "jpg"); })));
}

TEST(DamagedFiles, UnknownEmptyAndDirectory) {
  TempDir dir;
  HObject image;
  iotest::WriteText(dir / "text.png", "this is not an image");
  iotest::WriteText(dir / "empty.png", "");
  Raises(err::kFileFormat, [&] { ReadImage(&image, (dir / "text.png").c_str()); });
  Raises(err::kFileFormat, [&] { ReadImage(&image, (dir / "empty.png").c_str()); });
  // A directory of that name is not an image file.
  std::filesystem::create_directories(dir / "folder");
  Raises(err::kFileRead, [&] { ReadImage(&image, (dir / "folder").c_str()); });
  try {
    ReadImage(&image, (dir / "text.png").c_str());
    ADD_FAILURE() << "a text file read as an image";
  } catch (const HException& e) {
    EXPECT_NE(e.ErrorMessage().Str().find("text.png"), std::string::npos);
    EXPECT_EQ(e.ProcName().Str(), "ReadImage");
  }
}

namespace {

// A progressive 8 x 8 colour JPEG built by hand, every coefficient zero (a grey 128 image): one
// interleaved DC scan, then for each component one scan per band of AC coefficients. bands[c]
// lists the first coefficient of each band of component c (the last band ends at 63).
std::vector<std::uint8_t> ProgressiveJpeg(const std::vector<std::vector<int>>& bands) {
  std::vector<std::uint8_t> o{0xff, 0xd8};
  auto segment = [&](std::uint8_t marker, const std::vector<std::uint8_t>& body) {
    o.push_back(0xff), o.push_back(marker);
    o.push_back(std::uint8_t((body.size() + 2) >> 8)), o.push_back(std::uint8_t(body.size() + 2));
    o.insert(o.end(), body.begin(), body.end());
  };
  std::vector<std::uint8_t> dqt{0x00};
  dqt.resize(65, 1);
  segment(0xdb, dqt);
  segment(0xc2, {8, 0, 8, 0, 8, 3, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0});  // SOF2, 3 components
  // Huffman tables with a single one-bit code for symbol 0: DC difference 0, AC end of block.
  std::vector<std::uint8_t> dht(17, 0);
  dht[1] = 1;
  dht.push_back(0);
  segment(0xc4, dht);
  dht[0] = 0x10;
  segment(0xc4, dht);
  segment(0xda, {3, 1, 0x00, 2, 0x00, 3, 0x00, 0, 0, 0});  // DC of all three components
  o.push_back(0x1f);                                       // three zero bits, padded with ones
  for (std::size_t c = 0; c < bands.size(); ++c) {
    for (std::size_t b = 0; b < bands[c].size(); ++b) {
      const int first = bands[c][b];
      const int last = b + 1 < bands[c].size() ? bands[c][b + 1] - 1 : 63;
      segment(0xda, {1, std::uint8_t(c + 1), 0x00, std::uint8_t(first), std::uint8_t(last), 0});
      o.push_back(0x7f);  // end of block
    }
  }
  o.push_back(0xff), o.push_back(0xd9);
  return o;
}

std::vector<int> Bands(int count) {
  std::vector<int> first;
  for (int k = 0; k < count; ++k) first.push_back(1 + k);
  return first;
}

}  // namespace

TEST(DamagedFiles, ProgressiveJpegWithMoreThanAHundredScansIsRefused) {
  // 1 + 3 x 33 = 100 scans: the most accepted, and a check that the hand-made file is sound.
  const std::vector<std::uint8_t> most = ProgressiveJpeg({Bands(33), Bands(33), Bands(33)});
  const detail::ImageData image = io::DecodeImage(most.data(), most.size(), "100 scans");
  ASSERT_EQ(image.Channels(), 3);
  EXPECT_EQ(image.width, 8);
  for (int c = 0; c < 3; ++c)
    for (std::uint8_t v : *image.planes[std::size_t(c)]) EXPECT_NEAR(v, 128, 1);
  // The marker walk that stands in for the decoder's own count where it cannot be watched.
  EXPECT_EQ(io::CountJpegScans(most.data(), most.size()), 100);
  const std::vector<std::uint8_t> baseline = Encoded("jpeg", 3);
  EXPECT_EQ(io::CountJpegScans(baseline.data(), baseline.size()), 1);
  // One scan more, and a file of 190 single-coefficient scans.
  for (const auto& bands : {std::vector<std::vector<int>>{Bands(34), Bands(33), Bands(33)},
                            std::vector<std::vector<int>>{Bands(63), Bands(63), Bands(63)}}) {
    const std::vector<std::uint8_t> jpg = ProgressiveJpeg(bands);
    EXPECT_EQ(ErrorOf([&] { io::DecodeImage(jpg.data(), jpg.size(), "scans"); }), err::kFileLimits);
  }
}

TEST(DamagedFiles, JpegWithDamagedScanDataIsAnError) {
  const std::vector<std::uint8_t> full = Encoded("jpeg", 3);
  // The start of the scan data: after the SOS segment.
  std::size_t sos = 0;
  for (std::size_t i = 2; i + 3 < full.size(); ++i) {
    if (full[i] == 0xff && full[i + 1] == 0xda) {
      sos = i + 2 + (std::size_t(full[i + 2]) << 8 | full[i + 3]);
      break;
    }
  }
  ASSERT_GT(sos, 0u);
  // Cut a third of the way into the scan and closed with an end-of-image marker: libjpeg only
  // warns ("premature end of data segment") and fills the rest with grey.
  std::vector<std::uint8_t> cut(full.begin(),
                                full.begin() + std::ptrdiff_t(sos + (full.size() - sos) / 3));
  cut.push_back(0xff), cut.push_back(0xd9);
  EXPECT_EQ(ErrorOf([&] { io::DecodeImage(cut.data(), cut.size(), "cut"); }), err::kFileFormat);
  // Scan data starting with 32 one bits (each 0xff stuffed with a zero): no Huffman code is all
  // ones, so libjpeg warns "bad Huffman code" and decodes the rest as grey.
  std::vector<std::uint8_t> ones = full;
  for (std::size_t i = 0; i < 8; ++i) ones[sos + i] = i % 2 ? 0x00 : 0xff;
  EXPECT_EQ(ErrorOf([&] { io::DecodeImage(ones.data(), ones.size(), "ones"); }), err::kFileFormat);
  // The untouched file still reads.
  EXPECT_EQ(ErrorOf([&] { io::DecodeImage(full.data(), full.size(), "full"); }), 0u);
}

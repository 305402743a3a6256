// Damaged files: every truncation, flipped bytes and headers that claim absurd sizes must give an
// HException with a file error, never a crash or a huge allocation.
#include <unistd.h>

#include "io/codec.h"
#include "io_test_util.h"

using namespace vision;
using iotest::ErrorOf;
using iotest::Pattern;
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
  EXPECT_EQ(ErrorOf([&] { ReadImage(&image, (dir / "huge.pgm").c_str()); }), err::kFileLimits);
  // Within the limits, but the file cannot hold the pixels.
  iotest::WriteText(dir / "big.ppm", "P6 40000 40000 65535\n" + std::string(100, 'x'));
  EXPECT_EQ(ErrorOf([&] { ReadImage(&image, (dir / "big.ppm").c_str()); }), err::kFileLimits);
  iotest::WriteText(dir / "short.pgm", "P5 30000 30000 255\n" + std::string(100, 'x'));
  EXPECT_EQ(ErrorOf([&] { ReadImage(&image, (dir / "short.pgm").c_str()); }), err::kFileFormat);

  // PNG whose IHDR claims 60000 x 60000 (CRC fixed up so only the size is wrong).
  std::vector<std::uint8_t> png = Encoded("png", 1);
  auto put32 = [](std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24), p[1] = std::uint8_t(v >> 16), p[2] = std::uint8_t(v >> 8),
    p[3] = std::uint8_t(v);
  };
  put32(&png[16], 60000);
  put32(&png[20], 60000);
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = 12; i < 29; ++i) {
    crc ^= png[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  put32(&png[29], ~crc);
  const std::uint32_t code = ErrorOf([&] { io::DecodeImage(png.data(), png.size(), "png"); });
  EXPECT_TRUE(IsFileError(code)) << code;
  put32(&png[16], 70000);  // past the per-side limit: libpng's own limit stops it
  EXPECT_TRUE(IsFileError(ErrorOf([&] { io::DecodeImage(png.data(), png.size(), "png"); })));

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
  EXPECT_EQ(ErrorOf([&] { ReadImage(&image, (dir / "text.png").c_str()); }), err::kFileFormat);
  EXPECT_EQ(ErrorOf([&] { ReadImage(&image, (dir / "empty.png").c_str()); }), err::kFileFormat);
  // A directory of that name is not an image file.
  std::filesystem::create_directories(dir / "folder");
  EXPECT_EQ(ErrorOf([&] { ReadImage(&image, (dir / "folder").c_str()); }), err::kFileRead);
  try {
    ReadImage(&image, (dir / "text.png").c_str());
    ADD_FAILURE() << "a text file read as an image";
  } catch (const HException& e) {
    EXPECT_NE(e.ErrorMessage().Str().find("text.png"), std::string::npos);
    EXPECT_EQ(e.ProcName().Str(), "ReadImage");
  }
}

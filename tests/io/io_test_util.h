// Helpers shared by the image file tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <vision/vision.h>

#include "raises.h"
#include "temp_dir.h"

namespace iotest {

inline void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline void WriteText(const std::string& path, const std::string& text) {
  WriteBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// A byte image with a pattern that tells pixels and channels apart.
inline vision::HObject Pattern(int width, int height, int channels, bool wide = false) {
  std::vector<std::vector<std::uint16_t>> planes(3);
  for (int c = 0; c < 3; ++c) {
    planes[c].resize(std::size_t(width) * height);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        planes[c][std::size_t(y) * width + x] = std::uint16_t(
            wide ? (x * 977 + y * 331 + c * 7919) % 65536 : (x * 7 + y * 13 + c * 50) % 256);
  }
  vision::HObject image;
  if (wide) {
    if (channels == 1) {
      vision::GenImage1(&image, "uint2", width, height, planes[0].data());
    } else {
      vision::GenImage3(&image, "uint2", width, height, planes[0].data(), planes[1].data(),
                        planes[2].data());
    }
    return image;
  }
  std::vector<std::vector<std::uint8_t>> bytes(3);
  for (int c = 0; c < 3; ++c) bytes[c].assign(planes[c].begin(), planes[c].end());
  if (channels == 1) {
    vision::GenImage1(&image, "byte", width, height, bytes[0].data());
  } else {
    vision::GenImage3(&image, "byte", width, height, bytes[0].data(), bytes[1].data(),
                      bytes[2].data());
  }
  return image;
}

// Largest absolute difference of two images of the same layout (fails the test otherwise).
inline double MaxDiff(const vision::HObject& a, const vision::HObject& b) {
  vision::HTuple ca, cb, ta, tb;
  vision::CountChannels(a, &ca);
  vision::CountChannels(b, &cb);
  EXPECT_EQ(ca.L(), cb.L());
  vision::Hlong wa, ha, wb, hb;
  vision::GetImagePointer1(a, &ta, &wa, &ha);
  vision::GetImagePointer1(b, &tb, &wb, &hb);
  EXPECT_EQ(ta.S().Str(), tb.S().Str());
  EXPECT_EQ(wa, wb);
  EXPECT_EQ(ha, hb);
  if (ca.L() != cb.L() || ta.S().Str() != tb.S().Str() || wa != wb || ha != hb) return 1e9;
  double worst = 0;
  for (vision::Hlong y = 0; y < ha; ++y) {
    vision::HTuple rows, cols, va, vb;
    for (vision::Hlong x = 0; x < wa; ++x) rows.Append(y), cols.Append(x);
    vision::GetGrayval(a, rows, cols, &va);
    vision::GetGrayval(b, rows, cols, &vb);
    for (vision::Hlong i = 0; i < va.Length(); ++i)
      worst = std::max(worst, std::abs(va[i].D() - vb[i].D()));
  }
  return worst;
}

// The support library's helpers, as the image file tests name them.
using visiontest::ErrorOf;
using visiontest::Raises;
using visiontest::TempDir;

}  // namespace iotest

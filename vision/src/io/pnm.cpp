// PGM (P5) and PPM (P6), binary, 8 or 16 bits per sample.
#include <cstring>

#include "detail/error.h"
#include "detail/system.h"
#include "io/codec.h"
#include "vision/HErrorCodes.h"

namespace vision::io {

using detail::ImageData;
using detail::PixelType;

namespace {

bool IsSpace(std::uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Reads one unsigned decimal header field, skipping white space and '#' comments before it.
std::int64_t HeaderNumber(const std::uint8_t* d, std::size_t n, std::size_t& pos,
                          const std::string& name, const char* field) {
  for (;;) {
    while (pos < n && IsSpace(d[pos])) ++pos;
    if (pos < n && d[pos] == '#') {
      while (pos < n && d[pos] != '\n' && d[pos] != '\r') ++pos;
      continue;
    }
    break;
  }
  if (pos >= n || d[pos] < '0' || d[pos] > '9') {
    FormatError(name, std::string("bad or missing ") + field + " in the PGM/PPM header");
  }
  std::int64_t value = 0;
  while (pos < n && d[pos] >= '0' && d[pos] <= '9') {
    value = value * 10 + (d[pos] - '0');
    if (value > (std::int64_t{1} << 40)) {
      detail::Fail(err::kFileLimits, kReadProc,
                   "image file '" + name + "': " + field + " in the PGM/PPM header is too large");
    }
    ++pos;
  }
  return value;
}

}  // namespace

ImageData DecodePnm(const std::uint8_t* d, std::size_t n, const std::string& name) {
  if (n < 2 || d[0] != 'P' || (d[1] != '5' && d[1] != '6')) FormatError(name, "not a P5/P6 file");
  const int channels = d[1] == '6' ? 3 : 1;
  std::size_t pos = 2;
  const std::int64_t width = HeaderNumber(d, n, pos, name, "width");
  const std::int64_t height = HeaderNumber(d, n, pos, name, "height");
  const std::int64_t maxval = HeaderNumber(d, n, pos, name, "maximum value");
  if (maxval < 1 || maxval > 65535) {
    FormatError(name, "maximum value " + std::to_string(maxval) + " outside 1..65535");
  }
  if (pos >= n || !IsSpace(d[pos])) FormatError(name, "no white space after the PGM/PPM header");
  ++pos;
  const PixelType type = maxval > 255 ? PixelType::UInt2 : PixelType::Byte;
  CheckDimensions(width, height, channels, type, n - pos, 1.0, name);
  const std::size_t sample = detail::BytesPerPixel(type);
  const std::size_t need =
      std::size_t(width) * std::size_t(height) * std::size_t(channels) * sample;
  if (n - pos < need) {
    FormatError(name, "truncated pixel data (" + std::to_string(n - pos) + " of " +
                          std::to_string(need) + " bytes)");
  }
  ImageData image = NewImage(type, int(width), int(height), channels);
  if (type == PixelType::Byte) {
    Deinterleave(d + pos, image);
  } else {
    // Samples are big-endian in the file.
    std::vector<std::uint8_t> native(need);
    for (std::size_t i = 0; i < need; i += 2) {
      const std::uint16_t v = std::uint16_t(d[pos + i] << 8 | d[pos + i + 1]);
      std::memcpy(&native[i], &v, 2);
    }
    Deinterleave(native.data(), image);
    ApplyInt2Bits(image, detail::Int2Bits());
  }
  return image;
}

std::vector<std::uint8_t> EncodePnm(const ImageData& image, const std::string& name) {
  if (image.type == PixelType::Real || (image.Channels() != 1 && image.Channels() != 3)) {
    detail::Fail(err::kImageType, kWriteProc,
                 "cannot write '" + name +
                     "': PGM/PPM holds 1 or 3 channels of byte or uint2, got " +
                     std::to_string(image.Channels()) + " channel(s) of " +
                     detail::PixelTypeName(image.type));
  }
  const bool wide = image.type == PixelType::UInt2;
  const std::string header = std::string(image.Channels() == 3 ? "P6" : "P5") + "\n" +
                             std::to_string(image.width) + " " + std::to_string(image.height) +
                             "\n" + (wide ? "65535" : "255") + "\n";
  std::vector<std::uint8_t> pixels = Interleave(image);
  if (wide) {
    for (std::size_t i = 0; i + 1 < pixels.size(); i += 2) {
      std::uint16_t v;
      std::memcpy(&v, &pixels[i], 2);
      pixels[i] = std::uint8_t(v >> 8);
      pixels[i + 1] = std::uint8_t(v & 0xff);
    }
  }
  std::vector<std::uint8_t> out(header.begin(), header.end());
  out.insert(out.end(), pixels.begin(), pixels.end());
  return out;
}

}  // namespace vision::io

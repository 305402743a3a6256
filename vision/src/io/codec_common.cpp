#include <algorithm>
#include <cstring>

#include "detail/error.h"
#include "io/codec.h"
#include "vision/HErrorCodes.h"

namespace vision::io {

using detail::ImageData;
using detail::PixelType;

Format Sniff(const std::uint8_t* d, std::size_t n) noexcept {
  static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (n >= 8 && std::memcmp(d, kPng, 8) == 0) return Format::Png;
  if (n >= 4 && ((d[0] == 'I' && d[1] == 'I' && d[2] == 42 && d[3] == 0) ||
                 (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && d[3] == 42))) {
    return Format::Tiff;
  }
  if (n >= 3 && d[0] == 0xff && d[1] == 0xd8 && d[2] == 0xff) return Format::Jpeg;
  if (n >= 2 && d[0] == 'B' && d[1] == 'M') return Format::Bmp;
  if (n >= 2 && d[0] == 'P' && (d[1] == '5' || d[1] == '6')) return Format::Pnm;
  return Format::Unknown;
}

const char* FormatName(Format format) noexcept {
  switch (format) {
    case Format::Png:
      return "PNG";
    case Format::Tiff:
      return "TIFF";
    case Format::Jpeg:
      return "JPEG";
    case Format::Bmp:
      return "BMP";
    case Format::Pnm:
      return "PGM/PPM";
    case Format::Unknown:
      break;
  }
  return "unknown";
}

ImageData DecodeImage(const std::uint8_t* data, std::size_t size, const std::string& name) {
  switch (Sniff(data, size)) {
    case Format::Png:
      return DecodePng(data, size, name);
    case Format::Tiff:
      return DecodeTiff(data, size, name);
    case Format::Jpeg:
      return DecodeJpeg(data, size, name);
    case Format::Bmp:
      return DecodeBmp(data, size, name);
    case Format::Pnm:
      return DecodePnm(data, size, name);
    case Format::Unknown:
      break;
  }
  if (size == 0) FormatError(name, "the file is empty");
  FormatError(name, "not a PNG, TIFF, JPEG, BMP or PGM/PPM (P5/P6) file");
}

void FormatError(const std::string& name, const std::string& what) {
  detail::Fail(err::kFileFormat, kReadProc, "cannot read image file '" + name + "': " + what);
}

int CountJpegScans(const std::uint8_t* d, std::size_t n) noexcept {
  int scans = 0;
  std::size_t i = 2;  // after the start-of-image marker
  while (i + 1 < n) {
    if (d[i] != 0xff) {
      ++i;  // not at a marker: damaged data, look for the next one
      continue;
    }
    const std::uint8_t m = d[i + 1];
    if (m == 0xff) {  // fill byte
      ++i;
      continue;
    }
    i += 2;
    if (m == 0xd9) break;                                              // end of image
    if (m == 0x00 || m == 0x01 || (m >= 0xd0 && m <= 0xd7)) continue;  // no length field
    if (i + 2 > n) break;
    const std::size_t length = std::size_t(d[i]) << 8 | d[i + 1];
    i += length;
    if (m != 0xda) continue;
    ++scans;
    // The scan's entropy-coded data runs to the next marker other than a stuffed zero or a
    // restart marker.
    while (i + 1 < n && !(d[i] == 0xff && d[i + 1] != 0x00 && (d[i + 1] < 0xd0 || d[i + 1] > 0xd7)))
      ++i;
  }
  return scans;
}

void TooManyJpegScans(const std::string& name) {
  detail::Fail(err::kFileLimits, kReadProc,
               "image file '" + name + "' is a progressive JPEG with more than " +
                   std::to_string(kMaxJpegScans) +
                   " scans, more than any encoder writes; refused because decoding it would take "
                   "very long");
}

void CheckDimensions(std::int64_t width, std::int64_t height, int channels, PixelType type,
                     std::size_t available, double max_ratio, const std::string& name) {
  const std::string dims = std::to_string(width) + " x " + std::to_string(height);
  if (width <= 0 || height <= 0)
    FormatError(name, "the header claims an empty image (" + dims + ")");
  if (width > detail::kMaxImageSide || height > detail::kMaxImageSide) {
    detail::Fail(err::kFileLimits, kReadProc,
                 "image file '" + name + "' claims " + dims + " pixels; the limit is " +
                     std::to_string(detail::kMaxImageSide) + " per side");
  }
  const double bytes =
      double(width) * double(height) * double(channels) * double(detail::BytesPerPixel(type));
  if (bytes > double(detail::kMaxImageBytes)) {
    detail::Fail(err::kFileLimits, kReadProc,
                 "image file '" + name + "' claims " + dims + " x " + std::to_string(channels) +
                     " samples, more than the limit of " + std::to_string(detail::kMaxImageBytes) +
                     " bytes per image");
  }
  if (bytes > double(available) * max_ratio + 4096.0) {
    FormatError(name, "the header claims " + dims + " pixels but the file holds only " +
                          std::to_string(available) + " bytes (truncated or corrupt)");
  }
}

ImageData NewImage(PixelType type, int width, int height, int channels) {
  try {
    return detail::AllocateImage(type, width, height, channels, kReadProc);
  } catch (const HException& e) {
    throw HException(e.ErrorCode() == err::kOutOfMemory ? err::kOutOfMemory : err::kFileLimits,
                     kReadProc, e.ErrorMessage().Str());
  }
}

void Deinterleave(const std::uint8_t* src, ImageData& image) {
  const int ch = image.Channels();
  const std::size_t bpp = detail::BytesPerPixel(image.type);
  const std::size_t pixels = std::size_t(image.width) * std::size_t(image.height);
  if (ch == 1) {
    std::memcpy(detail::MutablePlane(image, 0), src, pixels * bpp);
    return;
  }
  for (int c = 0; c < ch; ++c) {
    std::uint8_t* dst = detail::MutablePlane(image, c);
    const std::uint8_t* s = src + std::size_t(c) * bpp;
    const std::size_t stride = std::size_t(ch) * bpp;
    for (std::size_t i = 0; i < pixels; ++i, s += stride, dst += bpp) std::memcpy(dst, s, bpp);
  }
}

std::vector<std::uint8_t> Interleave(const ImageData& image) {
  const int ch = image.Channels();
  const std::size_t bpp = detail::BytesPerPixel(image.type);
  const std::size_t pixels = std::size_t(image.width) * std::size_t(image.height);
  std::vector<std::uint8_t> out(pixels * bpp * std::size_t(ch));
  for (int c = 0; c < ch; ++c) {
    const std::uint8_t* s = image.planes[std::size_t(c)]->data();
    std::uint8_t* d = out.data() + std::size_t(c) * bpp;
    const std::size_t stride = std::size_t(ch) * bpp;
    for (std::size_t i = 0; i < pixels; ++i, d += stride, s += bpp) std::memcpy(d, s, bpp);
  }
  return out;
}

void ApplyInt2Bits(ImageData& image, int bits) {
  if (image.type != PixelType::UInt2 || bits < 1 || bits >= 16) return;
  const auto top = static_cast<std::uint16_t>((1u << bits) - 1u);
  const std::size_t pixels = std::size_t(image.width) * std::size_t(image.height);
  for (int c = 0; c < image.Channels(); ++c) {
    auto* p = reinterpret_cast<std::uint16_t*>(detail::MutablePlane(image, c));
    for (std::size_t i = 0; i < pixels; ++i) p[i] = std::min(p[i], top);
  }
}

}  // namespace vision::io

// Windows bitmaps: 1/4/8-bit palette, 16-bit and 32-bit with bit masks, 24-bit; bottom-up and
// top-down; no RLE. Written as 8-bit grey (grey palette) or 24-bit colour, bottom-up.
#include <algorithm>
#include <array>
#include <cstring>

#include "detail/error.h"
#include "io/codec.h"
#include "vision/HErrorCodes.h"

namespace vision::io {

using detail::ImageData;
using detail::PixelType;

namespace {

std::uint32_t U32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
std::uint16_t U16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }

struct Mask {
  std::uint32_t mask = 0;
  int shift = 0;
  std::uint32_t max = 0;
  explicit Mask(std::uint32_t m) : mask(m) {
    if (m == 0) return;
    while (((m >> shift) & 1u) == 0) ++shift;
    max = m >> shift;
  }
  std::uint8_t Get(std::uint32_t v) const {
    if (max == 0) return 0;
    return std::uint8_t((std::uint64_t((v & mask) >> shift) * 255u + max / 2) / max);
  }
};

void Put32(std::vector<std::uint8_t>& o, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) o.push_back(std::uint8_t(v >> (8 * i)));
}
void Put16(std::vector<std::uint8_t>& o, std::uint16_t v) {
  o.push_back(std::uint8_t(v));
  o.push_back(std::uint8_t(v >> 8));
}

}  // namespace

ImageData DecodeBmp(const std::uint8_t* d, std::size_t n, const std::string& name) {
  if (n < 26 || d[0] != 'B' || d[1] != 'M') FormatError(name, "truncated BMP header");
  const std::uint32_t offset = U32(d + 10);
  const std::uint32_t hsize = U32(d + 14);
  std::int64_t width, height;
  int bpp;
  std::uint32_t compression = 0, colors_used = 0;
  std::size_t palette_pos, palette_entry;
  if (hsize == 12) {
    width = U16(d + 18);
    height = std::int16_t(U16(d + 20));
    bpp = U16(d + 24);
    palette_pos = 14 + 12;
    palette_entry = 3;
  } else if (hsize >= 40 && hsize <= 1024) {
    if (n < 14 + std::size_t(hsize)) FormatError(name, "truncated BMP header");
    width = std::int32_t(U32(d + 18));
    height = std::int32_t(U32(d + 22));
    bpp = U16(d + 28);
    compression = U32(d + 30);
    colors_used = U32(d + 46);
    palette_pos = 14 + std::size_t(hsize);
    palette_entry = 4;
  } else {
    FormatError(name, "unsupported BMP header size " + std::to_string(hsize));
  }
  const bool top_down = height < 0;
  if (top_down) height = -height;

  // Bit masks: inside a V2+ header, or right after a 40-byte header for BI_BITFIELDS.
  std::uint32_t masks[3] = {0, 0, 0};
  if (compression == 3 || compression == 6) {
    if (bpp != 16 && bpp != 32)
      FormatError(name, "bit masks with " + std::to_string(bpp) + " bits");
    // Inside a header of 52 bytes or more, else right after the header.
    const std::size_t pos = hsize >= 52 ? 54 : 14 + std::size_t(hsize);
    if (n < pos + 12) FormatError(name, "truncated BMP bit masks");
    for (int i = 0; i < 3; ++i) masks[i] = U32(d + pos + 4 * std::size_t(i));
    if (hsize < 52) palette_pos += 12;
  } else if (compression != 0) {
    FormatError(name, "compressed BMP (method " + std::to_string(compression) +
                          ") is not supported; only uncompressed bitmaps are");
  } else if (bpp == 16) {
    masks[0] = 0x7c00, masks[1] = 0x03e0, masks[2] = 0x001f;
  } else if (bpp == 32) {
    masks[0] = 0x00ff0000, masks[1] = 0x0000ff00, masks[2] = 0x000000ff;
  }
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) {
    FormatError(name, "unsupported BMP depth of " + std::to_string(bpp) + " bits");
  }

  // Palette.
  std::array<std::array<std::uint8_t, 3>, 256> palette{};
  bool grey = bpp <= 8;
  if (bpp <= 8) {
    // No more entries than the depth can index, and never more than the palette holds.
    std::size_t entries = colors_used ? colors_used : (std::size_t(1) << bpp);
    entries = std::min({entries, std::size_t(1) << bpp, palette.size()});
    // Some writers store fewer entries than the header implies; the pixel data offset tells.
    if (offset > palette_pos && (offset - palette_pos) / palette_entry < entries)
      entries = (offset - palette_pos) / palette_entry;
    if (palette_pos + entries * palette_entry > n) FormatError(name, "truncated BMP palette");
    for (std::size_t i = 0; i < entries; ++i) {
      const std::uint8_t* p = d + palette_pos + i * palette_entry;
      palette[i] = {p[2], p[1], p[0]};
      if (p[0] != p[1] || p[1] != p[2]) grey = false;
    }
  }
  const int channels = grey ? 1 : 3;
  if (width <= 0 || height <= 0) FormatError(name, "the header claims an empty image");
  const std::size_t stride = ((std::size_t(width) * std::size_t(bpp) + 31) / 32) * 4;
  if (offset > n) FormatError(name, "pixel data offset lies past the end of the file");
  CheckDimensions(width, height, channels, PixelType::Byte, n - offset, 8.0 * 4, name);
  if ((n - offset) / stride < std::size_t(height)) {
    FormatError(name, "truncated pixel data (" + std::to_string(n - offset) + " of " +
                          std::to_string(stride * std::size_t(height)) + " bytes)");
  }
  ImageData image = NewImage(PixelType::Byte, int(width), int(height), channels);
  std::uint8_t* planes[3] = {detail::MutablePlane(image, 0), nullptr, nullptr};
  if (channels == 3)
    planes[1] = detail::MutablePlane(image, 1), planes[2] = detail::MutablePlane(image, 2);
  const Mask mr(masks[0]), mg(masks[1]), mb(masks[2]);
  for (std::int64_t y = 0; y < height; ++y) {
    const std::int64_t file_row = top_down ? y : height - 1 - y;
    const std::uint8_t* row = d + offset + std::size_t(file_row) * stride;
    const std::size_t o = std::size_t(y) * std::size_t(width);
    for (std::int64_t x = 0; x < width; ++x) {
      std::uint8_t r, g, b;
      if (bpp <= 8) {
        const std::size_t bit = std::size_t(x) * std::size_t(bpp);
        const unsigned idx = (row[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1u);
        r = palette[idx][0], g = palette[idx][1], b = palette[idx][2];
      } else if (bpp == 24) {
        const std::uint8_t* p = row + 3 * x;
        r = p[2], g = p[1], b = p[0];
      } else {
        const std::uint32_t v = bpp == 16 ? U16(row + 2 * x) : U32(row + 4 * x);
        r = mr.Get(v), g = mg.Get(v), b = mb.Get(v);
      }
      if (channels == 1) {
        planes[0][o + std::size_t(x)] = r;
      } else {
        planes[0][o + std::size_t(x)] = r;
        planes[1][o + std::size_t(x)] = g;
        planes[2][o + std::size_t(x)] = b;
      }
    }
  }
  return image;
}

std::vector<std::uint8_t> EncodeBmp(const ImageData& image, const std::string& name) {
  if (image.type != PixelType::Byte || (image.Channels() != 1 && image.Channels() != 3)) {
    detail::Fail(err::kImageType, kWriteProc,
                 "cannot write '" + name + "': BMP holds 1 or 3 channels of byte, got " +
                     std::to_string(image.Channels()) + " channel(s) of " +
                     detail::PixelTypeName(image.type));
  }
  const bool grey = image.Channels() == 1;
  const std::size_t w = std::size_t(image.width), h = std::size_t(image.height);
  const std::size_t stride = ((w * (grey ? 8 : 24) + 31) / 32) * 4;
  const std::size_t palette = grey ? 256 * 4 : 0;
  const std::size_t offset = 14 + 40 + palette;
  const std::size_t total = offset + stride * h;
  if (total > 0xffffffffu) {
    detail::Fail(err::kImageSize, kWriteProc, "image too large for a BMP file: '" + name + "'");
  }
  std::vector<std::uint8_t> o;
  o.reserve(total);
  o.push_back('B'), o.push_back('M');
  Put32(o, std::uint32_t(total));
  Put32(o, 0);
  Put32(o, std::uint32_t(offset));
  Put32(o, 40);
  Put32(o, std::uint32_t(w));
  Put32(o, std::uint32_t(h));  // positive: bottom-up
  Put16(o, 1);
  Put16(o, grey ? 8 : 24);
  Put32(o, 0);  // BI_RGB
  Put32(o, std::uint32_t(stride * h));
  Put32(o, 2835), Put32(o, 2835);  // 72 dpi
  Put32(o, grey ? 256 : 0), Put32(o, 0);
  if (grey) {
    for (int i = 0; i < 256; ++i) {
      o.push_back(std::uint8_t(i)), o.push_back(std::uint8_t(i)), o.push_back(std::uint8_t(i));
      o.push_back(0);
    }
  }
  for (std::size_t y = h; y-- > 0;) {
    const std::size_t start = o.size();
    for (std::size_t x = 0; x < w; ++x) {
      const std::size_t i = y * w + x;
      if (grey) {
        o.push_back((*image.planes[0])[i]);
      } else {
        o.push_back((*image.planes[2])[i]);
        o.push_back((*image.planes[1])[i]);
        o.push_back((*image.planes[0])[i]);
      }
    }
    o.resize(start + stride, 0);
  }
  return o;
}

}  // namespace vision::io

// TIFF through libtiff, from and to memory. Grey (8/16-bit, 32-bit float) and RGB (8/16-bit) are
// read sample-exact from strips or tiles; every other layout libtiff understands (palette,
// bilevel, YCbCr, CMYK...) goes through its RGBA reader and gives 8-bit RGB (8-bit grey for a
// palette of greys).
#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "detail/error.h"
#include "detail/system.h"
#include "io/codec.h"
#include "vision/HErrorCodes.h"

namespace vision::io {

using detail::ImageData;
using detail::PixelType;

namespace {

// LZW and deflate reach roughly 1000-3000:1 on constant data; a file that would have to do
// better than this is refused before decoding.
constexpr double kTiffMaxRatio = 4096.0;
// The largest single buffer libtiff is allowed to allocate for us (strips, tiles).
constexpr std::int64_t kMaxTileBytes = std::int64_t{256} << 20;

struct Stream {
  const std::uint8_t* in = nullptr;          // reading
  std::vector<std::uint8_t>* out = nullptr;  // writing
  std::uint64_t size = 0;
  std::uint64_t pos = 0;
  char msg[512] = {0};
};

tmsize_t ReadProc(thandle_t h, void* buf, tmsize_t count) {
  auto* s = static_cast<Stream*>(h);
  if (count < 0 || s->in == nullptr) return -1;
  const std::uint64_t left = s->pos < s->size ? s->size - s->pos : 0;
  const std::uint64_t n = std::min<std::uint64_t>(left, std::uint64_t(count));
  if (n) std::memcpy(buf, s->in + s->pos, std::size_t(n));
  s->pos += n;
  return tmsize_t(n);
}

tmsize_t WriteProc(thandle_t h, void* buf, tmsize_t count) {
  auto* s = static_cast<Stream*>(h);
  if (count < 0 || s->out == nullptr) return -1;
  try {
    const std::uint64_t end = s->pos + std::uint64_t(count);
    if (end > s->out->size()) s->out->resize(std::size_t(end));
    std::memcpy(s->out->data() + s->pos, buf, std::size_t(count));
    s->pos = end;
    s->size = std::max<std::uint64_t>(s->size, end);
  } catch (...) {
    return -1;
  }
  return count;
}

toff_t SeekProc(thandle_t h, toff_t off, int whence) {
  auto* s = static_cast<Stream*>(h);
  std::uint64_t base = whence == SEEK_SET ? 0 : (whence == SEEK_CUR ? s->pos : s->size);
  const std::uint64_t target = base + off;
  if (s->in != nullptr && target > s->size) return toff_t(-1);
  if (target > (std::uint64_t{1} << 40)) return toff_t(-1);
  s->pos = target;
  return s->pos;
}

int CloseProc(thandle_t) { return 0; }
toff_t SizeProc(thandle_t h) { return static_cast<Stream*>(h)->size; }
int MapProc(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc(thandle_t, void*, toff_t) {}

int OnError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  auto* s = static_cast<Stream*>(user);
  if (s->msg[0] == 0) {  // keep the first error: later ones are usually consequences
    char text[400];
    std::vsnprintf(text, sizeof text, fmt, ap);
    std::snprintf(s->msg, sizeof s->msg, "%s%s%s", module ? module : "", module ? ": " : "", text);
  }
  return 1;
}

int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TiffPtr Open(Stream& s, const char* mode, const std::string& name) {
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts, tmsize_t{kMaxTileBytes});
  TIFFOpenOptionsSetErrorHandlerExtR(opts, OnError, &s);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, OnWarning, &s);
  TIFF* t = TIFFClientOpenExt(name.c_str(), mode, &s, ReadProc, WriteProc, SeekProc, CloseProc,
                              SizeProc, MapProc, UnmapProc, opts);
  TIFFOpenOptionsFree(opts);
  return TiffPtr(t);
}

[[noreturn]] void TiffFail(const Stream& s, const std::string& name, const char* what) {
  FormatError(name, std::string(what) + (s.msg[0] ? std::string(": ") + s.msg : std::string()));
}

// Reads the whole image as interleaved samples (contiguous planes) or plane after plane
// (separate planes) into buf: sample_bytes per sample, spp samples per pixel.
void ReadSamples(TIFF* t, Stream& s, std::uint32_t w, std::uint32_t h, int spp, int sample_bytes,
                 bool separate, std::uint8_t* buf, const std::string& name) {
  const std::size_t px = std::size_t(sample_bytes) * (separate ? 1 : std::size_t(spp));
  const int planes = separate ? spp : 1;
  const std::size_t plane_bytes = std::size_t(w) * h * px;
  if (TIFFIsTiled(t)) {
    std::uint32_t tw = 0, th = 0;
    TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(t, TIFFTAG_TILELENGTH, &th);
    const tmsize_t tile_size = TIFFTileSize(t);
    if (tw == 0 || th == 0 || tile_size <= 0 ||
        std::uint64_t(tw) * th * px > std::uint64_t(tile_size))
      TiffFail(s, name, "bad tile layout");
    // Tiles are not bounded by the image size: a header may claim a gigantic one. Refuse tiles
    // larger than libtiff itself would decode or than the file's data could plausibly fill.
    if (tw > detail::kMaxImageSide || th > detail::kMaxImageSide ||
        double(tile_size) > double(kMaxTileBytes) ||
        double(tile_size) > double(s.size) * kTiffMaxRatio + 65536.0) {
      FormatError(name, "tile of " + std::to_string(tw) + " x " + std::to_string(th) +
                            " pixels is implausibly large for this file");
    }
    std::vector<std::uint8_t> tile(static_cast<std::size_t>(tile_size));
    for (int p = 0; p < planes; ++p) {
      for (std::uint32_t y = 0; y < h; y += th) {
        for (std::uint32_t x = 0; x < w; x += tw) {
          if (TIFFReadTile(t, tile.data(), x, y, 0, std::uint16_t(p)) < 0)
            TiffFail(s, name, "cannot read a tile");
          const std::uint32_t rows = std::min(th, h - y), cols = std::min(tw, w - x);
          for (std::uint32_t r = 0; r < rows; ++r) {
            std::memcpy(buf + p * plane_bytes + ((std::size_t(y) + r) * w + x) * px,
                        tile.data() + std::size_t(r) * tw * px, cols * px);
          }
        }
      }
    }
    return;
  }
  const tmsize_t line = TIFFScanlineSize(t);
  if (line <= 0 || std::uint64_t(line) < std::uint64_t(w) * px)
    TiffFail(s, name, "bad strip layout");
  std::vector<std::uint8_t> row(static_cast<std::size_t>(line));
  for (int p = 0; p < planes; ++p) {
    for (std::uint32_t y = 0; y < h; ++y) {
      if (TIFFReadScanline(t, row.data(), y, std::uint16_t(p)) < 0)
        TiffFail(s, name, "cannot read the pixel data");
      std::memcpy(buf + p * plane_bytes + std::size_t(y) * w * px, row.data(), std::size_t(w) * px);
    }
  }
}

}  // namespace

ImageData DecodeTiff(const std::uint8_t* data, std::size_t size, const std::string& name) {
  Stream s;
  s.in = data;
  s.size = size;
  TiffPtr t = Open(s, "rm", name);
  if (!t) TiffFail(s, name, "not a readable TIFF file");
  std::uint32_t w = 0, h = 0;
  std::uint16_t bps = 1, spp = 1, photometric = 0, planar = PLANARCONFIG_CONTIG,
                format = SAMPLEFORMAT_UINT;
  if (!TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w) ||
      !TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h))
    TiffFail(s, name, "no image size in the TIFF header");
  TIFFGetFieldDefaulted(t.get(), TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(t.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(t.get(), TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(t.get(), TIFFTAG_SAMPLEFORMAT, &format);
  if (!TIFFGetField(t.get(), TIFFTAG_PHOTOMETRIC, &photometric))
    photometric = PHOTOMETRIC_MINISBLACK;
  const bool separate = planar == PLANARCONFIG_SEPARATE;

  const bool grey =
      spp >= 1 && (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE);
  const bool rgb = spp >= 3 && photometric == PHOTOMETRIC_RGB;
  const bool ints = format == SAMPLEFORMAT_UINT && (bps == 8 || bps == 16);
  const bool floats = format == SAMPLEFORMAT_IEEEFP && bps == 32;
  if ((grey && (ints || floats)) || (rgb && ints)) {
    const PixelType type =
        bps == 8 ? PixelType::Byte : (bps == 16 ? PixelType::UInt2 : PixelType::Real);
    const int channels = rgb ? 3 : 1;
    const int sample = bps / 8;
    CheckDimensions(w, h, spp, type, size, kTiffMaxRatio, name);
    std::vector<std::uint8_t> buf(std::size_t(w) * h * spp * std::size_t(sample));
    ReadSamples(t.get(), s, w, h, spp, sample, separate, buf.data(), name);
    ImageData image = NewImage(type, int(w), int(h), channels);
    const std::size_t pixels = std::size_t(w) * h;
    for (int c = 0; c < channels; ++c) {
      std::uint8_t* dst = detail::MutablePlane(image, c);
      if (separate) {
        std::memcpy(dst, buf.data() + std::size_t(c) * pixels * sample, pixels * sample);
      } else {
        const std::uint8_t* src = buf.data() + std::size_t(c) * sample;
        const std::size_t stride = std::size_t(spp) * sample;
        for (std::size_t i = 0; i < pixels; ++i)
          std::memcpy(dst + i * sample, src + i * stride, sample);
      }
    }
    if (photometric == PHOTOMETRIC_MINISWHITE && !floats) {
      for (std::size_t i = 0; i < pixels; ++i) {
        if (bps == 8) {
          detail::MutablePlane(image, 0)[i] = std::uint8_t(255 - detail::MutablePlane(image, 0)[i]);
        } else {
          auto* p = reinterpret_cast<std::uint16_t*>(detail::MutablePlane(image, 0));
          p[i] = std::uint16_t(65535 - p[i]);
        }
      }
    }
    if (type == PixelType::UInt2) ApplyInt2Bits(image, detail::Int2Bits());
    return image;
  }

  // Everything else through libtiff's RGBA conversion.
  char why[1024] = {0};
  if (!TIFFRGBAImageOK(t.get(), why)) {
    FormatError(name, std::string("unsupported TIFF layout: ") + why);
  }
  // A palette of greys gives a grey image.
  bool grey_palette = false;
  std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (photometric == PHOTOMETRIC_PALETTE && bps >= 1 && bps <= 16 &&
      TIFFGetField(t.get(), TIFFTAG_COLORMAP, &red, &green, &blue) && red && green && blue) {
    grey_palette = true;
    for (std::size_t i = 0; i < (std::size_t(1) << bps) && grey_palette; ++i)
      grey_palette = red[i] == green[i] && green[i] == blue[i];
  }
  CheckDimensions(w, h, 4, PixelType::Byte, size, kTiffMaxRatio, name);
  std::vector<std::uint32_t> raster(std::size_t(w) * h);
  if (!TIFFReadRGBAImageOriented(t.get(), w, h, raster.data(), ORIENTATION_TOPLEFT, 0))
    TiffFail(s, name, "cannot decode the TIFF image");
  const int channels = grey_palette ? 1 : 3;
  ImageData image = NewImage(PixelType::Byte, int(w), int(h), channels);
  for (int c = 0; c < channels; ++c) {
    std::uint8_t* dst = detail::MutablePlane(image, c);
    for (std::size_t i = 0; i < raster.size(); ++i) dst[i] = std::uint8_t(raster[i] >> (8 * c));
  }
  return image;
}

std::vector<std::uint8_t> EncodeTiff(const ImageData& image, const std::string& name) {
  if (image.Channels() != 1 && image.Channels() != 3) {
    detail::Fail(err::kImageType, kWriteProc,
                 "cannot write '" + name + "': TIFF is written with 1 or 3 channels, got " +
                     std::to_string(image.Channels()));
  }
  std::vector<std::uint8_t> out;
  Stream s;
  s.out = &out;
  TiffPtr t = Open(s, "w", name);
  if (!t) detail::Fail(err::kFileWrite, kWriteProc, "cannot create TIFF '" + name + "': " + s.msg);
  const int ch = image.Channels();
  const int sample = int(detail::BytesPerPixel(image.type));
  TIFFSetField(t.get(), TIFFTAG_IMAGEWIDTH, std::uint32_t(image.width));
  TIFFSetField(t.get(), TIFFTAG_IMAGELENGTH, std::uint32_t(image.height));
  TIFFSetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(ch));
  TIFFSetField(t.get(), TIFFTAG_BITSPERSAMPLE, std::uint16_t(sample * 8));
  TIFFSetField(t.get(), TIFFTAG_SAMPLEFORMAT,
               image.type == PixelType::Real ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
  TIFFSetField(t.get(), TIFFTAG_PHOTOMETRIC, ch == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t.get(), TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(t.get(), TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(t.get(), TIFFTAG_PREDICTOR,
               image.type == PixelType::Real ? PREDICTOR_FLOATINGPOINT : PREDICTOR_HORIZONTAL);
  TIFFSetField(t.get(), TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t.get(), 0));
  const std::vector<std::uint8_t> pixels = Interleave(image);
  const std::size_t row_bytes = std::size_t(image.width) * ch * sample;
  std::vector<std::uint8_t> row(row_bytes);
  for (int y = 0; y < image.height; ++y) {
    std::memcpy(row.data(), pixels.data() + std::size_t(y) * row_bytes, row_bytes);
    if (TIFFWriteScanline(t.get(), row.data(), std::uint32_t(y), 0) < 0)
      detail::Fail(err::kFileWrite, kWriteProc, "cannot encode TIFF '" + name + "': " + s.msg);
  }
  if (!TIFFWriteDirectory(t.get()))
    detail::Fail(err::kFileWrite, kWriteProc, "cannot encode TIFF '" + name + "': " + s.msg);
  t.reset();
  out.resize(std::size_t(s.size));
  return out;
}

}  // namespace vision::io

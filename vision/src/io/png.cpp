// PNG through libpng. libpng reports errors by longjmp; the functions that call setjmp therefore
// hold only plain data (PngJob) and raw buffers, never a C++ object with a destructor, and the
// C++ side turns the recorded failure into an HException after libpng has been torn down.
#include <png.h>

#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
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

// Deflate cannot compress better than about 1032:1.
constexpr double kPngMaxRatio = 1100.0;

struct PngJob {
  // Input (decoding) or output (encoding) bytes.
  const std::uint8_t* in;
  std::size_t in_size;
  std::size_t in_pos;
  std::uint8_t* out;
  std::size_t out_size;
  std::size_t out_cap;
  // Image.
  std::uint32_t width;
  std::uint32_t height;
  int channels;
  int bit_depth;
  int int2_bits;
  std::uint8_t* pixels;  // interleaved, malloc'd
  png_bytep* rows;       // malloc'd
  // A palette of greys: the pixels are read as indices and mapped through grey[].
  int grey_palette;
  std::uint8_t grey[256];
  // Failure.
  int limits;      // the header failed the size check (message in msg)
  int user_limit;  // libpng refused the header for exceeding our per-side limit
  char msg[256];
};

void OnError(png_structp png, png_const_charp message) {
  auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
  std::snprintf(job->msg, sizeof job->msg, "%s", message ? message : "libpng error");
  png_longjmp(png, 1);
}

// libpng reports a side past png_set_user_limits as a warning, followed by the error "Invalid
// IHDR data"; the warning tells the too-large image from a damaged header.
void OnWarning(png_structp png, png_const_charp message) {
  if (message != nullptr && std::strstr(message, "exceeds user limit") != nullptr) {
    static_cast<PngJob*>(png_get_error_ptr(png))->user_limit = 1;
  }
}

void ReadBytes(png_structp png, png_bytep dst, png_size_t count) {
  auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
  if (count > job->in_size - job->in_pos) png_error(png, "unexpected end of file (truncated)");
  std::memcpy(dst, job->in + job->in_pos, count);
  job->in_pos += count;
}

void WriteBytes(png_structp png, png_bytep src, png_size_t count) {
  auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
  if (job->out_size + count > job->out_cap) {
    std::size_t cap = job->out_cap ? job->out_cap : 4096;
    while (cap < job->out_size + count) cap *= 2;
    auto* grown = static_cast<std::uint8_t*>(std::realloc(job->out, cap));
    if (grown == nullptr) png_error(png, "out of memory");
    job->out = grown;
    job->out_cap = cap;
  }
  std::memcpy(job->out + job->out_size, src, count);
  job->out_size += count;
}

void FlushBytes(png_structp) {}

// Decodes job->in into job->pixels. Returns false with job->msg set on failure. Plain C inside.
bool DecodeC(PngJob* job) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, job, OnError, OnWarning);
  if (png == nullptr) {
    std::snprintf(job->msg, sizeof job->msg, "cannot create the PNG decoder");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    std::snprintf(job->msg, sizeof job->msg, "cannot create the PNG decoder");
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::free(job->rows);
    std::free(job->pixels);
    job->rows = nullptr;
    job->pixels = nullptr;
    return false;
  }
  png_set_user_limits(png, std::uint32_t(detail::kMaxImageSide),
                      std::uint32_t(detail::kMaxImageSide));
  png_set_chunk_cache_max(png, 1000);
  png_set_chunk_malloc_max(png, 8u << 20);
  png_set_read_fn(png, job, ReadBytes);
  png_read_info(png, info);

  png_uint_32 w = 0, h = 0;
  int depth = 0, color = 0, interlace = 0;
  png_get_IHDR(png, info, &w, &h, &depth, &color, &interlace, nullptr, nullptr);
  if (color == PNG_COLOR_TYPE_PALETTE) {
    // A palette of greys gives a grey image: indices unpacked to bytes, mapped after reading.
    // Indices past the palette's end read as black, as libpng's own expansion does.
    png_colorp palette = nullptr;
    int entries = 0;
    if (png_get_PLTE(png, info, &palette, &entries) && palette != nullptr && entries > 0) {
      job->grey_palette = 1;
      for (int i = 0; i < entries && i < 256; ++i) {
        const png_color& e = palette[i];
        if (e.red != e.green || e.green != e.blue) job->grey_palette = 0;
        job->grey[i] = e.red;
      }
    }
    if (job->grey_palette) {
      png_set_packing(png);
    } else {
      png_set_palette_to_rgb(png);
    }
  }
  if (color == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  // Transparency would only add an alpha channel, which is dropped.
  if (png_get_valid(png, info, PNG_INFO_tRNS) && !job->grey_palette) png_set_tRNS_to_alpha(png);
  png_set_strip_alpha(png);
  if (depth == 16) {
    png_color_8p sig = nullptr;
    if (job->int2_bits > 0 && png_get_sBIT(png, info, &sig) && sig != nullptr) {
      png_set_shift(png, sig);
    }
    if (std::endian::native == std::endian::little) png_set_swap(png);  // to host order
  }
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const int channels = png_get_channels(png, info);
  const int out_depth = png_get_bit_depth(png, info);
  job->width = w;
  job->height = h;
  job->channels = channels;
  job->bit_depth = out_depth;
  if ((channels != 1 && channels != 3) || (out_depth != 8 && out_depth != 16)) {
    std::snprintf(job->msg, sizeof job->msg, "unsupported PNG layout (%d channels, %d bits)",
                  channels, out_depth);
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  // Size check before any allocation: within the library's limits and plausible for the data.
  const double bytes = double(w) * double(h) * channels * (out_depth / 8);
  if (w == 0 || h == 0 || bytes > double(detail::kMaxImageBytes) ||
      bytes > double(job->in_size) * kPngMaxRatio + 4096.0) {
    job->limits = bytes > double(detail::kMaxImageBytes) ? 1 : 2;
    std::snprintf(job->msg, sizeof job->msg, "%u x %u pixels", unsigned(w), unsigned(h));
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  const std::size_t row_bytes = png_get_rowbytes(png, info);
  job->pixels = static_cast<std::uint8_t*>(std::malloc(row_bytes * h));
  job->rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * h));
  if (job->pixels == nullptr || job->rows == nullptr) png_error(png, "out of memory");
  for (png_uint_32 y = 0; y < h; ++y) job->rows[y] = job->pixels + std::size_t(y) * row_bytes;
  png_read_image(png, job->rows);
  png_read_end(png, nullptr);
  if (job->grey_palette) {
    for (std::size_t i = 0; i < row_bytes * h; ++i) job->pixels[i] = job->grey[job->pixels[i]];
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::free(job->rows);
  job->rows = nullptr;
  return true;
}

// Encodes job->pixels into job->out. Plain C inside.
bool EncodeC(PngJob* job) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, job, OnError, OnWarning);
  if (png == nullptr) {
    std::snprintf(job->msg, sizeof job->msg, "cannot create the PNG encoder");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    std::snprintf(job->msg, sizeof job->msg, "cannot create the PNG encoder");
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::free(job->rows);
    job->rows = nullptr;
    return false;
  }
  png_set_write_fn(png, job, WriteBytes, FlushBytes);
  png_set_IHDR(png, info, job->width, job->height, job->bit_depth,
               job->channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 6);
  png_write_info(png, info);
  if (job->bit_depth == 16 && std::endian::native == std::endian::little) png_set_swap(png);
  const std::size_t row_bytes = std::size_t(job->width) * job->channels * (job->bit_depth / 8);
  job->rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * job->height));
  if (job->rows == nullptr) png_error(png, "out of memory");
  for (std::uint32_t y = 0; y < job->height; ++y) job->rows[y] = job->pixels + y * row_bytes;
  png_write_image(png, job->rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::free(job->rows);
  job->rows = nullptr;
  return true;
}

}  // namespace

ImageData DecodePng(const std::uint8_t* data, std::size_t size, const std::string& name) {
  PngJob job{};
  job.in = data;
  job.in_size = size;
  job.int2_bits = detail::Int2Bits();
  if (!DecodeC(&job)) {
    if (job.limits) {
      CheckDimensions(job.width, job.height, job.channels,
                      job.bit_depth == 16 ? PixelType::UInt2 : PixelType::Byte, size, kPngMaxRatio,
                      name);
    }
    if (std::strstr(job.msg, "exceeds user limit") != nullptr) job.user_limit = 1;
    if (job.user_limit && size >= 24) {
      // The header (checked by libpng) claims more than the per-side limit.
      auto be32 = [&](std::size_t at) {
        return std::int64_t(data[at]) << 24 | std::int64_t(data[at + 1]) << 16 |
               std::int64_t(data[at + 2]) << 8 | std::int64_t(data[at + 3]);
      };
      CheckDimensions(be32(16), be32(20), 1, PixelType::Byte, size, kPngMaxRatio, name);
    }
    detail::Fail(job.user_limit ? err::kFileLimits : err::kFileFormat, kReadProc,
                 "cannot read PNG file '" + name + "': " + job.msg);
  }
  // From here on only C++: the pixels are owned by a unique_ptr.
  std::unique_ptr<std::uint8_t, decltype(&std::free)> pixels(job.pixels, &std::free);
  const PixelType type = job.bit_depth == 16 ? PixelType::UInt2 : PixelType::Byte;
  ImageData image = NewImage(type, int(job.width), int(job.height), job.channels);
  Deinterleave(pixels.get(), image);
  if (type == PixelType::UInt2) ApplyInt2Bits(image, job.int2_bits);
  return image;
}

std::vector<std::uint8_t> EncodePng(const ImageData& image, const std::string& name) {
  if (image.type == PixelType::Real || (image.Channels() != 1 && image.Channels() != 3)) {
    detail::Fail(err::kImageType, kWriteProc,
                 "cannot write '" + name + "': PNG holds 1 or 3 channels of byte or uint2, got " +
                     std::to_string(image.Channels()) + " channel(s) of " +
                     detail::PixelTypeName(image.type));
  }
  std::vector<std::uint8_t> pixels = Interleave(image);
  PngJob job{};
  job.width = std::uint32_t(image.width);
  job.height = std::uint32_t(image.height);
  job.channels = image.Channels();
  job.bit_depth = image.type == PixelType::UInt2 ? 16 : 8;
  job.pixels = pixels.data();
  const bool ok = EncodeC(&job);
  std::unique_ptr<std::uint8_t, decltype(&std::free)> out(job.out, &std::free);
  if (!ok) {
    detail::Fail(err::kFileWrite, kWriteProc, "cannot encode PNG '" + name + "': " + job.msg);
  }
  return std::vector<std::uint8_t>(out.get(), out.get() + job.out_size);
}

}  // namespace vision::io

// JPEG through libjpeg(-turbo). Like libpng it reports errors by longjmp, so the functions that
// call setjmp hold only plain data (JpegJob) and malloc'd buffers.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "detail/error.h"
#include "io/codec.h"
#include "vision/HErrorCodes.h"

namespace vision::io {

using detail::ImageData;
using detail::PixelType;

namespace {

// No baseline or progressive stream spends less than one bit per 8x8 block and component; with
// 4:2:0 subsampling that is about 1024 output bytes per input byte.
constexpr double kJpegMaxRatio = 1100.0;

struct JpegJob {
  jpeg_error_mgr err;  // first member: the library hands back a pointer to it
  std::jmp_buf jump;
  const std::uint8_t* in;
  std::size_t in_size;
  std::uint8_t* out;  // encoded bytes (malloc'd by libjpeg's memory destination)
  unsigned long out_size;
  std::uint32_t width;
  std::uint32_t height;
  int channels;  // of the decoded image: 1 or 3
  int cmyk;      // the file is CMYK/YCCK (converted to RGB here)
  int quality;
  std::uint8_t* pixels;  // interleaved, malloc'd when decoding
  int limits;
  int too_many_scans;
  jpeg_progress_mgr progress;
  char msg[JMSG_LENGTH_MAX + 64];
};

void OnErrorExit(j_common_ptr cinfo) {
  auto* job = reinterpret_cast<JpegJob*>(cinfo->err);
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  std::snprintf(job->msg, sizeof job->msg, "%s", text);
  std::longjmp(job->jump, 1);
}

// libjpeg reports damaged entropy-coded data only as warnings and goes on with grey blocks; here
// those are errors, like a truncated file. Warnings about metadata (an unknown JFIF revision or
// Adobe transform, a bad ICC profile, odd scan parameters of a baseline file) leave the pixels
// intact and are tolerated.
void OnMessage(j_common_ptr cinfo, int level) {
  if (level != -1) return;
  switch (cinfo->err->msg_code) {
    case JWRN_ADOBE_XFORM:
    case JWRN_JFIF_MAJOR:
    case JWRN_BOGUS_ICC:
    case JWRN_NOT_SEQUENTIAL:
      return;
    default:
      break;
  }
  auto* job = reinterpret_cast<JpegJob*>(cinfo->err);
  if (cinfo->err->msg_code == JWRN_JPEG_EOF) {
    std::snprintf(job->msg, sizeof job->msg, "unexpected end of file (truncated)");
  } else {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    std::snprintf(job->msg, sizeof job->msg, "%s", text);
  }
  std::longjmp(job->jump, 1);
}

// Called before every row of coefficients a progressive file's scans deliver: every scan costs a
// pass over the whole image, so a small file repeating scans could keep the decoder busy for
// hours. Files with more scans than any encoder writes are refused.
void OnProgress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  const int scans = reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number;
  if (scans > kMaxJpegScans) {
    auto* job = reinterpret_cast<JpegJob*>(cinfo->err);
    job->too_many_scans = 1;
    std::snprintf(job->msg, sizeof job->msg, "more than %d scans", kMaxJpegScans);
    std::longjmp(job->jump, 1);
  }
}

bool DecodeC(JpegJob* job) {
  jpeg_decompress_struct cinfo;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&job->err);
  job->err.error_exit = OnErrorExit;
  job->err.emit_message = OnMessage;
  if (setjmp(job->jump)) {
    jpeg_destroy_decompress(&cinfo);
    std::free(job->pixels);
    job->pixels = nullptr;
    return false;
  }
  jpeg_create_decompress(&cinfo);
  cinfo.mem->max_memory_to_use = 512L << 20;
  job->progress.progress_monitor = OnProgress;
  cinfo.progress = &job->progress;
  jpeg_mem_src(&cinfo, job->in, static_cast<unsigned long>(job->in_size));
  jpeg_read_header(&cinfo, TRUE);
  job->width = cinfo.image_width;
  job->height = cinfo.image_height;
  if (cinfo.jpeg_color_space == JCS_GRAYSCALE) {
    cinfo.out_color_space = JCS_GRAYSCALE;
    job->channels = 1;
  } else if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) {
    cinfo.out_color_space = JCS_CMYK;
    job->channels = 3;
    job->cmyk = 1;
  } else {
    cinfo.out_color_space = JCS_RGB;
    job->channels = 3;
  }
  const double bytes = double(job->width) * double(job->height) * job->channels;
  if (job->width == 0 || job->height == 0 || job->width > detail::kMaxImageSide ||
      job->height > detail::kMaxImageSide || bytes > double(detail::kMaxImageBytes) ||
      bytes > double(job->in_size) * kJpegMaxRatio + 4096.0) {
    job->limits = 1;
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_start_decompress(&cinfo);
  const std::size_t in_row = std::size_t(cinfo.output_width) * std::size_t(cinfo.output_components);
  const std::size_t out_row = std::size_t(job->width) * std::size_t(job->channels);
  job->pixels = static_cast<std::uint8_t*>(std::malloc(out_row * job->height + in_row));
  if (job->pixels == nullptr) ERREXIT(&cinfo, JERR_OUT_OF_MEMORY);
  // CMYK rows are decoded into the spare row at the end and converted from there.
  std::uint8_t* spare = job->pixels + out_row * job->height;
  while (cinfo.output_scanline < cinfo.output_height) {
    const std::uint32_t y = cinfo.output_scanline;
    JSAMPROW row = job->cmyk ? spare : job->pixels + std::size_t(y) * out_row;
    jpeg_read_scanlines(&cinfo, &row, 1);
    if (job->cmyk) {
      // Adobe writes CMYK inverted: stored values are 255 - ink.
      std::uint8_t* dst = job->pixels + std::size_t(y) * out_row;
      for (std::uint32_t x = 0; x < job->width; ++x) {
        const unsigned k = spare[4 * x + 3];
        for (int c = 0; c < 3; ++c)
          dst[3 * x + c] = std::uint8_t((spare[4 * x + c] * k + 127) / 255);
      }
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

bool EncodeC(JpegJob* job) {
  jpeg_compress_struct cinfo;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&job->err);
  job->err.error_exit = OnErrorExit;
  if (setjmp(job->jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &job->out, &job->out_size);
  cinfo.image_width = job->width;
  cinfo.image_height = job->height;
  cinfo.input_components = job->channels;
  cinfo.in_color_space = job->channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, job->quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  const std::size_t row_bytes = std::size_t(job->width) * std::size_t(job->channels);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = job->pixels + std::size_t(cinfo.next_scanline) * row_bytes;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

ImageData DecodeJpeg(const std::uint8_t* data, std::size_t size, const std::string& name) {
  auto job = std::make_unique<JpegJob>();
  std::memset(job.get(), 0, sizeof(JpegJob));
  job->in = data;
  job->in_size = size;
  if (!DecodeC(job.get())) {
    if (job->limits) {
      CheckDimensions(job->width, job->height, job->channels, PixelType::Byte, size, kJpegMaxRatio,
                      name);
    }
    if (job->too_many_scans) TooManyJpegScans(name);
    detail::Fail(err::kFileFormat, kReadProc, "cannot read JPEG file '" + name + "': " + job->msg);
  }
  std::unique_ptr<std::uint8_t, decltype(&std::free)> pixels(job->pixels, &std::free);
  ImageData image = NewImage(PixelType::Byte, int(job->width), int(job->height), job->channels);
  Deinterleave(pixels.get(), image);
  return image;
}

std::vector<std::uint8_t> EncodeJpeg(const ImageData& image, const std::string& name) {
  if (image.type != PixelType::Byte || (image.Channels() != 1 && image.Channels() != 3)) {
    detail::Fail(err::kImageType, kWriteProc,
                 "cannot write '" + name + "': JPEG holds 1 or 3 channels of byte, got " +
                     std::to_string(image.Channels()) + " channel(s) of " +
                     detail::PixelTypeName(image.type));
  }
  std::vector<std::uint8_t> pixels = Interleave(image);
  auto job = std::make_unique<JpegJob>();
  std::memset(job.get(), 0, sizeof(JpegJob));
  job->width = std::uint32_t(image.width);
  job->height = std::uint32_t(image.height);
  job->channels = image.Channels();
  job->quality = 95;
  job->pixels = pixels.data();
  const bool ok = EncodeC(job.get());
  std::unique_ptr<std::uint8_t, decltype(&std::free)> out(job->out, &std::free);
  if (!ok)
    detail::Fail(err::kFileWrite, kWriteProc, "cannot encode JPEG '" + name + "': " + job->msg);
  return std::vector<std::uint8_t>(out.get(), out.get() + job->out_size);
}

}  // namespace vision::io

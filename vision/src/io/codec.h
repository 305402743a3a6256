// Image file codecs: decoding from and encoding to memory buffers. Not installed.
//
// Every decoder checks the dimensions a header claims against the library's limits (and against
// what the data could possibly hold) before it allocates, and reports a corrupt, truncated or
// unsupported file as HException (kFileFormat, or kFileLimits for absurd dimensions). The name
// passed in only appears in messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "detail/iconic.h"

namespace vision::io {

enum class Format { Png, Tiff, Jpeg, Bmp, Pnm, Unknown };

// The format by the file's first bytes (never by its name).
Format Sniff(const std::uint8_t* data, std::size_t size) noexcept;
const char* FormatName(Format format) noexcept;

// Decodes a whole file held in memory. 8-bit grey gives one "byte" channel, colour three "byte"
// channels (R, G, B), 16-bit samples "uint2", 32-bit float TIFF "real". A palette of greys gives
// one channel. Alpha is dropped.
detail::ImageData DecodeImage(const std::uint8_t* data, std::size_t size, const std::string& name);

detail::ImageData DecodePng(const std::uint8_t* data, std::size_t size, const std::string& name);
detail::ImageData DecodeTiff(const std::uint8_t* data, std::size_t size, const std::string& name);
detail::ImageData DecodeJpeg(const std::uint8_t* data, std::size_t size, const std::string& name);
detail::ImageData DecodeBmp(const std::uint8_t* data, std::size_t size, const std::string& name);
detail::ImageData DecodePnm(const std::uint8_t* data, std::size_t size, const std::string& name);

std::vector<std::uint8_t> EncodePng(const detail::ImageData& image, const std::string& name);
std::vector<std::uint8_t> EncodeTiff(const detail::ImageData& image, const std::string& name);
std::vector<std::uint8_t> EncodeJpeg(const detail::ImageData& image, const std::string& name);
std::vector<std::uint8_t> EncodeBmp(const detail::ImageData& image, const std::string& name);
std::vector<std::uint8_t> EncodePnm(const detail::ImageData& image, const std::string& name);

// --- Helpers shared by the codecs ---------------------------------------------------------------

inline constexpr const char* kReadProc = "ReadImage";
inline constexpr const char* kWriteProc = "WriteImage";

// Raises kFileLimits unless width x height x channels samples of the type fit the library's
// limits, and kFileFormat unless max_ratio * available bytes could plausibly hold them (a tiny
// file claiming a huge image is refused before anything is allocated). max_ratio is the best
// compression the format can reach (1 for raw data).
void CheckDimensions(std::int64_t width, std::int64_t height, int channels, detail::PixelType type,
                     std::size_t available, double max_ratio, const std::string& name);
// Allocates the image after CheckDimensions has passed (errors become kFileLimits).
detail::ImageData NewImage(detail::PixelType type, int width, int height, int channels);
// Splits interleaved samples (channels per pixel, sample size of the type) into planes.
void Deinterleave(const std::uint8_t* interleaved, detail::ImageData& image);
// Interleaves the planes of image into one buffer (sample size of the type).
std::vector<std::uint8_t> Interleave(const detail::ImageData& image);
// Applies the "int2_bits" setting to a "uint2" image being built: samples clamped to that many
// bits (no change for -1).
void ApplyInt2Bits(detail::ImageData& image, int bits);
[[noreturn]] void FormatError(const std::string& name, const std::string& what);

// Every scan of a progressive JPEG is a pass over the whole image: files with more scans than
// this (encoders write about ten) are refused with kFileLimits before they cost minutes.
inline constexpr int kMaxJpegScans = 100;
// The number of scans (SOS markers) before the end-of-image marker of a JPEG held in memory, by
// walking its markers; for decoders that cannot be watched while they work.
int CountJpegScans(const std::uint8_t* data, std::size_t size) noexcept;
[[noreturn]] void TooManyJpegScans(const std::string& name);

}  // namespace vision::io

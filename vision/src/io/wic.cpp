// PNG, TIFF and JPEG through the Windows Imaging Component, the image codecs that come with
// Windows. This file takes the place of the libpng, libtiff and libjpeg codecs in Windows builds;
// BMP and PGM/PPM keep their own portable parsers.
//
// Every call initialises COM for its thread (multithreaded apartment) if nobody has, and makes
// its own imaging factory, so the codecs need no set-up and may run on any thread.
#ifndef _WIN32
#error "wic.cpp is the Windows image codec backend"
#endif

// COM and the imaging component after <windows.h> (lean, as everywhere).
#include "platform/win32.h"
// clang-format off
#include <objbase.h>
#include <wincodec.h>
// clang-format on

#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include "detail/error.h"
#include "detail/system.h"
#include "io/codec.h"
#include "vision/HErrorCodes.h"

namespace vision::io {

using detail::ImageData;
using detail::PixelType;

namespace {

// Best compression ratio any of the three formats reaches (deflate on flat images, TIFF's packed
// bits, JPEG on flat images): bounds the image a file of a given size can plausibly hold.
constexpr double kMaxRatio = 1100.0;

// Owns one COM interface pointer.
template <class T>
class Com {
 public:
  Com() = default;
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  ~Com() {
    if (p_ != nullptr) p_->Release();
  }
  T* operator->() const noexcept { return p_; }
  T* get() const noexcept { return p_; }
  T** out() noexcept { return &p_; }

 private:
  T* p_ = nullptr;
};

// Keeps COM initialised on this thread for the lifetime of the object. A thread that already
// runs in a single-threaded apartment (a window thread, say) is left as it is.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }

 private:
  HRESULT hr_;
};

std::string Hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

IWICImagingFactory* NewFactory(const char* proc, const std::string& name) {
  IWICImagingFactory* factory = nullptr;
  const HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) {
    detail::Fail(std::strcmp(proc, kReadProc) == 0 ? err::kFileRead : err::kFileWrite, proc,
                 "cannot process image file '" + name +
                     "': the Windows Imaging Component is not available (" + Hex(hr) + ")");
  }
  return factory;
}

bool Is(const WICPixelFormatGUID& a, const WICPixelFormatGUID& b) { return IsEqualGUID(a, b); }

// How a frame becomes a library image: the WIC format its pixels are copied out in, and what
// the library image holds. Only a few WIC formats are taken as they are; everything else is
// converted to 32-bit BGRA or 64-bit RGBA, the conversions every WIC implementation offers,
// and reduced here.
enum class Layout {
  Grey8,        // 8bppGray as is
  Grey16,       // 16bppGray as is
  GreyFloat,    // 32bppGrayFloat
  Rgb24,        // 24bppRGB as is
  Bgr24,        // 24bppBGR as is
  Rgb48,        // 48bppRGB as is
  BgraToGrey,   // 32bppBGRA, keep green (the source is grey)
  BgraToRgb,    // 32bppBGRA, drop alpha
  Rgba64ToRgb,  // 64bppRGBA, drop alpha
};

struct Plan {
  WICPixelFormatGUID copy_format;
  int copy_bytes_per_pixel;
  Layout layout;
  PixelType type;
  int channels;
};

Plan PlanFor(const WICPixelFormatGUID& f, IWICImagingFactory* factory,
             IWICBitmapFrameDecode* frame) {
  if (Is(f, GUID_WICPixelFormat8bppGray)) {
    return {f, 1, Layout::Grey8, PixelType::Byte, 1};
  }
  if (Is(f, GUID_WICPixelFormat16bppGray)) {
    return {f, 2, Layout::Grey16, PixelType::UInt2, 1};
  }
  if (Is(f, GUID_WICPixelFormat32bppGrayFloat) || Is(f, GUID_WICPixelFormat16bppGrayHalf) ||
      Is(f, GUID_WICPixelFormat16bppGrayFixedPoint) ||
      Is(f, GUID_WICPixelFormat32bppGrayFixedPoint)) {
    return {GUID_WICPixelFormat32bppGrayFloat, 4, Layout::GreyFloat, PixelType::Real, 1};
  }
  if (Is(f, GUID_WICPixelFormat24bppRGB)) return {f, 3, Layout::Rgb24, PixelType::Byte, 3};
  if (Is(f, GUID_WICPixelFormat24bppBGR)) return {f, 3, Layout::Bgr24, PixelType::Byte, 3};
  if (Is(f, GUID_WICPixelFormat48bppRGB)) return {f, 6, Layout::Rgb48, PixelType::UInt2, 3};
  if (Is(f, GUID_WICPixelFormat48bppBGR) || Is(f, GUID_WICPixelFormat64bppRGBA) ||
      Is(f, GUID_WICPixelFormat64bppBGRA) || Is(f, GUID_WICPixelFormat64bppPRGBA) ||
      Is(f, GUID_WICPixelFormat64bppPBGRA)) {
    return {GUID_WICPixelFormat64bppRGBA, 8, Layout::Rgba64ToRgb, PixelType::UInt2, 3};
  }
  bool grey = Is(f, GUID_WICPixelFormatBlackWhite) || Is(f, GUID_WICPixelFormat2bppGray) ||
              Is(f, GUID_WICPixelFormat4bppGray);
  if (Is(f, GUID_WICPixelFormat1bppIndexed) || Is(f, GUID_WICPixelFormat2bppIndexed) ||
      Is(f, GUID_WICPixelFormat4bppIndexed) || Is(f, GUID_WICPixelFormat8bppIndexed)) {
    // A palette of greys is a grey image.
    Com<IWICPalette> palette;
    UINT count = 0;
    if (SUCCEEDED(factory->CreatePalette(palette.out())) &&
        SUCCEEDED(frame->CopyPalette(palette.get())) && SUCCEEDED(palette->GetColorCount(&count)) &&
        count > 0 && count <= 256) {
      WICColor colors[256];
      UINT got = 0;
      if (SUCCEEDED(palette->GetColors(count, colors, &got)) && got > 0) {
        grey = true;
        for (UINT i = 0; i < got && grey; ++i) {
          const unsigned r = (colors[i] >> 16) & 0xffu, g = (colors[i] >> 8) & 0xffu,
                         b = colors[i] & 0xffu;
          grey = r == g && g == b;
        }
      }
    }
  }
  if (grey) return {GUID_WICPixelFormat32bppBGRA, 4, Layout::BgraToGrey, PixelType::Byte, 1};
  return {GUID_WICPixelFormat32bppBGRA, 4, Layout::BgraToRgb, PixelType::Byte, 3};
}

// Writes the copied pixels into the planes of image.
void Unpack(const std::vector<std::uint8_t>& px, Layout layout, ImageData& image) {
  const std::size_t n = std::size_t(image.width) * std::size_t(image.height);
  switch (layout) {
    case Layout::Grey8:
    case Layout::Grey16:
    case Layout::GreyFloat:
    case Layout::Rgb24:
    case Layout::Rgb48:
      Deinterleave(px.data(), image);
      return;
    case Layout::Bgr24:
    case Layout::BgraToRgb: {
      const std::size_t step = layout == Layout::Bgr24 ? 3 : 4;
      std::uint8_t* r = detail::MutablePlane(image, 0);
      std::uint8_t* g = detail::MutablePlane(image, 1);
      std::uint8_t* b = detail::MutablePlane(image, 2);
      for (std::size_t i = 0; i < n; ++i) {
        b[i] = px[i * step];
        g[i] = px[i * step + 1];
        r[i] = px[i * step + 2];
      }
      return;
    }
    case Layout::BgraToGrey: {
      std::uint8_t* grey = detail::MutablePlane(image, 0);
      for (std::size_t i = 0; i < n; ++i) grey[i] = px[i * 4 + 1];
      return;
    }
    case Layout::Rgba64ToRgb: {
      for (int c = 0; c < 3; ++c) {
        std::uint8_t* dst = detail::MutablePlane(image, c);
        for (std::size_t i = 0; i < n; ++i)
          std::memcpy(dst + i * 2, &px[i * 8 + std::size_t(c) * 2], 2);
      }
      return;
    }
  }
}

const char* ContainerName(const GUID& container) {
  if (IsEqualGUID(container, GUID_ContainerFormatPng)) return "PNG";
  if (IsEqualGUID(container, GUID_ContainerFormatTiff)) return "TIFF";
  if (IsEqualGUID(container, GUID_ContainerFormatJpeg)) return "JPEG";
  return "other";
}

ImageData Decode(const std::uint8_t* data, std::size_t size, const std::string& name,
                 const GUID& container, const char* format_name) {
  if (size == 0) FormatError(name, "the file is empty");
  if (size > std::numeric_limits<DWORD>::max()) {
    detail::Fail(err::kFileLimits, kReadProc,
                 "image file '" + name + "' is larger than 4 GB, too large to read");
  }
  ComScope com;
  Com<IWICImagingFactory> factory;
  *factory.out() = NewFactory(kReadProc, name);

  Com<IWICStream> stream;
  HRESULT hr = factory->CreateStream(stream.out());
  if (SUCCEEDED(hr)) {
    hr = stream->InitializeFromMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size));
  }
  if (FAILED(hr))
    detail::Fail(err::kFileRead, kReadProc, "cannot read '" + name + "' (" + Hex(hr) + ")");

  const std::string what = std::string("cannot read ") + format_name + " file '" + name + "': ";
  Com<IWICBitmapDecoder> decoder;
  hr = factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                        decoder.out());
  if (FAILED(hr)) {
    detail::Fail(err::kFileFormat, kReadProc,
                 what + "no decoder accepts the data (" + Hex(hr) + ", corrupt or unsupported)");
  }
  GUID actual{};
  if (FAILED(decoder->GetContainerFormat(&actual)) || !IsEqualGUID(actual, container)) {
    detail::Fail(err::kFileFormat, kReadProc,
                 what + "the data is " + ContainerName(actual) + ", not " + format_name);
  }
  Com<IWICBitmapFrameDecode> frame;
  hr = decoder->GetFrame(0, frame.out());
  if (FAILED(hr)) {
    detail::Fail(err::kFileFormat, kReadProc, what + "no image in the file (" + Hex(hr) + ")");
  }
  UINT width = 0;
  UINT height = 0;
  WICPixelFormatGUID source_format{};
  if (FAILED(frame->GetSize(&width, &height)) || FAILED(frame->GetPixelFormat(&source_format))) {
    detail::Fail(err::kFileFormat, kReadProc, what + "unreadable header");
  }
  const Plan plan = PlanFor(source_format, factory.get(), frame.get());
  CheckDimensions(width, height, plan.channels, plan.type, size, kMaxRatio, name);

  // Convert unless the frame already has the format the pixels are copied in.
  IWICBitmapSource* source = frame.get();
  Com<IWICFormatConverter> converter;
  if (!Is(source_format, plan.copy_format)) {
    hr = factory->CreateFormatConverter(converter.out());
    if (SUCCEEDED(hr)) {
      hr = converter->Initialize(frame.get(), plan.copy_format, WICBitmapDitherTypeNone, nullptr,
                                 0.0, WICBitmapPaletteTypeCustom);
    }
    if (FAILED(hr)) {
      detail::Fail(err::kFileFormat, kReadProc,
                   what + "its pixel format cannot be converted (" + Hex(hr) + ")");
    }
    source = converter.get();
  }

  const std::size_t stride = std::size_t(width) * std::size_t(plan.copy_bytes_per_pixel);
  const std::size_t bytes = stride * height;
  if (stride > std::numeric_limits<UINT>::max() || bytes > std::numeric_limits<UINT>::max()) {
    detail::Fail(err::kFileLimits, kReadProc, what + "the image is too large to decode");
  }
  std::vector<std::uint8_t> pixels;
  try {
    pixels.resize(bytes);
  } catch (const std::bad_alloc&) {
    detail::Fail(err::kOutOfMemory, kReadProc, what + "out of memory");
  }
  hr = source->CopyPixels(nullptr, static_cast<UINT>(stride), static_cast<UINT>(bytes),
                          pixels.data());
  if (FAILED(hr)) {
    detail::Fail(err::kFileFormat, kReadProc,
                 what + "the pixel data is corrupt or truncated (" + Hex(hr) + ")");
  }
  ImageData image = NewImage(plan.type, int(width), int(height), plan.channels);
  Unpack(pixels, plan.layout, image);
  if (plan.type == PixelType::UInt2) ApplyInt2Bits(image, detail::Int2Bits());
  return image;
}

// Encodes interleaved pixels of one WIC format into a file held in memory.
std::vector<std::uint8_t> EncodeRaw(IWICImagingFactory* factory, const GUID& container,
                                    const WICPixelFormatGUID& format, int width, int height,
                                    const std::vector<std::uint8_t>& pixels, std::size_t stride,
                                    const std::string& what) {
  auto check = [&](HRESULT hr, const char* step) {
    if (FAILED(hr)) {
      detail::Fail(err::kFileWrite, kWriteProc, what + step + " failed (" + Hex(hr) + ")");
    }
  };
  Com<IStream> memory;
  check(CreateStreamOnHGlobal(nullptr, TRUE, memory.out()), "making a memory stream");
  Com<IWICBitmapEncoder> encoder;
  check(factory->CreateEncoder(container, nullptr, encoder.out()), "making the encoder");
  check(encoder->Initialize(memory.get(), WICBitmapEncoderNoCache), "starting the encoder");
  Com<IWICBitmapFrameEncode> frame;
  Com<IPropertyBag2> options;
  check(encoder->CreateNewFrame(frame.out(), options.out()), "making a frame");
  check(frame->Initialize(options.get()), "starting the frame");
  check(frame->SetSize(UINT(width), UINT(height)), "setting the size");
  WICPixelFormatGUID accepted = format;
  check(frame->SetPixelFormat(&accepted), "setting the pixel format");
  if (!Is(accepted, format)) {
    detail::Fail(err::kImageType, kWriteProc,
                 what + "this system's encoder does not take the image's pixel type");
  }
  check(frame->WritePixels(UINT(height), UINT(stride), UINT(pixels.size()),
                           const_cast<BYTE*>(pixels.data())),
        "writing the pixels");
  check(frame->Commit(), "finishing the frame");
  check(encoder->Commit(), "finishing the file");

  STATSTG stat{};
  check(memory->Stat(&stat, STATFLAG_NONAME), "measuring the result");
  HGLOBAL global = nullptr;
  check(GetHGlobalFromStream(memory.get(), &global), "reading the result");
  const auto* bytes = static_cast<const std::uint8_t*>(GlobalLock(global));
  if (bytes == nullptr) check(E_OUTOFMEMORY, "reading the result");
  std::vector<std::uint8_t> out(bytes, bytes + stat.cbSize.QuadPart);
  GlobalUnlock(global);
  return out;
}

// Whether the encoder of a container wants 16-bit samples in the opposite byte order to the one
// its decoder hands out. WIC's formats are little-endian in memory, but some implementations
// (Wine's PNG encoder, for one) store the bytes as given. A one-pixel file, written and read
// back, tells; the answer is kept per container and format.
bool EncoderSwaps16(IWICImagingFactory* factory, const GUID& container,
                    const WICPixelFormatGUID& format, int channels) {
  struct Entry {
    GUID container;
    WICPixelFormatGUID format;
    bool swaps;
  };
  static std::mutex mutex;
  static std::vector<Entry> known;
  {
    std::lock_guard lock(mutex);
    for (const Entry& e : known) {
      if (IsEqualGUID(e.container, container) && Is(e.format, format)) return e.swaps;
    }
  }
  // Sample value 1: read back as 256 when the encoder stored the bytes unswapped.
  std::vector<std::uint8_t> pixel(std::size_t(channels) * 2, 0);
  for (int c = 0; c < channels; ++c) pixel[std::size_t(c) * 2] = 1;
  bool swaps = false;
  try {
    const std::vector<std::uint8_t> file =
        EncodeRaw(factory, container, format, 1, 1, pixel, pixel.size(), "byte order probe: ");
    const ImageData back =
        Decode(file.data(), file.size(), "(byte order probe)", container, "probe");
    swaps = back.type == PixelType::UInt2 && back.Plane<std::uint16_t>(0)[0] == 256;
  } catch (const HException&) {
    return false;  // the real encode will report what fails
  }
  std::lock_guard lock(mutex);
  known.push_back({container, format, swaps});
  return swaps;
}

std::vector<std::uint8_t> Encode(const ImageData& image, const std::string& name,
                                 const GUID& container, const char* format_name, bool allow_uint2,
                                 bool allow_real) {
  const int channels = image.Channels();
  const bool type_ok = image.type == PixelType::Byte ||
                       (image.type == PixelType::UInt2 && allow_uint2) ||
                       (image.type == PixelType::Real && allow_real && channels == 1);
  if (!type_ok || (channels != 1 && channels != 3)) {
    detail::Fail(err::kImageType, kWriteProc,
                 std::string("cannot write '") + name + "': " + format_name + " cannot hold " +
                     std::to_string(channels) + " channel(s) of " +
                     detail::PixelTypeName(image.type));
  }
  ComScope com;
  Com<IWICImagingFactory> factory;
  *factory.out() = NewFactory(kWriteProc, name);
  const std::string what = std::string("cannot encode ") + format_name + " '" + name + "': ";

  WICPixelFormatGUID format{};
  std::vector<std::uint8_t> pixels = Interleave(image);
  if (image.type == PixelType::Byte && channels == 1) {
    format = GUID_WICPixelFormat8bppGray;
  } else if (image.type == PixelType::Byte) {
    // The encoders take 8-bit colour in blue, green, red order.
    format = GUID_WICPixelFormat24bppBGR;
    for (std::size_t i = 0; i + 2 < pixels.size(); i += 3) std::swap(pixels[i], pixels[i + 2]);
  } else if (image.type == PixelType::UInt2) {
    format = channels == 1 ? GUID_WICPixelFormat16bppGray : GUID_WICPixelFormat48bppRGB;
    if (EncoderSwaps16(factory.get(), container, format, channels)) {
      for (std::size_t i = 0; i + 1 < pixels.size(); i += 2) std::swap(pixels[i], pixels[i + 1]);
    }
  } else {
    format = GUID_WICPixelFormat32bppGrayFloat;
  }
  const std::size_t stride =
      std::size_t(image.width) * std::size_t(channels) * detail::BytesPerPixel(image.type);
  return EncodeRaw(factory.get(), container, format, image.width, image.height, pixels, stride,
                   what);
}

}  // namespace

ImageData DecodePng(const std::uint8_t* data, std::size_t size, const std::string& name) {
  return Decode(data, size, name, GUID_ContainerFormatPng, "PNG");
}

ImageData DecodeTiff(const std::uint8_t* data, std::size_t size, const std::string& name) {
  return Decode(data, size, name, GUID_ContainerFormatTiff, "TIFF");
}

ImageData DecodeJpeg(const std::uint8_t* data, std::size_t size, const std::string& name) {
  if (CountJpegScans(data, size) > kMaxJpegScans) TooManyJpegScans(name);
  return Decode(data, size, name, GUID_ContainerFormatJpeg, "JPEG");
}

std::vector<std::uint8_t> EncodePng(const ImageData& image, const std::string& name) {
  return Encode(image, name, GUID_ContainerFormatPng, "PNG", true, false);
}

std::vector<std::uint8_t> EncodeTiff(const ImageData& image, const std::string& name) {
  return Encode(image, name, GUID_ContainerFormatTiff, "TIFF", true, true);
}

std::vector<std::uint8_t> EncodeJpeg(const ImageData& image, const std::string& name) {
  return Encode(image, name, GUID_ContainerFormatJpeg, "JPEG", false, false);
}

}  // namespace vision::io

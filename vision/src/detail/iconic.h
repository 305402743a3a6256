// Internal representation of iconic objects. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "vision/HObject.h"

namespace vision::detail {

enum class PixelType : std::uint8_t { Byte, UInt2, Real };

// "byte", "uint2", "real"
const char* PixelTypeName(PixelType type) noexcept;
// Parses a type name; raises HException (kWrongParamValue) naming proc and the parameter.
PixelType ParsePixelType(const HTuple& type, const char* proc, const char* param);
std::size_t BytesPerPixel(PixelType type) noexcept;

// Hard limits for any image the library makes or reads.
inline constexpr std::int64_t kMaxImageSide = 1 << 16;                 // pixels per side
inline constexpr std::int64_t kMaxImageBytes = std::int64_t{1} << 31;  // bytes per image

// One image: width x height pixels in one or more channels (planes) of the same type, each plane
// row-major without padding. The domain is the whole image. Planes are shared between copies
// and never changed after the image is made.
struct ImageData {
  PixelType type = PixelType::Byte;
  int width = 0;
  int height = 0;
  std::vector<std::shared_ptr<const std::vector<std::uint8_t>>> planes;

  int Channels() const noexcept { return static_cast<int>(planes.size()); }
  std::size_t PlaneBytes() const noexcept {
    return std::size_t(width) * std::size_t(height) * BytesPerPixel(type);
  }
  template <class T>
  const T* Plane(int channel) const noexcept {
    return reinterpret_cast<const T*>(planes[std::size_t(channel)]->data());
  }
};

// One contour: a subpixel polyline. Points in (row, column); pixel centres at integer
// coordinates. Closed when the first and last points coincide.
struct ContourData {
  std::vector<double> rows;
  std::vector<double> cols;
  bool IsClosed() const noexcept;
};

struct Iconic {
  std::variant<ImageData, ContourData> value;
};

// Helpers that build HObjects and take them apart, raising HException(proc) on misuse.
HObject MakeObject(ImageData image);
HObject MakeObject(ContourData contour);
// The single image in object (the first when there are several). Raises when object is empty or
// holds no image.
const ImageData& SingleImage(const HObject& object, const char* proc);
// Allocates and zero-fills an image after checking the limits; raises on bad sizes.
ImageData AllocateImage(PixelType type, std::int64_t width, std::int64_t height, int channels,
                        const char* proc);
// Mutable access to a plane of an image that is being built (before it is wrapped in an HObject).
std::uint8_t* MutablePlane(ImageData& image, int channel);

}  // namespace vision::detail

// The internal representation of iconic objects (detail/iconic.h): pixel types, the image limits,
// and building HObjects and taking them apart.
#include "detail/iconic.h"

#include <new>
#include <string>

#include "detail/error.h"
#include "detail/param.h"
#include "vision/HErrorCodes.h"

namespace vision::detail {

const char* PixelTypeName(PixelType type) noexcept {
  switch (type) {
    case PixelType::Byte:
      return "byte";
    case PixelType::UInt2:
      return "uint2";
    case PixelType::Real:
      return "real";
  }
  return "?";
}

std::size_t BytesPerPixel(PixelType type) noexcept {
  switch (type) {
    case PixelType::Byte:
      return 1;
    case PixelType::UInt2:
      return 2;
    case PixelType::Real:
      return 4;
  }
  return 1;
}

PixelType ParsePixelType(const HTuple& type, const char* proc, const char* param) {
  if (type.Length() == 1 && type.Type(0) == HTupleType::String) {
    const std::string t = type.S().Str();
    if (t == "byte") return PixelType::Byte;
    if (t == "uint2") return PixelType::UInt2;
    if (t == "real") return PixelType::Real;
  }
  BadParam(err::kWrongParamValue, proc, param, type, "expected 'byte', 'uint2' or 'real'");
}

bool ContourData::IsClosed() const noexcept {
  return rows.size() >= 3 && rows.front() == rows.back() && cols.front() == cols.back();
}

HObject MakeObject(ImageData image) {
  auto part = std::make_shared<Iconic>();
  part->value = std::move(image);
  return HObject({std::move(part)});
}

HObject MakeObject(ContourData contour) {
  auto part = std::make_shared<Iconic>();
  part->value = std::move(contour);
  return HObject({std::move(part)});
}

const ImageData& SingleImage(const HObject& object, const char* proc) {
  if (!object.IsInitialized()) Fail(err::kObjectEmpty, proc, "the image object is empty");
  const auto& part = object.Parts().front();
  const auto* image = std::get_if<ImageData>(&part->value);
  if (image == nullptr) Fail(err::kObjectKind, proc, "an image was expected, got a contour");
  return *image;
}

ImageData AllocateImage(PixelType type, std::int64_t width, std::int64_t height, int channels,
                        const char* proc) {
  if (width <= 0 || height <= 0 || width > kMaxImageSide || height > kMaxImageSide) {
    Fail(err::kImageSize, proc,
         "image size " + std::to_string(width) + " x " + std::to_string(height) +
             " is outside 1.." + std::to_string(kMaxImageSide) + " per side");
  }
  if (channels < 1 || channels > 4) {
    Fail(err::kImageSize, proc, "unsupported channel count " + std::to_string(channels));
  }
  const std::int64_t plane = width * height * static_cast<std::int64_t>(BytesPerPixel(type));
  if (plane * channels > kMaxImageBytes) {
    Fail(err::kImageSize, proc,
         "image of " + std::to_string(width) + " x " + std::to_string(height) + " x " +
             std::to_string(channels) + " " + PixelTypeName(type) +
             " pixels exceeds the limit of " + std::to_string(kMaxImageBytes) + " bytes");
  }
  ImageData image;
  image.type = type;
  image.width = static_cast<int>(width);
  image.height = static_cast<int>(height);
  try {
    for (int c = 0; c < channels; ++c) {
      image.planes.push_back(
          std::make_shared<const std::vector<std::uint8_t>>(static_cast<std::size_t>(plane), 0));
    }
  } catch (const std::bad_alloc&) {
    Fail(err::kOutOfMemory, proc,
         "not enough memory for a " + std::to_string(width) + " x " + std::to_string(height) +
             " image");
  }
  return image;
}

std::uint8_t* MutablePlane(ImageData& image, int channel) {
  // Only valid while the image is still private to its builder: the plane is not shared yet.
  return const_cast<std::uint8_t*>(image.planes[std::size_t(channel)]->data());
}

}  // namespace vision::detail

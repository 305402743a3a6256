// The image operators (vision/HImageOps.h): new images, images from memory, their size and
// access to their pixels.
#include <cmath>
#include <cstring>

#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/param.h"
#include "vision/HErrorCodes.h"
#include "vision/HImageOps.h"

namespace vision {

namespace {

detail::ImageData FromPlanes(const char* proc, const HTuple& type, Hlong width, Hlong height,
                             const void* const* planes, int channels) {
  const detail::PixelType t = detail::ParsePixelType(type, proc, "Type");
  for (int c = 0; c < channels; ++c) {
    if (planes[c] == nullptr) {
      detail::Fail(err::kWrongParamValue, proc,
                   "pixel pointer " + std::to_string(c + 1) + " is null");
    }
  }
  detail::ImageData image = detail::AllocateImage(t, width, height, channels, proc);
  for (int c = 0; c < channels; ++c) {
    std::memcpy(detail::MutablePlane(image, c), planes[c], image.PlaneBytes());
  }
  return image;
}

void Describe(const detail::ImageData& image, HTuple* type, Hlong* width, Hlong* height) {
  if (type) *type = HTuple(detail::PixelTypeName(image.type));
  if (width) *width = image.width;
  if (height) *height = image.height;
}

// A pixel position given as an integer (or a double holding an integral value). Doubles beyond
// any image's size become a position far outside, never an out-of-range conversion.
Hlong Position(const HTuple& values, Hlong i, const char* param) {
  std::int64_t position = 0;
  if (detail::ReadIntegerNumber(values[i], &position)) return position;
  // An integral double beyond the 64-bit range is a position far outside any image.
  const HTuple v = values[i];
  if (v.Type(0) == HTupleType::Double && v.D() == std::trunc(v.D()))
    return v.D() > 0 ? Hlong{1} << 62 : -(Hlong{1} << 62);
  detail::BadParam(err::kWrongParamType, "GetGrayval", param, values,
                   "integer pixel positions expected");
}

}  // namespace

void GetImageSize(const HObject& image, HTuple* width, HTuple* height) {
  const auto& data = detail::SingleImage(image, "GetImageSize");
  if (width) *width = HTuple(Hlong{data.width});
  if (height) *height = HTuple(Hlong{data.height});
}

void GenImageConst(HObject* image, const HTuple& type, const HTuple& width, const HTuple& height) {
  constexpr const char* proc = "GenImageConst";
  if (image == nullptr) detail::Fail(err::kNullOutput, proc, "no output object given");
  const detail::PixelType t = detail::ParsePixelType(type, proc, "Type");
  auto integer = [&](const HTuple& v, const char* name) -> Hlong {
    if (v.Length() != 1 || v.Type(0) != HTupleType::Integer) {
      detail::BadParam(err::kWrongParamType, proc, name, v, "one integer expected");
    }
    return v.L();
  };
  const Hlong w = integer(width, "Width");
  const Hlong h = integer(height, "Height");
  *image = detail::MakeObject(detail::AllocateImage(t, w, h, 1, proc));
}

void GenImage1(HObject* image, const HTuple& type, Hlong width, Hlong height, const void* pixels) {
  if (image == nullptr) detail::Fail(err::kNullOutput, "GenImage1", "no output object given");
  const void* planes[1] = {pixels};
  *image = detail::MakeObject(FromPlanes("GenImage1", type, width, height, planes, 1));
}

void GenImage3(HObject* image, const HTuple& type, Hlong width, Hlong height, const void* red,
               const void* green, const void* blue) {
  if (image == nullptr) detail::Fail(err::kNullOutput, "GenImage3", "no output object given");
  const void* planes[3] = {red, green, blue};
  *image = detail::MakeObject(FromPlanes("GenImage3", type, width, height, planes, 3));
}

const void* GetImagePointer1(const HObject& image, HTuple* type, Hlong* width, Hlong* height) {
  const detail::ImageData& data = detail::SingleImage(image, "GetImagePointer1");
  Describe(data, type, width, height);
  return data.planes[0]->data();
}

void GetImagePointer3(const HObject& image, const void** red, const void** green, const void** blue,
                      HTuple* type, Hlong* width, Hlong* height) {
  const detail::ImageData& data = detail::SingleImage(image, "GetImagePointer3");
  if (data.Channels() != 3) {
    detail::Fail(err::kImageType, "GetImagePointer3",
                 "a three-channel image is needed, this one has " +
                     std::to_string(data.Channels()) + " channel(s)");
  }
  Describe(data, type, width, height);
  if (red) *red = data.planes[0]->data();
  if (green) *green = data.planes[1]->data();
  if (blue) *blue = data.planes[2]->data();
}

void CountChannels(const HObject& image, HTuple* channels) {
  const detail::ImageData& data = detail::SingleImage(image, "CountChannels");
  if (channels) *channels = HTuple(Hlong{data.Channels()});
}

static void GetGrayvalImpl(const HObject& image, const HTuple& rows, const HTuple& columns,
                           HTuple* values) {
  constexpr const char* proc = "GetGrayval";
  const detail::ImageData& data = detail::SingleImage(image, proc);
  if (values == nullptr) detail::Fail(err::kNullOutput, proc, "no output given");
  if (rows.Length() != columns.Length()) {
    detail::Fail(err::kWrongParamCount, proc,
                 "Row has " + std::to_string(rows.Length()) + " values but Column has " +
                     std::to_string(columns.Length()));
  }
  std::vector<HTuple::Element> out;
  out.reserve(std::size_t(rows.Length()) * std::size_t(data.Channels()));
  for (Hlong i = 0; i < rows.Length(); ++i) {
    const Hlong r = Position(rows, i, "Row");
    const Hlong c = Position(columns, i, "Column");
    if (r < 0 || r >= data.height || c < 0 || c >= data.width) {
      detail::Fail(err::kWrongParamValue, proc,
                   "pixel (" + std::to_string(r) + ", " + std::to_string(c) +
                       ") lies outside the " + std::to_string(data.width) + " x " +
                       std::to_string(data.height) + " image");
    }
    const std::size_t k = std::size_t(r) * std::size_t(data.width) + std::size_t(c);
    for (int ch = 0; ch < data.Channels(); ++ch) {
      switch (data.type) {
        case detail::PixelType::Byte:
          out.emplace_back(Hlong{data.Plane<std::uint8_t>(ch)[k]});
          break;
        case detail::PixelType::UInt2:
          out.emplace_back(Hlong{data.Plane<std::uint16_t>(ch)[k]});
          break;
        case detail::PixelType::Real:
          out.emplace_back(double{data.Plane<float>(ch)[k]});
          break;
      }
    }
  }
  *values = HTuple(std::move(out));
}

void GetGrayval(const HObject& image, const HTuple& rows, const HTuple& columns, HTuple* values) {
  detail::GuardMemory("GetGrayval", [&] { GetGrayvalImpl(image, rows, columns, values); });
}

}  // namespace vision

// The methods of HObject and HImage.
#include <string>
#include <utility>
#include <vector>

#include "detail/error.h"
#include "detail/iconic.h"
#include "vision/HErrorCodes.h"
#include "vision/HImageOps.h"
#include "vision/HObject.h"

namespace vision {

HObject HObject::SelectObj(Hlong index) const {
  if (index < 1 || index > CountObj()) {
    detail::Fail(err::kObjectIndex, "SelectObj",
                 "index " + std::to_string(index) + " outside 1.." + std::to_string(CountObj()));
  }
  return HObject({parts_[static_cast<std::size_t>(index - 1)]});
}

HObject HObject::ConcatObj(const HObject& other) const {
  std::vector<Part> parts = parts_;
  parts.insert(parts.end(), other.parts_.begin(), other.parts_.end());
  return HObject(std::move(parts));
}

HImage::HImage(const HTuple& type, Hlong width, Hlong height) {
  HObject image;
  GenImageConst(&image, type, width, height);
  static_cast<HObject&>(*this) = image;
}

void HImage::GetImageSize(HTuple* width, HTuple* height) const {
  vision::GetImageSize(*this, width, height);
}

void HImage::GetImageSize(Hlong* width, Hlong* height) const {
  const auto& image = detail::SingleImage(*this, "GetImageSize");
  if (width) *width = image.width;
  if (height) *height = image.height;
}

}  // namespace vision

// Iconic objects: images and contours. An HObject holds zero or more of them (an object tuple);
// it is empty until an operator fills it.
//
// Objects are immutable once made: copies share storage and every operator writes its result
// into a new object, so a change through one copy never shows in another.
#pragma once

#include <memory>
#include <vector>

#include "vision/Export.h"
#include "vision/HTuple.h"

namespace vision {

namespace detail {
struct Iconic;  // one image or one contour (vision/src/detail/iconic.h)
}

class HWindow;

class VISION_API HObject {
 public:
  using Part = std::shared_ptr<const detail::Iconic>;

  HObject() = default;
  explicit HObject(std::vector<Part> parts) : parts_(std::move(parts)) {}

  // True once an operator has put at least one object in.
  bool IsInitialized() const noexcept { return !parts_.empty(); }
  Hlong CountObj() const noexcept { return static_cast<Hlong>(parts_.size()); }
  // The index-th object (1-based, as the library counts objects).
  HObject SelectObj(Hlong index) const;
  // This object tuple followed by other's objects.
  HObject ConcatObj(const HObject& other) const;
  void Clear() noexcept { parts_.clear(); }

  const std::vector<Part>& Parts() const noexcept { return parts_; }

 private:
  std::vector<Part> parts_;
};

// An HObject that holds images.
class VISION_API HImage : public HObject {
 public:
  HImage() = default;
  HImage(const HObject& object) : HObject(object) {}  // NOLINT(google-explicit-constructor)
  // A new image of the given type ("byte", "uint2", "real"), all pixels 0.
  HImage(const HTuple& type, Hlong width, Hlong height);

  void GetImageSize(HTuple* width, HTuple* height) const;
  void GetImageSize(Hlong* width, Hlong* height) const;
  // Shows the image in the window, scaled to it if the sizes differ.
  void DispImage(const HWindow& window) const;
};

}  // namespace vision

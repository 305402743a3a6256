// Text owned by the library.
#pragma once

#include <string>
#include <string_view>

#include "vision/Export.h"

namespace vision {

class VISION_API HString {
 public:
  HString() = default;
  HString(const char* text) : text_(text ? text : "") {}  // NOLINT(google-explicit-constructor)
  HString(std::string text) : text_(std::move(text)) {}   // NOLINT(google-explicit-constructor)

  // The text as 8-bit characters, valid while this object lives and is unchanged.
  const char* TextA() const noexcept { return text_.c_str(); }
  const char* Text() const noexcept { return text_.c_str(); }
  const std::string& Str() const noexcept { return text_; }
  std::size_t Length() const noexcept { return text_.size(); }
  bool IsEmpty() const noexcept { return text_.empty(); }

  friend bool operator==(const HString&, const HString&) = default;

 private:
  std::string text_;
};

}  // namespace vision

// Whether a text holds a part: for checks on messages and listings.
#pragma once

#include <string_view>

namespace visiontest {

inline bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace visiontest

// The description's XML as a plain tree of elements: names (without namespace prefixes),
// attributes and text. Parsed with RapidXml after a check of nesting depth and item count that
// follows RapidXml's own tokenising, so a hostile file can neither overflow the stack of its
// recursive parser nor make it allocate without bound.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vision::detail::genapi {

struct XmlElement {
  std::string name;
  std::string text;  // the element's own character data and CDATA, concatenated
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<int> children;  // indices into XmlTree::elements
  const std::string* Attribute(std::string_view attribute) const {
    for (const auto& [key, value] : attributes)
      if (key == attribute) return &value;
    return nullptr;
  }
};

struct XmlTree {
  std::vector<XmlElement> elements;  // elements[0] is the root
};

struct XmlLimits {
  int max_depth;
  std::size_t max_items;
};

// Nesting depth and item count of the XML text, as the parser will see them; stops early (and
// says so) where the parser will fail anyway. Returns false with a reason when over a limit.
bool CheckXmlLimits(std::string_view text, const XmlLimits& limits, std::string* reason);

// Throws Error(kDescription) for text that is not well-formed XML or is over the limits.
XmlTree ParseXml(std::string_view text, const XmlLimits& limits);

}  // namespace vision::detail::genapi

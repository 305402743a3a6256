#include "camera/genapi/xml.h"

#include <rapidxml.hpp>

#include <cstring>
#include <memory>

#include "camera/genapi/error.h"

namespace vision::detail::genapi {

namespace {

using Tables = rapidxml::internal::lookup_tables<0>;

// The parse flags: the parser's defaults (character data kept, entities translated) plus
// checked closing tags. CheckXmlLimits follows the tokenising these flags give.
constexpr int kFlags = rapidxml::parse_validate_closing_tags;

bool Space(char c) { return Tables::lookup_whitespace[static_cast<unsigned char>(c)] != 0; }
bool NameChar(char c) { return Tables::lookup_node_name[static_cast<unsigned char>(c)] != 0; }
bool AttributeNameChar(char c) {
  return Tables::lookup_attribute_name[static_cast<unsigned char>(c)] != 0;
}

// Finds `end` at or after p in the NUL-terminated text; nullptr when the text ends first.
const char* Find(const char* p, const char* end) {
  const std::size_t n = std::strlen(end);
  for (; *p; ++p)
    if (std::strncmp(p, end, n) == 0) return p + n;
  return nullptr;
}

std::string_view StripPrefix(std::string_view name) {
  const std::size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

}  // namespace

bool CheckXmlLimits(std::string_view input, const XmlLimits& limits, std::string* reason) {
  // The scan follows the parser token by token. Wherever the parser would fail, the scan stops
  // and reports the text as within limits: the parser then fails at that point (or earlier)
  // and never goes deeper than the scan has seen.
  const std::string buffer(input);  // NUL-terminated, like the parser's
  const char* p = buffer.c_str();
  int depth = 0;
  std::size_t items = 0;
  auto over = [&](const char* what) {
    *reason = what;
    return false;
  };
  if (static_cast<unsigned char>(p[0]) == 0xEF && static_cast<unsigned char>(p[1]) == 0xBB &&
      static_cast<unsigned char>(p[2]) == 0xBF)
    p += 3;
  for (;;) {
    while (Space(*p)) ++p;
    if (*p == 0) return true;
    if (*p != '<') {
      if (depth == 0) return true;  // the parser fails: text outside the root
      ++items;                      // a text piece runs to the next '<'
      while (*p && *p != '<') ++p;
      if (*p == 0) return true;
    }
    if (items > limits.max_items) return over("too many XML elements, attributes and texts");
    // *p == '<'
    if (depth > 0 && p[1] == '/') {
      p += 2;
      while (NameChar(*p)) ++p;
      while (Space(*p)) ++p;
      if (*p != '>') return true;
      ++p;
      --depth;
      continue;
    }
    ++p;
    if (*p == '?') {
      p = Find(p + 1, "?>");
      if (!p) return true;
      continue;
    }
    if (*p == '!') {
      if (p[1] == '-' && p[2] == '-') {
        p = Find(p + 3, "-->");
      } else if (std::strncmp(p + 1, "[CDATA[", 7) == 0) {
        ++items;
        p = Find(p + 8, "]]>");
      } else if (std::strncmp(p + 1, "DOCTYPE", 7) == 0 && Space(p[8])) {
        p += 9;
        while (*p != '>') {
          if (*p == 0) return true;
          if (*p == '[') {
            ++p;
            for (int brackets = 1; brackets > 0; ++p) {
              if (*p == 0) return true;
              if (*p == '[') ++brackets;
              if (*p == ']') --brackets;
            }
          } else {
            ++p;
          }
        }
        ++p;
      } else {
        p = std::strchr(p + 1, '>');
        if (p) ++p;
      }
      if (!p) return true;
      continue;
    }
    // An element.
    const char* name = p;
    while (NameChar(*p)) ++p;
    if (p == name) return true;
    ++items;
    while (Space(*p)) ++p;
    while (AttributeNameChar(*p)) {
      ++p;
      while (AttributeNameChar(*p)) ++p;
      while (Space(*p)) ++p;
      if (*p != '=') return true;
      ++p;
      while (Space(*p)) ++p;
      const char quote = *p;
      if (quote != '\'' && quote != '"') return true;
      ++p;
      while (*p && *p != quote) ++p;
      if (*p != quote) return true;
      ++p;
      ++items;
      while (Space(*p)) ++p;
    }
    if (items > limits.max_items) return over("too many XML elements, attributes and texts");
    if (*p == '>') {
      ++p;
      if (++depth > limits.max_depth) return over("XML elements nested too deep");
    } else if (p[0] == '/' && p[1] == '>') {
      p += 2;
    } else {
      return true;
    }
  }
}

XmlTree ParseXml(std::string_view text, const XmlLimits& limits) {
  std::string reason;
  if (!CheckXmlLimits(text, limits, &reason))
    throw Error(ErrorKind::kDescription, "the description is refused: " + reason + " (at most " +
                                             std::to_string(limits.max_depth) + " levels and " +
                                             std::to_string(limits.max_items) + " items)");
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  auto document = std::make_unique<rapidxml::xml_document<char>>();
  try {
    document->parse<kFlags>(buffer.data());
  } catch (const rapidxml::parse_error& e) {
    const char* where = e.where<char>();
    std::string at;
    if (where && where >= buffer.data() && where < buffer.data() + buffer.size()) {
      // Line of the problem, counted in the original text (the parser writes into its copy).
      const std::size_t offset = static_cast<std::size_t>(where - buffer.data());
      std::size_t line = 1;
      for (std::size_t i = 0; i < offset && i < text.size(); ++i) line += text[i] == '\n';
      at = " at line " + std::to_string(line);
    }
    throw Error(ErrorKind::kDescription,
                std::string("the description is not well-formed XML: ") + e.what() + at);
  }
  const rapidxml::xml_node<char>* root = document->first_node();
  while (root && root->type() != rapidxml::node_element) root = root->next_sibling();
  if (!root) throw Error(ErrorKind::kDescription, "the description has no root element");

  XmlTree tree;
  // Depth-first copy without recursion: (source, index of the copy).
  std::vector<std::pair<const rapidxml::xml_node<char>*, int>> stack;
  tree.elements.emplace_back();
  stack.emplace_back(root, 0);
  while (!stack.empty()) {
    const auto [source, index] = stack.back();
    stack.pop_back();
    XmlElement& element = tree.elements[static_cast<std::size_t>(index)];
    element.name = std::string(StripPrefix(std::string_view(source->name(), source->name_size())));
    for (const rapidxml::xml_attribute<char>* a = source->first_attribute(); a;
         a = a->next_attribute())
      element.attributes.emplace_back(std::string(a->name(), a->name_size()),
                                      std::string(a->value(), a->value_size()));
    std::vector<const rapidxml::xml_node<char>*> children;
    for (const rapidxml::xml_node<char>* c = source->first_node(); c; c = c->next_sibling()) {
      if (c->type() == rapidxml::node_data || c->type() == rapidxml::node_cdata)
        element.text.append(c->value(), c->value_size());
      else if (c->type() == rapidxml::node_element)
        children.push_back(c);
    }
    for (const rapidxml::xml_node<char>* c : children) {
      const int child = static_cast<int>(tree.elements.size());
      tree.elements[static_cast<std::size_t>(index)].children.push_back(child);
      tree.elements.emplace_back();  // may move `element`: not used after this loop
      stack.emplace_back(c, child);
    }
  }
  return tree;
}

}  // namespace vision::detail::genapi

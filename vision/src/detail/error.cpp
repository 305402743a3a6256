// Raising HException, and the short printable form of tuples used in its messages
// (detail/error.h).
#include "detail/error.h"

#include "detail/text.h"

#include <cstdio>
#include <string>
#include <variant>

namespace vision::detail {

void Fail(std::uint32_t code, const char* proc, const std::string& message) {
  // Messages quote producers, cameras and descriptions: whatever they said is shown, not obeyed.
  throw HException(code, proc ? proc : "", Printable(message, kMaxMessageBytes));
}

namespace {
void DescribeElement(const HTuple::Element& e, std::string& out) {
  switch (e.index()) {
    case 0:
      out += std::to_string(std::get<Hlong>(e));
      break;
    case 1: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.10g", std::get<double>(e));
      out += buf;
      break;
    }
    case 2:
      out += '\'';
      out += std::get<std::string>(e);
      out += '\'';
      break;
    default: {
      const auto& h = std::get<HHandle>(e);
      out += "<";
      out += h ? h->KindName() : "null";
      out += " handle>";
      break;
    }
  }
}
}  // namespace

std::string Describe(const HTuple& value) {
  const auto& elems = value.Elements();
  if (elems.size() == 1) {
    std::string out;
    DescribeElement(elems[0], out);
    return out;
  }
  std::string out = "[";
  const std::size_t shown = elems.size() > 8 ? 8 : elems.size();
  for (std::size_t i = 0; i < shown; ++i) {
    if (i) out += ", ";
    DescribeElement(elems[i], out);
  }
  if (shown < elems.size()) out += ", ... (" + std::to_string(elems.size()) + " values)";
  out += "]";
  return out;
}

}  // namespace vision::detail

#include "detail/text.h"

#include <cstdio>

namespace vision::detail {

namespace {

// Length of the valid UTF-8 sequence at s[i] and its code point, or 0 when there is none.
std::size_t Sequence(std::string_view s, std::size_t i, char32_t* cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  std::size_t n;
  char32_t v, least;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    n = 2, v = c & 0x1F, least = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, v = c & 0x0F, least = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, v = c & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    v = v << 6 | (byte(i + k) & 0x3F);
  }
  if (v < least || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

bool Escaped(char32_t cp) {
  return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) ||  // C0, DEL, C1
         (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069) || cp == 0x2028 || cp == 0x2029;
}

std::string Escape(char32_t cp) {
  switch (cp) {
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      break;
  }
  char buf[12];
  if (cp < 0x80)
    std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
  else
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
  return buf;
}

std::string Clean(std::string_view text, std::size_t max_bytes, bool quote) {
  std::string out;
  out.reserve(text.size() < max_bytes ? text.size() + 2 : max_bytes + 5);
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t n = Sequence(text, i, &cp);
    std::string piece;
    if (n == 0)
      piece = "\xEF\xBF\xBD";  // U+FFFD for a byte that is no UTF-8
    else if (Escaped(cp))
      piece = Escape(cp);
    else if (quote && (cp == '\'' || cp == '\\'))
      piece = {'\\', static_cast<char>(cp)};
    else
      piece = text.substr(i, n);
    if (out.size() + piece.size() > max_bytes) {
      out += "...";
      break;
    }
    out += piece;
    i += n == 0 ? 1 : n;
  }
  return out;
}

}  // namespace

std::string Printable(std::string_view text, std::size_t max_bytes) {
  return Clean(text, max_bytes, false);
}

std::string Quoted(std::string_view text, std::size_t max_bytes) {
  std::string out(1, '\'');
  out += Clean(text, max_bytes, true);
  out += '\'';
  return out;
}

}  // namespace vision::detail

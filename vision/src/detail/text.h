// Texts that come from outside the library (a producer, a camera, a device description) and
// reach a console or a message: shown, never obeyed. Not installed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vision::detail {

// The text as it can be printed safely: control characters (C0, DEL, C1) and the characters
// that reorder text on screen as escapes (\n, \t, \x1b, \u009b, \u202e, ...), every byte that is
// not part of valid UTF-8 as U+FFFD, and at most max_bytes of it followed by "..." when longer
// (cut between characters). Printable text passes unchanged.
std::string Printable(std::string_view text, std::size_t max_bytes = 256);

// Printable text in single quotes, a quote inside escaped (\'), so that a field of a listing
// line can neither end the line nor pose as the next field.
std::string Quoted(std::string_view text, std::size_t max_bytes = 256);

// Longest message an HException carries.
inline constexpr std::size_t kMaxMessageBytes = 4096;

}  // namespace vision::detail

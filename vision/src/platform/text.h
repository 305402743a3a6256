// Texts between the library's 8-bit strings and the UTF-16 strings of the Windows API.
// Header-only (the simulated camera's producer uses it too). Windows only: elsewhere the system
// takes the 8-bit texts as they are.
#pragma once

#ifdef _WIN32

#include <string>
#include <string_view>

#include "platform/win32.h"

namespace vision::platform {

// How an 8-bit text is encoded: UTF-8, or the system's local ("ANSI") code page.
enum class Encoding { kUtf8, kLocal };

inline UINT CodePage(Encoding encoding) {
  return encoding == Encoding::kUtf8 ? CP_UTF8 : static_cast<UINT>(CP_ACP);
}

// The text in UTF-16; bytes that are not valid in the encoding become U+FFFD.
inline std::wstring Widen(std::string_view text, Encoding encoding = Encoding::kUtf8) {
  if (text.empty()) return std::wstring();
  const UINT cp = CodePage(encoding);
  const int n = MultiByteToWideChar(cp, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring out(std::size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(cp, 0, text.data(), int(text.size()), out.data(), n);
  return out;
}

// The UTF-16 text in the encoding; characters the local code page lacks become its default
// character.
inline std::string Narrow(std::wstring_view text, Encoding encoding = Encoding::kUtf8) {
  if (text.empty()) return std::string();
  const UINT cp = CodePage(encoding);
  const int n =
      WideCharToMultiByte(cp, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(std::size_t(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(cp, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace vision::platform

#endif  // _WIN32

// Reading the process environment, with one meaning everywhere: a variable that is set, even to
// nothing, is an (empty) text; one that is not set is nothing. Values are UTF-8: on Windows they
// are read from the process's own environment block in UTF-16 (so every module, whatever C
// runtime it carries, sees the same value, set before or after it was loaded). Header-only (the
// simulated camera's producer uses it too).
#pragma once

#include <optional>
#include <string>

#ifdef _WIN32
#include "platform/text.h"
#include "platform/win32.h"
#else
#include <cstdlib>
#endif

namespace vision::platform {

inline std::optional<std::string> Environment(const char* name) {
#ifdef _WIN32
  const std::wstring wide_name = Widen(name);
  SetLastError(ERROR_SUCCESS);
  const DWORD needed = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (needed == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::wstring value(needed, L'\0');
  const DWORD got = GetEnvironmentVariableW(wide_name.c_str(), value.data(), needed);
  value.resize(got < needed ? got : 0);
  return Narrow(value);
#else
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
#endif
}

}  // namespace vision::platform

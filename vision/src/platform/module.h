// The file a module (a program or a shared library) was loaded from. Header-only: the simulated
// camera's producer, which links no library of ours, uses it too.
//
// The module is named by an address inside it. Pass the address of something that belongs to
// the calling module alone (a function or object in an unnamed namespace): the functions below
// are inline, and the address of an inline function may resolve to another module's copy.
#pragma once

#include <string>

#ifdef _WIN32
#include "platform/text.h"
#include "platform/win32.h"
#else
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#endif

namespace vision::platform {

// The module's file (UTF-8) as the system's loader names it, "" when unknown.
inline std::string ModuleFile(const void* address) {
#ifdef _WIN32
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module))
    return std::string();
  std::wstring buffer(32768, L'\0');
  const DWORD n = GetModuleFileNameW(module, buffer.data(), DWORD(buffer.size()));
  if (n == 0 || n >= buffer.size()) return std::string();
  buffer.resize(n);
  return Narrow(buffer);
#else
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::string();
  return info.dli_fname;
#endif
}

// The folder holding the module's file (symbolic links resolved on POSIX systems), "" when
// unknown.
inline std::string ModuleFolder(const void* address) {
  std::string file = ModuleFile(address);
#ifndef _WIN32
  if (char* real = ::realpath(file.c_str(), nullptr)) {
    file = real;
    ::free(real);
  }
#endif
  const std::size_t slash = file.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : file.substr(0, slash);
}

}  // namespace vision::platform

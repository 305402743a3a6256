// Loading a shared library (a .so, a DLL, a GenTL producer's .cti) by its path at run time and
// finding its functions. Header-only (the tests' own producer loader uses it too).
//
// POSIX: dlopen with RTLD_NOW (a missing dependency is an error when loading, not a crash later)
// and RTLD_LOCAL (its symbols stay its own); Binding::kOwnFirst adds RTLD_DEEPBIND where the
// system has it, so the library's own copies of the libraries it carries win over the program's,
// except in sanitizer builds, whose runtimes refuse it. Windows: LoadLibraryExW with
// LOAD_WITH_ALTERED_SEARCH_PATH, so the DLLs beside the library are found.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#ifdef _WIN32
#include "platform/text.h"
#include "platform/win32.h"
#else
#include <dlfcn.h>
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VISION_PLATFORM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define VISION_PLATFORM_SANITIZED 1
#endif
#endif

namespace vision::platform {

#ifdef _WIN32
// The system's text for a Windows error code: "Windows error 126: The specified module could
// not be found".
inline std::string SystemErrorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n && text ? Narrow(std::wstring_view(text, n)) : std::string();
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
    out.pop_back();
  return "Windows error " + std::to_string(code) + (out.empty() ? "" : ": " + out);
}
#endif

class SharedLibrary {
 public:
  enum class Binding { kDefault, kOwnFirst };

  // Loads the file at path (UTF-8). Throws std::runtime_error("cannot be loaded: why").
  explicit SharedLibrary(const std::string& path, Binding binding = Binding::kDefault) {
#ifdef _WIN32
    (void)binding;
    HMODULE module = LoadLibraryExW(Widen(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) throw std::runtime_error("cannot be loaded: " + SystemErrorText(GetLastError()));
    handle_ = reinterpret_cast<void*>(module);
#else
    int flags = RTLD_NOW | RTLD_LOCAL;
#if defined(RTLD_DEEPBIND) && !defined(VISION_PLATFORM_SANITIZED)
    if (binding == Binding::kOwnFirst) flags |= RTLD_DEEPBIND;
#else
    (void)binding;
#endif
    dlerror();
    handle_ = dlopen(path.c_str(), flags);
    if (!handle_) {
      const char* why = dlerror();
      throw std::runtime_error(std::string("cannot be loaded: ") + (why ? why : "unknown reason"));
    }
#endif
  }
  ~SharedLibrary() {
    if (!handle_) return;
#ifdef _WIN32
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
  }
  SharedLibrary(SharedLibrary&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  SharedLibrary& operator=(SharedLibrary&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // The address of an exported function, or null.
  template <class Function = void (*)()>
  Function Symbol(const char* name) const {
#ifdef _WIN32
    const FARPROC symbol = GetProcAddress(reinterpret_cast<HMODULE>(handle_), name);
    return symbol ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(symbol)) : nullptr;
#else
    void* symbol = dlsym(handle_, name);
    return symbol ? reinterpret_cast<Function>(symbol) : nullptr;
#endif
  }

 private:
  void* handle_ = nullptr;
};

}  // namespace vision::platform

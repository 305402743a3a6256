#include "camera/gentl/library.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

// Sanitizer runtimes refuse libraries opened with RTLD_DEEPBIND (their interceptors would be
// bypassed).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VISION_GENTL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define VISION_GENTL_SANITIZED 1
#endif
#endif

namespace vision::detail::camera::gentl {
namespace {

// Stands in for an optional function the producer does not export.
template <class P>
struct NotImplemented;
template <class... A>
struct NotImplemented<abi::GC_ERROR(VISION_GC_CALLTYPE*)(A...)> {
  static abi::GC_ERROR VISION_GC_CALLTYPE Call(A...) { return abi::GC_ERR_NOT_IMPLEMENTED; }
};

// Set when a C++ exception escaped the producer in the last call on this thread.
thread_local bool t_exception_escaped = false;

// The longest text we accept from a producer's GCGetLastError.
constexpr std::size_t kMaxErrorText = 64 * 1024;

#ifdef _WIN32
std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(std::size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n && text ? std::string(text, n) : std::string();
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
    out.pop_back();
  return "Windows error " + std::to_string(code) + (out.empty() ? "" : ": " + out);
}
#endif

}  // namespace

const char* ErrorName(abi::GC_ERROR code) {
  switch (code) {
    case abi::GC_ERR_SUCCESS:
      return "GC_ERR_SUCCESS";
    case abi::GC_ERR_ERROR:
      return "GC_ERR_ERROR";
    case abi::GC_ERR_NOT_INITIALIZED:
      return "GC_ERR_NOT_INITIALIZED";
    case abi::GC_ERR_NOT_IMPLEMENTED:
      return "GC_ERR_NOT_IMPLEMENTED";
    case abi::GC_ERR_RESOURCE_IN_USE:
      return "GC_ERR_RESOURCE_IN_USE";
    case abi::GC_ERR_ACCESS_DENIED:
      return "GC_ERR_ACCESS_DENIED";
    case abi::GC_ERR_INVALID_HANDLE:
      return "GC_ERR_INVALID_HANDLE";
    case abi::GC_ERR_INVALID_ID:
      return "GC_ERR_INVALID_ID";
    case abi::GC_ERR_NO_DATA:
      return "GC_ERR_NO_DATA";
    case abi::GC_ERR_INVALID_PARAMETER:
      return "GC_ERR_INVALID_PARAMETER";
    case abi::GC_ERR_IO:
      return "GC_ERR_IO";
    case abi::GC_ERR_TIMEOUT:
      return "GC_ERR_TIMEOUT";
    case abi::GC_ERR_ABORT:
      return "GC_ERR_ABORT";
    case abi::GC_ERR_INVALID_BUFFER:
      return "GC_ERR_INVALID_BUFFER";
    case abi::GC_ERR_NOT_AVAILABLE:
      return "GC_ERR_NOT_AVAILABLE";
    case abi::GC_ERR_INVALID_ADDRESS:
      return "GC_ERR_INVALID_ADDRESS";
    case abi::GC_ERR_BUFFER_TOO_SMALL:
      return "GC_ERR_BUFFER_TOO_SMALL";
    case abi::GC_ERR_INVALID_INDEX:
      return "GC_ERR_INVALID_INDEX";
    case abi::GC_ERR_PARSING_CHUNK_DATA:
      return "GC_ERR_PARSING_CHUNK_DATA";
    case abi::GC_ERR_INVALID_VALUE:
      return "GC_ERR_INVALID_VALUE";
    case abi::GC_ERR_RESOURCE_EXHAUSTED:
      return "GC_ERR_RESOURCE_EXHAUSTED";
    case abi::GC_ERR_OUT_OF_MEMORY:
      return "GC_ERR_OUT_OF_MEMORY";
    case abi::GC_ERR_BUSY:
      return "GC_ERR_BUSY";
    case abi::GC_ERR_AMBIGUOUS:
      return "GC_ERR_AMBIGUOUS";
    default:
      return code <= abi::GC_ERR_CUSTOM_ID ? "a producer-specific error" : "unknown error";
  }
}

Library::Library(const std::string& path) : path_(path) {
#ifdef _WIN32
  HMODULE module = LoadLibraryExW(Widen(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) throw std::runtime_error("cannot be loaded: " + SystemMessage(GetLastError()));
  handle_ = reinterpret_cast<void*>(module);
#else
  int flags = RTLD_NOW | RTLD_LOCAL;
#if defined(RTLD_DEEPBIND) && !defined(VISION_GENTL_SANITIZED)
  flags |= RTLD_DEEPBIND;
#endif
  dlerror();
  handle_ = dlopen(path.c_str(), flags);
  if (!handle_) {
    const char* why = dlerror();
    throw std::runtime_error(std::string("cannot be loaded: ") + (why ? why : "unknown reason"));
  }
#endif
  try {
    Resolve();
  } catch (...) {
#ifdef _WIN32
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
    throw;
  }
}

Library::Library(std::string name, const Functions& functions)
    : path_(std::move(name)), fn_(functions) {
  Resolve();
}

Library::~Library() {
  if (!handle_) return;
#ifdef _WIN32
  FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

void Library::Resolve() {
  std::vector<std::string> required_missing;
  auto bind = [&](const char* name, std::uint32_t since_minor, auto& slot) {
    using Pointer = std::remove_reference_t<decltype(slot)>;
    if (handle_) {
#ifdef _WIN32
      FARPROC symbol = GetProcAddress(reinterpret_cast<HMODULE>(handle_), name);
      slot = symbol ? reinterpret_cast<Pointer>(reinterpret_cast<void (*)()>(symbol)) : nullptr;
#else
      void* symbol = dlsym(handle_, name);
      slot = symbol ? reinterpret_cast<Pointer>(symbol) : nullptr;
#endif
    }
    if (slot) {
      exported_.emplace_back(name);
    } else if (since_minor == 0) {
      required_missing.emplace_back(name);
    } else {
      missing_.emplace_back(name);
      slot = &NotImplemented<Pointer>::Call;
    }
  };
#define VISION_GENTL_BIND(name, minor, params) bind(#name, minor, fn_.name);
  VISION_GENTL_FUNCTIONS(VISION_GENTL_BIND)
#undef VISION_GENTL_BIND
  if (exported_.empty())
    throw std::runtime_error("is not a GenTL producer: it exports none of the GenTL functions");
  if (!required_missing.empty()) {
    std::string list;
    for (std::size_t i = 0; i < required_missing.size() && i < 6; ++i)
      list += (i ? ", " : "") + required_missing[i];
    if (required_missing.size() > 6)
      list += " and " + std::to_string(required_missing.size() - 6) + " more";
    throw std::runtime_error("lacks GenTL functions every producer must have: " + list);
  }
}

std::string Library::FileName() const {
  const auto slash = path_.find_last_of("/\\");
  return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

bool Library::Exports(std::string_view function) const {
  return std::find(exported_.begin(), exported_.end(), function) != exported_.end();
}

void Library::ExceptionEscaped() noexcept { t_exception_escaped = true; }

void Library::ClearEscaped() noexcept { t_exception_escaped = false; }

std::string Library::LastErrorText(abi::GC_ERROR result) const {
  abi::GC_ERROR code = abi::GC_ERR_SUCCESS;
  std::size_t size = 0;
  if (Call(fn_.GCGetLastError, &code, static_cast<char*>(nullptr), &size) != abi::GC_ERR_SUCCESS ||
      size == 0 || size > kMaxErrorText)
    return {};
  std::string text(size, '\0');
  std::size_t got = size;
  if (Call(fn_.GCGetLastError, &code, text.data(), &got) != abi::GC_ERR_SUCCESS) return {};
  // A text left over from an earlier failure would mislead.
  if (code != result) return {};
  text.resize(std::min(got, size));
  const auto nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

void Library::Fail(abi::GC_ERROR result, const char* function) const {
  throw Error(result, function);
}

GenTLError Library::Error(abi::GC_ERROR result, const char* function) const {
  std::string reason;
  if (t_exception_escaped) {
    t_exception_escaped = false;
    reason = "the producer let a C++ exception escape";
  } else if (result == abi::GC_ERR_NOT_IMPLEMENTED && !Exports(function)) {
    reason = "the producer does not have this function";
  } else {
    reason = LastErrorText(result);
  }
  std::string message = "producer '" + path_ + "': " + function + " failed with " +
                        ErrorName(result) + " (" + std::to_string(result) + ")";
  if (!reason.empty()) message += ": " + reason;
  if (reason.empty()) reason = std::string(ErrorName(result)) + " (" + std::to_string(result) + ")";
  return GenTLError(result, message, function, reason);
}

void Library::Wrong(const char* function, const std::string& problem) const {
  throw GenTLError(abi::GC_ERR_ERROR, "producer '" + path_ + "': " + function + " " + problem,
                   function, problem);
}

}  // namespace vision::detail::camera::gentl

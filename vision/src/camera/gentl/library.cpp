#include "camera/gentl/library.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

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

Library::Library(const std::string& path)
    : path_(path), file_(std::in_place, path, platform::SharedLibrary::Binding::kOwnFirst) {
  Resolve();
}

Library::Library(std::string name, const Functions& functions)
    : path_(std::move(name)), fn_(functions) {
  Resolve();
}

Library::~Library() = default;

void Library::Resolve() {
  std::vector<std::string> required_missing;
  auto bind = [&](const char* name, std::uint32_t since_minor, auto& slot) {
    using Pointer = std::remove_reference_t<decltype(slot)>;
    if (file_) slot = file_->Symbol<Pointer>(name);
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

// One GenTL producer file (.cti), loaded into the process: its functions resolved, every call's
// result checked.
//
// A producer is an ordinary shared library. It is loaded by its absolute path through
// platform::SharedLibrary, its own copies of the libraries it bundles first (Linux: RTLD_NOW |
// RTLD_LOCAL | RTLD_DEEPBIND, except in sanitizer builds whose runtimes refuse DEEPBIND;
// Windows: LOAD_WITH_ALTERED_SEARCH_PATH so the DLLs beside the producer are found).
// The functions present since GenTL 1.0 are required; the ones added later are optional and a
// call to a missing one answers GC_ERR_NOT_IMPLEMENTED, as a producer that has them but does
// not implement them would.
//
// Failures are GenTLError: the GenTL error code, and a message naming the producer file, the
// function, the error (name and number) and the producer's own GCGetLastError text, read on the
// failing thread right after the failure.
//
// Thread safety: a Library is immutable once loaded; its functions may be called from any
// thread as far as the producer allows (producers lock internally).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gentl_shared/gentl_abi.h"
#include "platform/shared_library.h"

namespace vision::detail::camera::gentl {

namespace abi = ::vision::gentl;

// A failed GenTL call, or an answer that cannot be used.
class GenTLError : public std::runtime_error {
 public:
  GenTLError(abi::GC_ERROR code, const std::string& message, std::string function = {},
             std::string reason = {})
      : std::runtime_error(message),
        code_(code),
        function_(std::move(function)),
        reason_(std::move(reason)) {}
  // The producer's result; GC_ERR_ERROR for problems found by the consumer (a wrong answer).
  abi::GC_ERROR Code() const noexcept { return code_; }
  // The function that failed.
  const std::string& Function() const noexcept { return function_; }
  // The reason alone: the producer's GCGetLastError text, else the error's name and number.
  const std::string& Reason() const noexcept { return reason_; }

 private:
  abi::GC_ERROR code_;
  std::string function_;
  std::string reason_;
};

// The symbolic name of a GenTL error code ("GC_ERR_IO"), or "unknown error" for a value
// outside the list.
const char* ErrorName(abi::GC_ERROR code);

// Every function of the interface, as pointers into the producer (or to stand-ins that answer
// GC_ERR_NOT_IMPLEMENTED for optional functions the producer lacks).
struct Functions {
#define VISION_GENTL_MEMBER(name, minor, params) abi::P##name name = nullptr;
  VISION_GENTL_FUNCTIONS(VISION_GENTL_MEMBER)
#undef VISION_GENTL_MEMBER
};

class Library {
 public:
  // Loads the producer at the absolute path. Throws std::runtime_error with the reason when the
  // file is not a loadable library or lacks one of the functions every producer has.
  explicit Library(const std::string& path);
  // A producer that is not a file: the given functions (nullptr for the missing ones). For
  // tests of the calling conventions around producers.
  Library(std::string name, const Functions& functions);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  const std::string& Path() const noexcept { return path_; }
  // The file name without its folder, for messages.
  std::string FileName() const;
  const Functions& Fn() const noexcept { return fn_; }
  // Whether the producer itself exports the function.
  bool Exports(std::string_view function) const;
  // The optional functions the producer does not export.
  const std::vector<std::string>& Missing() const noexcept { return missing_; }

  // Runs one call into the producer. A C++ exception escaping the producer (which must never
  // happen across a C interface) is caught and answers GC_ERR_ERROR.
  template <class F, class... A>
  abi::GC_ERROR Call(F function, A... args) const noexcept {
    ClearEscaped();
    try {
      return function(args...);
    } catch (...) {
      ExceptionEscaped();
      return abi::GC_ERR_ERROR;
    }
  }

  // Raises GenTLError for a failed result (anything but GC_ERR_SUCCESS); returns otherwise.
  // Reads the producer's GCGetLastError text, so call it right after the failing call on the
  // same thread. function names the call in the message.
  void Check(abi::GC_ERROR result, const char* function) const {
    if (result != abi::GC_ERR_SUCCESS) Fail(result, function);
  }
  [[noreturn]] void Fail(abi::GC_ERROR result, const char* function) const;
  // The error Fail would raise, for callers that keep it instead.
  GenTLError Error(abi::GC_ERROR result, const char* function) const;
  // Raises GenTLError(GC_ERR_ERROR) for an answer of the producer that cannot be used.
  [[noreturn]] void Wrong(const char* function, const std::string& problem) const;

 private:
  void Resolve();
  static void ExceptionEscaped() noexcept;
  static void ClearEscaped() noexcept;
  std::string LastErrorText(abi::GC_ERROR result) const;

  std::string path_;
  std::optional<platform::SharedLibrary> file_;  // none for a producer that is not a file
  Functions fn_;
  std::vector<std::string> exported_;
  std::vector<std::string> missing_;
};

// Calls a producer function through lib: GENTL_CALL(lib, TLOpen, &handle) gives the result,
// GENTL_CHECK(lib, TLOpen, &handle) raises GenTLError when it is not success.
#define GENTL_CALL(lib, function, ...) (lib).Call((lib).Fn().function __VA_OPT__(, ) __VA_ARGS__)
#define GENTL_CHECK(lib, function, ...) \
  (lib).Check(GENTL_CALL(lib, function __VA_OPT__(, ) __VA_ARGS__), #function)

}  // namespace vision::detail::camera::gentl

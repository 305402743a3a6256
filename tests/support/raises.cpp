#include "raises.h"

#include <gtest/gtest.h>

#include <optional>

namespace visiontest {
namespace {

// The HException f raises, nothing when it returns normally. Any other exception goes on to the
// test framework, which reports it as a failure.
std::optional<vision::HException> Run(const std::function<void()>& f) {
  try {
    f();
  } catch (const vision::HException& e) {
    return e;
  }
  return std::nullopt;
}

}  // namespace

std::string Raises(std::uint32_t code, const std::function<void()>& f, const char* text,
                   std::source_location where) {
  const std::optional<vision::HException> e = Run(f);
  if (!e) {
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << "no HException, expected code " << code;
    return {};
  }
  if (e->ErrorCode() != code) {
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << "expected code " << code << ", got " << e->what();
  }
  if (text != nullptr && std::string(e->what()).find(text) == std::string::npos) {
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << "expected '" << text << "' in " << e->what();
  }
  return e->ErrorMessage().Str();
}

vision::HException Raised(const std::function<void()>& f, std::source_location where) {
  std::optional<vision::HException> e = Run(f);
  if (!e) {
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << "no exception";
    return vision::HException(0, "", "");
  }
  return *std::move(e);
}

std::uint32_t ErrorOf(const std::function<void()>& f) {
  const std::optional<vision::HException> e = Run(f);
  return e ? e->ErrorCode() : 0;
}

}  // namespace visiontest

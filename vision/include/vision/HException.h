// The one exception type every operator raises on failure.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "vision/Export.h"
#include "vision/HString.h"

namespace vision {

class VISION_API HException : public std::exception {
 public:
  // code: one of vision::err (HErrorCodes.h); proc: the operator that failed; message: what went
  // wrong and with what (file, parameter and value, camera).
  HException(std::uint32_t code, std::string proc, std::string message);

  std::uint32_t ErrorCode() const noexcept { return code_; }
  HString ProcName() const { return HString(proc_); }
  HString ErrorMessage() const { return HString(message_); }
  // "<proc>: <message> (error <code>)"
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::uint32_t code_;
  std::string proc_;
  std::string message_;
  std::string what_;
};

}  // namespace vision

// How the producer's internals report a failure: a GenTL error code and a message for
// GCGetLastError. Every exported function catches these (and everything else) at the C boundary.
#pragma once

#include <stdexcept>
#include <string>

#include "gentl_shared/gentl_abi.h"
#include "gentl_shared/hex.h"

namespace vision::simcam {

class Error : public std::runtime_error {
 public:
  Error(gentl::GC_ERROR code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  gentl::GC_ERROR Code() const noexcept { return code_; }

 private:
  gentl::GC_ERROR code_;
};

using gentl::HexDigits;

}  // namespace vision::simcam

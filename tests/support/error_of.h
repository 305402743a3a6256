// Shared by the library's tests.
#pragma once

#include <cstdint>

#include <vision/HException.h>

namespace visiontest {

// The error code a call raises, 0 when it returns normally.
template <class F>
std::uint32_t ErrorOf(F&& f) {
  try {
    f();
  } catch (const vision::HException& e) {
    return e.ErrorCode();
  }
  return 0;
}

}  // namespace visiontest

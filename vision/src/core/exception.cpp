#include "vision/HException.h"

#include <string>
#include <utility>

namespace vision {

HException::HException(std::uint32_t code, std::string proc, std::string message)
    : code_(code), proc_(std::move(proc)), message_(std::move(message)) {
  what_ = proc_ + ": " + message_ + " (error " + std::to_string(code_) + ")";
}

}  // namespace vision

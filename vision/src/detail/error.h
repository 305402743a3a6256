// Helpers for raising HException with messages that name what went wrong. Not installed.
#pragma once

#include <cstdint>
#include <string>

#include "vision/HException.h"
#include "vision/HTuple.h"

namespace vision::detail {

[[noreturn]] void Fail(std::uint32_t code, const char* proc, const std::string& message);
// A short printable form of a tuple for messages: 5, 0.9, 'auto', [1, 2, 'x'].
std::string Describe(const HTuple& value);

}  // namespace vision::detail

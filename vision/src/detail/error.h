// Helpers for raising HException with messages that name what went wrong. Not installed.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "vision/HErrorCodes.h"
#include "vision/HException.h"
#include "vision/HTuple.h"

namespace vision::detail {

[[noreturn]] void Fail(std::uint32_t code, const char* proc, const std::string& message);
// A short printable form of a tuple for messages: 5, 0.9, 'auto', [1, 2, 'x'].
std::string Describe(const HTuple& value);

// Runs body and returns what it returns; running out of memory in it (std::bad_alloc) raises
// kOutOfMemory naming proc, so no operator lets std::bad_alloc escape.
template <class F>
decltype(auto) GuardMemory(const char* proc, F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    Fail(err::kOutOfMemory, proc, "not enough memory");
  }
}

}  // namespace vision::detail

// Helpers for raising HException with messages that name what went wrong. Not installed.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "vision/HErrorCodes.h"
#include "vision/HException.h"
#include "vision/HTuple.h"

namespace vision::detail {

[[noreturn]] void Fail(std::uint32_t code, const char* proc, const std::string& message);
// A short printable form of a tuple for messages: 5, 0.9, 'auto', [1, 2, 'x'].
std::string Describe(const HTuple& value);

// Runs body and returns what it returns; nothing but HException leaves it: running out of
// memory (std::bad_alloc) raises kOutOfMemory and any other std::exception (a length error, a
// failure of the standard library) kInternal, both naming proc. Every operator that can meet
// such a failure runs its work inside this guard.
template <class F>
decltype(auto) GuardMemory(const char* proc, F&& body) {
  try {
    return body();
  } catch (const HException&) {
    throw;
  } catch (const std::bad_alloc&) {
    Fail(err::kOutOfMemory, proc, "not enough memory");
  } catch (const std::exception& e) {
    Fail(err::kInternal, proc, std::string("unexpected failure: ") + e.what());
  }
}

}  // namespace vision::detail

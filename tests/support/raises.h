// Expecting a library error in a test: the one way to say "this call raises HException with
// this code", and the two probes it is built from.
#pragma once

#include <cstdint>
#include <functional>
#include <source_location>
#include <string>

#include <vision/HException.h>

namespace visiontest {

// Runs f, expecting it to raise HException with code and, when text is given, with text inside
// its what() (operator, message and code). Anything else (another code, the text missing, no
// exception at all) fails the test at the caller's line, showing the exception. Returns the
// exception's message for further checks ("" when f returned normally).
std::string Raises(std::uint32_t code, const std::function<void()>& f, const char* text = nullptr,
                   std::source_location where = std::source_location::current());

// Runs f, expecting it to raise HException with any code; returns the exception for tests that
// check its parts themselves. No exception fails the test at the caller's line and gives an
// exception with code 0.
vision::HException Raised(const std::function<void()>& f,
                          std::source_location where = std::source_location::current());

// The error code f raises, 0 when it returns normally: for checks that accept either outcome
// (a damaged file that may still decode). To expect a code, use Raises.
std::uint32_t ErrorOf(const std::function<void()>& f);

}  // namespace visiontest

#include "camera/genapi/range.h"

#include <cstdio>

namespace vision::detail::genapi {
namespace {

std::string Number(double d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.10g", d);
  return buf;
}

}  // namespace

std::optional<std::string> IntegerRefusal(const IntRange& range, std::int64_t value) {
  const std::string bounds = std::to_string(range.min) + " to " + std::to_string(range.max);
  if (value < range.min || value > range.max) return "out of range " + bounds;
  if (range.inc > 1) {
    // In unsigned arithmetic: the distance from min may exceed the signed range.
    const std::uint64_t steps = std::uint64_t(value) - std::uint64_t(range.min);
    if (steps % std::uint64_t(range.inc) != 0)
      return "not on the increment " + std::to_string(range.inc) + " from " +
             std::to_string(range.min) + " (range " + bounds + ")";
  }
  return std::nullopt;
}

std::optional<std::string> FloatRefusal(const FloatRange& range, double value) {
  if (!(value >= range.min && value <= range.max))
    return "out of range " + Number(range.min) + " to " + Number(range.max);
  return std::nullopt;
}

}  // namespace vision::detail::genapi

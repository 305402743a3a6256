// The rule a value of an Integer or Float feature must meet: within [min, max] and, for an
// Integer with an increment, on a step of it counted from min (a Float may lie between its
// steps: its increment is a hint for user interfaces). Free functions over the ranges a
// node map reports, so the rule is written once for every node map (ours, and the ranges other
// GenApi implementations report).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "camera/genapi/genapi.h"

namespace vision::detail::genapi {

// Why value breaks the range, or nothing when it meets it:
//   "out of range MIN to MAX"
//   "not on the increment INC from MIN (range MIN to MAX)"
// An increment below 2 constrains nothing beyond the bounds.
std::optional<std::string> IntegerRefusal(const IntRange& range, std::int64_t value);
// The same for floats (numbers printed with up to 10 significant digits); a value that is not a
// number is out of range. The increment is not checked.
std::optional<std::string> FloatRefusal(const FloatRange& range, double value);

}  // namespace vision::detail::genapi

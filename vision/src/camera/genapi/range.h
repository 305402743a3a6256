// The rule a value of an Integer or Float feature must meet: within [min, max] and, where the
// feature has an increment, on a step of it counted from min. Free functions over the ranges a
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
// The same for floats (numbers printed with up to 10 significant digits). A value that is not a
// number is out of range. The increment, where given and positive, allows a relative error of
// 1e-6 of a step.
std::optional<std::string> FloatRefusal(const FloatRange& range, double value);

}  // namespace vision::detail::genapi

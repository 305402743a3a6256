// Checking of the control values handed to the matching operators. Not installed.
#pragma once

#include <cmath>
#include <initializer_list>
#include <string>

#include "detail/error.h"
#include "vision/HErrorCodes.h"
#include "vision/HTuple.h"

namespace vision::detail {

inline std::string ParamText(const char* name, const HTuple& value) {
  return std::string("parameter ") + name + " = " + Describe(value);
}

inline bool IsText(const HTuple& value, const char* text) {
  return value.Length() == 1 && value.Type(0) == HTupleType::String && value.S().Str() == text;
}

// One finite number (integer or double).
inline double NumberParam(const HTuple& value, const char* proc, const char* name) {
  if (value.Length() != 1) {
    Fail(err::kWrongParamCount, proc, ParamText(name, value) + ": exactly one number expected");
  }
  const HTupleType t = value.Type(0);
  if (t != HTupleType::Integer && t != HTupleType::Double) {
    Fail(err::kWrongParamType, proc, ParamText(name, value) + ": a number expected");
  }
  const double v = value.D();
  if (!std::isfinite(v)) Fail(err::kWrongParamValue, proc, ParamText(name, value) + ": not finite");
  return v;
}

// A number in [lo, hi].
inline double NumberInRange(const HTuple& value, const char* proc, const char* name, double lo,
                            double hi) {
  const double v = NumberParam(value, proc, name);
  if (v < lo || v > hi) {
    Fail(err::kWrongParamValue, proc,
         ParamText(name, value) + ": must lie in [" + Describe(HTuple(lo)) + ", " +
             Describe(HTuple(hi)) + "]");
  }
  return v;
}

// One integer (a double with an integral value is accepted too) in [lo, hi].
inline long long IntegerParam(const HTuple& value, const char* proc, const char* name, long long lo,
                              long long hi) {
  if (value.Length() != 1) {
    Fail(err::kWrongParamCount, proc, ParamText(name, value) + ": exactly one integer expected");
  }
  double v = 0;
  if (value.Type(0) == HTupleType::Integer) {
    v = double(value.L());
  } else if (value.Type(0) == HTupleType::Double && std::floor(value.D()) == value.D()) {
    v = value.D();
  } else {
    Fail(err::kWrongParamType, proc, ParamText(name, value) + ": an integer expected");
  }
  if (v < double(lo) || v > double(hi)) {
    Fail(err::kWrongParamValue, proc,
         ParamText(name, value) + ": must lie in [" + std::to_string(lo) + ", " +
             std::to_string(hi) + "]");
  }
  return static_cast<long long>(v);
}

// "auto" (returns 0) or a number in (0, hi].
inline double AutoOrPositive(const HTuple& value, const char* proc, const char* name, double hi) {
  if (value.Length() == 1 && value.Type(0) == HTupleType::String) {
    if (value.S().Str() == "auto") return 0;
    Fail(err::kWrongParamValue, proc, ParamText(name, value) + ": 'auto' or a number expected");
  }
  const double v = NumberParam(value, proc, name);
  if (!(v > 0) || v > hi) {
    Fail(err::kWrongParamValue, proc,
         ParamText(name, value) + ": must be 'auto' or lie in (0, " + Describe(HTuple(hi)) + "]");
  }
  return v;
}

// One text out of a fixed list; returns its index.
inline int ChoiceParam(const HTuple& value, const char* proc, const char* name,
                       std::initializer_list<const char*> choices) {
  if (value.Length() != 1 || value.Type(0) != HTupleType::String) {
    Fail(value.Length() == 1 ? err::kWrongParamType : err::kWrongParamCount, proc,
         ParamText(name, value) + ": one text expected");
  }
  const std::string s = value.S().Str();
  int i = 0;
  std::string list;
  for (const char* c : choices) {
    if (s == c) return i;
    list += (i ? ", '" : "'") + std::string(c) + "'";
    ++i;
  }
  Fail(err::kWrongParamValue, proc, ParamText(name, value) + ": unknown value; known: " + list);
}

// A range [lo, hi] given as two numbers that must not be the wrong way round.
inline void CheckRange(double lo, double hi, const char* proc, const char* lo_name,
                       const char* hi_name) {
  if (hi < lo) {
    Fail(err::kWrongParamRange, proc,
         std::string("range the wrong way round: ") + lo_name + " = " + Describe(HTuple(lo)) +
             " is larger than " + hi_name + " = " + Describe(HTuple(hi)));
  }
}

}  // namespace vision::detail

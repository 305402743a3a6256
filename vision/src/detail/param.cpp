#include "detail/param.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "detail/error.h"
#include "vision/HErrorCodes.h"

namespace vision::detail {

std::string Assignment(const std::string& name, const HTuple& value) {
  return name + " = " + Describe(value);
}

std::string ParamText(const char* name, const HTuple& value) {
  return "parameter " + Assignment(name, value);
}

void BadParam(std::uint32_t code, const char* proc, const char* name, const HTuple& value,
              const std::string& why) {
  Fail(code, proc, ParamText(name, value) + ": " + why);
}

bool IsText(const HTuple& value, const char* text) {
  return value.Length() == 1 && value.Type(0) == HTupleType::String && value.S().Str() == text;
}

bool ReadText(const HTuple& value, std::string* out) {
  if (value.Length() != 1 || value.Type(0) != HTupleType::String) return false;
  *out = value.S().Str();
  return true;
}

std::string ValueText(const HTuple& value) {
  std::string text;
  return ReadText(value, &text) ? text : Describe(value);
}

bool ReadIntegerNumber(const HTuple& value, std::int64_t* out) {
  if (value.Length() != 1) return false;
  if (value.Type(0) == HTupleType::Integer) {
    *out = value.L();
    return true;
  }
  if (value.Type(0) != HTupleType::Double) return false;
  const double d = value.D();
  // The bounds keep the conversion defined (and NaN out) before the integral check.
  if (!(d >= -9.2e18 && d <= 9.2e18) || d != double(std::int64_t(d))) return false;
  *out = std::int64_t(d);
  return true;
}

bool ReadInteger(const HTuple& value, std::int64_t* out) {
  if (value.Length() != 1 || value.Type(0) != HTupleType::String)
    return ReadIntegerNumber(value, out);
  const std::string s = value.S().Str();
  const char* end = s.data() + s.size();
  std::int64_t v = 0;
  const auto [stop, error] = std::from_chars(s.data(), end, v, 10);
  if (error != std::errc() || stop != end) return false;
  *out = v;
  return true;
}

bool ReadNumber(const HTuple& value, double* out) {
  if (value.Length() != 1) return false;
  switch (value.Type(0)) {
    case HTupleType::Integer:
    case HTupleType::Double:
      *out = value.D();
      return true;
    case HTupleType::String: {
      const std::string s = value.S().Str();
      if (s.empty()) return false;
      char* end = nullptr;
      errno = 0;
      const double v = std::strtod(s.c_str(), &end);
      if (errno != 0 || *end != '\0') return false;
      *out = v;
      return true;
    }
    default:
      return false;
  }
}

bool ReadBoolean(const HTuple& value, bool* out) {
  std::string text;
  if (ReadText(value, &text)) {
    if (text == "true" || text == "1") return *out = true, true;
    if (text == "false" || text == "0") return *out = false, true;
    return false;
  }
  std::int64_t v = 0;
  if (!ReadIntegerNumber(value, &v) || (v != 0 && v != 1)) return false;
  *out = v == 1;
  return true;
}

bool ReadFiniteNumbers(const HTuple& value, std::vector<double>* out) {
  std::vector<double> numbers;
  numbers.reserve(std::size_t(value.Length()));
  for (const auto& e : value.Elements()) {
    if (const Hlong* i = std::get_if<Hlong>(&e)) {
      numbers.push_back(static_cast<double>(*i));
    } else if (const double* d = std::get_if<double>(&e); d && std::isfinite(*d)) {
      numbers.push_back(*d);
    } else {
      return false;
    }
  }
  *out = std::move(numbers);
  return true;
}

std::string TextParam(const HTuple& value, const char* proc, const char* name) {
  std::string text;
  if (!ReadText(value, &text))
    BadParam(err::kWrongParamType, proc, name, value, "one text expected");
  return text;
}

double NumberParam(const HTuple& value, const char* proc, const char* name) {
  if (value.Length() != 1) {
    BadParam(err::kWrongParamCount, proc, name, value, "exactly one number expected");
  }
  const HTupleType t = value.Type(0);
  if (t != HTupleType::Integer && t != HTupleType::Double) {
    BadParam(err::kWrongParamType, proc, name, value, "a number expected");
  }
  const double v = value.D();
  if (!std::isfinite(v)) BadParam(err::kWrongParamValue, proc, name, value, "not finite");
  return v;
}

double NumberInRange(const HTuple& value, const char* proc, const char* name, double lo,
                     double hi) {
  const double v = NumberParam(value, proc, name);
  if (v < lo || v > hi) {
    BadParam(err::kWrongParamValue, proc, name, value,
             "must lie in [" + Describe(HTuple(lo)) + ", " + Describe(HTuple(hi)) + "]");
  }
  return v;
}

long long IntegerParam(const HTuple& value, const char* proc, const char* name, long long lo,
                       long long hi) {
  if (value.Length() != 1) {
    BadParam(err::kWrongParamCount, proc, name, value, "exactly one integer expected");
  }
  double v = 0;
  if (value.Type(0) == HTupleType::Integer) {
    v = double(value.L());
  } else if (value.Type(0) == HTupleType::Double && std::floor(value.D()) == value.D()) {
    v = value.D();
  } else {
    BadParam(err::kWrongParamType, proc, name, value, "an integer expected");
  }
  if (v < double(lo) || v > double(hi)) {
    BadParam(err::kWrongParamValue, proc, name, value,
             "must lie in [" + std::to_string(lo) + ", " + std::to_string(hi) + "]");
  }
  return static_cast<long long>(v);
}

double AutoOrPositive(const HTuple& value, const char* proc, const char* name, double hi) {
  if (value.Length() == 1 && value.Type(0) == HTupleType::String) {
    if (value.S().Str() == "auto") return 0;
    BadParam(err::kWrongParamValue, proc, name, value, "'auto' or a number expected");
  }
  const double v = NumberParam(value, proc, name);
  if (!(v > 0) || v > hi) {
    BadParam(err::kWrongParamValue, proc, name, value,
             "must be 'auto' or lie in (0, " + Describe(HTuple(hi)) + "]");
  }
  return v;
}

int ChoiceParam(const HTuple& value, const char* proc, const char* name,
                std::initializer_list<const char*> choices) {
  if (value.Length() != 1 || value.Type(0) != HTupleType::String) {
    BadParam(value.Length() == 1 ? err::kWrongParamType : err::kWrongParamCount, proc, name, value,
             "one text expected");
  }
  const std::string s = value.S().Str();
  int i = 0;
  std::string list;
  for (const char* c : choices) {
    if (s == c) return i;
    list += (i ? ", '" : "'") + std::string(c) + "'";
    ++i;
  }
  BadParam(err::kWrongParamValue, proc, name, value, "unknown value; known: " + list);
}

void CheckRange(double lo, double hi, const char* proc, const char* lo_name, const char* hi_name) {
  if (hi < lo) {
    Fail(err::kWrongParamRange, proc,
         std::string("range the wrong way round: ") + Assignment(lo_name, HTuple(lo)) +
             " is larger than " + Assignment(hi_name, HTuple(hi)));
  }
}

}  // namespace vision::detail

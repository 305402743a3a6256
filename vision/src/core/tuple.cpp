#include "vision/HTuple.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <numbers>
#include <string_view>

#include "detail/error.h"
#include "vision/HErrorCodes.h"

namespace vision {

HHandleBase::~HHandleBase() = default;

namespace {

using detail::Describe;
using detail::Fail;
using Element = HTuple::Element;

constexpr int kInt = 0;
constexpr int kDouble = 1;
constexpr int kString = 2;

const char* KindName(const Element& e) {
  switch (e.index()) {
    case kInt:
      return "integer";
    case kDouble:
      return "double";
    case kString:
      return "text";
    default:
      return "handle";
  }
}

bool IsNumber(const Element& e) { return e.index() == kInt || e.index() == kDouble; }

double AsDouble(const Element& e) {
  return e.index() == kInt ? static_cast<double>(std::get<Hlong>(e)) : std::get<double>(e);
}

// Text form of a number when it is joined to a text: integers in decimal, doubles with up to 15
// significant digits.
std::string NumberText(const Element& e) {
  if (e.index() == kInt) return std::to_string(std::get<Hlong>(e));
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", std::get<double>(e));
  return buf;
}

std::string AsText(const Element& e) {
  if (e.index() == kString) return std::get<std::string>(e);
  return NumberText(e);
}

// Runs op over the elements of a and b with one-element broadcasting.
template <class Op>
HTuple Elementwise(const HTuple& a, const HTuple& b, const char* proc, Op op) {
  const auto& ea = a.Elements();
  const auto& eb = b.Elements();
  std::size_t n;
  if (ea.size() == eb.size()) {
    n = ea.size();
  } else if (ea.size() == 1) {
    n = eb.size();
  } else if (eb.size() == 1) {
    n = ea.size();
  } else {
    Fail(err::kTupleLength, proc,
         "operands have different lengths (" + std::to_string(ea.size()) + " and " +
             std::to_string(eb.size()) + ")");
  }
  return detail::GuardMemory(proc, [&] {
    std::vector<Element> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      const Element& x = ea.size() == 1 ? ea[0] : ea[i];
      const Element& y = eb.size() == 1 ? eb[0] : eb[i];
      out.push_back(op(x, y));
    }
    return HTuple(std::move(out));
  });
}

void RequireNumbers(const Element& x, const Element& y, const char* proc) {
  if (!IsNumber(x) || !IsNumber(y)) {
    Fail(err::kTupleType, proc,
         std::string("operands must be numbers, got ") + KindName(x) + " and " + KindName(y));
  }
}

// Integer arithmetic that wraps instead of invoking undefined behaviour on overflow.
Hlong WrapAdd(Hlong a, Hlong b) {
  return static_cast<Hlong>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
Hlong WrapSub(Hlong a, Hlong b) {
  return static_cast<Hlong>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
Hlong WrapMul(Hlong a, Hlong b) {
  return static_cast<Hlong>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

const Element& First(const HTuple& t, const char* what) {
  if (t.IsEmpty()) Fail(err::kTupleEmpty, what, "the tuple is empty");
  return t.Elements()[0];
}

// Compares two elements: <0, 0, >0. Numbers by value, texts by bytes, handles by identity.
int CompareElements(const Element& x, const Element& y, const char* proc) {
  if (IsNumber(x) && IsNumber(y)) {
    if (x.index() == kInt && y.index() == kInt) {
      const Hlong a = std::get<Hlong>(x), b = std::get<Hlong>(y);
      return a < b ? -1 : (a > b ? 1 : 0);
    }
    // NaN sorts after every number and equals only itself, so the order stays total and NaN
    // never compares equal to a number. Integers meet doubles in long double, which holds every
    // 64-bit integer exactly where the platform has extended precision.
    const bool xnan = x.index() == kDouble && std::isnan(std::get<double>(x));
    const bool ynan = y.index() == kDouble && std::isnan(std::get<double>(y));
    if (xnan || ynan) return xnan == ynan ? 0 : (xnan ? 1 : -1);
    const long double a = x.index() == kInt ? static_cast<long double>(std::get<Hlong>(x))
                                            : static_cast<long double>(std::get<double>(x));
    const long double b = y.index() == kInt ? static_cast<long double>(std::get<Hlong>(y))
                                            : static_cast<long double>(std::get<double>(y));
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  if (x.index() == kString && y.index() == kString) {
    const int c = std::get<std::string>(x).compare(std::get<std::string>(y));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  if (x.index() == 3 && y.index() == 3) {
    const auto* a = std::get<HHandle>(x).get();
    const auto* b = std::get<HHandle>(y).get();
    return std::less<>{}(a, b) ? -1 : (a == b ? 0 : 1);
  }
  Fail(err::kTupleType, proc,
       std::string("cannot compare ") + KindName(x) + " with " + KindName(y));
}

int CompareTuples(const HTuple& a, const HTuple& b, const char* proc) {
  const auto& ea = a.Elements();
  const auto& eb = b.Elements();
  const std::size_t n = std::min(ea.size(), eb.size());
  for (std::size_t i = 0; i < n; ++i) {
    const int c = CompareElements(ea[i], eb[i], proc);
    if (c != 0) return c;
  }
  return ea.size() < eb.size() ? -1 : (ea.size() > eb.size() ? 1 : 0);
}

// A parsed printf-style conversion: flags, width, precision and the conversion letter.
struct FormatSpec {
  std::string flags;
  int width = -1;
  int precision = -1;
  char conv = 0;
};

FormatSpec ParseFormat(const std::string& text) {
  constexpr const char* proc = "TupleString";
  FormatSpec conversion;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && std::string_view("-+ #0").find(text[i]) != std::string_view::npos) {
    if (conversion.flags.find(text[i]) == std::string::npos) conversion.flags += text[i];
    ++i;
  }
  auto read_number = [&](int& out) {
    std::size_t start = i;
    long value = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + (text[i] - '0');
      if (value > 512)
        Fail(err::kTupleFormat, proc, "width or precision too large in format '" + text + "'");
      ++i;
    }
    if (i > start) out = static_cast<int>(value);
    return i > start;
  };
  read_number(conversion.width);
  if (i < n && text[i] == '.') {
    ++i;
    if (!read_number(conversion.precision)) conversion.precision = 0;
  }
  if (i + 1 != n || std::string_view("dixXofeEgGs").find(text[i]) == std::string_view::npos) {
    Fail(err::kTupleFormat, proc,
         "bad format '" + text +
             "': expected [flags][width][.precision] followed by one of "
             "d i x X o f e E g G s");
  }
  conversion.conv = text[i];
  return conversion;
}

std::string FormatElement(const Element& e, const FormatSpec& conversion) {
  std::string fmt(1, '%');
  fmt += conversion.flags;
  if (conversion.width >= 0) fmt += std::to_string(conversion.width);
  if (conversion.precision >= 0) {
    fmt += '.';
    fmt += std::to_string(conversion.precision);
  }
  char buf[1100];
  switch (conversion.conv) {
    case 'd':
    case 'i':
    case 'x':
    case 'X':
    case 'o': {
      if (!IsNumber(e)) {
        Fail(err::kTupleType, "TupleString",
             std::string("format '") + conversion.conv + "' needs a number, got " + KindName(e));
      }
      long long v;
      if (e.index() == kInt) {
        v = std::get<Hlong>(e);
      } else {
        const double d = std::trunc(std::get<double>(e));
        if (!(d >= -9.2e18 && d <= 9.2e18)) {
          Fail(err::kTupleType, "TupleString", "value out of integer range: " + NumberText(e));
        }
        v = static_cast<long long>(d);
      }
      fmt += "ll";
      fmt += conversion.conv;
      std::snprintf(buf, sizeof buf, fmt.c_str(), v);
      return buf;
    }
    case 's': {
      fmt += 's';
      const std::string text = AsText(e);
      const int len = std::snprintf(nullptr, 0, fmt.c_str(), text.c_str());
      std::string out(static_cast<std::size_t>(len > 0 ? len : 0), '\0');
      std::snprintf(out.data(), out.size() + 1, fmt.c_str(), text.c_str());
      return out;
    }
    default: {
      if (!IsNumber(e)) {
        Fail(err::kTupleType, "TupleString",
             std::string("format '") + conversion.conv + "' needs a number, got " + KindName(e));
      }
      fmt += conversion.conv;
      std::snprintf(buf, sizeof buf, fmt.c_str(), AsDouble(e));
      return buf;
    }
  }
}

}  // namespace

HTuple::HTuple(const char* text) {
  if (text == nullptr) Fail(err::kWrongParamValue, "HTuple", "null text");
  elems_.emplace_back(std::string(text));
}

HTuple::HTuple(HHandle handle) {
  if (!handle) Fail(err::kWrongParamValue, "HTuple", "null handle");
  elems_.emplace_back(std::move(handle));
}

HTupleType HTuple::Type(Hlong index) const {
  if (index < 0 || index >= Length()) {
    Fail(err::kTupleIndex, "HTuple::Type",
         "index " + std::to_string(index) + " outside 0.." + std::to_string(Length() - 1));
  }
  return static_cast<HTupleType>(elems_[static_cast<std::size_t>(index)].index());
}

HTuple HTuple::operator[](Hlong index) const {
  if (index < 0 || index >= Length()) {
    Fail(err::kTupleIndex, "HTuple::operator[]",
         "index " + std::to_string(index) + " outside a tuple of " + std::to_string(Length()) +
             " elements");
  }
  return HTuple(std::vector<Element>{elems_[static_cast<std::size_t>(index)]});
}

Hlong HTuple::L() const {
  const Element& e = First(*this, "HTuple::L");
  if (e.index() != kInt) {
    Fail(err::kTupleType, "HTuple::L",
         std::string("integer expected, got ") + KindName(e) + " " + Describe(*this));
  }
  return std::get<Hlong>(e);
}

int HTuple::I() const {
  const Element& e = First(*this, "HTuple::I");
  if (e.index() != kInt) {
    Fail(err::kTupleType, "HTuple::I",
         std::string("integer expected, got ") + KindName(e) + " " + Describe(*this));
  }
  const Hlong v = std::get<Hlong>(e);
  if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) {
    Fail(err::kTupleType, "HTuple::I", "value " + std::to_string(v) + " does not fit an int");
  }
  return static_cast<int>(v);
}

double HTuple::D() const {
  const Element& e = First(*this, "HTuple::D");
  if (!IsNumber(e)) {
    Fail(err::kTupleType, "HTuple::D",
         std::string("number expected, got ") + KindName(e) + " " + Describe(*this));
  }
  return AsDouble(e);
}

HString HTuple::S() const {
  const Element& e = First(*this, "HTuple::S");
  if (e.index() != kString) {
    Fail(err::kTupleType, "HTuple::S",
         std::string("text expected, got ") + KindName(e) + " " + Describe(*this));
  }
  return HString(std::get<std::string>(e));
}

HHandle HTuple::H() const {
  const Element& e = First(*this, "HTuple::H");
  if (e.index() != 3) {
    Fail(err::kTupleType, "HTuple::H",
         std::string("handle expected, got ") + KindName(e) + " " + Describe(*this));
  }
  return std::get<HHandle>(e);
}

HTuple& HTuple::Append(const HTuple& other) {
  if (&other == this) {
    const std::vector<Element> copy = other.elems_;
    elems_.insert(elems_.end(), copy.begin(), copy.end());
  } else {
    elems_.insert(elems_.end(), other.elems_.begin(), other.elems_.end());
  }
  return *this;
}

HTuple HTuple::TupleConcat(const HTuple& other) const {
  return detail::GuardMemory("TupleConcat", [&] {
    HTuple out = *this;
    out.Append(other);
    return out;
  });
}

HTuple HTuple::TupleLength() const { return HTuple(Length()); }

HTuple HTuple::TupleRad() const {
  return detail::GuardMemory("TupleRad", [&] {
    std::vector<Element> out;
    out.reserve(elems_.size());
    for (const Element& e : elems_) {
      if (!IsNumber(e))
        Fail(err::kTupleType, "TupleRad", std::string("number expected, got ") + KindName(e));
      out.emplace_back(AsDouble(e) * (std::numbers::pi / 180.0));
    }
    return HTuple(std::move(out));
  });
}

HTuple HTuple::TupleDeg() const {
  return detail::GuardMemory("TupleDeg", [&] {
    std::vector<Element> out;
    out.reserve(elems_.size());
    for (const Element& e : elems_) {
      if (!IsNumber(e))
        Fail(err::kTupleType, "TupleDeg", std::string("number expected, got ") + KindName(e));
      out.emplace_back(AsDouble(e) * (180.0 / std::numbers::pi));
    }
    return HTuple(std::move(out));
  });
}

HTuple HTuple::TupleString(const HTuple& format) const {
  const Element& f = First(format, "TupleString");
  if (f.index() != kString || format.Length() != 1) {
    Fail(err::kTupleFormat, "TupleString", "the format must be one text, got " + Describe(format));
  }
  const FormatSpec conversion = ParseFormat(std::get<std::string>(f));
  return detail::GuardMemory("TupleString", [&] {
    std::vector<Element> out;
    out.reserve(elems_.size());
    for (const Element& e : elems_) out.emplace_back(FormatElement(e, conversion));
    return HTuple(std::move(out));
  });
}

HTuple HTuple::operator-() const {
  return detail::GuardMemory("TupleNeg", [&] {
    std::vector<Element> out;
    out.reserve(elems_.size());
    for (const Element& e : elems_) {
      if (e.index() == kInt) {
        out.emplace_back(WrapSub(0, std::get<Hlong>(e)));
      } else if (e.index() == kDouble) {
        out.emplace_back(-std::get<double>(e));
      } else {
        Fail(err::kTupleType, "TupleNeg", std::string("number expected, got ") + KindName(e));
      }
    }
    return HTuple(std::move(out));
  });
}

HTuple& HTuple::operator+=(const HTuple& other) { return *this = *this + other; }
HTuple& HTuple::operator-=(const HTuple& other) { return *this = *this - other; }
HTuple& HTuple::operator*=(const HTuple& other) { return *this = *this * other; }

HTuple operator+(const HTuple& a, const HTuple& b) {
  return Elementwise(a, b, "TupleAdd", [](const Element& x, const Element& y) -> Element {
    if (x.index() == kString || y.index() == kString) {
      if (x.index() == 3 || y.index() == 3)
        Fail(err::kTupleType, "TupleAdd", "cannot join a handle to a text");
      return AsText(x) + AsText(y);
    }
    RequireNumbers(x, y, "TupleAdd");
    if (x.index() == kInt && y.index() == kInt)
      return WrapAdd(std::get<Hlong>(x), std::get<Hlong>(y));
    return AsDouble(x) + AsDouble(y);
  });
}

HTuple operator-(const HTuple& a, const HTuple& b) {
  return Elementwise(a, b, "TupleSub", [](const Element& x, const Element& y) -> Element {
    RequireNumbers(x, y, "TupleSub");
    if (x.index() == kInt && y.index() == kInt)
      return WrapSub(std::get<Hlong>(x), std::get<Hlong>(y));
    return AsDouble(x) - AsDouble(y);
  });
}

HTuple operator*(const HTuple& a, const HTuple& b) {
  return Elementwise(a, b, "TupleMult", [](const Element& x, const Element& y) -> Element {
    RequireNumbers(x, y, "TupleMult");
    if (x.index() == kInt && y.index() == kInt)
      return WrapMul(std::get<Hlong>(x), std::get<Hlong>(y));
    return AsDouble(x) * AsDouble(y);
  });
}

HTuple operator/(const HTuple& a, const HTuple& b) {
  return Elementwise(a, b, "TupleDiv", [](const Element& x, const Element& y) -> Element {
    RequireNumbers(x, y, "TupleDiv");
    if (x.index() == kInt && y.index() == kInt) {
      const Hlong d = std::get<Hlong>(y);
      const Hlong n = std::get<Hlong>(x);
      if (d == 0) Fail(err::kTupleDivZero, "TupleDiv", "integer division by zero");
      if (d == -1) return WrapSub(0, n);
      return n / d;
    }
    return AsDouble(x) / AsDouble(y);
  });
}

bool operator==(const HTuple& a, const HTuple& b) {
  if (a.Length() != b.Length()) return false;
  for (std::size_t i = 0; i < a.Elements().size(); ++i) {
    const Element& x = a.Elements()[i];
    const Element& y = b.Elements()[i];
    if (IsNumber(x) != IsNumber(y) || (!IsNumber(x) && x.index() != y.index())) return false;
    if (CompareElements(x, y, "TupleEqual") != 0) return false;
  }
  return true;
}

bool operator<(const HTuple& a, const HTuple& b) { return CompareTuples(a, b, "TupleLess") < 0; }

}  // namespace vision

// HTuple: a sequence of control values. Each element is a 64-bit integer, a double, a text or a
// handle (a reference-counted library object such as a shape model).
//
// Arithmetic is element-wise; a one-element operand is broadcast over the other, integer op
// integer stays integer, any double operand gives a double, and operands of different lengths
// (neither of length one) are an error. Conversions to a number raise HException on an empty
// tuple or an element of the wrong kind; they never return a silent 0.
//
// Thread safety: distinct tuples may be used from different threads; one tuple is not to be
// changed while another thread reads it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "vision/Export.h"
#include "vision/HString.h"

namespace vision {

using Hlong = std::int64_t;

// Base of every object a tuple can hold by handle (a shape model, ...). Released when its last
// tuple goes. The library makes handles; programs hold them (HHandle) and pass them back.
class VISION_API HHandleBase {
 public:
  virtual ~HHandleBase();
  // A short name of the handle's kind, used in error messages ("shape_model", ...).
  virtual const char* KindName() const noexcept = 0;
};

namespace detail {
using HandleBase = HHandleBase;  // the name the library's own code uses
}  // namespace detail

using HHandle = std::shared_ptr<HHandleBase>;

enum class HTupleType { Integer, Double, String, Handle };

class VISION_API HTuple {
 public:
  using Element = std::variant<Hlong, double, std::string, HHandle>;

  HTuple() = default;
  HTuple(int value) : elems_{Hlong{value}} {}          // NOLINT(google-explicit-constructor)
  HTuple(long value) : elems_{Hlong(value)} {}         // NOLINT(google-explicit-constructor)
  HTuple(long long value) : elems_{Hlong(value)} {}    // NOLINT(google-explicit-constructor)
  HTuple(double value) : elems_{value} {}              // NOLINT(google-explicit-constructor)
  HTuple(float value) : elems_{double(value)} {}       // NOLINT(google-explicit-constructor)
  HTuple(const char* text);                            // NOLINT(google-explicit-constructor)
  HTuple(const std::string& text) : elems_{text} {}    // NOLINT(google-explicit-constructor)
  HTuple(const HString& text) : elems_{text.Str()} {}  // NOLINT(google-explicit-constructor)
  HTuple(HHandle handle);                              // NOLINT(google-explicit-constructor)
  explicit HTuple(std::vector<Element> elems) : elems_(std::move(elems)) {}

  // Number of elements.
  Hlong Length() const noexcept { return static_cast<Hlong>(elems_.size()); }
  bool IsEmpty() const noexcept { return elems_.empty(); }
  HTupleType Type(Hlong index) const;
  const std::vector<Element>& Elements() const noexcept { return elems_; }

  // Element access (0-based); an index out of range raises HException.
  HTuple operator[](Hlong index) const;

  // Conversions of the first element (further elements are ignored). An empty tuple or an
  // element of the wrong kind raises HException.
  Hlong L() const;    // integer only
  int I() const;      // integer only, and within int's range
  double D() const;   // integer or double
  HString S() const;  // text only
  HHandle H() const;  // handle only
  explicit operator int() const { return I(); }
  explicit operator Hlong() const { return L(); }
  explicit operator double() const { return D(); }
  explicit operator float() const { return static_cast<float>(D()); }

  // Appends the elements of other; returns *this.
  HTuple& Append(const HTuple& other);

  // Library operations on tuples.
  HTuple TupleLength() const;                      // one integer: number of elements
  HTuple TupleRad() const;                         // degrees to radians, element-wise, doubles
  HTuple TupleDeg() const;                         // radians to degrees
  HTuple TupleString(const HTuple& format) const;  // printf-style formatting, element-wise
  HTuple TupleConcat(const HTuple& other) const;   // copy of *this with other appended

  HTuple operator-() const;
  HTuple& operator+=(const HTuple& other);
  HTuple& operator-=(const HTuple& other);
  HTuple& operator*=(const HTuple& other);

  // Numbers add; text concatenates.
  friend VISION_API HTuple operator+(const HTuple& a, const HTuple& b);
  friend VISION_API HTuple operator-(const HTuple& a, const HTuple& b);
  friend VISION_API HTuple operator*(const HTuple& a, const HTuple& b);
  friend VISION_API HTuple operator/(const HTuple& a, const HTuple& b);

  // Comparisons compare the tuples element by element, lexicographically; numbers compare by
  // value, texts by bytes, handles by identity. Equality (== and !=) holds only between elements
  // of the same kind: a number never equals a text or a handle (HTuple(1) == HTuple("a") is
  // false, so a value can be tested against a keyword whatever its kind). Ordering (<, <=, >, >=)
  // of a number and a text, or of a handle and anything else, has no meaning and raises
  // HException (kTupleType).
  friend VISION_API bool operator==(const HTuple& a, const HTuple& b);
  friend VISION_API bool operator<(const HTuple& a, const HTuple& b);
  friend bool operator!=(const HTuple& a, const HTuple& b) { return !(a == b); }
  friend bool operator<=(const HTuple& a, const HTuple& b) { return !(b < a); }
  friend bool operator>(const HTuple& a, const HTuple& b) { return b < a; }
  friend bool operator>=(const HTuple& a, const HTuple& b) { return !(a < b); }

 private:
  std::vector<Element> elems_;
};

}  // namespace vision

// Fuzz target: TupleString formats and tuple arithmetic and comparison. The input gives a format
// text and two tuples of integers, doubles and texts; every operation either succeeds or raises
// HException, and the results keep the invariants checked below (anything else traps).
//
// Input layout: one byte n, then n bytes of format text; then elements until the input ends, each
// a tag byte (low two bits: 0 integer, 1 double, 2 text, 3 switch to the second tuple) and its
// value (8 bytes little-endian for numbers; a length byte and that many bytes for a text).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "vision/HErrorCodes.h"
#include "vision/HException.h"
#include "vision/HTuple.h"

namespace {

using vision::HTuple;
using vision::HTupleType;

constexpr int kMaxElements = 64;
constexpr std::size_t kMaxText = 64;

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Done() const { return pos_ >= size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint64_t Word() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= std::uint64_t(Byte()) << (8 * i);
    return v;
  }
  std::string Text(std::size_t n) {
    std::string s;
    while (n-- > 0 && !Done()) s += static_cast<char>(Byte());
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Runs f; true when it returned, false when it raised HException (any other exception escapes
// and is a finding).
template <class F>
bool Try(F&& f) {
  try {
    f();
    return true;
  } catch (const vision::HException& e) {
    Check(e.ErrorCode() != 0 && !e.ProcName().Str().empty());
    return false;
  }
}

bool AllOf(const HTuple& t, HTupleType type) {
  for (vision::Hlong i = 0; i < t.Length(); ++i)
    if (t.Type(i) != type) return false;
  return true;
}

std::size_t Broadcast(const HTuple& a, const HTuple& b) {
  return std::size_t(a.Length() == 1 ? b.Length() : a.Length());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const HTuple format(in.Text(in.Byte() % 24));
  HTuple a, b;
  HTuple* target = &a;
  int elements = 0;
  while (!in.Done() && elements < 2 * kMaxElements) {
    const std::uint8_t tag = in.Byte();
    switch (tag & 3) {
      case 0:
        target->Append(HTuple(static_cast<vision::Hlong>(in.Word())));
        break;
      case 1: {
        const std::uint64_t bits = in.Word();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        target->Append(HTuple(d));
        break;
      }
      case 2:
        target->Append(HTuple(in.Text(in.Byte() % kMaxText)));
        break;
      default:
        target = &b;
        break;
    }
    ++elements;
  }

  // Formatting: one text per element, or an error.
  HTuple formatted;
  if (Try([&] { formatted = a.TupleString(format); })) {
    Check(formatted.Length() == a.Length() && AllOf(formatted, HTupleType::String));
  }
  if (AllOf(a, HTupleType::Integer)) {
    Check(Try([&] { formatted = a.TupleString("d"); }));
    for (vision::Hlong i = 0; i < a.Length(); ++i)
      Check(formatted[i].S().Str() == std::to_string(a[i].L()));
  }
  (void)Try([&] { (void)b.TupleString(format); });

  // Arithmetic: broadcasting lengths; integers wrap, so subtraction undoes addition exactly.
  HTuple sum, diff, prod, quot;
  const bool added = Try([&] { sum = a + b; });
  if (added) Check(std::size_t(sum.Length()) == Broadcast(a, b));
  if (Try([&] { diff = a - b; })) Check(std::size_t(diff.Length()) == Broadcast(a, b));
  if (Try([&] { prod = a * b; })) Check(std::size_t(prod.Length()) == Broadcast(a, b));
  if (Try([&] { quot = a / b; })) Check(std::size_t(quot.Length()) == Broadcast(a, b));
  if (added && AllOf(a, HTupleType::Integer) && AllOf(b, HTupleType::Integer) &&
      a.Length() == b.Length()) {
    HTuple back;
    Check(Try([&] { back = sum - b; }));
    Check(back == a);
  }
  HTuple negated;
  if (Try([&] { negated = -a; })) {
    HTuple twice;
    Check(Try([&] { twice = -negated; }));
    Check(twice == a);  // NaN equals itself
  }
  (void)Try([&] { (void)a.TupleRad().TupleDeg(); });
  HTuple both;
  Check(Try([&] { both = a.TupleConcat(b); }));
  Check(both.Length() == a.Length() + b.Length());

  // Comparison: equality is reflexive; where ordering is defined both ways, exactly one of
  // a < b, b < a and a == b holds.
  Check(a == a && !(a != a));
  bool eq = false, less = false, greater = false;
  const bool ordered = Try([&] { less = a < b; }) && Try([&] { greater = b < a; });
  eq = a == b;
  if (ordered) Check(int(less) + int(greater) + int(eq) == 1);

  // Conversions of the first element: a value of the right kind or an error, never a silent 0.
  (void)Try([&] { (void)a.L(); });
  (void)Try([&] { (void)a.I(); });
  (void)Try([&] { (void)a.D(); });
  (void)Try([&] { (void)a.S(); });
  (void)Try([&] { (void)a[a.Length()]; });
  return 0;
}

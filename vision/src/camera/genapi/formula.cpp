#include "camera/genapi/formula.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace vision::detail::genapi::formula {

namespace {

enum Op {
  kLiteral,
  kVariable,
  kTernary,
  kOr,
  kAnd,
  kBitOr,
  kBitXor,
  kBitAnd,
  kEq,
  kNe,
  kLt,
  kLe,
  kGt,
  kGe,
  kShl,
  kShr,
  kAdd,
  kSub,
  kMul,
  kDiv,
  kMod,
  kPow,
  kNeg,
  kPlus,
  kBitNot,
  // functions
  kSgn,
  kNegate,
  kAtan,
  kCos,
  kSin,
  kTan,
  kAbs,
  kExp,
  kLn,
  kLg,
  kSqrt,
  kTrunc,
  kRound,
  kFloor,
  kCeil,
  kAsin,
  kAcos,
};

struct Function {
  const char* name;
  Op op;
};
constexpr Function kFunctions[] = {
    {"SGN", kSgn},   {"NEG", kNegate},  {"ATAN", kAtan},   {"COS", kCos},     {"SIN", kSin},
    {"TAN", kTan},   {"ABS", kAbs},     {"EXP", kExp},     {"LN", kLn},       {"LG", kLg},
    {"SQRT", kSqrt}, {"TRUNC", kTrunc}, {"ROUND", kRound}, {"FLOOR", kFloor}, {"CEIL", kCeil},
    {"ASIN", kAsin}, {"ACOS", kAcos},
};

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Wrapping integer arithmetic (two's complement, no undefined behaviour).
std::int64_t Wrap(std::uint64_t v) { return static_cast<std::int64_t>(v); }
std::uint64_t U(std::int64_t v) { return static_cast<std::uint64_t>(v); }

}  // namespace

std::int64_t ToInt(double d) {
  // 2^63 is exactly representable; the range check also rejects NaN.
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0))
    throw FormulaError("value " + std::to_string(d) + " does not fit a 64-bit integer");
  return static_cast<std::int64_t>(d);
}

void Budget::Step() {
  if (++steps > max_steps)
    throw FormulaError("evaluation needs more than " + std::to_string(max_steps) + " steps");
}

DepthGuard::DepthGuard(Budget& budget) : budget_(budget) {
  if (++budget_.depth > budget_.max_depth) {
    --budget_.depth;
    throw FormulaError("evaluation nested more than " + std::to_string(budget_.max_depth) +
                       " levels deep");
  }
}

class Parser {
 public:
  Parser(std::string_view text, const Formula::Resolver& resolve, Formula& out)
      : text_(text), resolve_(resolve), out_(out) {}

  void Run() {
    out_.root_ = Ternary();
    Skip();
    if (pos_ < text_.size()) Fail("unexpected '" + std::string(1, text_[pos_]) + "'");
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw FormulaError(what + " at position " + std::to_string(pos_ + 1));
  }

  void Skip() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r'))
      ++pos_;
  }

  // The operator token at the current position ("" when none).
  std::string_view PeekOp() {
    Skip();
    static constexpr std::string_view kTokens[] = {
        "**", "<<", ">>", "<=", ">=", "<>", "==", "!=", "&&", "||", "*", "/", "%", "+",
        "-",  "<",  ">",  "=",  "&",  "|",  "^",  "~",  "?",  ":",  "(", ")", ","};
    const std::string_view rest = text_.substr(pos_);
    for (std::string_view t : kTokens)
      if (rest.substr(0, t.size()) == t) return t;
    return {};
  }

  bool Accept(std::string_view op) {
    if (PeekOp() != op) return false;
    pos_ += op.size();
    return true;
  }

  int Add(Op op, int a = -1, int b = -1, int c = -1) {
    int depth = 0;
    for (int child : {a, b, c})
      if (child >= 0) depth = std::max(depth, depths_[static_cast<std::size_t>(child)]);
    if (depth + 1 > kMaxTreeDepth)
      Fail("formula nested more than " + std::to_string(kMaxTreeDepth) + " levels deep");
    Formula::Node n;
    n.op = op;
    n.a = a;
    n.b = b;
    n.c = c;
    out_.nodes_.push_back(n);
    depths_.push_back(depth + 1);
    return static_cast<int>(out_.nodes_.size()) - 1;
  }

  // Counts parser recursion (parentheses, unary chains, ?: and ** on the right).
  struct Nest {
    explicit Nest(Parser& p) : p(p) {
      if (++p.nesting_ > kMaxTreeDepth)
        p.Fail("formula nested more than " + std::to_string(kMaxTreeDepth) + " levels deep");
    }
    ~Nest() { --p.nesting_; }
    Parser& p;
  };

  int Ternary() {
    Nest nest(*this);
    const int condition = Binary(0);
    if (!Accept("?")) return condition;
    const int yes = Ternary();
    if (!Accept(":")) Fail("':' expected");
    const int no = Ternary();
    return Add(kTernary, condition, yes, no);
  }

  static Op BinaryOp(int level, std::string_view t, bool* found) {
    *found = true;
    switch (level) {
      case 0:
        if (t == "||") return kOr;
        break;
      case 1:
        if (t == "&&") return kAnd;
        break;
      case 2:
        if (t == "|") return kBitOr;
        break;
      case 3:
        if (t == "^") return kBitXor;
        break;
      case 4:
        if (t == "&") return kBitAnd;
        break;
      case 5:
        if (t == "=" || t == "==") return kEq;
        if (t == "<>" || t == "!=") return kNe;
        break;
      case 6:
        if (t == "<") return kLt;
        if (t == "<=") return kLe;
        if (t == ">") return kGt;
        if (t == ">=") return kGe;
        break;
      case 7:
        if (t == "<<") return kShl;
        if (t == ">>") return kShr;
        break;
      case 8:
        if (t == "+") return kAdd;
        if (t == "-") return kSub;
        break;
      case 9:
        if (t == "*") return kMul;
        if (t == "/") return kDiv;
        if (t == "%") return kMod;
        break;
    }
    *found = false;
    return kLiteral;
  }

  int Binary(int level) {
    if (level == 10) return Power();
    int left = Binary(level + 1);
    for (;;) {
      const std::string_view t = PeekOp();
      bool found;
      const Op op = BinaryOp(level, t, &found);
      if (!found) return left;
      pos_ += t.size();
      const int right = Binary(level + 1);
      left = Add(op, left, right);
    }
  }

  int Power() {
    const int base = Unary();
    if (!Accept("**")) return base;
    Nest nest(*this);
    const int exponent = Power();
    return Add(kPow, base, exponent);
  }

  int Unary() {
    const std::string_view t = PeekOp();
    if (t == "-" || t == "+" || t == "~") {
      pos_ += 1;
      Nest nest(*this);
      const int operand = Unary();
      return Add(t == "-" ? kNeg : t == "+" ? kPlus : kBitNot, operand);
    }
    return Primary();
  }

  int Primary() {
    Skip();
    if (pos_ >= text_.size()) Fail("operand expected, the formula ends");
    const char c = text_[pos_];
    if (Accept("(")) {
      const int inner = Ternary();
      if (!Accept(")")) Fail("')' expected");
      return inner;
    }
    if (IsDigit(c) || (c == '.' && pos_ + 1 < text_.size() && IsDigit(text_[pos_ + 1])))
      return Number();
    if (IsNameStart(c)) return Name();
    Fail("operand expected, found '" + std::string(1, c) + "'");
  }

  int Number() {
    const std::size_t start = pos_;
    Value v;
    if (text_[pos_] == '0' && pos_ + 1 < text_.size() &&
        (text_[pos_ + 1] == 'x' || text_[pos_ + 1] == 'X')) {
      pos_ += 2;
      std::uint64_t u = 0;
      std::size_t digits = 0;
      while (pos_ < text_.size()) {
        const char h = text_[pos_];
        int d;
        if (IsDigit(h))
          d = h - '0';
        else if (h >= 'a' && h <= 'f')
          d = h - 'a' + 10;
        else if (h >= 'A' && h <= 'F')
          d = h - 'A' + 10;
        else
          break;
        if (u >> 60) Fail("hexadecimal number too large");
        u = u << 4 | static_cast<unsigned>(d);
        ++pos_;
        ++digits;
      }
      if (digits == 0) Fail("hexadecimal digits expected");
      v = Value::Int(Wrap(u));
    } else {
      bool is_float = false;
      while (pos_ < text_.size() && IsDigit(text_[pos_])) ++pos_;
      if (pos_ < text_.size() && text_[pos_] == '.') {
        is_float = true;
        ++pos_;
        while (pos_ < text_.size() && IsDigit(text_[pos_])) ++pos_;
      }
      if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
        std::size_t p = pos_ + 1;
        if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) ++p;
        if (p < text_.size() && IsDigit(text_[p])) {
          is_float = true;
          pos_ = p;
          while (pos_ < text_.size() && IsDigit(text_[pos_])) ++pos_;
        }
      }
      const char* first = text_.data() + start;
      const char* last = text_.data() + pos_;
      if (is_float) {
        // from_chars does not take ".5" in every library version: parse "0.5" instead.
        std::string digits(*first == '.' ? 1 : 0, '0');
        digits.append(first, last);
        double d = 0;
        const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), d);
        if (r.ec != std::errc() || r.ptr != digits.data() + digits.size() || !std::isfinite(d))
          Fail("bad number '" + std::string(first, last) + "'");
        v = Value::Float(d);
      } else {
        std::int64_t i = 0;
        const auto r = std::from_chars(first, last, i);
        if (r.ec != std::errc() || r.ptr != last)
          Fail("number '" + std::string(first, last) + "' too large");
        v = Value::Int(i);
      }
    }
    if (pos_ < text_.size() && IsNameChar(text_[pos_])) Fail("bad number");
    const int n = Add(kLiteral);
    out_.nodes_[static_cast<std::size_t>(n)].value = v;
    return n;
  }

  int Name() {
    const std::size_t start = pos_;
    for (;;) {
      while (pos_ < text_.size() && IsNameChar(text_[pos_])) ++pos_;
      if (pos_ + 1 < text_.size() && text_[pos_] == '.' && IsNameStart(text_[pos_ + 1])) {
        ++pos_;
        continue;
      }
      break;
    }
    const std::string_view name = text_.substr(start, pos_ - start);
    if (PeekOp() == "(") {
      for (const Function& f : kFunctions) {
        if (!EqualNoCase(name, f.name)) continue;
        Accept("(");
        Nest nest(*this);
        const int argument = Ternary();
        int second = -1;
        if (f.op == kRound && Accept(",")) second = Ternary();
        if (!Accept(")")) Fail("')' expected after the argument of " + std::string(f.name));
        return Add(f.op, argument, second);
      }
      Fail("unknown function '" + std::string(name) + "'");
    }
    const int slot = resolve_ ? resolve_(name) : -1;
    if (slot >= 0) {
      const int n = Add(kVariable);
      out_.nodes_[static_cast<std::size_t>(n)].slot = slot;
      return n;
    }
    if (EqualNoCase(name, "PI") || EqualNoCase(name, "E")) {
      const int n = Add(kLiteral);
      out_.nodes_[static_cast<std::size_t>(n)].value =
          Value::Float(EqualNoCase(name, "PI") ? 3.14159265358979323846 : 2.71828182845904523536);
      return n;
    }
    pos_ = start;
    Fail("unknown name '" + std::string(name) + "'");
  }

  std::string_view text_;
  const Formula::Resolver& resolve_;
  Formula& out_;
  std::vector<int> depths_;
  std::size_t pos_ = 0;
  int nesting_ = 0;
};

Formula Formula::Parse(std::string_view text, const Resolver& resolve) {
  if (text.size() > kMaxFormulaLength)
    throw FormulaError("formula of " + std::to_string(text.size()) + " characters (limit " +
                       std::to_string(kMaxFormulaLength) + ")");
  Formula f;
  f.text_ = std::string(text);
  Parser(f.text_, resolve, f).Run();
  return f;
}

std::vector<int> Formula::Slots() const {
  std::vector<int> slots;
  for (const Node& n : nodes_)
    if (n.op == kVariable) slots.push_back(n.slot);
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  return slots;
}

Value Formula::Evaluate(Mode mode, const Variables& variables, Budget& budget) const {
  // Non-finite results (LN(0), an overflowing power) are values as in IEEE arithmetic; a node
  // that needs an integer refuses them when it converts.
  return Eval(root_, mode, variables, budget);
}

namespace {

std::int64_t IntOf(const Value& v) { return v.is_float ? ToInt(v.d) : v.i; }

std::int64_t IntPow(std::int64_t base, std::int64_t exponent) {
  std::uint64_t result = 1, b = U(base);
  for (std::uint64_t e = U(exponent); e; e >>= 1) {
    if (e & 1) result *= b;
    b *= b;
  }
  return Wrap(result);
}

double RoundTo(double x, std::int64_t digits) {
  if (digits < -15 || digits > 15)
    throw FormulaError("ROUND to " + std::to_string(digits) + " decimals");
  const double scale = std::pow(10.0, static_cast<double>(digits));
  return std::round(x * scale) / scale;
}

// SGN, NEG, ABS, TRUNC, FLOOR, CEIL and ROUND keep an integer an integer; the others (and
// every function of a double) compute in doubles.
Value Function(int op, const Value& a, std::int64_t digits) {
  if (!a.is_float) {
    switch (op) {
      case kSgn:
        return Value::Int(a.i > 0 ? 1 : a.i < 0 ? -1 : 0);
      case kNegate:
        return Value::Int(Wrap(0 - U(a.i)));
      case kAbs:
        return Value::Int(a.i < 0 ? Wrap(0 - U(a.i)) : a.i);
      case kTrunc:
      case kFloor:
      case kCeil:
        return a;
      case kRound:
        return digits == 0 ? a : Value::Int(ToInt(RoundTo(static_cast<double>(a.i), digits)));
      default:
        break;
    }
  }
  const double x = a.AsDouble();
  switch (op) {
    case kSgn:
      return Value::Float(x > 0 ? 1 : x < 0 ? -1 : 0);
    case kNegate:
      return Value::Float(-x);
    case kAtan:
      return Value::Float(std::atan(x));
    case kCos:
      return Value::Float(std::cos(x));
    case kSin:
      return Value::Float(std::sin(x));
    case kTan:
      return Value::Float(std::tan(x));
    case kAbs:
      return Value::Float(std::fabs(x));
    case kExp:
      return Value::Float(std::exp(x));
    case kLn:
      return Value::Float(std::log(x));
    case kLg:
      return Value::Float(std::log10(x));
    case kSqrt:
      return Value::Float(std::sqrt(x));
    case kTrunc:
      return Value::Float(std::trunc(x));
    case kFloor:
      return Value::Float(std::floor(x));
    case kCeil:
      return Value::Float(std::ceil(x));
    case kAsin:
      return Value::Float(std::asin(x));
    case kAcos:
      return Value::Float(std::acos(x));
    case kRound:
      return Value::Float(RoundTo(x, digits));
    default:
      break;
  }
  throw FormulaError("internal: unknown function");
}

Value Unary(int op, const Value& a) {
  switch (op) {
    case kNeg:
      return a.is_float ? Value::Float(-a.d) : Value::Int(Wrap(0 - U(a.i)));
    case kPlus:
      return a;
    case kBitNot:
      return Value::Int(~IntOf(a));
    default:
      break;
  }
  throw FormulaError("internal: unknown unary operator");
}

// Bitwise operators and shifts take integers (a double is truncated); a shift by less than 0
// or more than 63 gives 0 (or -1, shifting a negative number right).
bool Bitwise(int op, const Value& a, const Value& b, Value* out) {
  switch (op) {
    case kBitOr:
      *out = Value::Int(IntOf(a) | IntOf(b));
      return true;
    case kBitXor:
      *out = Value::Int(IntOf(a) ^ IntOf(b));
      return true;
    case kBitAnd:
      *out = Value::Int(IntOf(a) & IntOf(b));
      return true;
    case kShl:
    case kShr: {
      const std::int64_t x = IntOf(a), s = IntOf(b);
      if (s < 0 || s > 63)
        *out = Value::Int(op == kShr && x < 0 ? -1 : 0);
      else
        *out = Value::Int(op == kShl ? Wrap(U(x) << s) : x >> s);
      return true;
    }
    default:
      return false;
  }
}

// The comparisons, alike for floats and integers: true when op is one, with its 0 or 1 in *out.
template <typename T>
bool Comparison(int op, T x, T y, Value* out) {
  bool r = false;
  switch (op) {
    case kEq:
      r = x == y;
      break;
    case kNe:
      r = x != y;
      break;
    case kLt:
      r = x < y;
      break;
    case kLe:
      r = x <= y;
      break;
    case kGt:
      r = x > y;
      break;
    case kGe:
      r = x >= y;
      break;
    default:
      return false;
  }
  *out = Value::Int(r);
  return true;
}

Value FloatArithmetic(int op, double x, double y) {
  if (Value v; Comparison(op, x, y, &v)) return v;
  switch (op) {
    case kAdd:
      return Value::Float(x + y);
    case kSub:
      return Value::Float(x - y);
    case kMul:
      return Value::Float(x * y);
    case kDiv:
      if (y == 0) throw FormulaError("division by zero");
      return Value::Float(x / y);
    case kMod:
      if (y == 0) throw FormulaError("division by zero (%)");
      return Value::Float(std::fmod(x, y));
    case kPow:
      return Value::Float(std::pow(x, y));
    default:
      break;
  }
  throw FormulaError("internal: unknown operator");
}

// 64-bit integers that wrap on overflow; division truncates toward 0.
Value IntArithmetic(int op, std::int64_t x, std::int64_t y) {
  if (Value v; Comparison(op, x, y, &v)) return v;
  switch (op) {
    case kAdd:
      return Value::Int(Wrap(U(x) + U(y)));
    case kSub:
      return Value::Int(Wrap(U(x) - U(y)));
    case kMul:
      return Value::Int(Wrap(U(x) * U(y)));
    case kDiv:
      if (y == 0) throw FormulaError("division by zero");
      if (y == -1) return Value::Int(Wrap(0 - U(x)));
      return Value::Int(x / y);
    case kMod:
      if (y == 0) throw FormulaError("division by zero (%)");
      if (y == -1) return Value::Int(0);
      return Value::Int(x % y);
    case kPow:
      if (y >= 0) return Value::Int(IntPow(x, y));
      if (x == 0) throw FormulaError("division by zero (0 to a negative power)");
      return Value::Float(std::pow(static_cast<double>(x), static_cast<double>(y)));
    default:
      break;
  }
  throw FormulaError("internal: unknown operator");
}

}  // namespace

Value Formula::Eval(int index, Mode mode, const Variables& variables, Budget& budget) const {
  DepthGuard guard(budget);
  budget.Step();
  const Node& n = nodes_[static_cast<std::size_t>(index)];
  auto arg = [&](int i) { return Eval(i, mode, variables, budget); };
  Value v;
  switch (n.op) {
    case kLiteral:
      v = n.value;
      break;
    case kVariable:
      v = variables(n.slot);
      break;
    // Only the operand needed is evaluated.
    case kTernary:
      return arg(n.a).Truth() ? arg(n.b) : arg(n.c);
    case kOr:
      v = Value::Int(arg(n.a).Truth() || arg(n.b).Truth());
      break;
    case kAnd:
      v = Value::Int(arg(n.a).Truth() && arg(n.b).Truth());
      break;
    default:
      if (n.op >= kSgn) {
        const Value a = arg(n.a);
        v = Function(n.op, a, n.op == kRound && n.b >= 0 ? IntOf(arg(n.b)) : 0);
      } else if (n.op == kNeg || n.op == kPlus || n.op == kBitNot) {
        v = Unary(n.op, arg(n.a));
      } else {
        const Value a = arg(n.a), b = arg(n.b);
        if (!Bitwise(n.op, a, b, &v))
          v = a.is_float || b.is_float ? FloatArithmetic(n.op, a.AsDouble(), b.AsDouble())
                                       : IntArithmetic(n.op, a.i, b.i);
      }
  }
  // Float mode computes in doubles throughout.
  if (mode == Mode::kFloat && !v.is_float) return Value::Float(static_cast<double>(v.i));
  return v;
}

Value Evaluate(std::string_view text, Mode mode,
               const std::vector<std::pair<std::string, Value>>& variables) {
  const Formula f = Formula::Parse(text, [&](std::string_view name) {
    for (std::size_t i = 0; i < variables.size(); ++i)
      if (variables[i].first == name) return static_cast<int>(i);
    return -1;
  });
  Budget budget;
  return f.Evaluate(
      mode, [&](int slot) { return variables[static_cast<std::size_t>(slot)].second; }, budget);
}

}  // namespace vision::detail::genapi::formula

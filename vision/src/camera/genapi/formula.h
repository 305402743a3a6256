// Formulas of the description's swiss knives and converters: parsed once into a flat tree,
// evaluated many times.
//
// Grammar, loosest binding first: c ? a : b (right), ||, &&, |, ^, &, = <>, < <= > >=, << >>,
// + -, * / %, ** (right), unary - + ~, then numbers (decimal, 0x hex, floats such as .5 and 1.),
// names, PI, E, functions (SGN NEG ATAN COS SIN TAN ABS EXP LN LG SQRT TRUNC ROUND FLOOR CEIL
// ASIN ACOS; ROUND takes an optional number of decimals) and parentheses. Unary operators bind
// tighter than **, so -1**2 is 1. Comparisons give 1 or 0.
//
// Values are 64-bit integers or doubles. In integer mode (IntSwissKnife, IntConverter)
// integers stay integers: / and % divide integers (truncating toward zero), overflow wraps; a
// float literal, a float variable or a floating function (SQRT, ...) makes that operation
// floating. In float mode (SwissKnife, Converter) every number is a double. Bitwise operators
// and shifts work on integers in both modes (a double operand is truncated). Division by zero is
// an error in both modes; ?:, && and || evaluate only the operand they need.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vision::detail::genapi::formula {

// A problem with a formula (syntax, division by zero, too deep, ...). The node graph adds the
// node's name.
class FormulaError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Value {
  bool is_float = false;
  std::int64_t i = 0;
  double d = 0;
  static Value Int(std::int64_t v) { return Value{false, v, 0}; }
  static Value Float(double v) { return Value{true, 0, v}; }
  double AsDouble() const { return is_float ? d : static_cast<double>(i); }
  bool Truth() const { return is_float ? d != 0 : i != 0; }
};

// Truncates toward zero; a NaN or a value outside int64 is a FormulaError.
std::int64_t ToInt(double d);

enum class Mode { kInteger, kFloat };

// Limits shared by a whole evaluation (nested formulas and node reads count against the same
// budget): nesting depth and total steps.
struct Budget {
  int depth = 0;
  int max_depth = 256;
  std::int64_t steps = 0;
  std::int64_t max_steps = 1'000'000;
  void Step();  // counts one step; FormulaError past max_steps
};

// Counts one nesting level for its lifetime; FormulaError past max_depth.
class DepthGuard {
 public:
  explicit DepthGuard(Budget& budget);
  ~DepthGuard() { --budget_.depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  Budget& budget_;
};

// Longest formula text, deepest tree.
inline constexpr std::size_t kMaxFormulaLength = 64 * 1024;
inline constexpr int kMaxTreeDepth = 128;

class Formula {
 public:
  // Resolves a name of the formula to a variable slot, or returns -1 for an unknown name.
  using Resolver = std::function<int(std::string_view name)>;
  // Supplies a variable's value while evaluating.
  using Variables = std::function<Value(int slot)>;

  // Throws FormulaError for a syntax error, an unknown name, or a text too long or too deep.
  static Formula Parse(std::string_view text, const Resolver& resolve);

  Value Evaluate(Mode mode, const Variables& variables, Budget& budget) const;
  // The variable slots the formula uses (each once).
  std::vector<int> Slots() const;
  const std::string& Text() const { return text_; }

 private:
  friend class Parser;
  struct Node {
    int op = 0;
    int a = -1, b = -1, c = -1;  // operands (tree indices)
    Value value;                 // literal
    int slot = -1;               // variable
  };
  Value Eval(int index, Mode mode, const Variables& variables, Budget& budget) const;
  std::string text_;
  std::vector<Node> nodes_;
  int root_ = -1;
};

// Evaluates a formula over named values; for tests and tools.
Value Evaluate(std::string_view text, Mode mode,
               const std::vector<std::pair<std::string, Value>>& variables = {});

}  // namespace vision::detail::genapi::formula

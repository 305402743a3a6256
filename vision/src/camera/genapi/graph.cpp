// Reading and writing the node graph: registers through their port and the register cache,
// values, selectors, formulas and access modes.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>

#include "camera/genapi/graph.h"
#include "camera/genapi/range.h"

namespace vision::detail::genapi {

namespace {

constexpr std::int64_t kIntMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kIntMax = std::numeric_limits<std::int64_t>::max();
constexpr std::size_t kMaxTouched = 64;
constexpr std::size_t kMaxRegisterLength = 64 * 1024;

std::string Hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string Quote(const Node* n) { return "'" + n->name + "'"; }

std::string Num(double d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.10g", d);
  return buf;
}

[[noreturn]] void Fail(ErrorKind kind, const Node* n, const std::string& what) {
  throw Error(kind, std::string(KindName(n->kind)) + " " + Quote(n) + ": " + what);
}

// Rounds to the nearest integer; a value outside int64 is out of range for the node.
std::int64_t RoundToInt(const Node* n, double d) {
  const double r = std::round(d);
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0))
    Fail(ErrorKind::kOutOfRange, n, "value " + Num(d) + " does not fit a 64-bit integer");
  return static_cast<std::int64_t>(r);
}

// Truncates toward zero (integer formulas); a value outside int64 is a description problem.
std::int64_t TruncToInt(const Node* n, double d) {
  try {
    return formula::ToInt(d);
  } catch (const formula::FormulaError& e) {
    Fail(ErrorKind::kDescription, n, e.what());
  }
}

}  // namespace

Enter::Enter(formula::Budget& budget, const Node* n) : budget_(budget) {
  try {
    budget.Step();
    if (++budget.depth > budget.max_depth) {
      --budget.depth;
      throw formula::FormulaError("evaluation nested more than " +
                                  std::to_string(budget.max_depth) +
                                  " levels deep (a reference cycle?)");
    }
  } catch (const formula::FormulaError& e) {
    Fail(ErrorKind::kDescription, n, e.what());
  }
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kCategory:
      return "Category";
    case Kind::kPort:
      return "Port";
    case Kind::kRegister:
      return "Register";
    case Kind::kIntReg:
      return "IntReg";
    case Kind::kMaskedIntReg:
      return "MaskedIntReg";
    case Kind::kFloatReg:
      return "FloatReg";
    case Kind::kStringReg:
      return "StringReg";
    case Kind::kInteger:
      return "Integer";
    case Kind::kFloat:
      return "Float";
    case Kind::kBoolean:
      return "Boolean";
    case Kind::kEnumeration:
      return "Enumeration";
    case Kind::kCommand:
      return "Command";
    case Kind::kString:
      return "String";
    case Kind::kIntSwissKnife:
      return "IntSwissKnife";
    case Kind::kSwissKnife:
      return "SwissKnife";
    case Kind::kConverter:
      return "Converter";
    case Kind::kIntConverter:
      return "IntConverter";
    case Kind::kOther:
      break;
  }
  return "Node";
}

Node* Graph::Find(std::string_view name) const {
  const auto it = by_name.find(name);
  return it == by_name.end() ? nullptr : it->second;
}

std::vector<Node*> Graph::Ports() const {
  std::vector<Node*> ports;
  for (const auto& n : nodes)
    if (n->kind == Kind::kPort) ports.push_back(n.get());
  return ports;
}

void Graph::BeginOperation() {
  budget_ = formula::Budget{};
  budget_.max_steps = max_steps;
  bypass_cache_ = false;
  write_around_ = false;
  access_memo_.clear();
  access_active_.clear();
}

Type Graph::TypeOf(const Node* n) const {
  switch (n->kind) {
    case Kind::kIntReg:
    case Kind::kMaskedIntReg:
    case Kind::kInteger:
    case Kind::kIntSwissKnife:
    case Kind::kIntConverter:
      return Type::kInteger;
    case Kind::kFloatReg:
    case Kind::kFloat:
    case Kind::kSwissKnife:
    case Kind::kConverter:
      return Type::kFloat;
    case Kind::kBoolean:
      return Type::kBoolean;
    case Kind::kEnumeration:
      return Type::kEnumeration;
    case Kind::kCommand:
      return Type::kCommand;
    case Kind::kString:
    case Kind::kStringReg:
      return Type::kString;
    default:
      return Type::kOther;
  }
}

bool Graph::Truth(Node* n) { return Number(n).Truth(); }

// --- registers and the cache ----------------------------------------------------------------

std::size_t Graph::LengthOf(RegisterNode* r) {
  const std::int64_t length = RefInt(r->length);
  // A string register may be empty (a length register reading 0); other registers have bytes.
  const std::int64_t least = r->kind == Kind::kStringReg ? 0 : 1;
  bool ok = length >= least && static_cast<std::uint64_t>(length) <= kMaxRegisterLength;
  if (r->kind == Kind::kIntReg || r->kind == Kind::kMaskedIntReg) ok = length >= 1 && length <= 8;
  if (r->kind == Kind::kFloatReg) ok = length == 4 || length == 8;
  if (!ok) Fail(ErrorKind::kDescription, r, "unusable length " + std::to_string(length));
  return static_cast<std::size_t>(length);
}

std::uint64_t Graph::AddressOf(RegisterNode* r) {
  std::uint64_t a = r->address;
  for (Node* n : r->p_address) a += static_cast<std::uint64_t>(GetInt(n));
  for (const auto& i : r->indexes) {
    const std::int64_t index = GetInt(i.index);
    const std::int64_t offset =
        i.offset.present ? RefInt(i.offset) : static_cast<std::int64_t>(LengthOf(r));
    a += static_cast<std::uint64_t>(index) * static_cast<std::uint64_t>(offset);
  }
  return a;
}

void Graph::Touch(RegisterNode* r, const CacheKey& key) {
  for (const CacheKey& k : r->touched)
    if (k == key) return;
  if (r->touched.size() >= kMaxTouched) {
    r->touched_overflow = true;
    return;
  }
  r->touched.push_back(key);
}

std::string Graph::ReadRegister(RegisterNode* r) {
  if (r->mode == Access::kWO) Fail(ErrorKind::kNotReadable, r, "the register is write-only");
  const std::size_t length = LengthOf(r);
  const std::uint64_t address = AddressOf(r);
  if (!r->port || !r->port->port)
    Fail(ErrorKind::kPort, r,
         "its port " + (r->port ? Quote(r->port) + " " : std::string()) + "is not connected");
  const CacheKey key{r->port, address, static_cast<std::uint32_t>(length)};
  const bool cached = r->cache != CacheMode::kNoCache;
  if (cached && !bypass_cache_) {
    const auto it = cache_.find(key);
    if (it != cache_.end()) {
      Touch(r, key);
      return it->second;
    }
  }
  std::string bytes(length, '\0');
  try {
    r->port->port->Read(address, bytes.data(), length);
  } catch (const PortError& e) {
    Fail(
        ErrorKind::kPort, r,
        "reading " + std::to_string(length) + " bytes at " + Hex(address) + " failed: " + e.what());
  }
  if (cached) {
    cache_[key] = bytes;
    max_cached_length_ = std::max(max_cached_length_, key.length);
    Touch(r, key);
  }
  return bytes;
}

void Graph::WriteRegister(RegisterNode* r, const std::string& bytes) {
  if (r->mode == Access::kRO) Fail(ErrorKind::kNotWritable, r, "the register is read-only");
  const std::uint64_t address = AddressOf(r);
  if (!r->port || !r->port->port)
    Fail(ErrorKind::kPort, r,
         "its port " + (r->port ? Quote(r->port) + " " : std::string()) + "is not connected");
  try {
    r->port->port->Write(address, bytes.data(), bytes.size());
  } catch (const PortError& e) {
    Fail(ErrorKind::kPort, r,
         "writing " + std::to_string(bytes.size()) + " bytes at " + Hex(address) +
             " failed: " + e.what());
  }
  // Every cached range this write overlaps is stale now.
  const std::uint64_t end = address + bytes.size();
  const std::uint64_t from = address > max_cached_length_ ? address - max_cached_length_ : 0;
  for (auto it = cache_.lower_bound(CacheKey{r->port, from, 0});
       it != cache_.end() && it->first.port == r->port && it->first.address < end;) {
    if (it->first.address + it->first.length > address)
      it = cache_.erase(it);
    else
      ++it;
  }
  if (r->cache == CacheMode::kWriteThrough && !write_around_) {
    const CacheKey key{r->port, address, static_cast<std::uint32_t>(bytes.size())};
    cache_[key] = bytes;
    max_cached_length_ = std::max(max_cached_length_, key.length);
    Touch(r, key);
  }
  Changed(r);
}

void Graph::Changed(Node* n) {
  for (RegisterNode* r : n->invalidates) {
    if (r->touched_overflow) {
      cache_.clear();
      r->touched_overflow = false;
    }
    for (const CacheKey& k : r->touched) cache_.erase(k);
    r->touched.clear();
  }
}

// The register's bytes as an unsigned integer in its byte order.
std::uint64_t Graph::ReadRaw(RegisterNode* r, std::size_t* length) {
  const std::string bytes = ReadRegister(r);
  *length = bytes.size();
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::size_t at = r->big_endian ? i : bytes.size() - 1 - i;
    v = v << 8 | static_cast<unsigned char>(bytes[at]);
  }
  return v;
}

namespace {

std::string Encode(std::uint64_t v, std::size_t length, bool big_endian) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    const std::size_t at = big_endian ? length - 1 - i : i;
    bytes[at] = static_cast<char>(v >> (8 * i) & 0xFF);
  }
  return bytes;
}

std::int64_t SignExtend(std::uint64_t v, int bits) {
  if (bits >= 64) return static_cast<std::int64_t>(v);
  const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
  v &= (sign << 1) - 1;
  return static_cast<std::int64_t>((v ^ sign) - sign);
}

// Shift and width of a MaskedIntReg field. Little-endian registers number bits from the least
// significant (bit 0 = LSB); big-endian ones from the most significant (bit 0 = MSB of the
// whole register).
void Field(const RegisterNode* r, std::size_t length, int* shift, int* width) {
  const int bits = static_cast<int>(length * 8);
  if (r->high_bit >= bits)
    Fail(ErrorKind::kDescription, r,
         "bit " + std::to_string(r->high_bit) + " is outside its " + std::to_string(bits) +
             "-bit register");
  *width = r->high_bit - r->low_bit + 1;
  *shift = r->big_endian ? bits - 1 - r->high_bit : r->low_bit;
}

}  // namespace

void Graph::CheckWidth(RegisterNode* r, std::int64_t v, int bits) {
  std::int64_t lo, hi;
  if (r->is_signed) {
    lo = bits >= 64 ? kIntMin : -(std::int64_t{1} << (bits - 1));
    hi = bits >= 64 ? kIntMax : (std::int64_t{1} << (bits - 1)) - 1;
  } else {
    lo = 0;
    hi = bits >= 63 ? kIntMax : (std::int64_t{1} << bits) - 1;
  }
  if (v < lo || v > hi)
    Fail(ErrorKind::kOutOfRange, r,
         std::to_string(v) + " does not fit its " + std::to_string(bits) + " bits (" +
             std::to_string(lo) + " to " + std::to_string(hi) + ")");
}

// --- values ---------------------------------------------------------------------------------

Graph::Source Graph::Resolve(ValueNode* n) {
  if (n->p_index) {
    const std::int64_t index = GetInt(n->p_index);
    for (auto& e : n->indexed)
      if (e.index == index) return e.node ? Source{e.node, nullptr} : Source{nullptr, &e.value};
    if (n->has_default)
      return n->p_default ? Source{n->p_default, nullptr} : Source{nullptr, &n->default_value};
    Fail(ErrorKind::kNotAvailable, n,
         "no value for " + Quote(n->p_index) + " = " + std::to_string(index));
  }
  if (n->p_value) return Source{n->p_value, nullptr};
  return Source{nullptr, &n->value};
}

std::int64_t Graph::RefInt(const NumberRef& r) {
  if (r.node) return GetInt(r.node);
  if (!r.constant.is_float) return r.constant.i;
  try {
    return formula::ToInt(r.constant.d);
  } catch (const formula::FormulaError& e) {
    throw Error(ErrorKind::kDescription, e.what());
  }
}

double Graph::RefFloat(const NumberRef& r) {
  if (r.node) return GetFloat(r.node);
  return r.constant.AsDouble();
}

formula::Value Graph::EvaluateFormula(FormulaNode* f, const formula::Formula& formula,
                                      const formula::Value* to, const formula::Value* from) {
  const formula::Mode mode = f->integer ? formula::Mode::kInteger : formula::Mode::kFloat;
  std::function<formula::Value(int)> variable = [&](int slot) -> formula::Value {
    FormulaNode::Variable& v = f->variables[static_cast<std::size_t>(slot)];
    switch (v.kind) {
      case FormulaNode::VarKind::kConstant:
        return v.constant;
      case FormulaNode::VarKind::kTo:
        if (!to) throw formula::FormulaError("TO is only known in FormulaFrom");
        return *to;
      case FormulaNode::VarKind::kFrom:
        if (!from) throw formula::FormulaError("FROM is only known in FormulaTo");
        return *from;
      case FormulaNode::VarKind::kExpression:
        return f->expressions[static_cast<std::size_t>(v.expression)].Evaluate(mode, variable,
                                                                               budget_);
      case FormulaNode::VarKind::kNode:
        break;
    }
    Node* n = v.node;
    if (v.property == FormulaNode::Property::kValue) return Number(n);
    if (TypeOf(n) == Type::kFloat) {
      const FloatRange range = FloatRangeOf(n);
      if (v.property == FormulaNode::Property::kMin) return formula::Value::Float(range.min);
      if (v.property == FormulaNode::Property::kMax) return formula::Value::Float(range.max);
      return formula::Value::Float(range.inc.value_or(0));
    }
    const IntRange range = IntRangeOf(n);
    return formula::Value::Int(v.property == FormulaNode::Property::kMin   ? range.min
                               : v.property == FormulaNode::Property::kMax ? range.max
                                                                           : range.inc);
  };
  try {
    return formula.Evaluate(mode, variable, budget_);
  } catch (const formula::FormulaError& e) {
    Fail(ErrorKind::kDescription, f, "formula '" + formula.Text() + "': " + e.what());
  }
}

formula::Value Graph::Number(Node* n) {
  Enter enter(budget_, n);
  switch (n->kind) {
    case Kind::kIntReg: {
      auto* r = static_cast<RegisterNode*>(n);
      std::size_t length;
      const std::uint64_t raw = ReadRaw(r, &length);
      return formula::Value::Int(r->is_signed ? SignExtend(raw, static_cast<int>(length * 8))
                                              : static_cast<std::int64_t>(raw));
    }
    case Kind::kMaskedIntReg: {
      auto* r = static_cast<RegisterNode*>(n);
      std::size_t length;
      const std::uint64_t raw = ReadRaw(r, &length);
      int shift, width;
      Field(r, length, &shift, &width);
      std::uint64_t v = raw >> shift;
      if (width < 64) v &= (std::uint64_t{1} << width) - 1;
      return formula::Value::Int(r->is_signed ? SignExtend(v, width)
                                              : static_cast<std::int64_t>(v));
    }
    case Kind::kFloatReg: {
      auto* r = static_cast<RegisterNode*>(n);
      std::size_t length;
      const std::uint64_t raw = ReadRaw(r, &length);
      if (length == 4) {
        const std::uint32_t bits = static_cast<std::uint32_t>(raw);
        float f;
        std::memcpy(&f, &bits, 4);
        return formula::Value::Float(f);
      }
      double d;
      std::memcpy(&d, &raw, 8);
      return formula::Value::Float(d);
    }
    case Kind::kInteger:
    case Kind::kEnumeration:
    case Kind::kCommand: {
      const Source s = Resolve(static_cast<ValueNode*>(n));
      if (s.node) return formula::Value::Int(GetInt(s.node));
      return formula::Value::Int(s.own->is_float ? RoundToInt(n, s.own->d) : s.own->i);
    }
    case Kind::kFloat: {
      const Source s = Resolve(static_cast<ValueNode*>(n));
      return formula::Value::Float(s.node ? GetFloat(s.node) : s.own->AsDouble());
    }
    case Kind::kBoolean:
      return formula::Value::Int(GetBool(static_cast<ValueNode*>(n)) ? 1 : 0);
    case Kind::kIntSwissKnife:
    case Kind::kSwissKnife: {
      auto* f = static_cast<FormulaNode*>(n);
      const formula::Value v = EvaluateFormula(f, f->formula, nullptr, nullptr);
      if (!f->integer) return formula::Value::Float(v.AsDouble());
      return v.is_float ? formula::Value::Int(TruncToInt(n, v.d)) : v;
    }
    case Kind::kConverter:
    case Kind::kIntConverter: {
      auto* f = static_cast<FormulaNode*>(n);
      const formula::Value to = Number(f->p_value);
      const formula::Value v = EvaluateFormula(f, f->formula_from, &to, nullptr);
      if (!f->integer) return formula::Value::Float(v.AsDouble());
      return v.is_float ? formula::Value::Int(TruncToInt(n, v.d)) : v;
    }
    default:
      Fail(ErrorKind::kWrongType, n, "has no number");
  }
}

std::int64_t Graph::GetInt(Node* n) {
  const formula::Value v = Number(n);
  return v.is_float ? RoundToInt(n, v.d) : v.i;
}

double Graph::GetFloat(Node* n) { return Number(n).AsDouble(); }

void Graph::SetInt(Node* n, std::int64_t v) {
  Enter enter(budget_, n);
  switch (n->kind) {
    case Kind::kIntReg: {
      auto* r = static_cast<RegisterNode*>(n);
      const std::size_t length = LengthOf(r);
      CheckWidth(r, v, static_cast<int>(length * 8));
      WriteRegister(r, Encode(static_cast<std::uint64_t>(v), length, r->big_endian));
      return;
    }
    case Kind::kMaskedIntReg: {
      auto* r = static_cast<RegisterNode*>(n);
      std::size_t length = LengthOf(r);
      int shift, width;
      Field(r, length, &shift, &width);
      CheckWidth(r, v, width);
      // Read, change the field, write back; a write-only register has nothing to read.
      std::uint64_t raw = r->mode == Access::kWO ? 0 : ReadRaw(r, &length);
      const std::uint64_t mask = (width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1)
                                 << shift;
      raw = (raw & ~mask) | (static_cast<std::uint64_t>(v) << shift & mask);
      WriteRegister(r, Encode(raw, length, r->big_endian));
      return;
    }
    case Kind::kInteger:
    case Kind::kEnumeration:
    case Kind::kCommand: {
      auto* vn = static_cast<ValueNode*>(n);
      const Source s = Resolve(vn);
      if (s.node)
        SetInt(s.node, v);
      else
        *s.own = formula::Value::Int(v);
      for (Node* copy : vn->value_copies) SetInt(copy, v);
      Changed(n);
      return;
    }
    case Kind::kFloat:
    case Kind::kFloatReg:
    case Kind::kConverter:
      SetFloat(n, static_cast<double>(v));
      return;
    case Kind::kBoolean:
      SetBool(static_cast<ValueNode*>(n), v != 0);
      return;
    case Kind::kIntConverter: {
      auto* f = static_cast<FormulaNode*>(n);
      const formula::Value from = formula::Value::Int(v);
      const formula::Value to = EvaluateFormula(f, f->formula_to, nullptr, &from);
      if (TypeOf(f->p_value) == Type::kFloat)
        SetFloat(f->p_value, to.AsDouble());
      else
        SetInt(f->p_value, to.is_float ? TruncToInt(n, to.d) : to.i);
      Changed(n);
      return;
    }
    default:
      Fail(ErrorKind::kNotWritable, n, "cannot be written");
  }
}

void Graph::SetFloat(Node* n, double v) {
  Enter enter(budget_, n);
  if (!std::isfinite(v)) Fail(ErrorKind::kOutOfRange, n, "the value is not a finite number");
  switch (n->kind) {
    case Kind::kFloatReg: {
      auto* r = static_cast<RegisterNode*>(n);
      const std::size_t length = LengthOf(r);
      std::uint64_t raw;
      if (length == 4) {
        if (std::fabs(v) > FLT_MAX)
          Fail(ErrorKind::kOutOfRange, n, Num(v) + " does not fit a 4-byte float");
        const float f = static_cast<float>(v);
        std::uint32_t bits;
        std::memcpy(&bits, &f, 4);
        raw = bits;
      } else {
        std::memcpy(&raw, &v, 8);
      }
      WriteRegister(r, Encode(raw, length, r->big_endian));
      return;
    }
    case Kind::kFloat: {
      auto* vn = static_cast<ValueNode*>(n);
      const Source s = Resolve(vn);
      if (!s.node)
        *s.own = formula::Value::Float(v);
      else if (TypeOf(s.node) == Type::kFloat)
        SetFloat(s.node, v);
      else
        SetInt(s.node, RoundToInt(n, v));
      Changed(n);
      return;
    }
    case Kind::kConverter: {
      auto* f = static_cast<FormulaNode*>(n);
      const formula::Value from = formula::Value::Float(v);
      const formula::Value to = EvaluateFormula(f, f->formula_to, nullptr, &from);
      // An integer behind a floating converter gets the nearest integer.
      if (TypeOf(f->p_value) == Type::kFloat)
        SetFloat(f->p_value, to.AsDouble());
      else
        SetInt(f->p_value, RoundToInt(n, to.AsDouble()));
      Changed(n);
      return;
    }
    default:
      if (TypeOf(n) == Type::kInteger || n->kind == Kind::kBoolean) {
        SetInt(n, RoundToInt(n, v));
        return;
      }
      Fail(ErrorKind::kNotWritable, n, "cannot be written");
  }
}

// --- ranges -------------------------------------------------------------------------------

namespace {

// The bound of the converted range that a converter's bound comes from, by its slope.
Bound InnerBound(const FormulaNode* f, Bound b) {
  if (f->slope == Slope::kDecreasing && b != Bound::kInc)
    return b == Bound::kMin ? Bound::kMax : Bound::kMin;
  return b;
}

}  // namespace

formula::Value Graph::ConvertedBound(FormulaNode* f, Bound b) {
  // The converted bounds of pValue: in the order of an increasing formula, swapped for a
  // decreasing one (1/x), both converted and put in order when the slope is not given.
  auto convert = [&](Bound inner) {
    const formula::Value to = TypeOf(f->p_value) == Type::kFloat
                                  ? formula::Value::Float(FloatBound(f->p_value, inner))
                                  : formula::Value::Int(IntBound(f->p_value, inner));
    return EvaluateFormula(f, f->formula_from, &to, nullptr);
  };
  if (f->slope != Slope::kAutomatic) return convert(InnerBound(f, b));
  const formula::Value lo = convert(Bound::kMin), hi = convert(Bound::kMax);
  const bool lo_first = lo.AsDouble() <= hi.AsDouble();
  return (b == Bound::kMin) == lo_first ? lo : hi;
}

std::int64_t Graph::IntBound(Node* n, Bound b) {
  Enter enter(budget_, n);
  switch (n->kind) {
    case Kind::kIntReg:
    case Kind::kMaskedIntReg: {
      if (b == Bound::kInc) return 1;
      auto* r = static_cast<RegisterNode*>(n);
      const std::size_t length = LengthOf(r);
      int bits = static_cast<int>(length * 8);
      if (n->kind == Kind::kMaskedIntReg) {
        int shift;
        Field(r, length, &shift, &bits);
      }
      if (r->is_signed) {
        if (bits >= 64) return b == Bound::kMin ? kIntMin : kIntMax;
        return b == Bound::kMin ? -(std::int64_t{1} << (bits - 1))
                                : (std::int64_t{1} << (bits - 1)) - 1;
      }
      if (b == Bound::kMin) return 0;
      return bits >= 63 ? kIntMax : (std::int64_t{1} << bits) - 1;
    }
    case Kind::kInteger: {
      auto* v = static_cast<ValueNode*>(n);
      const NumberRef& own = b == Bound::kMin ? v->min : b == Bound::kMax ? v->max : v->inc;
      if (own.present) return RefInt(own);
      const Source s = Resolve(v);
      if (!s.node) return b == Bound::kMin ? kIntMin : b == Bound::kMax ? kIntMax : 1;
      std::int64_t bound = IntBound(s.node, b);
      // A value copied to other nodes must fit all of them.
      if (b != Bound::kInc)
        for (Node* copy : v->value_copies) {
          const std::int64_t c = IntBound(copy, b);
          bound = b == Bound::kMin ? std::max(bound, c) : std::min(bound, c);
        }
      return bound;
    }
    case Kind::kIntConverter: {
      auto* f = static_cast<FormulaNode*>(n);
      if (b == Bound::kInc) return 1;
      if (f->slope == Slope::kVarying) return b == Bound::kMin ? kIntMin : kIntMax;
      const formula::Value v = ConvertedBound(f, b);
      return v.is_float ? RoundToInt(n, v.d) : v.i;
    }
    case Kind::kIntSwissKnife:
    case Kind::kEnumeration:
    case Kind::kBoolean:
    case Kind::kCommand:
      return b == Bound::kMin ? kIntMin : b == Bound::kMax ? kIntMax : 1;
    default:
      break;
  }
  if (TypeOf(n) == Type::kFloat) {
    if (b == Bound::kInc) return 1;
    const double d = FloatBound(n, b);
    if (d <= -9223372036854775808.0) return kIntMin;
    if (d >= 9223372036854775807.0) return kIntMax;
    return static_cast<std::int64_t>(b == Bound::kMin ? std::ceil(d) : std::floor(d));
  }
  return b == Bound::kMin ? kIntMin : b == Bound::kMax ? kIntMax : 1;
}

double Graph::FloatBound(Node* n, Bound b) {
  Enter enter(budget_, n);
  switch (n->kind) {
    case Kind::kFloatReg: {
      if (b == Bound::kInc) Fail(ErrorKind::kWrongType, n, "has no increment");
      const std::size_t length = LengthOf(static_cast<RegisterNode*>(n));
      const double m = length == 4 ? FLT_MAX : DBL_MAX;
      return b == Bound::kMin ? -m : m;
    }
    case Kind::kFloat: {
      auto* v = static_cast<ValueNode*>(n);
      const NumberRef& own = b == Bound::kMin ? v->min : b == Bound::kMax ? v->max : v->inc;
      if (own.present) return RefFloat(own);
      const Source s = Resolve(v);
      if (s.node) return FloatBound(s.node, b);
      if (b == Bound::kInc) Fail(ErrorKind::kWrongType, n, "has no increment");
      return b == Bound::kMin ? -DBL_MAX : DBL_MAX;
    }
    case Kind::kConverter: {
      auto* f = static_cast<FormulaNode*>(n);
      if (b == Bound::kInc) Fail(ErrorKind::kWrongType, n, "has no increment");
      if (f->slope == Slope::kVarying) return b == Bound::kMin ? -DBL_MAX : DBL_MAX;
      return ConvertedBound(f, b).AsDouble();
    }
    case Kind::kSwissKnife:
      if (b == Bound::kInc) Fail(ErrorKind::kWrongType, n, "has no increment");
      return b == Bound::kMin ? -DBL_MAX : DBL_MAX;
    default:
      break;
  }
  if (TypeOf(n) == Type::kInteger) return static_cast<double>(IntBound(n, b));
  if (b == Bound::kInc) Fail(ErrorKind::kWrongType, n, "has no increment");
  return b == Bound::kMin ? -DBL_MAX : DBL_MAX;
}

std::optional<double> Graph::FloatInc(Node* n) {
  if (!HasFloatInc(n)) return std::nullopt;
  return FloatBound(n, Bound::kInc);
}

bool Graph::HasFloatInc(Node* n) {
  for (int hops = 0; n && hops < 64; ++hops) {
    if (n->kind == Kind::kFloat) {
      auto* v = static_cast<ValueNode*>(n);
      if (v->inc.present) return true;
      if (v->p_index) return false;
      n = v->p_value;
      continue;
    }
    return TypeOf(n) == Type::kInteger;
  }
  return false;
}

void Graph::CheckIntRange(Node* n, std::int64_t v) {
  if (IsRegister(n->kind)) return;  // the register's own write says what its bits hold
  const IntRange range = IntRangeOf(n);
  if (range.inc <= 0) Fail(ErrorKind::kDescription, n, "increment " + std::to_string(range.inc));
  if (const auto why = IntegerRefusal(range, v))
    Fail(ErrorKind::kOutOfRange, n, std::to_string(v) + " is " + *why);
}

void Graph::CheckFloatRange(Node* n, double v) {
  if (IsRegister(n->kind)) return;
  const FloatRange range{FloatBound(n, Bound::kMin), FloatBound(n, Bound::kMax), std::nullopt};
  if (const auto why = FloatRefusal(range, v))
    Fail(ErrorKind::kOutOfRange, n, Num(v) + " is " + *why);
}

IntRange Graph::IntRangeOf(Node* n) {
  return IntRange{IntBound(n, Bound::kMin), IntBound(n, Bound::kMax), IntBound(n, Bound::kInc)};
}

FloatRange Graph::FloatRangeOf(Node* n) {
  return FloatRange{FloatBound(n, Bound::kMin), FloatBound(n, Bound::kMax), FloatInc(n)};
}

bool Graph::GetBool(ValueNode* n) {
  const Source s = Resolve(n);
  const std::int64_t raw =
      s.node ? GetInt(s.node) : (s.own->is_float ? RoundToInt(n, s.own->d) : s.own->i);
  if (raw == n->on_value) return true;
  if (raw == n->off_value) return false;
  // Neither: the device and the description disagree; guessing would report a wrong state.
  Fail(ErrorKind::kDescription, n,
       "value " + std::to_string(raw) + " is neither its OnValue " + std::to_string(n->on_value) +
           " nor its OffValue " + std::to_string(n->off_value));
}

void Graph::SetBool(ValueNode* n, bool v) {
  Enter enter(budget_, n);
  const std::int64_t raw = v ? n->on_value : n->off_value;
  const Source s = Resolve(n);
  if (s.node)
    SetInt(s.node, raw);
  else
    *s.own = formula::Value::Int(raw);
  Changed(n);
}

std::int64_t Graph::EnumValue(ValueNode* n) { return GetInt(n); }

const EnumEntry* Graph::CurrentEntry(ValueNode* n) {
  const std::int64_t v = EnumValue(n);
  for (const EnumEntry& e : n->entries)
    if (e.value == v) return &e;
  Fail(ErrorKind::kDescription, n, "value " + std::to_string(v) + " is none of its entries");
}

void Graph::SetEntry(ValueNode* n, const EnumEntry& e) {
  Enter enter(budget_, n);
  const Source s = Resolve(n);
  if (s.node)
    SetInt(s.node, e.value);
  else
    *s.own = formula::Value::Int(e.value);
  Changed(n);
}

std::string Graph::GetString(Node* n) {
  Enter enter(budget_, n);
  if (n->kind == Kind::kStringReg) {
    std::string bytes = ReadRegister(static_cast<RegisterNode*>(n));
    const std::size_t nul = bytes.find('\0');
    if (nul != std::string::npos) bytes.resize(nul);
    return bytes;
  }
  if (n->kind == Kind::kString) {
    auto* v = static_cast<ValueNode*>(n);
    return v->p_value ? GetString(v->p_value) : v->string_value;
  }
  Fail(ErrorKind::kWrongType, n, "is not a string");
}

std::int64_t Graph::StringMaxLength(Node* n) {
  Enter enter(budget_, n);
  if (n->kind == Kind::kStringReg) {
    // The longest text a write may give: none for a register that cannot be written.
    const Access a = AccessOf(n);
    if (a == Access::kNI || a == Access::kNA)
      Fail(ErrorKind::kNotAvailable, n, "is not available now");
    return Writable(a) ? static_cast<std::int64_t>(LengthOf(static_cast<RegisterNode*>(n))) : 0;
  }
  if (n->kind == Kind::kString) {
    auto* v = static_cast<ValueNode*>(n);
    if (v->p_value) return StringMaxLength(v->p_value);
    return static_cast<std::int64_t>(v->string_value.size());
  }
  Fail(ErrorKind::kWrongType, n, "is not a string");
}

void Graph::SetString(Node* n, std::string_view value) {
  Enter enter(budget_, n);
  if (value.find('\0') != std::string_view::npos)
    Fail(ErrorKind::kOutOfRange, n, "the text contains a NUL character");
  if (n->kind == Kind::kStringReg) {
    auto* r = static_cast<RegisterNode*>(n);
    const std::size_t length = LengthOf(r);
    if (value.size() > length)
      Fail(ErrorKind::kOutOfRange, n,
           "the text has " + std::to_string(value.size()) + " characters, the register holds " +
               std::to_string(length));
    std::string bytes(value);
    bytes.resize(length, '\0');  // NUL-terminated when shorter, zero-padded
    WriteRegister(r, bytes);
    return;
  }
  if (n->kind == Kind::kString) {
    auto* v = static_cast<ValueNode*>(n);
    if (v->p_value)
      SetString(v->p_value, value);
    else
      v->string_value = std::string(value);
    Changed(n);
    return;
  }
  Fail(ErrorKind::kWrongType, n, "is not a string");
}

void Graph::Execute(ValueNode* n) {
  Enter enter(budget_, n);
  const std::int64_t command = RefInt(n->command_value);
  const Source s = Resolve(n);
  if (s.node) {
    // The command register clears itself on the device: keep no cached copy of the write.
    write_around_ = true;
    try {
      SetInt(s.node, command);
    } catch (...) {
      write_around_ = false;
      throw;
    }
    write_around_ = false;
  } else {
    *s.own = formula::Value::Int(command);
  }
  Changed(n);
}

bool Graph::IsDone(ValueNode* n) {
  Enter enter(budget_, n);
  const Source s = Resolve(n);
  if (!s.node) return true;  // a value of the description: nothing runs on a device
  if (!Readable(AccessOf(s.node))) return true;
  // Read the device itself: a cached copy would show the command running forever.
  bypass_cache_ = true;
  try {
    const std::int64_t v = GetInt(s.node);
    const std::int64_t command = RefInt(n->command_value);
    bypass_cache_ = false;
    return v != command;
  } catch (...) {
    bypass_cache_ = false;
    throw;
  }
}

}  // namespace vision::detail::genapi

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

bool Readable(Access a) { return a == Access::kRO || a == Access::kRW; }
bool Writable(Access a) { return a == Access::kWO || a == Access::kRW; }

// Both restrictions at once: not implemented wins over not available wins over the rest.
Access Intersect(Access a, Access b) {
  if (a == Access::kNI || b == Access::kNI) return Access::kNI;
  if (a == Access::kNA || b == Access::kNA) return Access::kNA;
  const bool r = Readable(a) && Readable(b), w = Writable(a) && Writable(b);
  if (r && w) return Access::kRW;
  if (r) return Access::kRO;
  if (w) return Access::kWO;
  return Access::kNA;
}

bool IsRegister(Kind k) {
  return k == Kind::kRegister || k == Kind::kIntReg || k == Kind::kMaskedIntReg ||
         k == Kind::kFloatReg || k == Kind::kStringReg;
}
bool IsValueNode(Kind k) {
  return k == Kind::kInteger || k == Kind::kFloat || k == Kind::kBoolean ||
         k == Kind::kEnumeration || k == Kind::kCommand || k == Kind::kString;
}

// Counts a node level against the evaluation budget, naming the node when over it.
class Enter {
 public:
  Enter(formula::Budget& budget, const Node* n) : budget_(budget) {
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
  ~Enter() { --budget_.depth; }
  Enter(const Enter&) = delete;
  Enter& operator=(const Enter&) = delete;

 private:
  formula::Budget& budget_;
};

}  // namespace

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

// --- access ---------------------------------------------------------------------------------

Access Graph::AccessOf(Node* n) {
  Enter enter(budget_, n);
  if (n->is_implemented && !Truth(n->is_implemented)) return Access::kNI;
  if (n->is_available && !Truth(n->is_available)) return Access::kNA;
  Access own = Access::kRO;
  if (IsRegister(n->kind)) {
    own = static_cast<RegisterNode*>(n)->mode;
  } else if (IsValueNode(n->kind)) {
    auto* v = static_cast<ValueNode*>(n);
    if (v->p_index) {
      const std::int64_t index = GetInt(v->p_index);
      own = Access::kNA;
      bool found = false;
      for (const auto& e : v->indexed)
        if (e.index == index) {
          own = e.node ? AccessOf(e.node) : Access::kRW;
          found = true;
          break;
        }
      if (!found && v->has_default) own = v->p_default ? AccessOf(v->p_default) : Access::kRW;
    } else if (v->p_value) {
      own = AccessOf(v->p_value);
    } else {
      own = Access::kRW;  // a value of the description itself
    }
  } else if (n->kind == Kind::kConverter || n->kind == Kind::kIntConverter) {
    own = AccessOf(static_cast<FormulaNode*>(n)->p_value);
  } else if (n->kind == Kind::kPort) {
    own = Access::kRW;
  }
  Access a = Intersect(own, n->imposed);
  if (Writable(a) && n->is_locked && Truth(n->is_locked))
    a = a == Access::kRW ? Access::kRO : Access::kNA;
  return a;
}

// --- registers and the cache ----------------------------------------------------------------

std::size_t Graph::LengthOf(RegisterNode* r) {
  const std::int64_t length = RefInt(r->length);
  bool ok = length >= 1 && static_cast<std::uint64_t>(length) <= kMaxRegisterLength;
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
      if (n->kind == Kind::kInteger) {
        const IntRange range = IntRangeOf(n);
        if (v < range.min || v > range.max)
          Fail(ErrorKind::kOutOfRange, n,
               std::to_string(v) + " is out of range (" + std::to_string(range.min) + " to " +
                   std::to_string(range.max) + ")");
        if (range.inc <= 0)
          Fail(ErrorKind::kDescription, n, "increment " + std::to_string(range.inc));
        const std::uint64_t steps =
            static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(range.min);
        if (steps % static_cast<std::uint64_t>(range.inc) != 0)
          Fail(ErrorKind::kOutOfRange, n,
               std::to_string(v) + " is not on the increment " + std::to_string(range.inc) +
                   " from " + std::to_string(range.min));
      }
      const Source s = Resolve(vn);
      if (s.node)
        SetInt(s.node, v);
      else
        *s.own = formula::Value::Int(v);
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
      const FloatRange range = FloatRangeOf(n);
      if (v < range.min || v > range.max)
        Fail(ErrorKind::kOutOfRange, n,
             Num(v) + " is out of range (" + Num(range.min) + " to " + Num(range.max) + ")");
      if (range.inc && *range.inc > 0) {
        const double steps = (v - range.min) / *range.inc;
        if (std::fabs(steps - std::round(steps)) > 1e-6 * std::max(1.0, std::fabs(steps)))
          Fail(ErrorKind::kOutOfRange, n,
               Num(v) + " is not on the increment " + Num(*range.inc) + " from " + Num(range.min));
      }
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

IntRange Graph::IntRangeOf(Node* n) {
  Enter enter(budget_, n);
  switch (n->kind) {
    case Kind::kIntReg:
    case Kind::kMaskedIntReg: {
      auto* r = static_cast<RegisterNode*>(n);
      const std::size_t length = LengthOf(r);
      int bits = static_cast<int>(length * 8);
      if (n->kind == Kind::kMaskedIntReg) {
        int shift;
        Field(r, length, &shift, &bits);
      }
      if (r->is_signed)
        return bits >= 64 ? IntRange{kIntMin, kIntMax, 1}
                          : IntRange{-(std::int64_t{1} << (bits - 1)),
                                     (std::int64_t{1} << (bits - 1)) - 1, 1};
      return IntRange{0, bits >= 63 ? kIntMax : (std::int64_t{1} << bits) - 1, 1};
    }
    case Kind::kInteger: {
      auto* v = static_cast<ValueNode*>(n);
      IntRange range{kIntMin, kIntMax, 1};
      if (!v->min.present || !v->max.present || !v->inc.present) {
        const Source s = Resolve(v);
        if (s.node) range = IntRangeOf(s.node);
      }
      if (v->min.present) range.min = RefInt(v->min);
      if (v->max.present) range.max = RefInt(v->max);
      if (v->inc.present) range.inc = RefInt(v->inc);
      return range;
    }
    case Kind::kIntConverter: {
      auto* f = static_cast<FormulaNode*>(n);
      std::int64_t a = kIntMin, b = kIntMax;
      const IntRange inner = IntRangeOf(f->p_value);
      // A bound the formula cannot convert (say a division by zero at 0) stays open.
      try {
        const formula::Value lo = formula::Value::Int(inner.min);
        a = formula::ToInt(EvaluateFormula(f, f->formula_from, &lo, nullptr).AsDouble());
      } catch (const Error&) {
      } catch (const formula::FormulaError&) {
      }
      try {
        const formula::Value hi = formula::Value::Int(inner.max);
        b = formula::ToInt(EvaluateFormula(f, f->formula_from, &hi, nullptr).AsDouble());
      } catch (const Error&) {
      } catch (const formula::FormulaError&) {
      }
      return a <= b ? IntRange{a, b, 1} : IntRange{b, a, 1};
    }
    default:
      break;
  }
  if (TypeOf(n) == Type::kFloat) {
    const FloatRange f = FloatRangeOf(n);
    auto clamp = [](double d) {
      if (d <= -9223372036854775808.0) return kIntMin;
      if (d >= 9223372036854775807.0) return kIntMax;
      return static_cast<std::int64_t>(d);
    };
    return IntRange{clamp(std::ceil(f.min)), clamp(std::floor(f.max)), 1};
  }
  return IntRange{kIntMin, kIntMax, 1};
}

FloatRange Graph::FloatRangeOf(Node* n) {
  Enter enter(budget_, n);
  switch (n->kind) {
    case Kind::kFloatReg: {
      const std::size_t length = LengthOf(static_cast<RegisterNode*>(n));
      const double m = length == 4 ? FLT_MAX : DBL_MAX;
      return FloatRange{-m, m, std::nullopt};
    }
    case Kind::kFloat: {
      auto* v = static_cast<ValueNode*>(n);
      FloatRange range{-DBL_MAX, DBL_MAX, std::nullopt};
      if (!v->min.present || !v->max.present) {
        const Source s = Resolve(v);
        if (s.node) range = FloatRangeOf(s.node);
      }
      if (v->min.present) range.min = RefFloat(v->min);
      if (v->max.present) range.max = RefFloat(v->max);
      if (v->inc.present) range.inc = RefFloat(v->inc);
      return range;
    }
    case Kind::kConverter: {
      auto* f = static_cast<FormulaNode*>(n);
      // The converted range of pValue; a decreasing formula (say 1/x) swaps the ends, so the
      // converted ends are put in order. An end the formula cannot convert stays open.
      double a = -DBL_MAX, b = DBL_MAX;
      const bool inner_float = TypeOf(f->p_value) == Type::kFloat;
      formula::Value lo, hi;
      if (inner_float) {
        const FloatRange inner = FloatRangeOf(f->p_value);
        lo = formula::Value::Float(inner.min);
        hi = formula::Value::Float(inner.max);
      } else {
        const IntRange inner = IntRangeOf(f->p_value);
        lo = formula::Value::Int(inner.min);
        hi = formula::Value::Int(inner.max);
      }
      bool have_a = false, have_b = false;
      try {
        a = EvaluateFormula(f, f->formula_from, &lo, nullptr).AsDouble();
        have_a = true;
      } catch (const Error&) {
      }
      try {
        b = EvaluateFormula(f, f->formula_from, &hi, nullptr).AsDouble();
        have_b = true;
      } catch (const Error&) {
      }
      if (have_a && have_b) return a <= b ? FloatRange{a, b, {}} : FloatRange{b, a, {}};
      return FloatRange{-DBL_MAX, DBL_MAX, std::nullopt};
    }
    default:
      break;
  }
  if (TypeOf(n) == Type::kInteger) {
    const IntRange r = IntRangeOf(n);
    return FloatRange{static_cast<double>(r.min), static_cast<double>(r.max),
                      static_cast<double>(r.inc)};
  }
  return FloatRange{-DBL_MAX, DBL_MAX, std::nullopt};
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

bool Graph::EntryOffered(const EnumEntry& e) {
  if (e.is_implemented && !Truth(e.is_implemented)) return false;
  if (e.is_available && !Truth(e.is_available)) return false;
  return true;
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

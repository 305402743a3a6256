// Building the node graph from the description's XML and checking it: every reference
// resolves to a node of a usable kind, every formula parses, and no node depends on itself.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "camera/genapi/graph.h"
#include "camera/genapi/xml.h"

namespace vision::detail::genapi {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

const std::unordered_map<std::string_view, Kind>& KindsByElement() {
  static const std::unordered_map<std::string_view, Kind> kinds = {
      {"Category", Kind::kCategory},
      {"Port", Kind::kPort},
      {"Register", Kind::kRegister},
      {"IntReg", Kind::kIntReg},
      {"MaskedIntReg", Kind::kMaskedIntReg},
      {"FloatReg", Kind::kFloatReg},
      {"StringReg", Kind::kStringReg},
      {"Integer", Kind::kInteger},
      {"Float", Kind::kFloat},
      {"Boolean", Kind::kBoolean},
      {"Enumeration", Kind::kEnumeration},
      {"Command", Kind::kCommand},
      {"String", Kind::kString},
      {"IntSwissKnife", Kind::kIntSwissKnife},
      {"SwissKnife", Kind::kSwissKnife},
      {"Converter", Kind::kConverter},
      {"IntConverter", Kind::kIntConverter},
  };
  return kinds;
}

bool HasNumber(Kind k) {
  switch (k) {
    case Kind::kIntReg:
    case Kind::kMaskedIntReg:
    case Kind::kFloatReg:
    case Kind::kInteger:
    case Kind::kFloat:
    case Kind::kBoolean:
    case Kind::kEnumeration:
    case Kind::kIntSwissKnife:
    case Kind::kSwissKnife:
    case Kind::kConverter:
    case Kind::kIntConverter:
      return true;
    default:
      return false;
  }
}

}  // namespace

class Builder {
 public:
  Builder(Graph& g, const XmlTree& t) : g_(g), t_(t) {}

  void Run() {
    const XmlElement& root = t_.elements[0];
    if (root.name != "RegisterDescription")
      throw Error(ErrorKind::kDescription, "not a device description: the root element is <" +
                                               root.name + ">, not <RegisterDescription>");
    if (const std::string* m = root.Attribute("ModelName")) g_.model_name = *m;
    if (const std::string* v = root.Attribute("VendorName")) g_.vendor_name = *v;
    Collect();
    ports_ = g_.Ports();
    // Nodes made while filling (embedded swiss knives) are filled where they are made.
    const std::size_t count = g_.nodes.size();
    for (std::size_t i = 0; i < count; ++i) Fill(g_.nodes[i].get());
    CheckCycles();
    for (const auto& [reg, target] : invalidators_) target->invalidates.push_back(reg);
  }

 private:
  [[noreturn]] void Fail(const Node* n, const std::string& what) const {
    throw Error(ErrorKind::kDescription,
                std::string(KindName(n->kind)) + " '" + n->name + "': " + what);
  }

  const XmlElement& E(int index) const { return t_.elements[static_cast<std::size_t>(index)]; }

  Node* Add(std::unique_ptr<Node> node, int element, bool named) {
    node->element = element;
    Node* raw = node.get();
    if (named) {
      if (raw->name.empty())
        throw Error(ErrorKind::kDescription,
                    "a <" + E(element).name + "> element has an empty Name");
      if (!g_.by_name.emplace(raw->name, raw).second)
        throw Error(ErrorKind::kDescription, "two nodes are named '" + raw->name + "'");
    }
    g_.nodes.push_back(std::move(node));
    return raw;
  }

  static std::unique_ptr<Node> Make(const std::string& name, Kind kind) {
    switch (kind) {
      case Kind::kPort:
        return std::make_unique<PortNode>(name, kind);
      case Kind::kCategory:
        return std::make_unique<CategoryNode>(name, kind);
      case Kind::kRegister:
      case Kind::kIntReg:
      case Kind::kMaskedIntReg:
      case Kind::kFloatReg:
      case Kind::kStringReg:
        return std::make_unique<RegisterNode>(name, kind);
      case Kind::kInteger:
      case Kind::kFloat:
      case Kind::kBoolean:
      case Kind::kEnumeration:
      case Kind::kCommand:
      case Kind::kString:
        return std::make_unique<ValueNode>(name, kind);
      case Kind::kIntSwissKnife:
      case Kind::kSwissKnife:
      case Kind::kConverter:
      case Kind::kIntConverter: {
        auto f = std::make_unique<FormulaNode>(name, kind);
        f->integer = kind == Kind::kIntSwissKnife || kind == Kind::kIntConverter;
        return f;
      }
      case Kind::kOther:
        break;
    }
    return std::make_unique<Node>(name, kind);
  }

  // Pass 1: every node of the description, descending into <Group>s, in document order.
  void Collect() {
    std::vector<std::pair<int, std::size_t>> stack{{0, 0}};
    while (!stack.empty()) {
      auto& [parent, next] = stack.back();
      const XmlElement& p = E(parent);
      if (next >= p.children.size()) {
        stack.pop_back();
        continue;
      }
      const int index = p.children[next++];
      const XmlElement& e = E(index);
      if (e.name == "Group") {
        stack.emplace_back(index, 0);  // `parent` and `next` are not used after this
        continue;
      }
      if (e.name == "StructReg") {
        // Each entry is a masked register over the StructReg's register.
        for (int c : e.children) {
          const XmlElement& entry = E(c);
          if (entry.name != "StructEntry") continue;
          const std::string* name = entry.Attribute("Name");
          if (!name) continue;
          Node* n = Add(Make(*name, Kind::kMaskedIntReg), c, true);
          struct_of_[n] = index;
        }
        continue;
      }
      const std::string* name = e.Attribute("Name");
      if (!name) continue;
      const auto kind = KindsByElement().find(e.name);
      Add(Make(*name, kind == KindsByElement().end() ? Kind::kOther : kind->second), index, true);
    }
  }

  // The child elements describing a node (a StructEntry's also include its StructReg's).
  std::vector<const XmlElement*> Children(const Node* n) const {
    std::vector<const XmlElement*> children;
    const auto s = struct_of_.find(n);
    if (s != struct_of_.end())
      for (int c : E(s->second).children)
        if (E(c).name != "StructEntry") children.push_back(&E(c));
    for (int c : E(n->element).children) children.push_back(&E(c));
    return children;
  }

  Node* Ref(const Node* owner, const std::string& what, std::string_view name) {
    name = Trim(name);
    Node* n = g_.Find(name);
    if (!n)
      Fail(owner, "<" + what + "> refers to '" + std::string(name) + "', which does not exist");
    return n;
  }

  Node* NumberNode(const Node* owner, const std::string& what, std::string_view name) {
    Node* n = Ref(owner, what, name);
    if (!HasNumber(n->kind))
      Fail(owner, "<" + what + "> refers to '" + n->name + "', a " + KindName(n->kind) +
                      ", which has no number");
    return n;
  }

  std::int64_t ParseInt(const Node* owner, const std::string& what, std::string_view text) {
    text = Trim(text);
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
      negative = digits[0] == '-';
      digits.remove_prefix(1);
    }
    std::uint64_t u = 0;
    std::from_chars_result r{};
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
      r = std::from_chars(digits.data() + 2, digits.data() + digits.size(), u, 16);
    else
      r = std::from_chars(digits.data(), digits.data() + digits.size(), u, 10);
    if (digits.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size())
      Fail(owner, "<" + what + "> '" + std::string(text) + "' is not an integer");
    if (negative) {
      if (u > std::uint64_t{1} << 63)
        Fail(owner, "<" + what + "> '" + std::string(text) + "' is too small");
      return static_cast<std::int64_t>(0 - u);
    }
    return static_cast<std::int64_t>(u);  // hexadecimal bit patterns above 2^63 wrap
  }

  double ParseFloat(const Node* owner, const std::string& what, std::string_view text) {
    text = Trim(text);
    std::string_view t = text;
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    if (t.size() > 2 && (t.substr(0, 2) == "0x" || t.substr(0, 2) == "0X"))
      return static_cast<double>(ParseInt(owner, what, text));
    double d = 0;
    // from_chars does not take ".5" in every library version.
    std::string copy;
    if (!t.empty() && t[0] == '-') {
      copy += '-';
      t.remove_prefix(1);
    }
    if (!t.empty() && t[0] == '.') copy += '0';
    copy.append(t);
    const auto r = std::from_chars(copy.data(), copy.data() + copy.size(), d);
    if (copy.empty() || r.ec != std::errc() || r.ptr != copy.data() + copy.size() || std::isnan(d))
      Fail(owner, "<" + what + "> '" + std::string(text) + "' is not a number");
    return d;
  }

  formula::Value ParseNumber(const Node* owner, const std::string& what, std::string_view text) {
    const std::string_view t = Trim(text);
    if (t.find_first_of(".eEiInN") == std::string_view::npos || t.substr(0, 2) == "0x" ||
        t.substr(0, 2) == "0X")
      return formula::Value::Int(ParseInt(owner, what, t));
    return formula::Value::Float(ParseFloat(owner, what, t));
  }

  Access ParseAccess(const Node* owner, const std::string& what, std::string_view text) {
    text = Trim(text);
    if (text == "RO") return Access::kRO;
    if (text == "WO") return Access::kWO;
    if (text == "RW") return Access::kRW;
    if (text == "NA") return Access::kNA;
    if (text == "NI") return Access::kNI;
    Fail(owner, "<" + what + "> '" + std::string(text) + "' is not an access mode");
  }

  // Children every node may have.
  bool Common(Node* n, const XmlElement& c) {
    if (c.name == "pIsImplemented") {
      n->is_implemented.push_back(NumberNode(n, c.name, c.text));
    } else if (c.name == "pIsAvailable") {
      n->is_available.push_back(NumberNode(n, c.name, c.text));
    } else if (c.name == "pIsLocked") {
      n->is_locked.push_back(NumberNode(n, c.name, c.text));
    } else if (c.name == "ImposedAccessMode") {
      n->imposed = ParseAccess(n, c.name, c.text);
    } else if (c.name == "Unit") {
      n->unit = std::string(Trim(c.text));
    } else {
      return false;
    }
    return true;
  }

  void Fill(Node* n) {
    if (n->kind == Kind::kRegister || n->kind == Kind::kIntReg || n->kind == Kind::kMaskedIntReg ||
        n->kind == Kind::kFloatReg || n->kind == Kind::kStringReg) {
      FillRegister(static_cast<RegisterNode*>(n));
    } else if (n->kind == Kind::kInteger || n->kind == Kind::kFloat || n->kind == Kind::kBoolean ||
               n->kind == Kind::kEnumeration || n->kind == Kind::kCommand ||
               n->kind == Kind::kString) {
      FillValue(static_cast<ValueNode*>(n));
    } else if (n->kind == Kind::kIntSwissKnife || n->kind == Kind::kSwissKnife ||
               n->kind == Kind::kConverter || n->kind == Kind::kIntConverter) {
      FillFormula(static_cast<FormulaNode*>(n), Children(n));
    } else if (n->kind == Kind::kCategory) {
      auto* c = static_cast<CategoryNode*>(n);
      for (const XmlElement* e : Children(n)) {
        if (Common(n, *e)) continue;
        if (e->name == "pFeature") {
          Node* f = Ref(n, e->name, e->text);
          f->listed = true;
          c->features.push_back(f);
        }
      }
    } else {
      for (const XmlElement* e : Children(n)) {
        if (Common(n, *e)) continue;
        if (n->kind != Kind::kPort) continue;
        if (e->name == "ChunkID" || e->name == "pChunkID") static_cast<PortNode*>(n)->chunk = true;
        if (e->name == "EventID") static_cast<PortNode*>(n)->event = true;
      }
    }
  }

  void FillRegister(RegisterNode* r) {
    bool has_bit = false, has_lsb = false, has_msb = false, polling = false;
    std::int64_t bit = 0, lsb = 0, msb = 0;
    for (const XmlElement* c : Children(r)) {
      const std::string& name = c->name;
      if (Common(r, *c)) continue;
      if (name == "Address") {
        r->address += static_cast<std::uint64_t>(ParseInt(r, name, c->text));
      } else if (name == "pAddress") {
        r->p_address.push_back(NumberNode(r, name, c->text));
      } else if (name == "IntSwissKnife") {
        auto knife = std::make_unique<FormulaNode>(
            r->name + ".IntSwissKnife" + std::to_string(r->p_address.size()), Kind::kIntSwissKnife);
        knife->integer = true;
        FormulaNode* k = static_cast<FormulaNode*>(
            Add(std::move(knife), static_cast<int>(c - t_.elements.data()), false));
        std::vector<const XmlElement*> children;
        for (int i : c->children) children.push_back(&E(i));
        FillFormula(k, children);
        r->p_address.push_back(k);
      } else if (name == "pIndex") {
        RegisterNode::Index index{NumberNode(r, name, c->text), {}};
        if (const std::string* offset = c->Attribute("Offset")) {
          index.offset.present = true;
          index.offset.constant = formula::Value::Int(ParseInt(r, "pIndex Offset", *offset));
        } else if (const std::string* p_offset = c->Attribute("pOffset")) {
          index.offset.present = true;
          index.offset.node = NumberNode(r, "pIndex pOffset", *p_offset);
        }
        r->indexes.push_back(index);
      } else if (name == "Length") {
        r->length = NumberRef{true, formula::Value::Int(ParseInt(r, name, c->text)), nullptr};
      } else if (name == "pLength") {
        r->length = NumberRef{true, {}, NumberNode(r, name, c->text)};
      } else if (name == "AccessMode") {
        r->mode = ParseAccess(r, name, c->text);
      } else if (name == "pPort") {
        Node* p = Ref(r, name, c->text);
        if (p->kind != Kind::kPort) Fail(r, "<pPort> refers to '" + p->name + "', not a Port");
        r->port = static_cast<PortNode*>(p);
      } else if (name == "Cachable") {
        const std::string_view v = Trim(c->text);
        if (v == "NoCache") {
          r->cache = CacheMode::kNoCache;
        } else if (v == "WriteThrough") {
          r->cache = CacheMode::kWriteThrough;
        } else if (v == "WriteAround") {
          r->cache = CacheMode::kWriteAround;
        } else {
          Fail(r, "<Cachable> '" + std::string(v) + "' is not a caching mode");
        }
      } else if (name == "PollingTime") {
        polling = true;
      } else if (name == "Endianess") {
        const std::string_view v = Trim(c->text);
        if (v != "BigEndian" && v != "LittleEndian")
          Fail(r, "<Endianess> '" + std::string(v) + "' is not a byte order");
        r->big_endian = v == "BigEndian";
      } else if (name == "Sign") {
        const std::string_view v = Trim(c->text);
        if (v != "Signed" && v != "Unsigned")
          Fail(r, "<Sign> '" + std::string(v) + "' is neither Signed nor Unsigned");
        r->is_signed = v == "Signed";
      } else if (name == "Bit") {
        has_bit = true;
        bit = ParseInt(r, name, c->text);
      } else if (name == "LSB") {
        has_lsb = true;
        lsb = ParseInt(r, name, c->text);
      } else if (name == "MSB") {
        has_msb = true;
        msb = ParseInt(r, name, c->text);
      } else if (name == "pInvalidator") {
        invalidators_.emplace_back(r, Ref(r, name, c->text));
      }
    }
    // A polled register changes on the device by itself: with no timer here to age the cached
    // value, it is read every time.
    if (polling) r->cache = CacheMode::kNoCache;
    if (!r->length.present) Fail(r, "no <Length> or <pLength>");
    if (!r->port) {
      if (ports_.size() != 1) Fail(r, "no <pPort>");
      r->port = static_cast<PortNode*>(ports_[0]);  // the description's only port
    }
    if (!r->length.node) {
      const std::int64_t length = r->length.constant.i;
      bool ok = length >= 1 && length <= 64 * 1024;
      if (r->kind == Kind::kIntReg || r->kind == Kind::kMaskedIntReg)
        ok = length >= 1 && length <= 8;
      if (r->kind == Kind::kFloatReg) ok = length == 4 || length == 8;
      if (!ok) Fail(r, "unusable <Length> " + std::to_string(length));
    }
    if (r->kind == Kind::kMaskedIntReg) {
      if (has_bit) {
        lsb = msb = bit;
      } else if (!has_lsb || !has_msb) {
        Fail(r, "needs <Bit>, or <LSB> and <MSB>");
      }
      // The order of LSB and MSB depends on the byte order (big-endian registers number bits
      // from the most significant); which one is which does not change the field.
      const std::int64_t low = std::min(lsb, msb), high = std::max(lsb, msb);
      if (low < 0 || high > 63)
        Fail(r, "bits " + std::to_string(lsb) + " to " + std::to_string(msb) +
                    " are outside a 64-bit register");
      if (!r->length.node && high >= r->length.constant.i * 8)
        Fail(r, "bit " + std::to_string(high) + " is outside its " +
                    std::to_string(r->length.constant.i * 8) + "-bit register");
      r->low_bit = static_cast<int>(low);
      r->high_bit = static_cast<int>(high);
    }
  }

  void NumberChild(ValueNode* v, const XmlElement& c, NumberRef* ref, bool direct) {
    ref->present = true;
    if (direct) {
      ref->node = nullptr;
      ref->constant = v->kind == Kind::kFloat ? formula::Value::Float(ParseFloat(v, c.name, c.text))
                                              : formula::Value::Int(ParseInt(v, c.name, c.text));
    } else {
      ref->node = NumberNode(v, c.name, c.text);
    }
  }

  formula::Value OwnValue(ValueNode* v, const XmlElement& c) {
    return v->kind == Kind::kFloat ? formula::Value::Float(ParseFloat(v, c.name, c.text))
                                   : formula::Value::Int(ParseInt(v, c.name, c.text));
  }

  std::int64_t IndexOf(ValueNode* v, const XmlElement& c) {
    const std::string* index = c.Attribute("Index");
    if (!index) Fail(v, "<" + c.name + "> without an Index");
    return ParseInt(v, c.name + " Index", *index);
  }

  void FillValue(ValueNode* v) {
    const bool is_string = v->kind == Kind::kString;
    entry_names_.clear();
    entry_symbolics_.clear();
    for (const XmlElement* c : Children(v)) {
      const std::string& name = c->name;
      if (Common(v, *c)) continue;
      if (name == "Value") {
        v->has_value = true;
        if (is_string)
          v->string_value = c->text;
        else
          v->value = OwnValue(v, *c);
      } else if (name == "pValue") {
        if (is_string) {
          Node* p = Ref(v, name, c->text);
          if (p->kind != Kind::kString && p->kind != Kind::kStringReg)
            Fail(v,
                 "<pValue> refers to '" + p->name + "', a " + KindName(p->kind) + ", not a string");
          v->p_value = p;
        } else {
          v->p_value = NumberNode(v, name, c->text);
        }
      } else if (name == "pValueCopy" && !is_string) {
        v->value_copies.push_back(NumberNode(v, name, c->text));
      } else if (is_string) {
        continue;
      } else if (name == "Min" || name == "pMin") {
        NumberChild(v, *c, &v->min, name == "Min");
      } else if (name == "Max" || name == "pMax") {
        NumberChild(v, *c, &v->max, name == "Max");
      } else if (name == "Inc" || name == "pInc") {
        NumberChild(v, *c, &v->inc, name == "Inc");
      } else if (name == "pIndex") {
        v->p_index = NumberNode(v, name, c->text);
      } else if (name == "ValueIndexed") {
        v->indexed.push_back({IndexOf(v, *c), nullptr, OwnValue(v, *c)});
      } else if (name == "pValueIndexed") {
        v->indexed.push_back({IndexOf(v, *c), NumberNode(v, name, c->text), {}});
      } else if (name == "ValueDefault") {
        v->has_default = true;
        v->default_value = OwnValue(v, *c);
      } else if (name == "pValueDefault") {
        v->has_default = true;
        v->p_default = NumberNode(v, name, c->text);
      } else if (name == "OnValue") {
        v->on_value = ParseInt(v, name, c->text);
      } else if (name == "OffValue") {
        v->off_value = ParseInt(v, name, c->text);
      } else if (name == "CommandValue") {
        v->command_value =
            NumberRef{true, formula::Value::Int(ParseInt(v, name, c->text)), nullptr};
      } else if (name == "pCommandValue") {
        v->command_value = NumberRef{true, {}, NumberNode(v, name, c->text)};
      } else if (name == "EnumEntry" && v->kind == Kind::kEnumeration) {
        FillEntry(v, *c);
      }
    }
    if (v->p_index && v->indexed.empty() && !v->has_default)
      Fail(v, "<pIndex> without <ValueIndexed>, <pValueIndexed> or a default");
    if (!v->p_index && !v->p_value && !v->has_value) Fail(v, "neither <Value> nor <pValue>");
    if (v->kind == Kind::kCommand && !v->command_value.present)
      Fail(v, "neither <CommandValue> nor <pCommandValue>");
    if (v->kind == Kind::kBoolean && v->on_value == v->off_value)
      Fail(v, "<OnValue> and <OffValue> are both " + std::to_string(v->on_value));
  }

  void FillEntry(ValueNode* v, const XmlElement& c) {
    EnumEntry entry;
    if (const std::string* name = c.Attribute("Name")) entry.name = *name;
    if (entry.name.empty()) Fail(v, "an <EnumEntry> has no Name");
    bool has_value = false;
    for (int i : c.children) {
      const XmlElement& e = E(i);
      if (e.name == "Value") {
        entry.value = ParseInt(v, "EnumEntry " + entry.name + " Value", e.text);
        has_value = true;
      } else if (e.name == "Symbolic") {
        entry.symbolic = std::string(Trim(e.text));
      } else if (e.name == "pIsImplemented") {
        entry.is_implemented = NumberNode(v, "EnumEntry " + entry.name + " pIsImplemented", e.text);
      } else if (e.name == "pIsAvailable") {
        entry.is_available = NumberNode(v, "EnumEntry " + entry.name + " pIsAvailable", e.text);
      }
    }
    if (!has_value) Fail(v, "entry '" + entry.name + "' has no <Value>");
    if (entry.symbolic.empty()) {
      // Entry nodes are often named EnumEntry_<Enumeration>_<Symbolic>.
      const std::string prefix = "EnumEntry_" + v->name + "_";
      entry.symbolic =
          entry.name.size() > prefix.size() && entry.name.compare(0, prefix.size(), prefix) == 0
              ? entry.name.substr(prefix.size())
              : entry.name;
    }
    if (!entry_names_.insert(entry.name).second || !entry_symbolics_.insert(entry.symbolic).second)
      Fail(v, "two entries are named '" + entry.symbolic + "'");
    v->entries.push_back(std::move(entry));
  }

  // The slot of a name a formula of `f` uses, or -1.
  int Resolve(FormulaNode* f, std::string_view name) {
    auto& vars = f->variables;
    if (const auto it = slot_of_.find(name); it != slot_of_.end()) return it->second;
    // NAME.Value/.Min/.Max/.Inc: that property of variable NAME; NAME.Entry.X: entry X's value.
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos) return -1;
    const std::string_view base = name.substr(0, dot), suffix = name.substr(dot + 1);
    if (const auto it = slot_of_.find(base); it != slot_of_.end()) {
      const std::size_t i = static_cast<std::size_t>(it->second);
      if (vars[i].kind != FormulaNode::VarKind::kNode) return -1;
      FormulaNode::Variable derived;
      derived.name = std::string(name);
      derived.node = vars[i].node;
      if (suffix == "Value") {
        derived.property = FormulaNode::Property::kValue;
      } else if (suffix == "Min") {
        derived.property = FormulaNode::Property::kMin;
      } else if (suffix == "Max") {
        derived.property = FormulaNode::Property::kMax;
      } else if (suffix == "Inc") {
        derived.property = FormulaNode::Property::kInc;
      } else if (suffix.substr(0, 6) == "Entry." && derived.node->kind == Kind::kEnumeration) {
        const std::string_view entry = suffix.substr(6);
        const auto* e = static_cast<const ValueNode*>(derived.node);
        bool found = false;
        for (const EnumEntry& x : e->entries)
          if (x.symbolic == entry || x.name == entry) {
            derived.kind = FormulaNode::VarKind::kConstant;
            derived.constant = formula::Value::Int(x.value);
            found = true;
          }
        if (!found) return -1;
      } else {
        return -1;
      }
      vars.push_back(derived);
      slot_of_.emplace(vars.back().name, static_cast<int>(vars.size()) - 1);
      return static_cast<int>(vars.size()) - 1;
    }
    return -1;
  }

  formula::Formula ParseFormula(FormulaNode* f, const std::string& what, std::string_view text) {
    try {
      return formula::Formula::Parse(Trim(text),
                                     [&](std::string_view name) { return Resolve(f, name); });
    } catch (const formula::FormulaError& e) {
      Fail(f, "<" + what + "> '" + std::string(Trim(text)) + "': " + e.what());
    }
  }

  void FillFormula(FormulaNode* f, const std::vector<const XmlElement*>& children) {
    const bool converter = f->kind == Kind::kConverter || f->kind == Kind::kIntConverter;
    const XmlElement *main = nullptr, *to = nullptr, *from = nullptr;
    slot_of_.clear();
    for (const XmlElement* c : children) {
      const std::string& name = c->name;
      if (Common(f, *c)) continue;
      const std::string* var_name = c->Attribute("Name");
      if (name == "pVariable" || name == "Constant" || name == "Expression") {
        if (!var_name || var_name->empty()) Fail(f, "a <" + name + "> has no Name");
        if (!slot_of_.emplace(*var_name, static_cast<int>(f->variables.size())).second)
          Fail(f, "two variables are named '" + *var_name + "'");
        FormulaNode::Variable v;
        v.name = *var_name;
        if (name == "pVariable") {
          v.node = NumberNode(f, name, c->text);
          // A name may carry the property it means: X.Min, X.Max, X.Inc, X.Value.
          const std::size_t dot = var_name->rfind('.');
          if (dot != std::string::npos) {
            const std::string suffix = var_name->substr(dot + 1);
            if (suffix == "Min") v.property = FormulaNode::Property::kMin;
            if (suffix == "Max") v.property = FormulaNode::Property::kMax;
            if (suffix == "Inc") v.property = FormulaNode::Property::kInc;
          }
        } else if (name == "Constant") {
          v.kind = FormulaNode::VarKind::kConstant;
          v.constant = ParseNumber(f, name + " " + *var_name, c->text);
        } else {
          v.kind = FormulaNode::VarKind::kExpression;
          v.expression_text = c->text;
        }
        f->variables.push_back(std::move(v));
      } else if (name == "Formula") {
        main = c;
      } else if (name == "FormulaTo") {
        to = c;
      } else if (name == "FormulaFrom") {
        from = c;
      } else if (name == "pValue" && converter) {
        f->p_value = NumberNode(f, name, c->text);
      } else if (name == "Slope" && converter) {
        const std::string_view v = Trim(c->text);
        if (v == "Increasing") {
          f->slope = Slope::kIncreasing;
        } else if (v == "Decreasing") {
          f->slope = Slope::kDecreasing;
        } else if (v == "Varying") {
          f->slope = Slope::kVarying;
        } else if (v == "Automatic") {
          f->slope = Slope::kAutomatic;
        } else {
          Fail(f, "<Slope> '" + std::string(v) + "' is not a slope");
        }
      }
    }
    if (converter) {
      for (const char* special : {"TO", "FROM"}) {
        if (!slot_of_.emplace(special, static_cast<int>(f->variables.size())).second) continue;
        FormulaNode::Variable v;
        v.name = special;
        v.kind = special[0] == 'T' ? FormulaNode::VarKind::kTo : FormulaNode::VarKind::kFrom;
        f->variables.push_back(v);
      }
    }
    // Expressions first: formulas and other expressions may use them.
    const std::size_t declared = f->variables.size();
    for (std::size_t i = 0; i < declared; ++i) {
      if (f->variables[i].kind != FormulaNode::VarKind::kExpression) continue;
      f->variables[i].expression = static_cast<int>(f->expressions.size());
      const std::string text = f->variables[i].expression_text;
      f->expressions.push_back(ParseFormula(f, "Expression " + f->variables[i].name, text));
    }
    CheckExpressionCycles(f);
    if (converter) {
      if (!f->p_value) Fail(f, "no <pValue>");
      if (!to || !from) Fail(f, "needs both <FormulaTo> and <FormulaFrom>");
      f->formula_to = ParseFormula(f, "FormulaTo", to->text);
      f->formula_from = ParseFormula(f, "FormulaFrom", from->text);
    } else {
      if (!main) Fail(f, "no <Formula>");
      f->formula = ParseFormula(f, "Formula", main->text);
    }
  }

  void CheckExpressionCycles(FormulaNode* f) {
    // Expressions using each other: follow every chain; a chain longer than there are
    // expressions comes back to one of them.
    const std::size_t n = f->expressions.size();
    std::vector<std::vector<int>> uses(n);
    for (std::size_t i = 0; i < n; ++i)
      for (int slot : f->expressions[i].Slots()) {
        const auto& v = f->variables[static_cast<std::size_t>(slot)];
        if (v.kind == FormulaNode::VarKind::kExpression) uses[i].push_back(v.expression);
      }
    std::vector<int> state(n, 0);  // 0 new, 1 on the path, 2 done
    for (std::size_t s = 0; s < n; ++s) {
      if (state[s]) continue;
      std::vector<std::pair<int, std::size_t>> stack{{static_cast<int>(s), 0}};
      state[s] = 1;
      while (!stack.empty()) {
        auto& [e, next] = stack.back();
        const auto& out = uses[static_cast<std::size_t>(e)];
        if (next == out.size()) {
          state[static_cast<std::size_t>(e)] = 2;
          stack.pop_back();
          continue;
        }
        const int d = out[next++];
        if (state[static_cast<std::size_t>(d)] == 1)
          Fail(f, "expression '" + ExpressionName(f, d) + "' uses itself");
        if (state[static_cast<std::size_t>(d)] == 0) {
          state[static_cast<std::size_t>(d)] = 1;
          stack.emplace_back(d, 0);
        }
      }
    }
  }

  static std::string ExpressionName(const FormulaNode* f, int expression) {
    for (const auto& v : f->variables)
      if (v.kind == FormulaNode::VarKind::kExpression && v.expression == expression) return v.name;
    return "?";
  }

  // What a node's value (or address) reads. Flags (pIsImplemented, pIsAvailable, pIsLocked, an
  // entry's flags) are not among them: they decide access, and a loop through them is no
  // reason to refuse a description (access.cpp breaks it).
  static void Dependencies(Node* n, std::vector<Node*>* out) {
    out->clear();
    switch (n->kind) {
      case Kind::kRegister:
      case Kind::kIntReg:
      case Kind::kMaskedIntReg:
      case Kind::kFloatReg:
      case Kind::kStringReg: {
        auto* r = static_cast<RegisterNode*>(n);
        for (Node* d : r->p_address) out->push_back(d);
        for (const auto& i : r->indexes) {
          out->push_back(i.index);
          if (i.offset.node) out->push_back(i.offset.node);
        }
        if (r->length.node) out->push_back(r->length.node);
        break;
      }
      case Kind::kInteger:
      case Kind::kFloat:
      case Kind::kBoolean:
      case Kind::kEnumeration:
      case Kind::kCommand:
      case Kind::kString: {
        auto* v = static_cast<ValueNode*>(n);
        for (Node* d : {v->p_value, v->p_index, v->p_default, v->min.node, v->max.node, v->inc.node,
                        v->command_value.node})
          if (d) out->push_back(d);
        for (const auto& e : v->indexed)
          if (e.node) out->push_back(e.node);
        for (Node* d : v->value_copies) out->push_back(d);
        break;
      }
      case Kind::kIntSwissKnife:
      case Kind::kSwissKnife:
      case Kind::kConverter:
      case Kind::kIntConverter: {
        auto* f = static_cast<FormulaNode*>(n);
        if (f->p_value) out->push_back(f->p_value);
        for (const auto& v : f->variables)
          if (v.node) out->push_back(v.node);
        break;
      }
      default:
        break;
    }
  }

  // A node whose value depends on itself, directly or through others, would never finish
  // evaluating: refuse the description, naming the cycle.
  void CheckCycles() {
    std::unordered_map<const Node*, int> state;  // absent new, 1 on the path, 2 done
    struct Frame {
      Node* node;
      std::vector<Node*> deps;
      std::size_t next;
    };
    std::vector<Frame> stack;
    for (const auto& start : g_.nodes) {
      if (state.count(start.get())) continue;
      stack.push_back({start.get(), {}, 0});
      Dependencies(start.get(), &stack.back().deps);
      state[start.get()] = 1;
      while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.deps.size()) {
          state[top.node] = 2;
          stack.pop_back();
          continue;
        }
        Node* d = top.deps[top.next++];
        const auto s = state.find(d);
        if (s == state.end()) {
          state[d] = 1;
          stack.push_back({d, {}, 0});
          Dependencies(d, &stack.back().deps);
        } else if (s->second == 1) {
          std::string cycle;
          bool on = false;
          for (const Frame& f : stack) {
            on = on || f.node == d;
            if (on) cycle += "'" + f.node->name + "' -> ";
          }
          throw Error(ErrorKind::kDescription, "reference cycle: " + cycle + "'" + d->name + "'");
        }
      }
    }
  }

  Graph& g_;
  const XmlTree& t_;
  std::unordered_map<const Node*, int> struct_of_;  // StructEntry -> its StructReg element
  std::vector<Node*> ports_;
  // While filling one node: its variables' slots by name, its entries' names.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  std::unordered_map<std::string, int, NameHash, std::equal_to<>> slot_of_;
  std::unordered_set<std::string> entry_names_, entry_symbolics_;
  std::vector<std::pair<RegisterNode*, Node*>> invalidators_;
};

Graph::Graph(std::string_view xml) {
  const XmlTree tree = ParseXml(xml, XmlLimits{kMaxXmlDepth, kMaxXmlItems});
  Builder(*this, tree).Run();
}

}  // namespace vision::detail::genapi

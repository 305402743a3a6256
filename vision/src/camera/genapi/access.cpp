// Effective access of a node: its own flags and access mode, combined with everything its
// value or its address depends on.
//
//  - Not implemented (NI) when a pIsImplemented reads 0, when an Enumeration has no implemented
//    entry, when an event port has no event behind it, or when anything it depends on is NI.
//  - Not available (NA), when it is not NI, for the same reasons with pIsAvailable, with an
//    Enumeration none of whose implemented entries is available, and with a chunk port that no
//    buffer backs. A flag node that is itself NA makes the node NA.
//  - Otherwise the access mode of the register (AccessMode), or of the node behind pValue (for
//    pIndex: the value selected now), restricted by ImposedAccessMode; a locked node (pIsLocked
//    non-zero) turns RW into RO and WO into NA.
//
// What "depends on" covers: pValue and pValueCopy, pIndex with every pValueIndexed and the
// default, pMin and pMax, a formula's variables, a register's pAddress, address formulas,
// pIndex offsets, pLength and port, and the nodes behind pIsImplemented and pIsAvailable.
// Flags and entries may lead back to the node asked about (a selector whose entries are
// implemented depending on registers the selector addresses); a node met again while its own
// access is being computed counts as accessible, so such loops never stop a description from
// being used.
#include "camera/genapi/graph.h"

namespace vision::detail::genapi {

namespace {

std::string Quote(const Node* n) { return "'" + n->name + "'"; }

}  // namespace

std::vector<Node*> Graph::AccessDependencies(Node* n) {
  std::vector<Node*> out;
  auto add = [&](Node* d) {
    if (d) out.push_back(d);
  };
  if (IsRegister(n->kind)) {
    auto* r = static_cast<RegisterNode*>(n);
    for (Node* d : r->p_address) add(d);
    for (const auto& i : r->indexes) {
      add(i.index);
      add(i.offset.node);
    }
    add(r->length.node);
    add(r->port);
  } else if (IsValueNode(n->kind)) {
    auto* v = static_cast<ValueNode*>(n);
    add(v->p_value);
    for (Node* d : v->value_copies) add(d);
    add(v->p_index);
    for (const auto& e : v->indexed) add(e.node);
    add(v->p_default);
    add(v->min.node);
    add(v->max.node);
  } else if (n->kind == Kind::kIntSwissKnife || n->kind == Kind::kSwissKnife ||
             n->kind == Kind::kConverter || n->kind == Kind::kIntConverter) {
    auto* f = static_cast<FormulaNode*>(n);
    add(f->p_value);
    for (const auto& v : f->variables) add(v.node);
  }
  return out;
}

const Graph::AccessInfo& Graph::Info(Node* n) {
  static const AccessInfo kMetAgain{Access::kRW, nullptr, {}};
  if (const auto it = access_memo_.find(n); it != access_memo_.end()) return it->second;
  // Met again while its own access is being computed (a loop through flags): accessible.
  if (!access_active_.insert(n).second) return kMetAgain;
  AccessInfo info;
  try {
    info = ComputeAccess(n);
  } catch (...) {
    access_active_.erase(n);
    throw;
  }
  access_active_.erase(n);
  return access_memo_.emplace(n, std::move(info)).first->second;
}

Access Graph::AccessOf(Node* n) { return Info(n).access; }

std::string Graph::WhyNotAccessible(Node* n) {
  const AccessInfo& info = Info(n);
  if (info.access != Access::kNI && info.access != Access::kNA) return {};
  if (!info.origin || info.origin == n) return info.why;
  return "it depends on " + Quote(info.origin) + ": " + info.why;
}

// A flag node's verdict: holds, or not, and whether reading it failed (which counts as 0).
Graph::FlagState Graph::Flag(Node* flag) {
  const AccessInfo& a = Info(flag);
  if (a.access == Access::kNI) return FlagState::kNI;
  if (a.access == Access::kNA) return FlagState::kNA;
  try {
    return Truth(flag) ? FlagState::kHolds : FlagState::kZero;
  } catch (const Error&) {
    return FlagState::kUnreadable;
  }
}

bool Graph::Holds(Node* flag) {
  try {
    return Truth(flag);
  } catch (const Error&) {
    return false;  // a flag that cannot be evaluated does not hold
  }
}

// An entry's flag nodes are read even when they are not available; one that is not
// implemented makes its entry so.
bool Graph::EntryImplemented(const EnumEntry& e) {
  return !e.is_implemented ||
         (AccessOf(e.is_implemented) != Access::kNI && Holds(e.is_implemented));
}

bool Graph::EntryOffered(const EnumEntry& e) {
  if (!EntryImplemented(e)) return false;
  if (!e.is_available) return true;
  const Access a = AccessOf(e.is_available);
  return a != Access::kNI && a != Access::kNA && Holds(e.is_available);
}

Graph::AccessInfo Graph::ComputeAccess(Node* n) {
  Enter enter(budget_, n);
  AccessInfo ni{Access::kRW, nullptr, {}}, na = ni;
  auto note = [](AccessInfo& slot, Access a, const Node* origin, std::string why) {
    if (slot.access == Access::kRW) slot = AccessInfo{a, origin, std::move(why)};
  };
  auto flag_text = [](const char* what, const Node* f, FlagState s) {
    std::string text = std::string(what) + " " + Quote(f);
    switch (s) {
      case FlagState::kZero:
        return text + " reads 0";
      case FlagState::kUnreadable:
        return text + " cannot be evaluated";
      case FlagState::kNI:
        return text + " is not implemented";
      case FlagState::kNA:
        return text + " is not available";
      case FlagState::kHolds:
        break;
    }
    return text;
  };
  for (Node* f : n->is_implemented) {
    const FlagState s = Flag(f);
    if (s == FlagState::kNA)
      note(na, Access::kNA, n, flag_text("its pIsImplemented", f, s));
    else if (s != FlagState::kHolds)
      note(ni, Access::kNI, n, flag_text("its pIsImplemented", f, s));
  }
  for (Node* f : n->is_available) {
    const FlagState s = Flag(f);
    if (s == FlagState::kNI)
      note(ni, Access::kNI, n, flag_text("its pIsAvailable", f, s));
    else if (s != FlagState::kHolds)
      note(na, Access::kNA, n, flag_text("its pIsAvailable", f, s));
  }
  for (Node* d : AccessDependencies(n)) {
    const AccessInfo& a = Info(d);
    if (a.access != Access::kNI && a.access != Access::kNA) continue;
    // Name the node whose own condition it is, however deep.
    note(a.access == Access::kNI ? ni : na, a.access, a.origin ? a.origin : d,
         a.origin ? a.why : "its access is " + std::string(a.access == Access::kNI ? "NI" : "NA"));
  }
  if (n->kind == Kind::kEnumeration) {
    bool implemented = false, offered = false;
    for (const EnumEntry& e : static_cast<ValueNode*>(n)->entries) {
      if (!EntryImplemented(e)) continue;
      implemented = true;
      if (EntryOffered(e)) {
        offered = true;
        break;
      }
    }
    if (!implemented) note(ni, Access::kNI, n, "none of its entries is implemented");
    if (!offered) note(na, Access::kNA, n, "none of its entries is available");
  }
  if (n->kind == Kind::kPort) {
    const auto* p = static_cast<PortNode*>(n);
    if (!p->port && p->event) note(ni, Access::kNI, n, "it is an event port without event data");
    if (!p->port && p->chunk) note(na, Access::kNA, n, "it is a chunk port without chunk data");
  }
  if (ni.access != Access::kRW) return ni;
  if (na.access != Access::kRW) return na;

  Access own = Access::kRO;
  if (IsRegister(n->kind)) {
    own = static_cast<RegisterNode*>(n)->mode;
  } else if (IsValueNode(n->kind)) {
    auto* v = static_cast<ValueNode*>(n);
    if (v->p_index) {
      // The value selected now counts; no value for the index at all: not available.
      try {
        const Source s = Resolve(v);
        own = s.node ? AccessOf(s.node) : Access::kRW;
      } catch (const Error& e) {
        if (e.Kind() != ErrorKind::kNotAvailable) throw;
        return AccessInfo{Access::kNA, n, e.what()};
      }
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
  if (Writable(a)) {
    bool locked = false;
    for (Node* f : n->is_locked) locked = locked || Holds(f);
    if (locked && a == Access::kWO)
      return AccessInfo{Access::kNA, n, "it is write-only and locked"};
    if (locked) a = Access::kRO;
  }
  return AccessInfo{a, nullptr, {}};
}

bool Graph::IsLocked(Node* n) {
  bool locked = false;
  for (Node* f : n->is_locked) {
    if (!Readable(AccessOf(f)))
      throw Error(ErrorKind::kNotReadable,
                  "the lock " + Quote(f) + " of " + Quote(n) + " cannot be read now");
    locked = locked || Truth(f);
  }
  return locked;
}

}  // namespace vision::detail::genapi

// NodeMap: features by name over the node graph, with the access and type checks users see.
#include "camera/genapi/genapi.h"

#include "camera/genapi/graph.h"

namespace vision::detail::genapi {

namespace {

const char* TypeName(Type t) {
  switch (t) {
    case Type::kInteger:
      return "an Integer";
    case Type::kFloat:
      return "a Float";
    case Type::kBoolean:
      return "a Boolean";
    case Type::kEnumeration:
      return "an Enumeration";
    case Type::kCommand:
      return "a Command";
    case Type::kString:
      return "a String";
    case Type::kOther:
      break;
  }
  return "no value feature";
}

std::string Quote(std::string_view s) {
  std::string q;
  q.reserve(s.size() + 2);
  q += '\'';
  q.append(s);
  q += '\'';
  return q;
}

}  // namespace

NodeMap::NodeMap() = default;
NodeMap::~NodeMap() = default;

std::unique_ptr<NodeMap> NodeMap::Parse(std::string_view xml) {
  std::unique_ptr<NodeMap> map(new NodeMap());
  map->graph_ = std::make_unique<Graph>(xml);
  return map;
}

void NodeMap::Connect(Port* port, std::string_view port_name) {
  bool found = false;
  for (Node* n : graph_->Ports()) {
    if (!port_name.empty() && n->name != port_name) continue;
    static_cast<PortNode*>(n)->port = port;
    found = true;
  }
  if (!found) {
    std::string names;
    for (const std::string& name : PortNames()) names += (names.empty() ? "" : ", ") + Quote(name);
    throw Error(ErrorKind::kDescription,
                "the description has no Port " + Quote(port_name) +
                    (names.empty() ? std::string(" (it has no port at all)")
                                   : " (its ports: " + names + ")"));
  }
  graph_->InvalidateAll();
}

std::vector<std::string> NodeMap::PortNames() const {
  std::vector<std::string> names;
  for (Node* n : graph_->Ports()) names.push_back(n->name);
  return names;
}

const std::string& NodeMap::ModelName() const { return graph_->model_name; }
const std::string& NodeMap::VendorName() const { return graph_->vendor_name; }

bool NodeMap::Has(std::string_view name) const { return graph_->Find(name) != nullptr; }

namespace {

Node* FindOrThrow(const Graph& g, std::string_view name) {
  Node* n = g.Find(name);
  if (!n) throw Error(ErrorKind::kUnknownFeature, "no feature named " + Quote(name));
  return n;
}

Node* Typed(const Graph& g, std::string_view name, Type want) {
  Node* n = FindOrThrow(g, name);
  const Type t = g.TypeOf(n);
  if (t != want)
    throw Error(ErrorKind::kWrongType, Quote(name) + " is " + TypeName(t) + " (" +
                                           KindName(n->kind) + "), not " + TypeName(want));
  return n;
}

// Refuses an NI or NA node, saying why (the flag, entries or port that made it so).
Access CheckPresent(Graph& g, Node* n) {
  const Access a = g.AccessOf(n);
  if (a != Access::kNI && a != Access::kNA) return a;
  std::string why = g.WhyNotAccessible(n);
  why = why.empty() ? std::string() : " (" + why + ")";
  if (a == Access::kNI)
    throw Error(ErrorKind::kUnknownFeature,
                Quote(n->name) + " is not implemented by this device" + why);
  throw Error(ErrorKind::kNotAvailable, Quote(n->name) + " is not available now" + why);
}

void CheckRead(Graph& g, Node* n) {
  const Access a = CheckPresent(g, n);
  if (a == Access::kWO) throw Error(ErrorKind::kNotReadable, Quote(n->name) + " is write-only");
}

void CheckWrite(Graph& g, Node* n) {
  const Access a = CheckPresent(g, n);
  if (a == Access::kRO)
    throw Error(ErrorKind::kNotWritable, Quote(n->name) + " is not writable now (read-only)");
}

}  // namespace

Type NodeMap::TypeOf(std::string_view name) const {
  return graph_->TypeOf(FindOrThrow(*graph_, name));
}

Access NodeMap::AccessOf(std::string_view name) {
  Node* n = FindOrThrow(*graph_, name);
  graph_->BeginOperation();
  return graph_->AccessOf(n);
}

std::string NodeMap::WhyNotAccessible(std::string_view name) {
  Node* n = FindOrThrow(*graph_, name);
  graph_->BeginOperation();
  return graph_->WhyNotAccessible(n);
}

std::vector<std::string> NodeMap::FeatureNames() const {
  std::vector<std::string> names;
  for (const auto& n : graph_->nodes) {
    if (n->kind == Kind::kCategory || n->kind == Kind::kPort) continue;
    if (graph_->Find(n->name) != n.get()) continue;  // anonymous (embedded) node
    const bool feature = n->kind == Kind::kInteger || n->kind == Kind::kFloat ||
                         n->kind == Kind::kBoolean || n->kind == Kind::kEnumeration ||
                         n->kind == Kind::kCommand || n->kind == Kind::kString;
    if (feature || n->listed) names.push_back(n->name);
  }
  return names;
}

std::vector<std::string> NodeMap::NodeNames() const {
  std::vector<std::string> names;
  for (const auto& n : graph_->nodes)
    if (graph_->Find(n->name) == n.get()) names.push_back(n->name);
  return names;
}

std::vector<std::string> NodeMap::CategoryFeatures(std::string_view name) const {
  Node* n = FindOrThrow(*graph_, name);
  if (n->kind != Kind::kCategory)
    throw Error(ErrorKind::kWrongType, Quote(name) + " is not a Category");
  std::vector<std::string> names;
  for (Node* f : static_cast<CategoryNode*>(n)->features) names.push_back(f->name);
  return names;
}

std::string NodeMap::UnitOf(std::string_view name) const {
  Node* n = FindOrThrow(*graph_, name);
  // A feature without a unit of its own shows the unit of the node holding its value.
  for (int hops = 0; n && hops < 8; ++hops) {
    if (!n->unit.empty()) return n->unit;
    if (n->kind == Kind::kInteger || n->kind == Kind::kFloat)
      n = static_cast<ValueNode*>(n)->p_value;
    else if (n->kind == Kind::kConverter || n->kind == Kind::kIntConverter)
      n = nullptr;
    else
      n = nullptr;
  }
  return {};
}

std::int64_t NodeMap::GetInteger(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kInteger);
  graph_->BeginOperation();
  CheckRead(*graph_, n);
  return graph_->GetInt(n);
}

void NodeMap::SetInteger(std::string_view name, std::int64_t value) {
  Node* n = Typed(*graph_, name, Type::kInteger);
  graph_->BeginOperation();
  CheckWrite(*graph_, n);
  graph_->CheckIntRange(n, value);
  graph_->SetInt(n, value);
}

IntRange NodeMap::IntegerRange(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kInteger);
  graph_->BeginOperation();
  CheckPresent(*graph_, n);
  return graph_->IntRangeOf(n);
}

double NodeMap::GetFloat(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kFloat);
  graph_->BeginOperation();
  CheckRead(*graph_, n);
  return graph_->GetFloat(n);
}

void NodeMap::SetFloat(std::string_view name, double value) {
  Node* n = Typed(*graph_, name, Type::kFloat);
  graph_->BeginOperation();
  CheckWrite(*graph_, n);
  graph_->CheckFloatRange(n, value);
  graph_->SetFloat(n, value);
}

FloatRange NodeMap::FloatRangeOf(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kFloat);
  graph_->BeginOperation();
  CheckPresent(*graph_, n);
  return graph_->FloatRangeOf(n);
}

bool NodeMap::GetBoolean(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kBoolean);
  graph_->BeginOperation();
  CheckRead(*graph_, n);
  return graph_->GetBool(static_cast<ValueNode*>(n));
}

void NodeMap::SetBoolean(std::string_view name, bool value) {
  Node* n = Typed(*graph_, name, Type::kBoolean);
  graph_->BeginOperation();
  CheckWrite(*graph_, n);
  graph_->SetBool(static_cast<ValueNode*>(n), value);
}

std::string NodeMap::GetEnumeration(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kEnumeration);
  graph_->BeginOperation();
  CheckRead(*graph_, n);
  return graph_->CurrentEntry(static_cast<ValueNode*>(n))->symbolic;
}

std::int64_t NodeMap::GetEnumerationValue(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kEnumeration);
  graph_->BeginOperation();
  CheckRead(*graph_, n);
  return graph_->EnumValue(static_cast<ValueNode*>(n));
}

void NodeMap::SetEnumeration(std::string_view name, std::string_view entry) {
  auto* n = static_cast<ValueNode*>(Typed(*graph_, name, Type::kEnumeration));
  graph_->BeginOperation();
  CheckWrite(*graph_, n);
  for (const EnumEntry& e : n->entries) {
    if (e.symbolic != entry && e.name != entry) continue;
    if (!graph_->EntryOffered(e))
      throw Error(ErrorKind::kNoSuchEntry,
                  "entry " + Quote(entry) + " of " + Quote(name) + " is not available now");
    graph_->SetEntry(n, e);
    return;
  }
  std::string offered;
  for (const EnumEntry& e : n->entries)
    if (graph_->EntryOffered(e)) offered += (offered.empty() ? "" : ", ") + e.symbolic;
  throw Error(ErrorKind::kNoSuchEntry,
              Quote(name) + " has no entry " + Quote(entry) + " (entries: " + offered + ")");
}

std::vector<std::string> NodeMap::EnumerationEntries(std::string_view name) {
  auto* n = static_cast<ValueNode*>(Typed(*graph_, name, Type::kEnumeration));
  graph_->BeginOperation();
  CheckPresent(*graph_, n);
  std::vector<std::string> entries;
  for (const EnumEntry& e : n->entries)
    if (graph_->EntryOffered(e)) entries.push_back(e.symbolic);
  return entries;
}

std::string NodeMap::GetString(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kString);
  graph_->BeginOperation();
  CheckRead(*graph_, n);
  return graph_->GetString(n);
}

void NodeMap::SetString(std::string_view name, std::string_view value) {
  Node* n = Typed(*graph_, name, Type::kString);
  graph_->BeginOperation();
  CheckWrite(*graph_, n);
  graph_->SetString(n, value);
}

void NodeMap::Execute(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kCommand);
  graph_->BeginOperation();
  CheckWrite(*graph_, n);
  graph_->Execute(static_cast<ValueNode*>(n));
}

bool NodeMap::IsDone(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kCommand);
  graph_->BeginOperation();
  CheckPresent(*graph_, n);
  return graph_->IsDone(static_cast<ValueNode*>(n));
}

bool NodeMap::IsChunkOrEventPort(std::string_view port_name) const {
  Node* n = FindOrThrow(*graph_, port_name);
  return n->kind == Kind::kPort &&
         (static_cast<PortNode*>(n)->chunk || static_cast<PortNode*>(n)->event);
}

std::int64_t NodeMap::IntegerBound(std::string_view name, Bound b) {
  Node* n = Typed(*graph_, name, Type::kInteger);
  graph_->BeginOperation();
  CheckPresent(*graph_, n);
  return graph_->IntBound(n, b);
}
std::int64_t NodeMap::IntegerMin(std::string_view name) { return IntegerBound(name, Bound::kMin); }
std::int64_t NodeMap::IntegerMax(std::string_view name) { return IntegerBound(name, Bound::kMax); }
std::int64_t NodeMap::IntegerInc(std::string_view name) { return IntegerBound(name, Bound::kInc); }

double NodeMap::FloatBound(std::string_view name, Bound b) {
  Node* n = Typed(*graph_, name, Type::kFloat);
  graph_->BeginOperation();
  CheckPresent(*graph_, n);
  return graph_->FloatBound(n, b);
}
double NodeMap::FloatMin(std::string_view name) { return FloatBound(name, Bound::kMin); }
double NodeMap::FloatMax(std::string_view name) { return FloatBound(name, Bound::kMax); }
std::optional<double> NodeMap::FloatInc(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kFloat);
  graph_->BeginOperation();
  CheckPresent(*graph_, n);
  return graph_->FloatInc(n);
}

void NodeMap::SetEnumerationValue(std::string_view name, std::int64_t value) {
  auto* n = static_cast<ValueNode*>(Typed(*graph_, name, Type::kEnumeration));
  for (const EnumEntry& e : n->entries)
    if (e.value == value) return SetEnumeration(name, e.symbolic);
  throw Error(ErrorKind::kNoSuchEntry,
              Quote(name) + " has no entry of value " + std::to_string(value));
}

std::int64_t NodeMap::StringMaxLength(std::string_view name) {
  Node* n = Typed(*graph_, name, Type::kString);
  graph_->BeginOperation();
  return graph_->StringMaxLength(n);
}

bool NodeMap::IsLocked(std::string_view name) {
  Node* n = FindOrThrow(*graph_, name);
  graph_->BeginOperation();
  return graph_->IsLocked(n);
}

void NodeMap::InvalidateAll() { graph_->InvalidateAll(); }

void NodeMap::SetEvaluationLimit(std::int64_t steps) { graph_->max_steps = steps; }

}  // namespace vision::detail::genapi

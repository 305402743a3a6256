// The node graph of a device description: node records built from the XML (build.cpp) and the
// evaluator that reads and writes them (graph.cpp). NodeMap (genapi.cpp) is its public face.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "camera/genapi/formula.h"
#include "camera/genapi/genapi.h"

namespace vision::detail::genapi {

enum class Kind {
  kCategory,
  kPort,
  kRegister,
  kIntReg,
  kMaskedIntReg,  // also the entries of a StructReg
  kFloatReg,
  kStringReg,
  kInteger,
  kFloat,
  kBoolean,
  kEnumeration,
  kCommand,
  kString,
  kIntSwissKnife,
  kSwissKnife,
  kConverter,
  kIntConverter,
  kOther,  // a node kind this module does not use (kept so references to it resolve)
};
const char* KindName(Kind kind);

enum class CacheMode { kNoCache, kWriteThrough, kWriteAround };
// How a converter's value follows its pValue: which converted bound is which.
enum class Slope { kAutomatic, kIncreasing, kDecreasing, kVarying };
enum class Bound { kMin, kMax, kInc };

struct Node;

// A number given in the description directly or by another node (absent when neither).
struct NumberRef {
  bool present = false;
  formula::Value constant;
  Node* node = nullptr;
};

struct Node {
  Node(std::string name, Kind kind) : name(std::move(name)), kind(kind) {}
  virtual ~Node() = default;
  std::string name;
  Kind kind;
  int element = -1;  // the XML element it was built from (only while building)
  // pIsImplemented, pIsAvailable, pIsLocked (a StructEntry also takes its StructReg's).
  std::vector<Node*> is_implemented, is_available, is_locked;
  Access imposed = Access::kRW;
  std::string unit;
  bool listed = false;  // a Category lists it
  // Registers whose cached values are dropped when this node is written (their pInvalidator).
  std::vector<struct RegisterNode*> invalidates;
};

struct PortNode : Node {
  using Node::Node;
  Port* port = nullptr;
  bool chunk = false;  // ChunkID: reads the chunk data of a buffer
  bool event = false;  // EventID: reads the data of an event
};

struct CategoryNode : Node {
  using Node::Node;
  std::vector<Node*> features;
};

struct CacheKey {
  const PortNode* port;
  std::uint64_t address;
  std::uint32_t length;
  bool operator<(const CacheKey& o) const {
    if (port != o.port) return std::less<const PortNode*>()(port, o.port);
    if (address != o.address) return address < o.address;
    return length < o.length;
  }
  bool operator==(const CacheKey& o) const {
    return port == o.port && address == o.address && length == o.length;
  }
};

struct RegisterNode : Node {
  using Node::Node;
  std::uint64_t address = 0;     // sum of the Address elements
  std::vector<Node*> p_address;  // pAddress nodes and embedded IntSwissKnife nodes
  struct Index {
    Node* index;
    NumberRef offset;  // absent: the register's length
  };
  std::vector<Index> indexes;
  NumberRef length;
  Access mode = Access::kRO;
  PortNode* port = nullptr;
  CacheMode cache = CacheMode::kWriteThrough;
  bool big_endian = false;
  bool is_signed = false;
  int low_bit = 0, high_bit = 0;  // MaskedIntReg: the bit numbers of the description, ordered
  std::vector<CacheKey> touched;  // cache entries this register used
  bool touched_overflow = false;  // too many to track: invalidation drops the whole cache
};

struct EnumEntry {
  std::string name;      // node name
  std::string symbolic;  // what users see and set
  std::int64_t value = 0;
  Node* is_implemented = nullptr;
  Node* is_available = nullptr;
};

// Integer, Float, Boolean, Enumeration, Command and String: a value held here or by pValue,
// or selected by pIndex among indexed values.
struct ValueNode : Node {
  using Node::Node;
  Node* p_value = nullptr;
  std::vector<Node*> value_copies;  // pValueCopy: written with pValue
  formula::Value value;             // the node's own value ("Value")
  std::string string_value;         // String's own value
  bool has_value = false;
  Node* p_index = nullptr;
  struct Indexed {
    std::int64_t index;
    Node* node;            // pValueIndexed
    formula::Value value;  // ValueIndexed
  };
  std::vector<Indexed> indexed;
  bool has_default = false;
  Node* p_default = nullptr;
  formula::Value default_value;
  NumberRef min, max, inc;
  std::int64_t on_value = 1, off_value = 0;  // Boolean
  NumberRef command_value;                   // Command
  std::vector<EnumEntry> entries;            // Enumeration
};

// IntSwissKnife, SwissKnife, Converter and IntConverter: formulas over named variables.
struct FormulaNode : Node {
  using Node::Node;
  enum class VarKind { kNode, kConstant, kExpression, kTo, kFrom };
  enum class Property { kValue, kMin, kMax, kInc };
  struct Variable {
    std::string name;
    VarKind kind = VarKind::kNode;
    Node* node = nullptr;
    Property property = Property::kValue;
    formula::Value constant;
    int expression = -1;
    std::string expression_text;
  };
  std::vector<Variable> variables;  // formula slots
  std::vector<formula::Formula> expressions;
  formula::Formula formula;         // SwissKnife
  formula::Formula formula_to;      // converters: written value (FROM) -> pValue
  formula::Formula formula_from;    // converters: pValue (TO) -> value
  Node* p_value = nullptr;          // converters
  bool integer = false;             // IntSwissKnife, IntConverter
  Slope slope = Slope::kAutomatic;  // converters
};

// Kinds and access modes.
inline bool Readable(Access a) { return a == Access::kRO || a == Access::kRW; }
inline bool Writable(Access a) { return a == Access::kWO || a == Access::kRW; }

// Both restrictions at once: not implemented wins over not available wins over the rest.
inline Access Intersect(Access a, Access b) {
  if (a == Access::kNI || b == Access::kNI) return Access::kNI;
  if (a == Access::kNA || b == Access::kNA) return Access::kNA;
  const bool r = Readable(a) && Readable(b), w = Writable(a) && Writable(b);
  if (r && w) return Access::kRW;
  if (r) return Access::kRO;
  if (w) return Access::kWO;
  return Access::kNA;
}

inline bool IsRegister(Kind k) {
  return k == Kind::kRegister || k == Kind::kIntReg || k == Kind::kMaskedIntReg ||
         k == Kind::kFloatReg || k == Kind::kStringReg;
}
inline bool IsValueNode(Kind k) {
  return k == Kind::kInteger || k == Kind::kFloat || k == Kind::kBoolean ||
         k == Kind::kEnumeration || k == Kind::kCommand || k == Kind::kString;
}

// Counts a node level against the evaluation budget, naming the node when over it.
// (graph.cpp)
class Enter {
 public:
  Enter(formula::Budget& budget, const Node* n);
  ~Enter() { --budget_.depth; }
  Enter(const Enter&) = delete;
  Enter& operator=(const Enter&) = delete;

 private:
  formula::Budget& budget_;
};

class Graph {
 public:
  // Builds and checks the graph (build.cpp). Throws Error(kDescription).
  explicit Graph(std::string_view xml);

  Node* Find(std::string_view name) const;
  std::vector<Node*> Ports() const;

  // Evaluation. Each call from NodeMap starts a fresh budget (BeginOperation).
  void BeginOperation();
  // The effective access of a node: its own flags and access mode combined with those of
  // every node its value or address depends on (access.cpp). Computed afresh per operation.
  Access AccessOf(Node* n);
  // Why `n` is NI or NA, naming the flag, entries or port and the node they belong to; empty
  // when it is neither.
  std::string WhyNotAccessible(Node* n);
  bool IsLocked(Node* n);
  Type TypeOf(const Node* n) const;
  formula::Value Number(Node* n);  // the node's value as a number of its own type
  std::int64_t GetInt(Node* n);
  void SetInt(Node* n, std::int64_t v);
  double GetFloat(Node* n);
  void SetFloat(Node* n, double v);
  IntRange IntRangeOf(Node* n);
  FloatRange FloatRangeOf(Node* n);
  // One bound each, so that a bound that cannot be computed spoils only itself.
  std::int64_t IntBound(Node* n, Bound b);
  double FloatBound(Node* n, Bound b);  // kInc: Error when the node has none
  std::optional<double> FloatInc(Node* n);
  // The checks of a feature written by the user, in the feature's own units: min and max, and
  // for integers the increment (a float may lie between steps). Nodes written on the way
  // (behind pValue, a converter's formula) are only held to what their registers can store.
  void CheckIntRange(Node* n, std::int64_t v);
  void CheckFloatRange(Node* n, double v);
  bool GetBool(ValueNode* n);
  void SetBool(ValueNode* n, bool v);
  std::int64_t EnumValue(ValueNode* n);
  const EnumEntry* CurrentEntry(ValueNode* n);
  bool EntryImplemented(const EnumEntry& e);
  bool EntryOffered(const EnumEntry& e);
  void SetEntry(ValueNode* n, const EnumEntry& e);
  std::string GetString(Node* n);
  void SetString(Node* n, std::string_view v);
  std::int64_t StringMaxLength(Node* n);
  void Execute(ValueNode* n);
  bool IsDone(ValueNode* n);
  void InvalidateAll() { cache_.clear(); }

  std::string model_name, vendor_name;
  std::vector<std::unique_ptr<Node>> nodes;  // document order, anonymous nodes included
  std::map<std::string, Node*, std::less<>> by_name;
  std::int64_t max_steps = 200'000;

 private:
  friend class Builder;
  struct Source {
    Node* node = nullptr;
    formula::Value* own = nullptr;
  };
  Source Resolve(ValueNode* n);
  std::int64_t RefInt(const NumberRef& r);
  double RefFloat(const NumberRef& r);
  bool Truth(Node* n);
  std::uint64_t AddressOf(RegisterNode* r);
  std::size_t LengthOf(RegisterNode* r);
  std::string ReadRegister(RegisterNode* r);
  void WriteRegister(RegisterNode* r, const std::string& bytes);
  void Touch(RegisterNode* r, const CacheKey& key);
  void Changed(Node* n);
  std::uint64_t ReadRaw(RegisterNode* r, std::size_t* length);
  formula::Value ConvertedBound(FormulaNode* f, Bound b);
  bool HasFloatInc(Node* n);
  formula::Value EvaluateFormula(FormulaNode* f, const formula::Formula& formula,
                                 const formula::Value* to, const formula::Value* from);
  void CheckWidth(RegisterNode* r, std::int64_t v, int bits);

  // A node's access, and for NI and NA the node whose own condition made it so.
  struct AccessInfo {
    Access access;
    const Node* origin;  // null: the access of a dependency without a known cause
    std::string why;     // e.g. "pIsAvailable 'X_Avl' reads 0"
  };
  enum class FlagState { kHolds, kZero, kUnreadable, kNI, kNA };
  const AccessInfo& Info(Node* n);
  AccessInfo ComputeAccess(Node* n);
  FlagState Flag(Node* flag);
  bool Holds(Node* flag);
  std::vector<Node*> AccessDependencies(Node* n);
  // Per operation: access as computed, and the nodes being computed (met again: accessible).
  std::unordered_map<const Node*, AccessInfo> access_memo_;
  std::unordered_set<const Node*> access_active_;
  formula::Budget budget_;
  std::map<CacheKey, std::string> cache_;
  std::uint32_t max_cached_length_ = 0;
  bool bypass_cache_ = false;  // reads go to the device (Command IsDone)
  bool write_around_ = false;  // writes leave nothing in the cache (Command Execute)
};

}  // namespace vision::detail::genapi

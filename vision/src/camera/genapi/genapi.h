// Device descriptions of GenICam cameras: where the description lives (URL), how it is stored
// (plain XML or a ZIP archive), and the node graph it defines (features, registers, formulas),
// read and written through an abstract register Port.
//
// The module knows nothing of tuples, of HException or of the transport: failures are
// genapi::Error with a kind the camera code maps to its own error codes, and registers are
// reached through a Port the camera code implements.
//
// Thread safety: a NodeMap is used by one thread at a time (the caller serialises); separate
// NodeMaps are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "camera/genapi/description.h"
#include "camera/genapi/error.h"

namespace vision::detail::genapi {

// Register access to one device. Implementations throw PortError (with the transport's own
// text) when a read or write fails; the node map turns that into Error(kPort) naming the register.
class PortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Port {
 public:
  virtual ~Port() = default;
  virtual void Read(std::uint64_t address, void* data, std::size_t size) = 0;
  virtual void Write(std::uint64_t address, const void* data, std::size_t size) = 0;
};

// The interface a feature offers.
enum class Type { kInteger, kFloat, kBoolean, kEnumeration, kCommand, kString, kOther };

// Current access to a feature: not implemented, not available, write-only, read-only,
// read-write.
enum class Access { kNI, kNA, kWO, kRO, kRW };

struct IntRange {
  std::int64_t min, max, inc;
};
struct FloatRange {
  double min, max;
  std::optional<double> inc;
};

class Graph;
enum class Bound;

class NodeMap {
 public:
  // Parses and checks the whole description up front: well-formed XML within the size, depth
  // and count limits of description.h, every referenced node present and of a usable kind,
  // every formula parsed, no reference cycle. Throws Error(kDescription) naming the node and the
  // problem.
  static std::unique_ptr<NodeMap> Parse(std::string_view xml);
  ~NodeMap();
  NodeMap(const NodeMap&) = delete;
  NodeMap& operator=(const NodeMap&) = delete;

  // Connects every <Port> node named port_name (every port when port_name is empty) to port,
  // which must outlive the map (or be disconnected with Connect(nullptr, ...)). An unknown port
  // name is Error(kDescription) listing the ports there are.
  void Connect(Port* port, std::string_view port_name = {});
  std::vector<std::string> PortNames() const;
  // A port that reads the chunk data of a buffer (ChunkID) or the data of an event (EventID)
  // rather than the device's registers.
  bool IsChunkOrEventPort(std::string_view port_name) const;

  // Model and vendor of the root element (empty when missing).
  const std::string& ModelName() const;
  const std::string& VendorName() const;

  bool Has(std::string_view name) const;     // a node of that name exists
  Type TypeOf(std::string_view name) const;  // throws kUnknownFeature
  Access AccessOf(std::string_view name);    // current access mode
  // Why the feature is NI or NA now (the flag, entries or port that make it so, and the node
  // it depends on when the reason is another's); "" when it is accessible.
  std::string WhyNotAccessible(std::string_view name);
  // Value features for listings, in the order of the description: every Integer, Float,
  // Boolean, Enumeration, Command and String node, and every other node a Category lists.
  std::vector<std::string> FeatureNames() const;
  // Every named node, features and helpers (registers, swiss knives, ...) alike.
  std::vector<std::string> NodeNames() const;
  // The features a Category lists (pFeature), in order.
  std::vector<std::string> CategoryFeatures(std::string_view name) const;
  std::string UnitOf(std::string_view name) const;  // "" when none

  std::int64_t GetInteger(std::string_view name);
  void SetInteger(std::string_view name, std::int64_t value);  // checks min/max/inc
  IntRange IntegerRange(std::string_view name);
  std::int64_t IntegerMin(std::string_view name);
  std::int64_t IntegerMax(std::string_view name);
  std::int64_t IntegerInc(std::string_view name);
  double GetFloat(std::string_view name);
  void SetFloat(std::string_view name, double value);  // checks min/max (not inc)
  FloatRange FloatRangeOf(std::string_view name);
  double FloatMin(std::string_view name);
  double FloatMax(std::string_view name);
  std::optional<double> FloatInc(std::string_view name);  // nothing when it has none
  bool GetBoolean(std::string_view name);
  void SetBoolean(std::string_view name, bool value);
  std::string GetEnumeration(std::string_view name);        // entry name (symbolic)
  std::int64_t GetEnumerationValue(std::string_view name);  // entry value (the raw integer)
  // Takes the entry's symbolic name or its node name.
  void SetEnumeration(std::string_view name, std::string_view entry);
  void SetEnumerationValue(std::string_view name, std::int64_t value);  // an entry's value
  std::vector<std::string> EnumerationEntries(std::string_view name);   // available entries
  std::string GetString(std::string_view name);
  void SetString(std::string_view name, std::string_view value);
  std::int64_t StringMaxLength(std::string_view name);
  // The node's own lock (pIsLocked) as read now; false when it has none.
  bool IsLocked(std::string_view name);
  void Execute(std::string_view name);
  bool IsDone(std::string_view name);

  void InvalidateAll();  // drops every cached register value

  // Work allowed for one feature access (node and formula steps); a description whose
  // evaluation needs more is Error(kDescription). The default suits any real description.
  void SetEvaluationLimit(std::int64_t steps);

 private:
  NodeMap();
  std::int64_t IntegerBound(std::string_view name, Bound b);
  double FloatBound(std::string_view name, Bound b);
  std::unique_ptr<Graph> graph_;
};

}  // namespace vision::detail::genapi

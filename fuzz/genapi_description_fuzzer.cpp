// Fuzz target: a device description as a camera serves it (a ZIP archive or plain XML), parsed
// into a node map whose registers are the same bytes; then every node is read, written back,
// listed and executed. A clean genapi::Error is the expected outcome for bad input; anything
// else (a crash, a sanitizer report, another exception, a hang, a huge allocation) is a fault.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "camera/genapi/genapi.h"

namespace {

namespace ga = vision::detail::genapi;

// Registers: the input bytes, repeated over the whole address space; writes change them.
class BytesPort : public ga::Port {
 public:
  explicit BytesPort(std::string_view bytes) : memory_(bytes) {}
  void Read(std::uint64_t address, void* data, std::size_t size) override {
    if (size > (1u << 20)) throw ga::PortError("read too large");
    auto* out = static_cast<char*>(data);
    for (std::size_t i = 0; i < size; ++i)
      out[i] = memory_.empty() ? '\0' : memory_[(address + i) % memory_.size()];
  }
  void Write(std::uint64_t address, const void* data, std::size_t size) override {
    if (size > (1u << 20)) throw ga::PortError("write too large");
    const auto* in = static_cast<const char*>(data);
    if (address % 97 == 13) throw ga::PortError("the device refuses");
    for (std::size_t i = 0; i < size && !memory_.empty(); ++i)
      memory_[(address + i) % memory_.size()] = in[i];
  }

 private:
  std::string memory_;
};

template <class F>
void Try(F&& f) {
  try {
    f();
  } catch (const ga::Error&) {
  }
}

void Exercise(ga::NodeMap& map, const std::string& name) {
  Try([&] { map.AccessOf(name); });
  Try([&] { map.IsLocked(name); });
  Try([&] { map.UnitOf(name); });
  switch (map.TypeOf(name)) {
    case ga::Type::kInteger:
      Try([&] { map.IntegerRange(name); });
      Try([&] { map.IntegerMax(name); });
      Try([&] { map.SetInteger(name, map.GetInteger(name)); });
      break;
    case ga::Type::kFloat:
      Try([&] { map.FloatRangeOf(name); });
      Try([&] { map.FloatInc(name); });
      Try([&] { map.SetFloat(name, map.GetFloat(name)); });
      break;
    case ga::Type::kBoolean:
      Try([&] { map.SetBoolean(name, !map.GetBoolean(name)); });
      break;
    case ga::Type::kEnumeration:
      Try([&] { map.GetEnumerationValue(name); });
      Try([&] { map.GetEnumeration(name); });
      Try([&] {
        for (const std::string& entry : map.EnumerationEntries(name))
          Try([&] { map.SetEnumeration(name, entry); });
      });
      break;
    case ga::Type::kCommand:
      Try([&] { map.Execute(name); });
      Try([&] { map.IsDone(name); });
      break;
    case ga::Type::kString:
      Try([&] { map.StringMaxLength(name); });
      Try([&] { map.SetString(name, map.GetString(name) + "x"); });
      break;
    case ga::Type::kOther:
      Try([&] { map.CategoryFeatures(name); });
      Try([&] { map.GetInteger(name); });
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The first line doubles as a URL.
  Try([&] { ga::ParseUrl(bytes.substr(0, bytes.find('\n'))); });
  std::unique_ptr<ga::NodeMap> map;
  try {
    map = ga::NodeMap::Parse(ga::DescriptionText(bytes, "fuzz"));
  } catch (const ga::Error&) {
    return 0;
  }
  map->SetEvaluationLimit(20000);
  BytesPort port(bytes);
  // Chunk and event ports stay unconnected, as when no buffer backs them.
  std::size_t connected = 0;
  for (const std::string& port_name : map->PortNames())
    if (!map->IsChunkOrEventPort(port_name) || bytes.size() % 2) {
      map->Connect(&port, port_name);
      ++connected;
    }
  if (connected == 0) return 0;
  map->FeatureNames();
  const std::vector<std::string> names = map->NodeNames();
  for (std::size_t i = 0; i < names.size() && i < 2000; ++i) Exercise(*map, names[i]);
  map->InvalidateAll();
  for (std::size_t i = 0; i < names.size() && i < 2000; ++i) Exercise(*map, names[i]);
  return 0;
}

// The ports of the producer's own modules (system, interface, device, data stream): each one a
// small virtual register map with a GenApi description of the module's transport-layer
// features, served at kModuleDescriptionAddress through a Local: URL like the camera's.
//
// A module lists its features once (ModuleFeature, with functions that read and write the live
// state); ModulePort lays the registers out, writes the description from the same list and
// answers GCReadPort / GCWritePort. Every value is read from the module when the register is
// read, so counters count and selectors select; the description marks the registers NoCache.
//
// Register layout: the features in their order from address 0, strings with their length,
// everything else 8 bytes little-endian (two's complement); a selector has a second register
// after its own holding its largest index.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vision::simcam {

inline constexpr std::uint64_t kModuleDescriptionAddress = 0x10000;

struct ModuleFeature {
  enum class Type { String, Integer, Boolean, Enumeration, Command, Selector };
  std::string name;
  Type type = Type::Integer;
  std::string tooltip;
  std::uint32_t length = 8;                 // register bytes (strings: with the NUL)
  std::function<std::string()> text;        // String
  std::function<std::int64_t()> value;      // every other type but Command
  std::function<void(std::int64_t)> write;  // empty: read-only (Command: executes)
  std::vector<std::pair<std::string, std::int64_t>> entries;  // Enumeration
  std::vector<std::string> selects;                           // Selector: the features it selects
  std::function<std::int64_t()> max;                          // Selector: its largest index
};

// Short ways to write a module's list.
ModuleFeature TextFeature(std::string name, std::string tooltip, std::function<std::string()> text,
                          std::uint32_t length = 64);
ModuleFeature CountFeature(std::string name, std::string tooltip,
                           std::function<std::int64_t()> value);
ModuleFeature FlagFeature(std::string name, std::string tooltip, std::function<bool()> value);
ModuleFeature ChoiceFeature(std::string name, std::string tooltip,
                            std::vector<std::pair<std::string, std::int64_t>> entries,
                            std::function<std::int64_t()> value,
                            std::function<void(std::int64_t)> write = {});
ModuleFeature CommandFeature(std::string name, std::string tooltip, std::function<void()> execute);
// A selector over 0 .. max(); `write` receives a value already checked against that range.
ModuleFeature SelectorFeature(std::string name, std::string tooltip,
                              std::vector<std::string> selects, std::function<std::int64_t()> max,
                              std::function<std::int64_t()> value,
                              std::function<void(std::int64_t)> write);

class ModulePort {
 public:
  // port_name: the <Port> of the description and PORT_INFO_PORTNAME ("TLPort", ...);
  // model: the description's ModelName; file_name: the URL's file name.
  ModulePort(std::string port_name, std::string model, std::string file_name,
             std::vector<ModuleFeature> features);
  ModulePort(const ModulePort&) = delete;  // the registers point into the feature list
  ModulePort& operator=(const ModulePort&) = delete;

  const std::string& PortName() const { return port_name_; }
  const std::string& FileName() const { return file_name_; }
  const std::string& Url() const { return url_; }
  const std::string& Xml() const { return xml_; }

  // Throw Error: GC_ERR_INVALID_ADDRESS (no register there, or an access that is not within
  // one register), GC_ERR_ACCESS_DENIED (read-only, the description), GC_ERR_INVALID_VALUE
  // (outside a selector's range or no entry of an enumeration), GC_ERR_INVALID_PARAMETER.
  // The module's functions are called without any lock held.
  void Read(std::uint64_t address, void* buffer, std::size_t size) const;
  void Write(std::uint64_t address, const void* buffer, std::size_t size) const;

 private:
  struct Register {
    std::uint64_t address;
    std::uint32_t length;
    const ModuleFeature* feature;
    bool is_max;  // a selector's largest index
  };
  const Register* Find(std::uint64_t address) const;
  std::string Describe() const;

  std::string port_name_, model_, file_name_;
  std::vector<ModuleFeature> features_;
  std::vector<Register> registers_;
  std::string xml_;
  std::string url_;
};

}  // namespace vision::simcam

#include "module_port.h"

#include <algorithm>
#include <cstring>

#include "error.h"
#include "gentl_shared/hex.h"

namespace vision::simcam {

using namespace gentl;

ModuleFeature TextFeature(std::string name, std::string tooltip, std::function<std::string()> text,
                          std::uint32_t length) {
  ModuleFeature f;
  f.name = std::move(name);
  f.type = ModuleFeature::Type::String;
  f.tooltip = std::move(tooltip);
  f.length = length;
  f.text = std::move(text);
  return f;
}

ModuleFeature CountFeature(std::string name, std::string tooltip,
                           std::function<std::int64_t()> value) {
  ModuleFeature f;
  f.name = std::move(name);
  f.type = ModuleFeature::Type::Integer;
  f.tooltip = std::move(tooltip);
  f.value = std::move(value);
  return f;
}

ModuleFeature FlagFeature(std::string name, std::string tooltip, std::function<bool()> value) {
  ModuleFeature f;
  f.name = std::move(name);
  f.type = ModuleFeature::Type::Boolean;
  f.tooltip = std::move(tooltip);
  f.value = [value = std::move(value)] { return std::int64_t(value() ? 1 : 0); };
  return f;
}

ModuleFeature ChoiceFeature(std::string name, std::string tooltip,
                            std::vector<std::pair<std::string, std::int64_t>> entries,
                            std::function<std::int64_t()> value,
                            std::function<void(std::int64_t)> write) {
  ModuleFeature f;
  f.name = std::move(name);
  f.type = ModuleFeature::Type::Enumeration;
  f.tooltip = std::move(tooltip);
  f.entries = std::move(entries);
  f.value = std::move(value);
  f.write = std::move(write);
  return f;
}

ModuleFeature CommandFeature(std::string name, std::string tooltip, std::function<void()> execute) {
  ModuleFeature f;
  f.name = std::move(name);
  f.type = ModuleFeature::Type::Command;
  f.tooltip = std::move(tooltip);
  f.value = [] { return std::int64_t(0); };  // always done: a command finishes at once
  f.write = [execute = std::move(execute)](std::int64_t) { execute(); };
  return f;
}

ModuleFeature SelectorFeature(std::string name, std::string tooltip,
                              std::vector<std::string> selects, std::function<std::int64_t()> max,
                              std::function<std::int64_t()> value,
                              std::function<void(std::int64_t)> write) {
  ModuleFeature f;
  f.name = std::move(name);
  f.type = ModuleFeature::Type::Selector;
  f.tooltip = std::move(tooltip);
  f.selects = std::move(selects);
  f.max = std::move(max);
  f.value = std::move(value);
  f.write = std::move(write);
  return f;
}

namespace {

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A GUID of the form the schema asks for, made from a name (the same name, the same GUID).
std::string NameGuid(const std::string& name, std::uint64_t salt) {
  std::uint64_t h1 = 0xcbf29ce484222325ull ^ salt, h2 = 0x84222325cbf29ce4ull + salt;
  for (unsigned char c : name) {
    h1 = (h1 ^ c) * 0x100000001b3ull;
    h2 = (h2 ^ c) * 0x100000001b3ull + 1;
  }
  // Lower-case hex digits of `value`, `digits` of them.
  const auto hex = [](std::uint64_t value, int digits) {
    std::string out(std::size_t(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
      out[std::size_t(i)] = "0123456789abcdef"[value & 15];
    return out;
  };
  return hex(h1 >> 32, 8) + "-" + hex(h1 >> 16, 4) + "-" + hex(h1, 4) + "-" + hex(h2 >> 48, 4) +
         "-" + hex(h2, 12);
}

std::string HexAddress(std::uint64_t a) { return "0x" + HexDigits(a); }

bool IsHelperBacked(ModuleFeature::Type t) {
  return t == ModuleFeature::Type::Boolean || t == ModuleFeature::Type::Enumeration ||
         t == ModuleFeature::Type::Command || t == ModuleFeature::Type::Selector;
}

}  // namespace

ModulePort::ModulePort(std::string port_name, std::string model, std::string file_name,
                       std::vector<ModuleFeature> features)
    : port_name_(std::move(port_name)),
      model_(std::move(model)),
      file_name_(std::move(file_name)),
      features_(std::move(features)) {
  std::uint64_t address = 0;
  for (const ModuleFeature& f : features_) {
    const std::uint32_t length = f.type == ModuleFeature::Type::String ? f.length : 8;
    registers_.push_back({address, length, &f, false});
    address += (length + 7) / 8 * 8;
    if (f.type == ModuleFeature::Type::Selector) {
      registers_.push_back({address, 8, &f, true});
      address += 8;
    }
  }
  if (address > kModuleDescriptionAddress)
    throw Error(GC_ERR_ERROR, "the " + model_ + " registers overlap its description");
  xml_ = Describe();
  url_ = "Local:" + file_name_ + ";" + HexDigits(kModuleDescriptionAddress) + ";" +
         HexDigits(xml_.size()) + "?SchemaVersion=1.1.0";
}

std::string ModulePort::Describe() const {
  using Type = ModuleFeature::Type;
  std::string x;
  x += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  x += "<RegisterDescription ModelName=\"" + model_ +
       "\" VendorName=\"vision\" StandardNameSpace=\"None\" SchemaMajorVersion=\"1\" "
       "SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\" MajorVersion=\"1\" "
       "MinorVersion=\"0\" SubMinorVersion=\"0\" ProductGuid=\"" +
       NameGuid(model_, 1) + "\" VersionGuid=\"" + NameGuid(model_, 2) +
       "\" xmlns=\"http://www.genicam.org/GenApi/Version_1_1\" "
       "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
       "xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_1 "
       "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">\n";
  x += "  <Category Name=\"Root\" NameSpace=\"Standard\">\n";
  for (const ModuleFeature& f : features_) x += "    <pFeature>" + f.name + "</pFeature>\n";
  x += "  </Category>\n";
  // An IntReg: a feature itself (Integer) or the register behind one.
  const auto int_reg = [&](const std::string& name, const char* name_space,
                           const std::string& tooltip, std::uint64_t address, bool writable) {
    x += "  <IntReg Name=\"" + name + "\" NameSpace=\"" + name_space + "\">\n";
    if (!tooltip.empty()) x += "    <ToolTip>" + Escaped(tooltip) + "</ToolTip>\n";
    x += "    <Address>" + HexAddress(address) + "</Address>\n    <Length>8</Length>\n";
    x += std::string("    <AccessMode>") + (writable ? "RW" : "RO") + "</AccessMode>\n";
    x += "    <pPort>" + port_name_ + "</pPort>\n    <Cachable>NoCache</Cachable>\n";
    x += "    <Sign>Unsigned</Sign>\n    <Endianess>LittleEndian</Endianess>\n  </IntReg>\n";
  };
  for (const Register& r : registers_) {
    const ModuleFeature& f = *r.feature;
    if (r.is_max) {
      int_reg(f.name + "Max", "Custom", "", r.address, false);
      continue;
    }
    const std::string tip =
        f.tooltip.empty() ? std::string() : "    <ToolTip>" + Escaped(f.tooltip) + "</ToolTip>\n";
    const std::string open = "\" NameSpace=\"Standard\">\n" + tip;
    switch (f.type) {
      case Type::String:
        x += "  <StringReg Name=\"" + f.name + open;
        x += "    <Address>" + HexAddress(r.address) + "</Address>\n";
        x += "    <Length>" + std::to_string(r.length) + "</Length>\n";
        x += "    <AccessMode>RO</AccessMode>\n    <pPort>" + port_name_ + "</pPort>\n";
        x += "    <Cachable>NoCache</Cachable>\n  </StringReg>\n";
        break;
      case Type::Integer:
        int_reg(f.name, "Standard", f.tooltip, r.address, bool(f.write));
        break;
      case Type::Boolean:
        x += "  <Boolean Name=\"" + f.name + open;
        x += "    <pValue>" + f.name + "Reg</pValue>\n";
        x += "    <OnValue>1</OnValue>\n    <OffValue>0</OffValue>\n  </Boolean>\n";
        break;
      case Type::Enumeration:
        x += "  <Enumeration Name=\"" + f.name + open;
        for (const auto& [entry, value] : f.entries)
          x += "    <EnumEntry Name=\"EnumEntry_" + f.name + "_" + entry +
               "\" NameSpace=\"Standard\">\n      <Value>" + std::to_string(value) +
               "</Value>\n    </EnumEntry>\n";
        x += "    <pValue>" + f.name + "Reg</pValue>\n  </Enumeration>\n";
        break;
      case Type::Command:
        x += "  <Command Name=\"" + f.name + open;
        x += "    <pValue>" + f.name + "Reg</pValue>\n";
        x += "    <CommandValue>1</CommandValue>\n  </Command>\n";
        break;
      case Type::Selector:
        x += "  <Integer Name=\"" + f.name + open;
        x += "    <pValue>" + f.name + "Reg</pValue>\n";
        x += "    <Min>0</Min>\n    <pMax>" + f.name + "Max</pMax>\n    <Inc>1</Inc>\n";
        for (const std::string& s : f.selects) x += "    <pSelected>" + s + "</pSelected>\n";
        x += "  </Integer>\n";
        break;
    }
    if (IsHelperBacked(f.type)) int_reg(f.name + "Reg", "Custom", "", r.address, bool(f.write));
  }
  x += "  <Port Name=\"" + port_name_ + "\" NameSpace=\"Standard\"/>\n";
  x += "</RegisterDescription>\n";
  return x;
}

const ModulePort::Register* ModulePort::Find(std::uint64_t address) const {
  for (const Register& r : registers_)
    if (address >= r.address && address < r.address + r.length) return &r;
  return nullptr;
}

void ModulePort::Read(std::uint64_t address, void* buffer, std::size_t size) const {
  if (!buffer && size) throw Error(GC_ERR_INVALID_PARAMETER, "the read buffer is NULL");
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (address >= kModuleDescriptionAddress) {
    const std::uint64_t offset = address - kModuleDescriptionAddress;
    if (offset > xml_.size() || size > xml_.size() - offset)
      throw Error(GC_ERR_INVALID_ADDRESS, "a read of " + std::to_string(size) + " bytes at 0x" +
                                              HexDigits(address) + " runs past the " + model_ +
                                              " description (0x" +
                                              HexDigits(kModuleDescriptionAddress) + ", " +
                                              std::to_string(xml_.size()) + " bytes)");
    std::memcpy(out, xml_.data() + offset, size);
    return;
  }
  const Register* r = Find(address);
  if (!r || (size && address + size > r->address + r->length))
    throw Error(GC_ERR_INVALID_ADDRESS, "the " + model_ + " has no register holding " +
                                            std::to_string(size) + " bytes at 0x" +
                                            HexDigits(address));
  std::vector<std::uint8_t> bytes(r->length, 0);
  const ModuleFeature& f = *r->feature;
  if (f.type == ModuleFeature::Type::String && !r->is_max) {
    const std::string s = f.text();
    std::memcpy(bytes.data(), s.data(), std::min<std::size_t>(s.size(), r->length - 1));
  } else {
    const auto v = std::uint64_t(r->is_max ? f.max() : f.value());
    for (int i = 0; i < 8; ++i) bytes[std::size_t(i)] = std::uint8_t(v >> (8 * i));
  }
  std::memcpy(out, bytes.data() + (address - r->address), size);
}

void ModulePort::Write(std::uint64_t address, const void* buffer, std::size_t size) const {
  if (!buffer || size == 0)
    throw Error(GC_ERR_INVALID_PARAMETER, "a write needs a buffer and at least one byte");
  if (address >= kModuleDescriptionAddress)
    throw Error(GC_ERR_ACCESS_DENIED, "the " + model_ + " description at 0x" +
                                          HexDigits(kModuleDescriptionAddress) + " is read-only");
  const Register* r = Find(address);
  if (!r || r->address != address)
    throw Error(GC_ERR_INVALID_ADDRESS, "the " + model_ + " has no register starting at 0x" +
                                            HexDigits(address) + " (a write covers one register)");
  const ModuleFeature& f = *r->feature;
  if (r->is_max || !f.write)
    throw Error(GC_ERR_ACCESS_DENIED, f.name + (r->is_max ? " (its largest index)" : "") +
                                          " at 0x" + HexDigits(address) + " is read-only");
  if (size != r->length)
    throw Error(GC_ERR_INVALID_PARAMETER, f.name + " (0x" + HexDigits(address) + ") takes " +
                                              std::to_string(r->length) + " bytes, not " +
                                              std::to_string(size));
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::uint64_t u = 0;
  for (int i = 7; i >= 0; --i) u = (u << 8) | in[i];
  const auto v = std::int64_t(u);
  switch (f.type) {
    case ModuleFeature::Type::Command:
      if (v != 1)
        throw Error(GC_ERR_INVALID_VALUE,
                    f.name + " = " + std::to_string(v) + ": a command is executed by writing 1");
      break;
    case ModuleFeature::Type::Selector: {
      const std::int64_t max = f.max();
      if (v < 0 || v > max)
        throw Error(GC_ERR_INVALID_VALUE,
                    f.name + " = " + std::to_string(v) + " is outside 0 .. " + std::to_string(max));
      break;
    }
    case ModuleFeature::Type::Enumeration:
      if (std::none_of(f.entries.begin(), f.entries.end(),
                       [&](const auto& e) { return e.second == v; }))
        throw Error(GC_ERR_INVALID_VALUE,
                    f.name + " = " + std::to_string(v) + " is the value of no entry");
      break;
    default:
      break;
  }
  f.write(v);
}

}  // namespace vision::simcam

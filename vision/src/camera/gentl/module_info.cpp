#include "camera/gentl/module_info.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "camera/features.h"
#include "camera/genapi/genapi.h"
#include "camera/gentl/info.h"
#include "detail/text.h"
#include "gentl_shared/hex.h"

namespace vision::detail::camera::gentl {
namespace {

using ::vision::gentl::Hex;

// A device id, interface id or selector count beyond this is not stepped through.
constexpr std::int64_t kMaxSelected = 64;

// A module's own registers as a GenApi port.
class ModuleRegisters final : public genapi::Port {
 public:
  ModuleRegisters(const Library& lib, abi::PORT_HANDLE handle) : lib_(lib), handle_(handle) {}

  void Read(std::uint64_t address, void* data, std::size_t size) override {
    std::size_t n = size;
    Check(GENTL_CALL(lib_, GCReadPort, handle_, address, data, &n), "GCReadPort", address, n, size);
  }
  void Write(std::uint64_t address, const void* data, std::size_t size) override {
    std::size_t n = size;
    Check(GENTL_CALL(lib_, GCWritePort, handle_, address, data, &n), "GCWritePort", address, n,
          size);
  }

 private:
  void Check(abi::GC_ERROR r, const char* function, std::uint64_t address, std::size_t done,
             std::size_t size) const {
    if (r != abi::GC_ERR_SUCCESS)
      throw genapi::PortError(std::string(function) + " at " + Hex(address) + ": " +
                              lib_.Error(r, function).Reason());
    if (done != size)
      throw genapi::PortError(std::string(function) + " moved " + std::to_string(done) + " of " +
                              std::to_string(size) + " bytes at " + Hex(address));
  }

  const Library& lib_;
  abi::PORT_HANDLE handle_;
};

// A module's description connected to its port, or why there is none.
struct Module {
  std::unique_ptr<ModuleRegisters> port;
  std::unique_ptr<genapi::NodeMap> map;  // declared after port: goes first
  std::string problem;
};

Module LoadModule(const Library& lib, abi::PORT_HANDLE handle) {
  Module m;
  try {
    std::uint32_t urls = 0;
    const abi::GC_ERROR r = GENTL_CALL(lib, GCGetNumPortURLs, handle, &urls);
    if (r == abi::GC_ERR_NOT_IMPLEMENTED) {
      m.problem = "no module description (GCGetNumPortURLs is not implemented)";
      return m;
    }
    lib.Check(r, "GCGetNumPortURLs");
    if (urls == 0) {
      m.problem = "no module description (GCGetNumPortURLs = 0)";
      return m;
    }
    const std::string url =
        InfoText(lib, "GCGetPortURLInfo", [&](abi::INFO_DATATYPE* t, void* b, std::size_t* z) {
          return GENTL_CALL(lib, GCGetPortURLInfo, handle, 0u, abi::URL_INFO_URL, t, b, z);
        });
    m.port = std::make_unique<ModuleRegisters>(lib, handle);
    auto map = genapi::NodeMap::Parse(genapi::LoadDescription(url, *m.port));
    const std::string port_name =
        TryInfoText([&](abi::INFO_DATATYPE* t, void* b, std::size_t* z) {
          return GENTL_CALL(lib, GCGetPortInfo, handle, abi::PORT_INFO_PORTNAME, t, b, z);
        }).value_or(std::string());
    map->Connect(m.port.get(), port_name);
    m.map = std::move(map);
  } catch (const GenTLError& e) {
    m.problem = "no usable module description: " + std::string(e.Function()) + ": " + e.Reason();
  } catch (const std::exception& e) {
    m.problem = std::string("its module description cannot be used: ") + e.what();
  }
  return m;
}

std::string Shown(genapi::NodeMap& map, const std::string& name) {
  const genapi::Type type = map.TypeOf(name);
  std::string value = ListedValue(map, name, type);
  if (value.empty())  // every value has a text; a quoted one at least its quotes
    throw genapi::Error(genapi::ErrorKind::kWrongType, "not a value feature");
  return value;
}

// " NAME:value" for each of names the description has; a failed read as " NAME_error:'why'".
void AddFeatures(std::string& line, genapi::NodeMap& map,
                 std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (!map.Has(name)) continue;
    try {
      const std::string value = Shown(map, name);
      line += std::string(" ") + name + ":" + value;
    } catch (const genapi::Error& e) {
      line += std::string(" ") + name + "_error:" + Quoted(e.what());
    }
  }
}

// The head of a line: what module, which one, and where its fields come from.
std::string Head(const char* kind, const std::string& id, const Module& m) {
  std::string line = std::string(kind) + " " + Quoted(id, 1024);
  if (m.map)
    line += " description:" + Quoted(m.map->ModelName());
  else
    line += " info_calls:" + Quoted(m.problem, 1024);
  return line;
}

// " NAME:'text'" for an info answer; nothing when the producer has none.
void AddText(std::string& line, const char* name, const std::optional<std::string>& text) {
  if (text && !text->empty()) line += std::string(" ") + name + ":" + Quoted(*text);
}
void AddNumber(std::string& line, const char* name, const std::optional<std::uint64_t>& n) {
  if (n) line += std::string(" ") + name + ":" + std::to_string(*n);
}

std::string EntryLine(const std::string& head, const DeviceEntry& d) {
  std::string line = head;
  AddText(line, "DeviceID", d.id);
  AddText(line, "DeviceVendorName", d.vendor);
  AddText(line, "DeviceModelName", d.model);
  AddText(line, "DeviceSerialNumber", d.serial);
  AddText(line, "DeviceAccessStatus", AccessStatusName(d.access_status));
  return line;
}

}  // namespace

std::string SystemModuleLine(const Producer& producer) {
  const Library& lib = producer.Lib();
  std::lock_guard<std::mutex> lock(producer.EnumerationMutex());
  Module m = LoadModule(lib, producer.System());
  std::string line = Head("system", producer.Path(), m);
  if (m.map) {
    AddFeatures(line, *m.map,
                {"TLVendorName", "TLModelName", "TLVersion", "TLID", "TLType", "GenTLVersionMajor",
                 "GenTLVersionMinor"});
    return line;
  }
  const ProducerInfo& i = producer.Info();
  AddText(line, "TLVendorName", i.vendor);
  AddText(line, "TLModelName", i.model);
  AddText(line, "TLVersion", i.version);
  AddText(line, "TLType", i.tl_type);
  if (const auto dot = i.gentl_version.find('.'); dot != std::string::npos)
    line += " GenTLVersionMajor:" + i.gentl_version.substr(0, dot) +
            " GenTLVersionMinor:" + i.gentl_version.substr(dot + 1);
  return line;
}

std::vector<std::string> InterfaceModuleLines(const InterfaceHandle& iface,
                                              const std::vector<DeviceEntry>& devices) {
  const Library& lib = iface.Owner().Lib();
  std::lock_guard<std::mutex> lock(iface.Owner().EnumerationMutex());
  Module m = LoadModule(lib, iface.Handle());
  std::vector<std::string> lines;
  std::string line = Head("interface", iface.Id(), m);
  if (m.map) {
    AddFeatures(line, *m.map, {"InterfaceID", "InterfaceType"});
  } else {
    const auto info = [&](abi::INTERFACE_INFO_CMD cmd) {
      return TryInfoText([&](abi::INFO_DATATYPE* t, void* b, std::size_t* z) {
        return GENTL_CALL(lib, IFGetInfo, iface.Handle(), cmd, t, b, z);
      });
    };
    AddText(line, "InterfaceID", info(abi::INTERFACE_INFO_ID));
    AddText(line, "InterfaceType", info(abi::INTERFACE_INFO_TLTYPE));
  }
  lines.push_back(line);
  const std::string device_head = "interface " + Quoted(iface.Id(), 1024) + " device ";
  if (m.map && m.map->Has("DeviceSelector")) {
    genapi::NodeMap& map = *m.map;
    std::int64_t last = -1;
    try {
      last = std::min(map.IntegerMax("DeviceSelector"), kMaxSelected - 1);
    } catch (const genapi::Error& e) {
      lines.push_back(device_head + "DeviceSelector_error:" + Quoted(e.what()));
    }
    for (std::int64_t i = 0; i <= last; ++i) {
      std::string device = device_head + std::to_string(i);
      try {
        map.SetInteger("DeviceSelector", i);
      } catch (const genapi::Error& e) {
        lines.push_back(device + " DeviceSelector_error:" + Quoted(e.what()));
        break;
      }
      AddFeatures(device, map,
                  {"DeviceID", "DeviceVendorName", "DeviceModelName", "DeviceSerialNumber",
                   "DeviceAccessStatus"});
      lines.push_back(device);
    }
    return lines;
  }
  for (std::size_t i = 0; i < devices.size() && std::int64_t(i) < kMaxSelected; ++i)
    lines.push_back(EntryLine(
        device_head + std::to_string(i) + " info_calls:" +
            Quoted(m.map ? "the description has no DeviceSelector" : "the interface's device list"),
        devices[i]));
  return lines;
}

std::string DeviceModuleLine(const Library& lib, abi::DEV_HANDLE device, const DeviceInfo& info) {
  Module m = LoadModule(lib, device);
  std::string line = Head("device", info.id, m);
  if (m.map) {
    AddFeatures(line, *m.map,
                {"DeviceID", "DeviceVendorName", "DeviceModelName", "DeviceSerialNumber",
                 "DeviceType", "DeviceAccessStatus", "StreamID"});
    return line;
  }
  const auto text = [&](abi::DEVICE_INFO_CMD cmd) {
    return TryInfoText([&](abi::INFO_DATATYPE* t, void* b, std::size_t* z) {
      return GENTL_CALL(lib, DevGetInfo, device, cmd, t, b, z);
    });
  };
  AddText(line, "DeviceID", text(abi::DEVICE_INFO_ID));
  AddText(line, "DeviceVendorName", text(abi::DEVICE_INFO_VENDOR));
  AddText(line, "DeviceModelName", text(abi::DEVICE_INFO_MODEL));
  AddText(line, "DeviceSerialNumber", text(abi::DEVICE_INFO_SERIAL_NUMBER));
  AddText(line, "DeviceType", text(abi::DEVICE_INFO_TLTYPE));
  const auto status = TryInfoSigned([&](abi::INFO_DATATYPE* t, void* b, std::size_t* z) {
    return GENTL_CALL(lib, DevGetInfo, device, abi::DEVICE_INFO_ACCESS_STATUS, t, b, z);
  });
  if (status) AddText(line, "DeviceAccessStatus", AccessStatusName(std::int32_t(*status)));
  return line;
}

std::string StreamModuleLine(const Library& lib, abi::DS_HANDLE stream) {
  const auto number = [&](abi::STREAM_INFO_CMD cmd) {
    return TryInfoUnsigned([&](abi::INFO_DATATYPE* t, void* b, std::size_t* z) {
      return GENTL_CALL(lib, DSGetInfo, stream, cmd, t, b, z);
    });
  };
  const auto id = TryInfoText([&](abi::INFO_DATATYPE* t, void* b, std::size_t* z) {
    return GENTL_CALL(lib, DSGetInfo, stream, abi::STREAM_INFO_ID, t, b, z);
  });
  Module m = LoadModule(lib, stream);
  std::string line = Head("stream", id.value_or(std::string()), m);
  if (m.map) {
    AddFeatures(line, *m.map,
                {"StreamID", "StreamType", "StreamAnnouncedBufferCount",
                 "StreamAnnounceBufferMinimum", "StreamIsGrabbing", "StreamDeliveredFrameCount",
                 "StreamLostFrameCount", "StreamStartedFrameCount", "PayloadSize"});
    return line;
  }
  AddText(line, "StreamID", id);
  AddNumber(line, "StreamAnnouncedBufferCount", number(abi::STREAM_INFO_NUM_ANNOUNCED));
  AddNumber(line, "StreamAnnounceBufferMinimum", number(abi::STREAM_INFO_BUF_ANNOUNCE_MIN));
  if (const auto grabbing = number(abi::STREAM_INFO_IS_GRABBING))
    line += std::string(" StreamIsGrabbing:") + (*grabbing ? "true" : "false");
  AddNumber(line, "StreamDeliveredFrameCount", number(abi::STREAM_INFO_NUM_DELIVERED));
  AddNumber(line, "StreamLostFrameCount", number(abi::STREAM_INFO_NUM_UNDERRUN));
  AddNumber(line, "StreamStartedFrameCount", number(abi::STREAM_INFO_NUM_STARTED));
  AddNumber(line, "PayloadSize", number(abi::STREAM_INFO_PAYLOAD_SIZE));
  return line;
}

}  // namespace vision::detail::camera::gentl

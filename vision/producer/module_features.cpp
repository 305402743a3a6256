// The transport-layer features each module serves through its own port, read from the module's
// live state (module_port.h lays out their registers and writes the description).
#include <cstring>

#include "modules.h"

namespace vision::simcam {

using namespace gentl;

namespace {

using Entries = std::vector<std::pair<std::string, std::int64_t>>;

// The transport-layer type of every module: the one entry the producer answers.
const Entries kTLTypes = {{"Custom", 0}};

const Entries kAccessStatuses = {
    {"Unknown", DEVICE_ACCESS_STATUS_UNKNOWN},
    {"ReadWrite", DEVICE_ACCESS_STATUS_READWRITE},
    {"ReadOnly", DEVICE_ACCESS_STATUS_READONLY},
    {"NoAccess", DEVICE_ACCESS_STATUS_NOACCESS},
    {"Busy", DEVICE_ACCESS_STATUS_BUSY},
    {"OpenReadWrite", DEVICE_ACCESS_STATUS_OPEN_READWRITE},
    {"OpenReadOnly", DEVICE_ACCESS_STATUS_OPEN_READONLY},
};

std::string Text(const Info& info) {
  std::string s(info.bytes.begin(), info.bytes.end());
  return s.substr(0, s.find('\0'));
}

// A numeric info answer of any width (BOOL8, INT32, UINT32, SIZET, UINT64).
std::int64_t Value(const Info& info) {
  std::uint64_t v = 0;
  switch (info.bytes.size()) {
    case 1:
      v = info.bytes[0];
      break;
    case 4: {
      std::uint32_t u = 0;
      std::memcpy(&u, info.bytes.data(), 4);
      v = info.type == INFO_DATATYPE_INT32 ? std::uint64_t(std::int64_t(std::int32_t(u))) : u;
      break;
    }
    case 8:
      std::memcpy(&v, info.bytes.data(), 8);
      break;
    default:
      throw Error(GC_ERR_ERROR,
                  "an info answer of " + std::to_string(info.bytes.size()) + " bytes is no number");
  }
  return std::int64_t(v);
}

std::int64_t Constant0() { return 0; }

// The device entry the interface's DeviceSelector points at.
const DeviceEntry& SelectedDevice(const Interface& iface) {
  const std::int64_t i = iface.device_selector;
  if (i < 0 || std::size_t(i) >= iface.devices.size())
    throw Error(GC_ERR_INVALID_INDEX, "DeviceSelector " + std::to_string(i) + " selects no device");
  return iface.devices[std::size_t(i)];
}

Info SelectedDeviceInfo(const Interface& iface, DEVICE_INFO_CMD cmd) {
  std::lock_guard<std::mutex> lock(Lib().structure);
  return iface.DeviceInfo(SelectedDevice(iface), cmd);
}

Info OwnDeviceInfo(const Device& device, DEVICE_INFO_CMD cmd) {
  std::lock_guard<std::mutex> lock(Lib().structure);
  auto iface = Lib().Get<Interface>(device.parent, Kind::Interface);
  return iface->DeviceInfo(iface->Entry(device.id), cmd);
}

}  // namespace

std::unique_ptr<const ModulePort> MakeSystemPort(System& system) {
  System* const sys = &system;  // the module owns its port: it outlives every call
  const auto info = [](TL_INFO_CMD cmd) { return [cmd] { return Text(LibraryInfo(cmd)); }; };
  const auto number = [](TL_INFO_CMD cmd) { return [cmd] { return Value(LibraryInfo(cmd)); }; };
  std::vector<ModuleFeature> features = {
      TextFeature("TLVendorName", "Maker of the producer", info(TL_INFO_VENDOR)),
      TextFeature("TLModelName", "Model of the producer", info(TL_INFO_MODEL)),
      TextFeature("TLID", "Identifier of the producer", info(TL_INFO_ID)),
      TextFeature("TLVersion", "Version of the producer", info(TL_INFO_VERSION)),
      ChoiceFeature("TLType", "Transport layer type", kTLTypes, Constant0),
      TextFeature("TLPath", "Full path of the producer file", info(TL_INFO_PATHNAME), 1024),
      CountFeature("GenTLVersionMajor", "GenTL version implemented (major)",
                   number(TL_INFO_GENTL_VER_MAJOR)),
      CountFeature("GenTLVersionMinor", "GenTL version implemented (minor)",
                   number(TL_INFO_GENTL_VER_MINOR)),
      CommandFeature("InterfaceUpdateList", "Updates the list of interfaces",
                     [sys] {
                       std::lock_guard<std::mutex> lock(Lib().structure);
                       sys->listed = true;
                     }),
      SelectorFeature(
          "InterfaceSelector", "Selects an interface of the list", {"InterfaceID"}, Constant0,
          [sys] { return sys->interface_selector.load(); },
          [sys](std::int64_t v) { sys->interface_selector = v; }),
      TextFeature("InterfaceID", "Identifier of the selected interface",
                  [] { return std::string(kInterfaceId); }),
  };
  return std::make_unique<const ModulePort>("TLPort", "SimulatedCameraSystem",
                                            "vision_simcam_system.xml", std::move(features));
}

std::unique_ptr<const ModulePort> MakeInterfacePort(Interface& iface) {
  Interface* const ifc = &iface;  // the module owns its port: it outlives every call
  const auto device_text = [ifc](DEVICE_INFO_CMD cmd) {
    return [ifc, cmd] { return Text(SelectedDeviceInfo(*ifc, cmd)); };
  };
  std::vector<ModuleFeature> features = {
      TextFeature("InterfaceID", "Identifier of the interface",
                  [] { return std::string(kInterfaceId); }),
      ChoiceFeature("InterfaceType", "Transport layer type of the interface", kTLTypes, Constant0),
      CommandFeature("DeviceUpdateList", "Updates the list of devices",
                     [ifc] {
                       std::lock_guard<std::mutex> lock(Lib().structure);
                       ifc->listed = true;
                     }),
      SelectorFeature(
          "DeviceSelector", "Selects a device of the list",
          {"DeviceID", "DeviceVendorName", "DeviceModelName", "DeviceSerialNumber",
           "DeviceAccessStatus"},
          [ifc] { return std::int64_t(ifc->devices.size()) - 1; },
          [ifc] { return ifc->device_selector.load(); },
          [ifc](std::int64_t v) { ifc->device_selector = v; }),
      TextFeature("DeviceID", "Identifier of the selected device",
                  [ifc] { return SelectedDevice(*ifc).id; }),
      TextFeature("DeviceVendorName", "Maker of the selected device",
                  device_text(DEVICE_INFO_VENDOR)),
      TextFeature("DeviceModelName", "Model of the selected device",
                  device_text(DEVICE_INFO_MODEL)),
      TextFeature("DeviceSerialNumber", "Serial number of the selected device",
                  device_text(DEVICE_INFO_SERIAL_NUMBER)),
      ChoiceFeature("DeviceAccessStatus", "Whether the selected device can be opened",
                    kAccessStatuses,
                    [ifc] { return Value(SelectedDeviceInfo(*ifc, DEVICE_INFO_ACCESS_STATUS)); }),
  };
  return std::make_unique<const ModulePort>("InterfacePort", "SimulatedCameraInterface",
                                            "vision_simcam_interface.xml", std::move(features));
}

std::unique_ptr<const ModulePort> MakeDevicePort(Device& device) {
  Device* const dev = &device;  // the module owns its port: it outlives every call
  const auto text = [dev](DEVICE_INFO_CMD cmd) {
    return [dev, cmd] { return Text(OwnDeviceInfo(*dev, cmd)); };
  };
  std::vector<ModuleFeature> features = {
      TextFeature("DeviceID", "Identifier of the device", [dev] { return dev->id; }),
      TextFeature("DeviceVendorName", "Maker of the device", text(DEVICE_INFO_VENDOR)),
      TextFeature("DeviceModelName", "Model of the device", text(DEVICE_INFO_MODEL)),
      TextFeature("DeviceSerialNumber", "Serial number of the device",
                  text(DEVICE_INFO_SERIAL_NUMBER)),
      ChoiceFeature("DeviceType", "Transport layer type of the device", kTLTypes, Constant0),
      ChoiceFeature("DeviceAccessStatus", "How this program holds the device", kAccessStatuses,
                    [dev] { return Value(OwnDeviceInfo(*dev, DEVICE_INFO_ACCESS_STATUS)); }),
      SelectorFeature(
          "StreamSelector", "Selects a data stream of the device", {"StreamID"}, Constant0,
          [dev] { return dev->stream_selector.load(); },
          [dev](std::int64_t v) { dev->stream_selector = v; }),
      TextFeature("StreamID", "Identifier of the selected data stream",
                  [] { return std::string("Stream0"); }),
  };
  return std::make_unique<const ModulePort>("DevicePort", "SimulatedCameraDevice",
                                            "vision_simcam_device.xml", std::move(features));
}

std::unique_ptr<const ModulePort> MakeStreamPort(Stream& stream) {
  Stream* const ds = &stream;  // the module owns its port: it outlives every call
  const auto count = [ds](STREAM_INFO_CMD cmd) {
    return [ds, cmd] { return Value(ds->GetInfo(cmd)); };
  };
  std::vector<ModuleFeature> features = {
      TextFeature("StreamID", "Identifier of the data stream", [ds] { return ds->id; }),
      ChoiceFeature("StreamType", "Transport layer type of the data stream", kTLTypes, Constant0),
      CountFeature("StreamAnnouncedBufferCount", "Buffers announced",
                   count(STREAM_INFO_NUM_ANNOUNCED)),
      CountFeature("StreamAnnounceBufferMinimum", "Buffers to announce at least before a start",
                   count(STREAM_INFO_BUF_ANNOUNCE_MIN)),
      ChoiceFeature("StreamBufferHandlingMode", "Order in which filled buffers are delivered",
                    {{"OldestFirst", 0}}, Constant0, [](std::int64_t) {}),
      FlagFeature("StreamIsGrabbing", "Whether the acquisition runs",
                  [ds] { return Value(ds->GetInfo(STREAM_INFO_IS_GRABBING)) != 0; }),
      CountFeature("StreamDeliveredFrameCount", "Frames delivered since the stream was opened",
                   count(STREAM_INFO_NUM_DELIVERED)),
      CountFeature("StreamLostFrameCount", "Frames lost because no buffer was queued",
                   count(STREAM_INFO_NUM_UNDERRUN)),
      CountFeature("StreamInputBufferCount", "Buffers in the input pool",
                   count(STREAM_INFO_NUM_QUEUED)),
      CountFeature("StreamOutputBufferCount", "Buffers waiting in the output queue",
                   count(STREAM_INFO_NUM_AWAIT_DELIVERY)),
      CountFeature("StreamStartedFrameCount", "Frames whose filling started",
                   count(STREAM_INFO_NUM_STARTED)),
      CountFeature("PayloadSize", "Bytes a buffer needs for one frame",
                   count(STREAM_INFO_PAYLOAD_SIZE)),
  };
  return std::make_unique<const ModulePort>("StreamPort", "SimulatedCameraStream",
                                            "vision_simcam_stream.xml", std::move(features));
}

}  // namespace vision::simcam

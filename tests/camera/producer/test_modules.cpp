// The ports of the producer's own modules: system, interface, device and data stream each serve
// a GenApi description of their transport-layer features through their module handle, and the
// registers behind it read the module's live state. Read here as a consumer does: the URL, the
// bytes through GCReadPort, and the features through the library's GenApi node map.
#include <chrono>
#include <memory>
#include <thread>

#include "camera/genapi/genapi.h"
#include "simcam_fixture.h"

namespace simtest {
namespace {

namespace genapi = vision::detail::genapi;

constexpr std::uint64_t kHang = 20000;  // ms: a wait that must end long before this

// A module handle as the node map's port.
class HandlePort : public genapi::Port {
 public:
  explicit HandlePort(PORT_HANDLE handle) : handle_(handle) {}
  void Read(std::uint64_t address, void* data, std::size_t size) override {
    size_t n = size;
    if (P().GCReadPort(handle_, address, data, &n) != GC_ERR_SUCCESS || n != size)
      throw genapi::PortError(LastError());
  }
  void Write(std::uint64_t address, const void* data, std::size_t size) override {
    size_t n = size;
    if (P().GCWritePort(handle_, address, data, &n) != GC_ERR_SUCCESS || n != size)
      throw genapi::PortError(LastError());
  }

 private:
  PORT_HANDLE handle_;
};

std::string PortName(PORT_HANDLE port) {
  return InfoString([&](INFO_DATATYPE* t, void* b, size_t* n) {
    return P().GCGetPortInfo(port, PORT_INFO_PORTNAME, t, b, n);
  });
}

// A module's node map, connected to the module's handle under the port name it reports.
struct ModuleMap {
  explicit ModuleMap(PORT_HANDLE handle) : port(handle) {
    map = genapi::NodeMap::Parse(ServedBytes(handle));
    map->Connect(&port, PortName(handle));
  }
  HandlePort port;
  std::unique_ptr<genapi::NodeMap> map;
  genapi::NodeMap* operator->() { return map.get(); }
};

template <class T>
T UrlInfo(PORT_HANDLE port, URL_INFO_CMD cmd) {
  T value{};
  size_t size = sizeof value;
  EXPECT_EQ(P().GCGetPortURLInfo(port, 0, cmd, nullptr, &value, &size), GC_ERR_SUCCESS)
      << "URL info " << cmd << ": " << LastError();
  EXPECT_EQ(size, sizeof value);
  return value;
}

TEST(ModulePorts, EveryModuleServesItsDescriptionThroughItsOwnPort) {
  Session s("1");
  Cam cam(s);
  struct Module {
    PORT_HANDLE handle;
    const char* port_name;
    const char* file;
    std::vector<const char*> features;
  };
  const Module modules[] = {
      {s.tl,
       "TLPort",
       "vision_simcam_system.xml",
       {"TLVendorName", "TLModelName", "TLID", "TLVersion", "TLType", "TLPath", "GenTLVersionMajor",
        "GenTLVersionMinor", "InterfaceUpdateList", "InterfaceSelector", "InterfaceID"}},
      {s.iface,
       "InterfacePort",
       "vision_simcam_interface.xml",
       {"InterfaceID", "InterfaceType", "DeviceUpdateList", "DeviceSelector", "DeviceID",
        "DeviceVendorName", "DeviceModelName", "DeviceAccessStatus"}},
      {cam.dev,
       "DevicePort",
       "vision_simcam_device.xml",
       {"DeviceID", "DeviceVendorName", "DeviceModelName", "DeviceType", "DeviceAccessStatus",
        "StreamSelector", "StreamID"}},
      {cam.ds,
       "StreamPort",
       "vision_simcam_stream.xml",
       {"StreamID", "StreamType", "StreamAnnouncedBufferCount", "StreamAnnounceBufferMinimum",
        "StreamBufferHandlingMode", "StreamIsGrabbing", "StreamDeliveredFrameCount",
        "StreamLostFrameCount", "StreamInputBufferCount", "StreamOutputBufferCount",
        "StreamStartedFrameCount", "PayloadSize"}},
  };
  for (const Module& m : modules) {
    SCOPED_TRACE(m.port_name);
    std::uint32_t urls = 0;
    ASSERT_EQ(P().GCGetNumPortURLs(m.handle, &urls), GC_ERR_SUCCESS) << LastError();
    EXPECT_EQ(urls, 1u);
    const std::string url = PortUrl(m.handle);
    const LocalUrl u = ParseLocal(url);
    EXPECT_EQ(u.file, m.file);
    EXPECT_NE(url.find("?SchemaVersion=1.1.0"), std::string::npos) << url;
    // The URL's parts as GCGetPortURLInfo gives them.
    EXPECT_EQ(UrlInfo<std::int32_t>(m.handle, URL_INFO_SCHEME), URL_SCHEME_LOCAL);
    EXPECT_EQ(UrlInfo<std::uint64_t>(m.handle, URL_INFO_FILE_REGISTER_ADDRESS), u.address);
    EXPECT_EQ(UrlInfo<std::uint64_t>(m.handle, URL_INFO_FILE_SIZE), u.length);
    EXPECT_EQ(UrlInfo<std::int32_t>(m.handle, URL_INFO_SCHEMA_VER_MINOR), 1);
    EXPECT_EQ(PortName(m.handle), m.port_name);
    const std::string xml = ServedBytes(m.handle);
    EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
    EXPECT_NE(xml.find(std::string("<Port Name=\"") + m.port_name + "\""), std::string::npos);
    const auto map = genapi::NodeMap::Parse(xml);
    for (const char* feature : m.features) EXPECT_TRUE(map->Has(feature)) << feature;
    // The description is read-only and ends where the URL says.
    size_t size = 4;
    char four[4] = {};
    EXPECT_EQ(P().GCReadPort(m.handle, u.address + u.length - 2, four, &size),
              GC_ERR_INVALID_ADDRESS);
    EXPECT_EQ(P().GCWritePort(m.handle, u.address, four, &size), GC_ERR_ACCESS_DENIED);
  }
  // A buffer is a port without registers or description.
  cam.AnnounceAndQueue(1);
  std::uint32_t urls = 9;
  ASSERT_EQ(P().GCGetNumPortURLs(cam.buffers[0], &urls), GC_ERR_SUCCESS);
  EXPECT_EQ(urls, 0u);
  size_t size = 0;
  EXPECT_EQ(P().GCGetPortURL(cam.buffers[0], nullptr, &size), GC_ERR_NOT_AVAILABLE);
}

TEST(ModulePorts, SystemAndInterfaceFeaturesAndTheirSelectors) {
  Session s("cameras=2");
  ModuleMap system(s.tl);
  EXPECT_EQ(system->GetString("TLVendorName"), "vision");
  EXPECT_EQ(system->GetString("TLID"), "vision_simcam");
  EXPECT_EQ(system->GetString("TLPath"), InfoString([&](auto t, auto b, auto n) {
              return P().TLGetInfo(s.tl, TL_INFO_PATHNAME, t, b, n);
            }));
  EXPECT_EQ(system->GetEnumeration("TLType"), "Custom");
  EXPECT_EQ(system->GetInteger("GenTLVersionMajor"), 1);
  EXPECT_EQ(system->GetInteger("GenTLVersionMinor"), 6);
  EXPECT_EQ(system->IntegerRange("InterfaceSelector").max, 0) << "one interface";
  EXPECT_EQ(system->GetString("InterfaceID"), "vision-Simulated");
  system->Execute("InterfaceUpdateList");
  EXPECT_TRUE(system->IsDone("InterfaceUpdateList"));

  ModuleMap iface(s.iface);
  EXPECT_EQ(iface->GetString("InterfaceID"), "vision-Simulated");
  EXPECT_EQ(iface->IntegerRange("DeviceSelector").max, 1) << "two cameras";
  iface->SetInteger("DeviceSelector", 1);
  EXPECT_EQ(iface->GetString("DeviceID"), "vision-Simulated-SIM0002");
  EXPECT_EQ(iface->GetString("DeviceVendorName"), "vision");
  EXPECT_EQ(iface->GetString("DeviceModelName"), "Simulated camera");
  EXPECT_EQ(iface->GetEnumeration("DeviceAccessStatus"), "ReadWrite");
  {
    // Opening the second camera shows at once in the selected device's status.
    Cam second(s, 1);
    EXPECT_EQ(iface->GetEnumeration("DeviceAccessStatus"), "OpenReadWrite");
    iface->SetInteger("DeviceSelector", 0);
    EXPECT_EQ(iface->GetString("DeviceID"), "vision-Simulated-SIM0001");
    EXPECT_EQ(iface->GetEnumeration("DeviceAccessStatus"), "ReadWrite");

    ModuleMap device(second.dev);
    EXPECT_EQ(device->GetString("DeviceID"), "vision-Simulated-SIM0002");
    EXPECT_EQ(device->GetEnumeration("DeviceAccessStatus"), "OpenReadWrite");
    EXPECT_EQ(device->GetEnumeration("DeviceType"), "Custom");
    EXPECT_EQ(device->GetInteger("StreamSelector"), 0);
    EXPECT_EQ(device->GetString("StreamID"), "Stream0");
  }
  iface->Execute("DeviceUpdateList");
  // The producer checks a selector's range itself, whatever the consumer does: a raw write to
  // the register the description names.
  const std::string xml = ServedBytes(s.iface);
  const auto reg_at = xml.find("<IntReg Name=\"DeviceSelectorReg\"");
  ASSERT_NE(reg_at, std::string::npos);
  const auto address_at = xml.find("<Address>", reg_at) + 9;
  const std::uint64_t address = std::stoull(xml.substr(address_at, 16), nullptr, 16);
  const std::uint8_t two[8] = {2};
  size_t size = 8;
  EXPECT_EQ(P().GCWritePort(s.iface, address, two, &size), GC_ERR_INVALID_VALUE);
  EXPECT_NE(LastError().find("DeviceSelector = 2 is outside 0 .. 1"), std::string::npos)
      << LastError();
}

TEST(ModulePorts, StreamCountersCount) {
  Session s("width=64,height=48");
  Cam cam(s);
  ModuleMap stream(cam.ds);
  EXPECT_EQ(stream->GetString("StreamID"), "Stream0");
  EXPECT_EQ(stream->GetInteger("PayloadSize"), 64 * 48);
  EXPECT_EQ(stream->GetInteger("StreamAnnounceBufferMinimum"), 2);
  EXPECT_EQ(stream->GetEnumeration("StreamBufferHandlingMode"), "OldestFirst");
  stream->SetEnumeration("StreamBufferHandlingMode", "OldestFirst");
  EXPECT_FALSE(stream->GetBoolean("StreamIsGrabbing"));
  cam.Set(reg::kTriggerMode, 1);
  cam.AnnounceAndQueue(3);
  EXPECT_EQ(stream->GetInteger("StreamAnnouncedBufferCount"), 3);
  EXPECT_EQ(stream->GetInteger("StreamInputBufferCount"), 3);
  cam.Start();
  EXPECT_TRUE(stream->GetBoolean("StreamIsGrabbing"));
  for (int i = 0; i < 2; ++i) {
    cam.Set(reg::kTriggerSoftware, 1);
    while (cam.StreamInfo<std::uint64_t>(STREAM_INFO_NUM_DELIVERED) < std::uint64_t(i + 1))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(stream->GetInteger("StreamDeliveredFrameCount"), 2);
  EXPECT_EQ(stream->GetInteger("StreamStartedFrameCount"), 2);
  EXPECT_EQ(stream->GetInteger("StreamOutputBufferCount"), 2);
  EXPECT_EQ(stream->GetInteger("StreamInputBufferCount"), 1);
  BUFFER_HANDLE b = cam.Next(kHang);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(stream->GetInteger("StreamOutputBufferCount"), 1);
  EXPECT_EQ(stream->GetInteger("StreamLostFrameCount"), 0);
  // Three triggers with one buffer left in the pool: two frames find none.
  cam.Set(reg::kTriggerSoftware, 1);
  while (cam.StreamInfo<std::uint64_t>(STREAM_INFO_NUM_DELIVERED) < 3)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (int i = 0; i < 2; ++i) {
    const auto lost = cam.StreamInfo<std::uint64_t>(STREAM_INFO_NUM_UNDERRUN);
    cam.Set(reg::kTriggerSoftware, 1);
    while (cam.StreamInfo<std::uint64_t>(STREAM_INFO_NUM_UNDERRUN) == lost)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(stream->GetInteger("StreamLostFrameCount"), 2);
  cam.Set(reg::kAcqStop, 1);
  EXPECT_EQ(P().DSStopAcquisition(cam.ds, ACQ_STOP_FLAGS_DEFAULT), GC_ERR_SUCCESS);
  EXPECT_FALSE(stream->GetBoolean("StreamIsGrabbing"));
}

}  // namespace
}  // namespace simtest

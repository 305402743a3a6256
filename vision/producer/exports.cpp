// The C functions of the simulated camera's producer. Each one runs its body inside Guard: no
// exception crosses the C boundary, every failure returns its GenTL code and leaves a message for
// GCGetLastError (kept per thread, as the caller asks on the thread that failed).
#include <cstdlib>
#include <cstring>
#include <new>

#include "modules.h"
#include "platform/environment.h"

namespace vision::simcam {
namespace {

using namespace gentl;

// The last error of this thread. Plain storage: a thread may outlive the producer's unloading,
// so nothing here may need a destructor.
thread_local GC_ERROR t_last_code = GC_ERR_SUCCESS;
thread_local char t_last_text[1024] = "";

void SetLastError(GC_ERROR code, const char* text) noexcept {
  t_last_code = code;
  std::strncpy(t_last_text, text, sizeof t_last_text - 1);
  t_last_text[sizeof t_last_text - 1] = 0;
}

enum class Needs { Nothing, Init };

template <class F>
GC_ERROR Guard(Needs needs, F&& body) noexcept {
  try {
    if (needs == Needs::Init && !Lib().initialized)
      throw Error(GC_ERR_NOT_INITIALIZED, "the producer is not initialised (GCInitLib first)");
    body();
    return GC_ERR_SUCCESS;
  } catch (const Error& e) {
    SetLastError(e.Code(), e.what());
    return e.Code();
  } catch (const std::bad_alloc&) {
    SetLastError(GC_ERR_OUT_OF_MEMORY, "out of memory");
    return GC_ERR_OUT_OF_MEMORY;
  } catch (const std::exception& e) {
    SetLastError(GC_ERR_ERROR, e.what());
    return GC_ERR_ERROR;
  } catch (...) {
    SetLastError(GC_ERR_ERROR, "unexpected failure inside the simulated camera's producer");
    return GC_ERR_ERROR;
  }
}

template <class F>
GC_ERROR Run(F&& body) noexcept {
  return Guard(Needs::Init, std::forward<F>(body));
}

[[noreturn]] void NotImplemented(const char* function) {
  throw Error(GC_ERR_NOT_IMPLEMENTED,
              std::string(function) + " is not implemented by the simulated camera");
}

void Require(const void* pointer, const char* name) {
  if (!pointer) throw Error(GC_ERR_INVALID_PARAMETER, std::string(name) + " is NULL");
}

// A string answered like an info value, without a type.
void AnswerString(const std::string& s, char* buffer, std::size_t* size) {
  Answer(StringInfo(s), nullptr, buffer, size);
}

std::shared_ptr<System> OpenSystem(TL_HANDLE handle) {
  return Lib().Get<System>(handle, Kind::System);
}
std::shared_ptr<Interface> OpenInterface(IF_HANDLE handle) {
  return Lib().Get<Interface>(handle, Kind::Interface);
}
std::shared_ptr<Device> OpenDevice(DEV_HANDLE handle) {
  return Lib().Get<Device>(handle, Kind::Device);
}
std::shared_ptr<Stream> OpenStream(DS_HANDLE handle) {
  return Lib().Get<Stream>(handle, Kind::Stream);
}
std::shared_ptr<Event> OpenEvent(EVENT_HANDLE handle) {
  return Lib().Get<Event>(handle, Kind::Event);
}

// Any module handle is a port: the remote device port has the camera's registers and
// description, the system, interface, device and data stream modules their own (ModulePort);
// a buffer has none.
std::shared_ptr<Object> OpenPort(PORT_HANDLE handle) {
  auto object = Lib().Find(handle, "port");
  if (object->kind == Kind::Event)
    throw Error(GC_ERR_INVALID_HANDLE, "an event handle is not a port");
  return object;
}
RemotePort* Remote(Object& port) {
  return port.kind == Kind::RemotePort ? static_cast<RemotePort*>(&port) : nullptr;
}
[[noreturn]] void NoRegisters(const Object& port) {
  throw Error(GC_ERR_INVALID_ADDRESS, std::string("the ") + KindName(port.kind) +
                                          " module has no registers (the camera's registers are "
                                          "on the remote device port, DevGetPort)");
}

void ReadPort(Object& port, std::uint64_t address, void* buffer, std::size_t* size) {
  Require(size, "piSize");
  RemotePort* remote = Remote(port);
  if (!remote) {
    if (!port.module_port) NoRegisters(port);
    port.module_port->Read(address, buffer, *size);
    return;
  }
  std::lock_guard<std::mutex> lock(remote->core->m);
  remote->core->camera.Read(address, buffer, *size);
}

void WritePort(Object& port, std::uint64_t address, const void* buffer, std::size_t* size) {
  Require(size, "piSize");
  RemotePort* remote = Remote(port);
  if (!remote) {
    if (!port.module_port) NoRegisters(port);
    port.module_port->Write(address, buffer, *size);
    return;
  }
  if (remote->read_only)
    throw Error(GC_ERR_ACCESS_DENIED,
                "device " + remote->device_id + " was opened read-only (DEVICE_ACCESS_READONLY)");
  std::lock_guard<std::mutex> lock(remote->core->m);
  remote->core->camera.Write(address, buffer, *size);
  remote->core->worker_cv.notify_all();  // a start, a stop or a trigger may wake the stream
}

std::string PortId(Object& port) {
  switch (port.kind) {
    case Kind::System:
      return "vision_simcam";
    case Kind::Interface:
      return kInterfaceId;
    case Kind::Device:
      return static_cast<Device&>(port).id;
    case Kind::RemotePort:
      return static_cast<RemotePort&>(port).device_id;
    case Kind::Stream:
      return static_cast<Stream&>(port).id;
    case Kind::Buffer:
      return "Buffer" + std::to_string(static_cast<Buffer&>(port).index);
    default:
      return "";
  }
}

const char* ModuleName(Kind kind) {
  switch (kind) {
    case Kind::System:
      return "TLSystem";
    case Kind::Interface:
      return "TLInterface";
    case Kind::Device:
      return "TLDevice";
    case Kind::RemotePort:
      return "Device";
    case Kind::Stream:
      return "TLDataStream";
    case Kind::Buffer:
      return "TLBuffer";
    default:
      return "";
  }
}

Info PortInfo(Object& port, PORT_INFO_CMD cmd) {
  RemotePort* remote = Remote(port);
  bool lost = false;
  if (remote) {
    std::lock_guard<std::mutex> lock(remote->core->m);
    lost = remote->core->camera.Lost();
  }
  const bool registers = remote || port.module_port;
  const auto boolean = [](bool v) { return ValueInfo<bool8_t>(INFO_DATATYPE_BOOL8, v); };
  switch (cmd) {
    case PORT_INFO_ID:
      return StringInfo(PortId(port));
    case PORT_INFO_VENDOR:
      return StringInfo("vision");
    case PORT_INFO_MODEL:
      return StringInfo(remote ? "Simulated camera" : "Simulated camera producer");
    case PORT_INFO_TLTYPE:
      return StringInfo("Custom");
    case PORT_INFO_MODULE:
      return StringInfo(ModuleName(port.kind));
    case PORT_INFO_LITTLE_ENDIAN:
      return boolean(true);
    case PORT_INFO_BIG_ENDIAN:
      return boolean(false);
    case PORT_INFO_ACCESS_READ:
      return boolean(registers && !lost);
    case PORT_INFO_ACCESS_WRITE:
      return boolean(registers && !lost && !(remote && remote->read_only));
    case PORT_INFO_ACCESS_NA:
      return boolean(remote && lost);
    case PORT_INFO_ACCESS_NI:
      return boolean(!registers);
    case PORT_INFO_VERSION:
      return StringInfo("1.0");
    case PORT_INFO_PORTNAME:
      if (remote) return StringInfo("Device");
      return StringInfo(port.module_port ? port.module_port->PortName()
                                         : std::string(ModuleName(port.kind)));
    default:
      throw Error(GC_ERR_NOT_IMPLEMENTED,
                  "port info command " + std::to_string(cmd) + " is not offered");
  }
}

// What a port's one URL says, for GCGetPortURL and GCGetPortURLInfo.
struct Served {
  std::string url, file_name;
  std::int32_t scheme = URL_SCHEME_LOCAL;
  std::uint64_t address = 0, size = 0;
  bool versions_known = true;  // schema and file versions (only of our own descriptions)
};

// The port's description, or NOT_AVAILABLE (a buffer has none).
Served ServedBy(Object& port) {
  Served s;
  if (Remote(port)) {
    const Description& d = *Lib().description;
    s.url = d.url;
    s.file_name = d.file_name;
    s.scheme = d.in_registers ? URL_SCHEME_LOCAL : URL_SCHEME_FILE;
    s.address = kDescriptionAddress;
    s.size = d.size;
    s.versions_known = d.ours;
  } else if (port.module_port) {
    s.url = port.module_port->Url();
    s.file_name = port.module_port->FileName();
    s.address = kModuleDescriptionAddress;
    s.size = port.module_port->Xml().size();
  } else {
    throw Error(GC_ERR_NOT_AVAILABLE,
                std::string("the ") + KindName(port.kind) + " module has no description");
  }
  return s;
}

std::uint32_t UrlCount(Object& port) { return Remote(port) || port.module_port ? 1 : 0; }

Info UrlInfo(const Served& d, URL_INFO_CMD cmd) {
  const auto i32 = [](std::int32_t v) { return ValueInfo<std::int32_t>(INFO_DATATYPE_INT32, v); };
  const auto versioned = [&](std::int32_t v) {
    if (!d.versions_known)
      throw Error(GC_ERR_NOT_AVAILABLE, "the versions of a description file are not known");
    return i32(v);
  };
  switch (cmd) {
    case URL_INFO_URL:
      return StringInfo(d.url);
    case URL_INFO_SCHEMA_VER_MAJOR:
      return versioned(1);
    case URL_INFO_SCHEMA_VER_MINOR:
      return versioned(1);
    case URL_INFO_FILE_VER_MAJOR:
      return versioned(1);
    case URL_INFO_FILE_VER_MINOR:
    case URL_INFO_FILE_VER_SUBMINOR:
      return versioned(0);
    case URL_INFO_FILE_REGISTER_ADDRESS:
      if (d.scheme != URL_SCHEME_LOCAL)
        throw Error(GC_ERR_NOT_AVAILABLE,
                    "the description is a file (" + d.url + "), not in the register space");
      return ValueInfo<std::uint64_t>(INFO_DATATYPE_UINT64, d.address);
    case URL_INFO_FILE_SIZE:
      return ValueInfo<std::uint64_t>(INFO_DATATYPE_UINT64, d.size);
    case URL_INFO_SCHEME:
      return i32(d.scheme);
    case URL_INFO_FILENAME:
      return StringInfo(d.file_name);
    default:
      throw Error(GC_ERR_NOT_IMPLEMENTED,
                  "URL info command " + std::to_string(cmd) + " is not offered");
  }
}

}  // namespace
}  // namespace vision::simcam

namespace vision::gentl {

using namespace vision::simcam;

// ---- Library --------------------------------------------------------------------------------

GC_ERROR VISION_GC_CALLTYPE GCInitLib(void) {
  return Guard(Needs::Nothing, [] {
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.structure);
    if (lib.initialized)
      throw Error(GC_ERR_RESOURCE_IN_USE, "GCInitLib was called before (GCCloseLib first)");
    Options options;
    try {
      options = ParseOptions(platform::Environment(kEnvironmentVariable).value_or(""));
    } catch (const std::invalid_argument& e) {
      throw Error(GC_ERR_INVALID_PARAMETER, e.what());
    }
    lib.description = MakeDescription(options);
    lib.options = options;
    lib.initialized = true;
  });
}

GC_ERROR VISION_GC_CALLTYPE GCCloseLib(void) {
  return Guard(Needs::Nothing, [] {
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.structure);
    if (!lib.initialized) throw Error(GC_ERR_NOT_INITIALIZED, "GCCloseLib without GCInitLib");
    lib.CloseAll();
  });
}

GC_ERROR VISION_GC_CALLTYPE GCGetInfo(TL_INFO_CMD iInfoCmd, INFO_DATATYPE* piType, void* pBuffer,
                                      size_t* piSize) {
  return Run([&] { Answer(LibraryInfo(iInfoCmd), piType, pBuffer, piSize); });
}

GC_ERROR VISION_GC_CALLTYPE GCGetLastError(GC_ERROR* piErrorCode, char* sErrText, size_t* piSize) {
  // Answers even before GCInitLib, and a failure here leaves the last error as it was.
  if (!piErrorCode || !piSize) return GC_ERR_INVALID_PARAMETER;
  *piErrorCode = t_last_code;
  const std::size_t needed = std::strlen(t_last_text) + 1;
  if (!sErrText) {
    *piSize = needed;
    return GC_ERR_SUCCESS;
  }
  if (*piSize < needed) {
    *piSize = needed;
    return GC_ERR_BUFFER_TOO_SMALL;
  }
  std::memcpy(sErrText, t_last_text, needed);
  *piSize = needed;
  return GC_ERR_SUCCESS;
}

// ---- Ports ------------------------------------------------------------------------------------

GC_ERROR VISION_GC_CALLTYPE GCReadPort(PORT_HANDLE hPort, uint64_t iAddress, void* pBuffer,
                                       size_t* piSize) {
  return Run([&] { ReadPort(*OpenPort(hPort), iAddress, pBuffer, piSize); });
}

GC_ERROR VISION_GC_CALLTYPE GCWritePort(PORT_HANDLE hPort, uint64_t iAddress, const void* pBuffer,
                                        size_t* piSize) {
  return Run([&] { WritePort(*OpenPort(hPort), iAddress, pBuffer, piSize); });
}

GC_ERROR VISION_GC_CALLTYPE GCReadPortStacked(PORT_HANDLE hPort,
                                              PORT_REGISTER_STACK_ENTRY* pEntries,
                                              size_t* piNumEntries) {
  return Run([&] {
    Require(piNumEntries, "piNumEntries");
    if (*piNumEntries) Require(pEntries, "pEntries");
    auto port = OpenPort(hPort);
    for (std::size_t i = 0; i < *piNumEntries; ++i) {
      std::size_t n = pEntries[i].Size;
      ReadPort(*port, pEntries[i].Address, pEntries[i].pBuffer, &n);
    }
  });
}

GC_ERROR VISION_GC_CALLTYPE GCWritePortStacked(PORT_HANDLE hPort,
                                               PORT_REGISTER_STACK_ENTRY* pEntries,
                                               size_t* piNumEntries) {
  return Run([&] {
    Require(piNumEntries, "piNumEntries");
    if (*piNumEntries) Require(pEntries, "pEntries");
    auto port = OpenPort(hPort);
    for (std::size_t i = 0; i < *piNumEntries; ++i) {
      std::size_t n = pEntries[i].Size;
      WritePort(*port, pEntries[i].Address, pEntries[i].pBuffer, &n);
    }
  });
}

GC_ERROR VISION_GC_CALLTYPE GCGetPortURL(PORT_HANDLE hPort, char* sURL, size_t* piSize) {
  return Run([&] { AnswerString(ServedBy(*OpenPort(hPort)).url, sURL, piSize); });
}

GC_ERROR VISION_GC_CALLTYPE GCGetPortInfo(PORT_HANDLE hPort, PORT_INFO_CMD iInfoCmd,
                                          INFO_DATATYPE* piType, void* pBuffer, size_t* piSize) {
  return Run([&] { Answer(PortInfo(*OpenPort(hPort), iInfoCmd), piType, pBuffer, piSize); });
}

GC_ERROR VISION_GC_CALLTYPE GCGetNumPortURLs(PORT_HANDLE hPort, uint32_t* piNumURLs) {
  return Run([&] {
    auto port = OpenPort(hPort);
    Require(piNumURLs, "piNumURLs");
    *piNumURLs = UrlCount(*port);
  });
}

GC_ERROR VISION_GC_CALLTYPE GCGetPortURLInfo(PORT_HANDLE hPort, uint32_t iURLIndex,
                                             URL_INFO_CMD iInfoCmd, INFO_DATATYPE* piType,
                                             void* pBuffer, size_t* piSize) {
  return Run([&] {
    auto port = OpenPort(hPort);
    const std::uint32_t count = UrlCount(*port);
    if (iURLIndex >= count)
      throw Error(GC_ERR_INVALID_INDEX, "URL index " + std::to_string(iURLIndex) + ": the " +
                                            KindName(port->kind) + " port has " +
                                            std::to_string(count) + " URLs");
    Answer(UrlInfo(ServedBy(*port), iInfoCmd), piType, pBuffer, piSize);
  });
}

// ---- Events -----------------------------------------------------------------------------------

GC_ERROR VISION_GC_CALLTYPE GCRegisterEvent(EVENTSRC_HANDLE hEventSrc, EVENT_TYPE iEventID,
                                            EVENT_HANDLE* phEvent) {
  return Run([&] {
    auto source = Lib().Find(hEventSrc, "event source");
    Require(phEvent, "phEvent");
    if (source->kind != Kind::Stream || iEventID != EVENT_NEW_BUFFER)
      throw Error(GC_ERR_NOT_IMPLEMENTED, std::string("the ") + KindName(source->kind) +
                                              " module offers no event of type " +
                                              std::to_string(iEventID) +
                                              " (only data streams, EVENT_NEW_BUFFER)");
    *phEvent = RegisterNewBufferEvent(static_cast<Stream&>(*source))->Handle();
  });
}

GC_ERROR VISION_GC_CALLTYPE GCUnregisterEvent(EVENTSRC_HANDLE hEventSrc, EVENT_TYPE iEventID) {
  return Run([&] {
    auto source = Lib().Find(hEventSrc, "event source");
    if (source->kind != Kind::Stream || iEventID != EVENT_NEW_BUFFER)
      throw Error(GC_ERR_NOT_IMPLEMENTED, "only data streams have events (EVENT_NEW_BUFFER)");
    auto& stream = static_cast<Stream&>(*source);
    {
      std::lock_guard<std::mutex> lock(stream.core->m);
      if (!stream.event)
        throw Error(GC_ERR_NOT_AVAILABLE, "no NEW_BUFFER event is registered on " + stream.id);
    }
    UnregisterNewBufferEvent(stream);
  });
}

GC_ERROR VISION_GC_CALLTYPE EventGetData(EVENT_HANDLE hEvent, void* pBuffer, size_t* piSize,
                                         uint64_t iTimeout) {
  return Run([&] { WaitNewBuffer(*OpenEvent(hEvent), pBuffer, piSize, iTimeout); });
}

GC_ERROR VISION_GC_CALLTYPE EventGetDataInfo(EVENT_HANDLE hEvent, const void* pInBuffer,
                                             size_t iInSize, EVENT_DATA_INFO_CMD iInfoCmd,
                                             INFO_DATATYPE* piType, void* pOutBuffer,
                                             size_t* piOutSize) {
  return Run([&] {
    OpenEvent(hEvent);
    Require(pInBuffer, "pInBuffer");
    if (iInSize < sizeof(EVENT_NEW_BUFFER_DATA))
      throw Error(GC_ERR_INVALID_PARAMETER, "the event data holds " + std::to_string(iInSize) +
                                                " bytes, less than one NEW_BUFFER event");
    EVENT_NEW_BUFFER_DATA data;
    std::memcpy(&data, pInBuffer, sizeof data);
    switch (iInfoCmd) {
      case EVENT_DATA_ID:
        return Answer(ValueInfo<void*>(INFO_DATATYPE_PTR, data.BufferHandle), piType, pOutBuffer,
                      piOutSize);
      case EVENT_DATA_VALUE:
        return Answer(ValueInfo<void*>(INFO_DATATYPE_PTR, data.pUserPointer), piType, pOutBuffer,
                      piOutSize);
      default:
        throw Error(GC_ERR_NOT_IMPLEMENTED,
                    "event data info command " + std::to_string(iInfoCmd) + " is not offered");
    }
  });
}

GC_ERROR VISION_GC_CALLTYPE EventGetInfo(EVENT_HANDLE hEvent, EVENT_INFO_CMD iInfoCmd,
                                         INFO_DATATYPE* piType, void* pBuffer, size_t* piSize) {
  return Run([&] { Answer(EventInfo(*OpenEvent(hEvent), iInfoCmd), piType, pBuffer, piSize); });
}

GC_ERROR VISION_GC_CALLTYPE EventFlush(EVENT_HANDLE hEvent) {
  return Run([&] { FlushEvent(*OpenEvent(hEvent)); });
}

GC_ERROR VISION_GC_CALLTYPE EventKill(EVENT_HANDLE hEvent) {
  return Run([&] { KillEvent(*OpenEvent(hEvent)); });
}

// ---- System -----------------------------------------------------------------------------------

GC_ERROR VISION_GC_CALLTYPE TLOpen(TL_HANDLE* phTL) {
  return Run([&] {
    Require(phTL, "phTL");
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.structure);
    if (lib.system)
      throw Error(GC_ERR_RESOURCE_IN_USE, "the system module is already open (TLClose first)");
    lib.system = std::make_shared<System>();
    lib.system->module_port = MakeSystemPort(*lib.system);
    lib.Add(lib.system);
    *phTL = lib.system->Handle();
  });
}

GC_ERROR VISION_GC_CALLTYPE TLClose(TL_HANDLE hTL) {
  return Run([&] {
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.structure);
    auto system = OpenSystem(hTL);
    CloseInterface(*system);
    lib.Remove(system.get());
    lib.system.reset();
  });
}

GC_ERROR VISION_GC_CALLTYPE TLGetInfo(TL_HANDLE hTL, TL_INFO_CMD iInfoCmd, INFO_DATATYPE* piType,
                                      void* pBuffer, size_t* piSize) {
  return Run([&] { Answer(OpenSystem(hTL)->GetInfo(iInfoCmd), piType, pBuffer, piSize); });
}

GC_ERROR VISION_GC_CALLTYPE TLUpdateInterfaceList(TL_HANDLE hTL, bool8_t* pbChanged,
                                                  uint64_t /*iTimeout*/) {
  return Run([&] {
    auto system = OpenSystem(hTL);
    std::lock_guard<std::mutex> lock(Lib().structure);
    if (pbChanged) *pbChanged = !system->listed;
    system->listed = true;
  });
}

GC_ERROR VISION_GC_CALLTYPE TLGetNumInterfaces(TL_HANDLE hTL, uint32_t* piNumIfaces) {
  return Run([&] {
    OpenSystem(hTL);
    Require(piNumIfaces, "piNumIfaces");
    *piNumIfaces = 1;
  });
}

GC_ERROR VISION_GC_CALLTYPE TLGetInterfaceID(TL_HANDLE hTL, uint32_t iIndex, char* sID,
                                             size_t* piSize) {
  return Run([&] {
    OpenSystem(hTL);
    if (iIndex != 0)
      throw Error(GC_ERR_INVALID_INDEX,
                  "interface index " + std::to_string(iIndex) + ": there is one interface");
    AnswerString(kInterfaceId, sID, piSize);
  });
}

GC_ERROR VISION_GC_CALLTYPE TLGetInterfaceInfo(TL_HANDLE hTL, const char* sIfaceID,
                                               INTERFACE_INFO_CMD iInfoCmd, INFO_DATATYPE* piType,
                                               void* pBuffer, size_t* piSize) {
  return Run([&] {
    OpenSystem(hTL);
    Require(sIfaceID, "sIfaceID");
    if (std::strcmp(sIfaceID, kInterfaceId) != 0)
      throw Error(GC_ERR_INVALID_ID,
                  std::string("no interface '") + sIfaceID + "' (there is " + kInterfaceId + ")");
    Answer(InterfaceInfo(iInfoCmd), piType, pBuffer, piSize);
  });
}

GC_ERROR VISION_GC_CALLTYPE TLOpenInterface(TL_HANDLE hTL, const char* sIfaceID,
                                            IF_HANDLE* phIface) {
  return Run([&] {
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.structure);
    auto system = OpenSystem(hTL);
    Require(sIfaceID, "sIfaceID");
    Require(phIface, "phIface");
    if (std::strcmp(sIfaceID, kInterfaceId) != 0)
      throw Error(GC_ERR_INVALID_ID,
                  std::string("no interface '") + sIfaceID + "' (there is " + kInterfaceId + ")");
    if (system->open_interface)
      throw Error(GC_ERR_RESOURCE_IN_USE,
                  std::string("interface ") + kInterfaceId + " is already open (IFClose first)");
    auto iface = std::make_shared<Interface>();
    iface->parent = system->Handle();
    for (int i = 0; i < lib.options.cameras; ++i) {
      DeviceEntry d;
      d.index = i;
      d.serial = "SIM000" + std::to_string(i + 1);
      d.id = "vision-Simulated-" + d.serial;
      iface->devices.push_back(d);
    }
    iface->module_port = MakeInterfacePort(*iface);
    system->open_interface = iface;
    lib.Add(iface);
    *phIface = iface->Handle();
  });
}

// ---- Interface --------------------------------------------------------------------------------

GC_ERROR VISION_GC_CALLTYPE IFClose(IF_HANDLE hIface) {
  return Run([&] {
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.structure);
    auto iface = OpenInterface(hIface);
    if (lib.system && lib.system->open_interface == iface) CloseInterface(*lib.system);
  });
}

GC_ERROR VISION_GC_CALLTYPE IFGetInfo(IF_HANDLE hIface, INTERFACE_INFO_CMD iInfoCmd,
                                      INFO_DATATYPE* piType, void* pBuffer, size_t* piSize) {
  return Run([&] {
    OpenInterface(hIface);
    Answer(InterfaceInfo(iInfoCmd), piType, pBuffer, piSize);
  });
}

GC_ERROR VISION_GC_CALLTYPE IFUpdateDeviceList(IF_HANDLE hIface, bool8_t* pbChanged,
                                               uint64_t /*iTimeout*/) {
  return Run([&] {
    auto iface = OpenInterface(hIface);
    std::lock_guard<std::mutex> lock(Lib().structure);
    if (pbChanged) *pbChanged = !iface->listed;
    iface->listed = true;
  });
}

GC_ERROR VISION_GC_CALLTYPE IFGetNumDevices(IF_HANDLE hIface, uint32_t* piNumDevices) {
  return Run([&] {
    auto iface = OpenInterface(hIface);
    Require(piNumDevices, "piNumDevices");
    *piNumDevices = std::uint32_t(iface->devices.size());
  });
}

GC_ERROR VISION_GC_CALLTYPE IFGetDeviceID(IF_HANDLE hIface, uint32_t iIndex, char* sIDeviceID,
                                          size_t* piSize) {
  return Run([&] {
    auto iface = OpenInterface(hIface);
    if (iIndex >= iface->devices.size())
      throw Error(GC_ERR_INVALID_INDEX, "device index " + std::to_string(iIndex) + ": there are " +
                                            std::to_string(iface->devices.size()) + " devices");
    AnswerString(iface->devices[iIndex].id, sIDeviceID, piSize);
  });
}

GC_ERROR VISION_GC_CALLTYPE IFGetDeviceInfo(IF_HANDLE hIface, const char* sDeviceID,
                                            DEVICE_INFO_CMD iInfoCmd, INFO_DATATYPE* piType,
                                            void* pBuffer, size_t* piSize) {
  return Run([&] {
    auto iface = OpenInterface(hIface);
    Require(sDeviceID, "sDeviceID");
    Info info;
    {
      std::lock_guard<std::mutex> lock(Lib().structure);
      info = iface->DeviceInfo(iface->Entry(sDeviceID), iInfoCmd);
    }
    Answer(info, piType, pBuffer, piSize);
  });
}

GC_ERROR VISION_GC_CALLTYPE IFOpenDevice(IF_HANDLE hIface, const char* sDeviceID,
                                         DEVICE_ACCESS_FLAGS iOpenFlag, DEV_HANDLE* phDevice) {
  return Run([&] {
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.structure);
    auto iface = OpenInterface(hIface);
    Require(sDeviceID, "sDeviceID");
    Require(phDevice, "phDevice");
    DeviceEntry& entry = const_cast<DeviceEntry&>(iface->Entry(sDeviceID));
    if (iOpenFlag != DEVICE_ACCESS_READONLY && iOpenFlag != DEVICE_ACCESS_CONTROL &&
        iOpenFlag != DEVICE_ACCESS_EXCLUSIVE)
      throw Error(GC_ERR_INVALID_PARAMETER,
                  "access flag " + std::to_string(iOpenFlag) +
                      " is no open request (READONLY 2, CONTROL 3 or EXCLUSIVE 4)");
    if (lib.options.busy)
      throw Error(GC_ERR_ACCESS_DENIED, "device " + entry.id +
                                            " is in use by another program (access status BUSY; "
                                            "VISION_FAKE_CAMERA busy)");
    if (!entry.open.expired())
      throw Error(GC_ERR_RESOURCE_IN_USE, "device " + entry.id + " is already open");
    auto device = std::make_shared<Device>();
    device->parent = iface->Handle();
    device->id = entry.id;
    device->core = std::make_shared<Core>(lib.options, entry.index, lib.description);
    device->opened = std::chrono::steady_clock::now();
    device->port = std::make_shared<RemotePort>();
    device->port->core = device->core;
    device->port->read_only = iOpenFlag == DEVICE_ACCESS_READONLY;
    device->port->device_id = entry.id;
    device->module_port = MakeDevicePort(*device);
    entry.open = device;
    lib.Add(device);
    lib.Add(device->port);
    *phDevice = device->Handle();
  });
}

GC_ERROR VISION_GC_CALLTYPE IFGetParentTL(IF_HANDLE hIface, TL_HANDLE* phSystem) {
  return Run([&] {
    auto iface = OpenInterface(hIface);
    Require(phSystem, "phSystem");
    *phSystem = iface->parent;
  });
}

// ---- Device -----------------------------------------------------------------------------------

GC_ERROR VISION_GC_CALLTYPE DevGetPort(DEV_HANDLE hDevice, PORT_HANDLE* phRemoteDevice) {
  return Run([&] {
    auto device = OpenDevice(hDevice);
    Require(phRemoteDevice, "phRemoteDevice");
    *phRemoteDevice = device->port->Handle();
  });
}

GC_ERROR VISION_GC_CALLTYPE DevGetNumDataStreams(DEV_HANDLE hDevice, uint32_t* piNumDataStreams) {
  return Run([&] {
    OpenDevice(hDevice);
    Require(piNumDataStreams, "piNumDataStreams");
    *piNumDataStreams = 1;
  });
}

GC_ERROR VISION_GC_CALLTYPE DevGetDataStreamID(DEV_HANDLE hDevice, uint32_t iIndex,
                                               char* sDataStreamID, size_t* piSize) {
  return Run([&] {
    OpenDevice(hDevice);
    if (iIndex != 0)
      throw Error(GC_ERR_INVALID_INDEX,
                  "data stream index " + std::to_string(iIndex) + ": there is one stream");
    AnswerString("Stream0", sDataStreamID, piSize);
  });
}

GC_ERROR VISION_GC_CALLTYPE DevOpenDataStream(DEV_HANDLE hDevice, const char* sDataStreamID,
                                              DS_HANDLE* phDataStream) {
  return Run([&] {
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.structure);
    auto device = OpenDevice(hDevice);
    Require(sDataStreamID, "sDataStreamID");
    Require(phDataStream, "phDataStream");
    if (std::strcmp(sDataStreamID, "Stream0") != 0)
      throw Error(GC_ERR_INVALID_ID,
                  std::string("no data stream '") + sDataStreamID + "' (there is Stream0)");
    if (device->stream)
      throw Error(GC_ERR_RESOURCE_IN_USE,
                  "data stream Stream0 of " + device->id + " is already open");
    auto stream = std::make_shared<Stream>();
    stream->parent = device->Handle();
    stream->core = device->core;
    stream->module_port = MakeStreamPort(*stream);
    device->stream = stream;
    lib.Add(stream);
    *phDataStream = stream->Handle();
  });
}

GC_ERROR VISION_GC_CALLTYPE DevGetInfo(DEV_HANDLE hDevice, DEVICE_INFO_CMD iInfoCmd,
                                       INFO_DATATYPE* piType, void* pBuffer, size_t* piSize) {
  return Run([&] {
    auto device = OpenDevice(hDevice);
    Info info;
    {
      std::lock_guard<std::mutex> lock(Lib().structure);
      auto iface = Lib().Get<Interface>(device->parent, Kind::Interface);
      info = iface->DeviceInfo(iface->Entry(device->id), iInfoCmd);
    }
    Answer(info, piType, pBuffer, piSize);
  });
}

GC_ERROR VISION_GC_CALLTYPE DevClose(DEV_HANDLE hDevice) {
  return Run([&] {
    std::lock_guard<std::mutex> lock(Lib().structure);
    CloseDevice(*OpenDevice(hDevice));
  });
}

GC_ERROR VISION_GC_CALLTYPE DevGetParentIF(DEV_HANDLE hDevice, IF_HANDLE* phIface) {
  return Run([&] {
    auto device = OpenDevice(hDevice);
    Require(phIface, "phIface");
    *phIface = device->parent;
  });
}

// ---- Data stream ------------------------------------------------------------------------------

GC_ERROR VISION_GC_CALLTYPE DSAnnounceBuffer(DS_HANDLE hDataStream, void* pBuffer, size_t iSize,
                                             void* pPrivate, BUFFER_HANDLE* phBuffer) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    Require(pBuffer, "pBuffer");
    Require(phBuffer, "phBuffer");
    *phBuffer = stream->Announce(pBuffer, iSize, pPrivate)->Handle();
  });
}

GC_ERROR VISION_GC_CALLTYPE DSAllocAndAnnounceBuffer(DS_HANDLE hDataStream, size_t iSize,
                                                     void* pPrivate, BUFFER_HANDLE* phBuffer) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    Require(phBuffer, "phBuffer");
    *phBuffer = stream->Announce(nullptr, iSize, pPrivate)->Handle();
  });
}

GC_ERROR VISION_GC_CALLTYPE DSFlushQueue(DS_HANDLE hDataStream, ACQ_QUEUE_TYPE iOperation) {
  return Run([&] { OpenStream(hDataStream)->Flush(iOperation); });
}

GC_ERROR VISION_GC_CALLTYPE DSStartAcquisition(DS_HANDLE hDataStream, ACQ_START_FLAGS iStartFlags,
                                               uint64_t iNumToAcquire) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    if (iStartFlags != ACQ_START_FLAGS_DEFAULT)
      throw Error(GC_ERR_INVALID_PARAMETER,
                  "start flag " + std::to_string(iStartFlags) + " is unknown");
    stream->Start(iNumToAcquire);
  });
}

GC_ERROR VISION_GC_CALLTYPE DSStopAcquisition(DS_HANDLE hDataStream, ACQ_STOP_FLAGS iStopFlags) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    if (iStopFlags != ACQ_STOP_FLAGS_DEFAULT && iStopFlags != ACQ_STOP_FLAGS_KILL)
      throw Error(GC_ERR_INVALID_PARAMETER,
                  "stop flag " + std::to_string(iStopFlags) + " is unknown");
    stream->Stop(iStopFlags == ACQ_STOP_FLAGS_KILL);
  });
}

GC_ERROR VISION_GC_CALLTYPE DSGetInfo(DS_HANDLE hDataStream, STREAM_INFO_CMD iInfoCmd,
                                      INFO_DATATYPE* piType, void* pBuffer, size_t* piSize) {
  return Run([&] { Answer(OpenStream(hDataStream)->GetInfo(iInfoCmd), piType, pBuffer, piSize); });
}

GC_ERROR VISION_GC_CALLTYPE DSGetBufferID(DS_HANDLE hDataStream, uint32_t iIndex,
                                          BUFFER_HANDLE* phBuffer) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    Require(phBuffer, "phBuffer");
    *phBuffer = stream->BufferAt(iIndex)->Handle();
  });
}

GC_ERROR VISION_GC_CALLTYPE DSClose(DS_HANDLE hDataStream) {
  return Run([&] {
    std::lock_guard<std::mutex> lock(Lib().structure);
    auto stream = OpenStream(hDataStream);
    auto device = Lib().Get<Device>(stream->parent, Kind::Device);
    CloseStream(*device);
  });
}

GC_ERROR VISION_GC_CALLTYPE DSRevokeBuffer(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer,
                                           void** pBuffer, void** pPrivate) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    stream->Revoke(*stream->Own(hBuffer), pBuffer, pPrivate);
  });
}

GC_ERROR VISION_GC_CALLTYPE DSQueueBuffer(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    stream->Queue(*stream->Own(hBuffer));
  });
}

GC_ERROR VISION_GC_CALLTYPE DSGetBufferInfo(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer,
                                            BUFFER_INFO_CMD iInfoCmd, INFO_DATATYPE* piType,
                                            void* pBuffer, size_t* piSize) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    Answer(stream->GetBufferInfo(*stream->Own(hBuffer), iInfoCmd), piType, pBuffer, piSize);
  });
}

GC_ERROR VISION_GC_CALLTYPE DSGetBufferChunkData(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer,
                                                 SINGLE_CHUNK_DATA* /*pChunkData*/,
                                                 size_t* piNumChunks) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    stream->Own(hBuffer);
    Require(piNumChunks, "piNumChunks");
    *piNumChunks = 0;  // frames carry no chunks
  });
}

GC_ERROR VISION_GC_CALLTYPE DSGetParentDev(DS_HANDLE hDataStream, DEV_HANDLE* phDevice) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    Require(phDevice, "phDevice");
    *phDevice = stream->parent;
  });
}

GC_ERROR VISION_GC_CALLTYPE DSGetNumBufferParts(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer,
                                                uint32_t* piNumParts) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    auto buffer = stream->Own(hBuffer);
    Require(piNumParts, "piNumParts");
    *piNumParts = stream->NumParts(*buffer);
  });
}

GC_ERROR VISION_GC_CALLTYPE DSGetBufferPartInfo(DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer,
                                                uint32_t iPartIndex, BUFFER_PART_INFO_CMD iInfoCmd,
                                                INFO_DATATYPE* piType, void* pBuffer,
                                                size_t* piSize) {
  return Run([&] {
    auto stream = OpenStream(hDataStream);
    auto buffer = stream->Own(hBuffer);
    Answer(stream->GetBufferPartInfo(*buffer, iPartIndex, iInfoCmd), piType, pBuffer, piSize);
  });
}

// The composite-buffer and flow functions: exported so strict consumers load the producer.
GC_ERROR VISION_GC_CALLTYPE DSAnnounceCompositeBuffer(DS_HANDLE, size_t, void**, size_t*, void*,
                                                      BUFFER_HANDLE*) {
  return Run([] { NotImplemented("DSAnnounceCompositeBuffer"); });
}
GC_ERROR VISION_GC_CALLTYPE DSGetBufferInfoStacked(DS_HANDLE, BUFFER_HANDLE,
                                                   DS_BUFFER_INFO_STACKED*, size_t) {
  return Run([] { NotImplemented("DSGetBufferInfoStacked"); });
}
GC_ERROR VISION_GC_CALLTYPE DSGetBufferPartInfoStacked(DS_HANDLE, BUFFER_HANDLE,
                                                       DS_BUFFER_PART_INFO_STACKED*, size_t) {
  return Run([] { NotImplemented("DSGetBufferPartInfoStacked"); });
}
GC_ERROR VISION_GC_CALLTYPE DSGetNumFlows(DS_HANDLE, uint32_t*) {
  return Run([] { NotImplemented("DSGetNumFlows"); });
}
GC_ERROR VISION_GC_CALLTYPE DSGetFlowInfo(DS_HANDLE, uint32_t, FLOW_INFO_CMD, INFO_DATATYPE*, void*,
                                          size_t*) {
  return Run([] { NotImplemented("DSGetFlowInfo"); });
}
GC_ERROR VISION_GC_CALLTYPE DSGetNumBufferSegments(DS_HANDLE, BUFFER_HANDLE, uint32_t*) {
  return Run([] { NotImplemented("DSGetNumBufferSegments"); });
}
GC_ERROR VISION_GC_CALLTYPE DSGetBufferSegmentInfo(DS_HANDLE, BUFFER_HANDLE, uint32_t,
                                                   SEGMENT_INFO_CMD, INFO_DATATYPE*, void*,
                                                   size_t*) {
  return Run([] { NotImplemented("DSGetBufferSegmentInfo"); });
}

}  // namespace vision::gentl

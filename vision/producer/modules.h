// The modules of the simulated camera's producer: system -> interface -> devices -> data
// stream -> buffers, and the NEW_BUFFER event of a stream. exports.cpp maps the C functions onto
// them; everything here reports failures as Error.
//
// Handles are the addresses of the module objects. Every handle a caller passes is looked up in
// a table of the live objects (never dereferenced unchecked) and must be of the kind the call
// expects, else GC_ERR_INVALID_HANDLE. The table holds shared pointers and a lookup returns one,
// so an object stays alive while a call uses it even if another thread closes it meanwhile.
//
// Locks, always taken in this order: the structure mutex (opening and closing modules, library
// initialisation), a device's mutex (its camera, stream, buffers and event), the handle table's
// mutex (held only inside the table's own functions). The stream's acquisition thread takes only
// its device's mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "camera.h"
#include "error.h"
#include "gentl_shared/options.h"
#include "module_port.h"

namespace vision::simcam {

enum class Kind { System, Interface, Device, RemotePort, Stream, Buffer, Event };
const char* KindName(Kind kind);

struct Object : std::enable_shared_from_this<Object> {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  void* Handle() { return this; }
  const Kind kind;
  // The module's own registers and description (system, interface, device and data stream;
  // set when the module is opened, never changed afterwards).
  std::unique_ptr<const ModulePort> module_port;
};

// An info answer: its type and its bytes (strings with their terminating NUL).
struct Info {
  gentl::INFO_DATATYPE type = gentl::INFO_DATATYPE_UNKNOWN;
  std::vector<std::uint8_t> bytes;
};
Info StringInfo(const std::string& s);
template <class T>
Info ValueInfo(gentl::INFO_DATATYPE type, T value) {
  Info info;
  info.type = type;
  info.bytes.resize(sizeof(T));
  std::memcpy(info.bytes.data(), &value, sizeof(T));
  return info;
}
// The info protocol: a NULL buffer asks for the size; a too small one gives
// GC_ERR_BUFFER_TOO_SMALL (and the size needed in *size).
void Answer(const Info& info, gentl::INFO_DATATYPE* type, void* buffer, std::size_t* size);

// ---- Library state --------------------------------------------------------------------------

struct System;

struct Library {
  std::mutex structure;  // see the lock order above
  std::atomic<bool> initialized{false};
  Options options;
  std::shared_ptr<const Description> description;
  std::shared_ptr<System> system;  // while TLOpen'ed

  std::mutex table_mutex;
  std::unordered_map<const void*, std::shared_ptr<Object>> table;

  ~Library();
  void Add(const std::shared_ptr<Object>& object);
  void Remove(const void* handle);
  std::shared_ptr<Object> Find(const void* handle, const char* expected);
  template <class T>
  std::shared_ptr<T> Get(const void* handle, Kind kind) {
    auto object = Find(handle, KindName(kind));
    if (object->kind != kind)
      throw Error(gentl::GC_ERR_INVALID_HANDLE, "handle 0x" + HexDigits(std::uintptr_t(handle)) +
                                                    " is a " + KindName(object->kind) +
                                                    " handle, not a " + KindName(kind) + " handle");
    return std::static_pointer_cast<T>(object);
  }
  // Closes everything (GCCloseLib, or unloading without it). Caller holds `structure`.
  void CloseAll() noexcept;
};
Library& Lib();

// ---- Modules --------------------------------------------------------------------------------

struct Interface;
struct Device;
struct Stream;
struct Buffer;
struct Event;

// What a device and everything under it share: one mutex and the camera.
struct Core {
  Core(const Options& options, int index, std::shared_ptr<const Description> description)
      : camera(options, index, std::move(description)) {}
  std::mutex m;
  std::condition_variable worker_cv;  // the acquisition thread waits here
  std::condition_variable event_cv;   // EventGetData waits here
  Camera camera;
};

struct System : Object {
  System() : Object(Kind::System) {}
  bool listed = false;                        // TLUpdateInterfaceList was called
  std::shared_ptr<Interface> open_interface;  // while open
  std::atomic<std::int64_t> interface_selector{0};
  Info GetInfo(gentl::TL_INFO_CMD cmd) const;
};
Info LibraryInfo(gentl::TL_INFO_CMD cmd);  // GCGetInfo and TLGetInfo

struct DeviceEntry {
  std::string id;
  std::string serial;
  int index = 0;
  std::weak_ptr<Device> open;
};

struct Interface : Object {
  Interface() : Object(Kind::Interface) {}
  void* parent = nullptr;            // the system's handle
  bool listed = false;               // IFUpdateDeviceList was called
  std::vector<DeviceEntry> devices;  // fixed once the interface is open
  std::atomic<std::int64_t> device_selector{0};
  const DeviceEntry& Entry(const std::string& id) const;  // GC_ERR_INVALID_ID
  Info DeviceInfo(const DeviceEntry& entry, gentl::DEVICE_INFO_CMD cmd) const;
};
Info InterfaceInfo(gentl::INTERFACE_INFO_CMD cmd);
extern const char* const kInterfaceId;

struct RemotePort : Object {
  RemotePort() : Object(Kind::RemotePort) {}
  std::shared_ptr<Core> core;
  bool read_only = false;
  std::string device_id;
};

struct Device : Object {
  Device() : Object(Kind::Device) {}
  void* parent = nullptr;  // the interface's handle
  std::string id;
  std::shared_ptr<Core> core;
  std::shared_ptr<RemotePort> port;
  std::shared_ptr<Stream> stream;  // while open
  std::chrono::steady_clock::time_point opened;
  std::atomic<std::int64_t> stream_selector{0};
};

enum class BufferState { Announced, Input, Filling, Output, Delivered };

struct Buffer : Object {
  Buffer() : Object(Kind::Buffer) {}
  Stream* stream = nullptr;  // the owner (identity check only)
  std::uint8_t* base = nullptr;
  std::size_t size = 0;
  void* user = nullptr;
  std::unique_ptr<std::uint8_t[]> storage;  // memory of DSAllocAndAnnounceBuffer
  std::size_t index = 0;                    // for messages
  BufferState state = BufferState::Announced;
  // What the last fill left.
  bool new_data = false;
  bool incomplete = false;
  bool larger_than_buffer = false;
  std::size_t filled = 0;
  std::size_t lines = 0;  // delivered image height
  FrameSettings settings;
  std::uint64_t frame_id = 0;
  std::uint64_t timestamp_ns = 0;
};

struct Event : Object {
  Event() : Object(Kind::Event) {}
  std::shared_ptr<Core> core;
  std::weak_ptr<Stream> stream;
  bool registered = true;
  std::uint64_t kills = 0;    // EventKill calls so far
  bool kill_pending = false;  // an EventKill that found nobody waiting
  int waiters = 0;
  std::uint64_t fired = 0;
};

struct Stream : Object {
  Stream() : Object(Kind::Stream) {}
  void* parent = nullptr;  // the device's handle
  std::shared_ptr<Core> core;
  std::string id = "Stream0";
  std::vector<std::shared_ptr<Buffer>> announced;
  std::deque<Buffer*> input, output;
  std::shared_ptr<Event> event;  // NEW_BUFFER, while registered
  std::size_t next_buffer_index = 0;

  bool acquiring = false;  // between DSStartAcquisition and its end
  bool stop_requested = false;
  bool kill = false;
  std::uint64_t to_acquire = 0, acquired = 0;
  std::uint64_t delivered = 0, underruns = 0, started = 0;
  std::thread worker;
  std::shared_ptr<const SceneTexture> scene;

  // All of these take the device's mutex themselves.
  Info GetInfo(gentl::STREAM_INFO_CMD cmd);
  Info GetBufferInfo(Buffer& buffer, gentl::BUFFER_INFO_CMD cmd);
  // A filled buffer holds one part, its image: the part's info is the buffer's (base, size,
  // geometry, pixel format). A buffer that holds no new data has no part.
  std::uint32_t NumParts(Buffer& buffer);
  Info GetBufferPartInfo(Buffer& buffer, std::uint32_t part, gentl::BUFFER_PART_INFO_CMD cmd);
  void Start(std::uint64_t count);
  void Stop(bool kill_now);  // joins the acquisition thread
  void Flush(gentl::ACQ_QUEUE_TYPE operation);
  std::shared_ptr<Buffer> Announce(void* memory, std::size_t size, void* user);
  void Queue(Buffer& buffer);
  void Revoke(Buffer& buffer, void** memory, void** user);
  std::shared_ptr<Buffer> BufferAt(std::uint32_t index);
  std::shared_ptr<Buffer> Own(void* handle);  // a buffer of this stream, else INVALID_HANDLE
  void Close();                               // stop, unregister, revoke all

 private:
  void Run();  // the acquisition thread
};

// The module ports of each kind (their features read the module's live state; see
// module_port.h). Called once the module is complete, before its handle is handed out.
std::unique_ptr<const ModulePort> MakeSystemPort(System& system);
std::unique_ptr<const ModulePort> MakeInterfacePort(Interface& iface);
std::unique_ptr<const ModulePort> MakeDevicePort(Device& device);
std::unique_ptr<const ModulePort> MakeStreamPort(Stream& stream);

// Closing, with the structure mutex held.
void CloseStream(Device& device);
void CloseDevice(Device& device);
void CloseInterface(System& system);

// GCRegisterEvent / GCUnregisterEvent / EventGetData ... on a stream's NEW_BUFFER event.
std::shared_ptr<Event> RegisterNewBufferEvent(Stream& stream);
void UnregisterNewBufferEvent(Stream& stream);
void WaitNewBuffer(Event& event, void* buffer, std::size_t* size, std::uint64_t timeout_ms);
Info EventInfo(Event& event, gentl::EVENT_INFO_CMD cmd);
void KillEvent(Event& event);
void FlushEvent(Event& event);

}  // namespace vision::simcam

#include "modules.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/module.h"

namespace vision::simcam {

using namespace gentl;
using Clock = std::chrono::steady_clock;

const char* const kInterfaceId = "vision-Simulated";

namespace {

constexpr std::size_t kAnnounceMin = 2;                // STREAM_INFO_BUF_ANNOUNCE_MIN
constexpr std::size_t kAlignment = 16;                 // STREAM_INFO_BUF_ALIGNMENT
constexpr std::uint64_t kTicksPerSecond = 1000000000;  // time stamps are nanoseconds

const char* TLType() { return "Custom"; }

// Where this producer's file is, for TL_INFO_NAME and TL_INFO_PATHNAME.
std::string ModulePath() {
  const std::string path = platform::ModuleFile(reinterpret_cast<const void*>(&ModulePath));
  return path.empty() ? std::string("vision_simcam.cti") : path;
}

// Whether the buffer is in the producer's hands (input pool, being filled, output queue).
bool QueuedState(BufferState s) {
  return s == BufferState::Input || s == BufferState::Filling || s == BufferState::Output;
}

const char* StateName(BufferState s) {
  switch (s) {
    case BufferState::Announced:
      return "announced but not queued";
    case BufferState::Input:
      return "queued in the input pool";
    case BufferState::Filling:
      return "being filled";
    case BufferState::Output:
      return "waiting in the output queue";
    case BufferState::Delivered:
      return "delivered to the consumer";
  }
  return "?";
}

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::System:
      return "system";
    case Kind::Interface:
      return "interface";
    case Kind::Device:
      return "device";
    case Kind::RemotePort:
      return "remote device port";
    case Kind::Stream:
      return "data stream";
    case Kind::Buffer:
      return "buffer";
    case Kind::Event:
      return "event";
  }
  return "?";
}

Info StringInfo(const std::string& s) {
  Info info;
  info.type = INFO_DATATYPE_STRING;
  info.bytes.assign(s.begin(), s.end());
  info.bytes.push_back(0);
  return info;
}

void Answer(const Info& info, INFO_DATATYPE* type, void* buffer, std::size_t* size) {
  if (!size) throw Error(GC_ERR_INVALID_PARAMETER, "the size pointer (piSize) is NULL");
  if (type) *type = info.type;
  const std::size_t needed = info.bytes.size();
  if (!buffer) {
    *size = needed;
    return;
  }
  if (*size < needed) {
    const std::size_t given = *size;
    *size = needed;
    throw Error(GC_ERR_BUFFER_TOO_SMALL, "the buffer holds " + std::to_string(given) +
                                             " bytes; the answer needs " + std::to_string(needed));
  }
  std::memcpy(buffer, info.bytes.data(), needed);
  *size = needed;
}

// ---- Library ----------------------------------------------------------------------------------

Library& Lib() {
  static Library library;
  return library;
}

Library::~Library() {
  // Unloaded without GCCloseLib: stop the threads before their code goes away.
  std::lock_guard<std::mutex> lock(structure);
  CloseAll();
}

void Library::Add(const std::shared_ptr<Object>& object) {
  std::lock_guard<std::mutex> lock(table_mutex);
  table[object.get()] = object;
}

void Library::Remove(const void* handle) {
  std::shared_ptr<Object> keep;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(table_mutex);
  const auto it = table.find(handle);
  if (it != table.end()) {
    keep = std::move(it->second);
    table.erase(it);
  }
}

std::shared_ptr<Object> Library::Find(const void* handle, const char* expected) {
  if (!handle)
    throw Error(GC_ERR_INVALID_HANDLE, std::string("the ") + expected + " handle is NULL");
  std::lock_guard<std::mutex> lock(table_mutex);
  const auto it = table.find(handle);
  if (it == table.end())
    throw Error(GC_ERR_INVALID_HANDLE, "handle 0x" + HexDigits(std::uintptr_t(handle)) +
                                           " is not an open " + expected +
                                           " (never opened, or closed)");
  return it->second;
}

void Library::CloseAll() noexcept {
  try {
    if (system) {
      CloseInterface(*system);
      Remove(system.get());
      system.reset();
    }
  } catch (...) {
  }
  std::unordered_map<const void*, std::shared_ptr<Object>> rest;
  {
    std::lock_guard<std::mutex> lock(table_mutex);
    rest.swap(table);
  }
  rest.clear();
  description.reset();
  initialized = false;
}

// ---- System and interface ---------------------------------------------------------------------

Info LibraryInfo(TL_INFO_CMD cmd) {
  const std::string path = ModulePath();
  switch (cmd) {
    case TL_INFO_ID:
      return StringInfo("vision_simcam");
    case TL_INFO_VENDOR:
      return StringInfo("vision");
    case TL_INFO_MODEL:
      return StringInfo("Simulated camera producer");
    case TL_INFO_VERSION:
      return StringInfo("1.0");
    case TL_INFO_TLTYPE:
      return StringInfo(TLType());
    case TL_INFO_NAME:
      return StringInfo(path.substr(path.find_last_of("/\\") + 1));
    case TL_INFO_PATHNAME:
      return StringInfo(path);
    case TL_INFO_DISPLAYNAME:
      return StringInfo("vision simulated camera");
    case TL_INFO_CHAR_ENCODING:
      return ValueInfo<std::int32_t>(INFO_DATATYPE_INT32, TL_CHAR_ENCODING_ASCII);
    case TL_INFO_GENTL_VER_MAJOR:
      return ValueInfo<std::uint32_t>(INFO_DATATYPE_UINT32, GC_GENTL_VERSION_MAJOR);
    case TL_INFO_GENTL_VER_MINOR:
      return ValueInfo<std::uint32_t>(INFO_DATATYPE_UINT32, GC_GENTL_VERSION_MINOR);
    default:
      throw Error(GC_ERR_NOT_IMPLEMENTED,
                  "system info command " + std::to_string(cmd) + " is not offered");
  }
}

Info System::GetInfo(TL_INFO_CMD cmd) const { return LibraryInfo(cmd); }

Info InterfaceInfo(INTERFACE_INFO_CMD cmd) {
  switch (cmd) {
    case INTERFACE_INFO_ID:
      return StringInfo(kInterfaceId);
    case INTERFACE_INFO_DISPLAYNAME:
      return StringInfo("Simulated cameras");
    case INTERFACE_INFO_TLTYPE:
      return StringInfo(TLType());
    default:
      throw Error(GC_ERR_NOT_IMPLEMENTED,
                  "interface info command " + std::to_string(cmd) + " is not offered");
  }
}

const DeviceEntry& Interface::Entry(const std::string& id) const {
  for (const auto& d : devices)
    if (d.id == id) return d;
  std::string known;
  for (const auto& d : devices) known += (known.empty() ? "" : ", ") + d.id;
  throw Error(GC_ERR_INVALID_ID,
              "no device '" + id + "' on interface " + kInterfaceId + " (devices: " + known + ")");
}

Info Interface::DeviceInfo(const DeviceEntry& entry, DEVICE_INFO_CMD cmd) const {
  const auto open = entry.open.lock();
  switch (cmd) {
    case DEVICE_INFO_ID:
      return StringInfo(entry.id);
    case DEVICE_INFO_VENDOR:
      return StringInfo("vision");
    case DEVICE_INFO_MODEL:
      return StringInfo("Simulated camera");
    case DEVICE_INFO_TLTYPE:
      return StringInfo(TLType());
    case DEVICE_INFO_DISPLAYNAME:
      return StringInfo("vision Simulated camera " + entry.serial);
    case DEVICE_INFO_ACCESS_STATUS: {
      std::int32_t status = DEVICE_ACCESS_STATUS_READWRITE;
      if (Lib().options.busy)
        status = DEVICE_ACCESS_STATUS_BUSY;
      else if (open)
        status = open->port->read_only ? DEVICE_ACCESS_STATUS_OPEN_READONLY
                                       : DEVICE_ACCESS_STATUS_OPEN_READWRITE;
      return ValueInfo<std::int32_t>(INFO_DATATYPE_INT32, status);
    }
    case DEVICE_INFO_USER_DEFINED_NAME: {
      std::string name;
      if (open) {
        std::lock_guard<std::mutex> lock(open->core->m);
        name = open->core->camera.UserId();
      }
      return StringInfo(name);
    }
    case DEVICE_INFO_SERIAL_NUMBER:
      return StringInfo(entry.serial);
    case DEVICE_INFO_VERSION:
      return StringInfo("1.0");
    case DEVICE_INFO_TIMESTAMP_FREQUENCY:
      return ValueInfo<std::uint64_t>(INFO_DATATYPE_UINT64, kTicksPerSecond);
    default:
      throw Error(GC_ERR_NOT_IMPLEMENTED,
                  "device info command " + std::to_string(cmd) + " is not offered");
  }
}

// ---- Closing ----------------------------------------------------------------------------------

void CloseStream(Device& device) {
  if (!device.stream) return;
  device.stream->Close();
  Lib().Remove(device.stream.get());
  device.stream.reset();
}

void CloseDevice(Device& device) {
  CloseStream(device);
  Lib().Remove(device.port.get());
  Lib().Remove(&device);
}

void CloseInterface(System& system) {
  if (!system.open_interface) return;
  for (auto& entry : system.open_interface->devices)
    if (auto device = entry.open.lock()) CloseDevice(*device);
  Lib().Remove(system.open_interface.get());
  system.open_interface.reset();
}

// ---- Stream -----------------------------------------------------------------------------------

Info Stream::GetInfo(STREAM_INFO_CMD cmd) {
  std::lock_guard<std::mutex> lock(core->m);
  switch (cmd) {
    case STREAM_INFO_ID:
      return StringInfo(id);
    case STREAM_INFO_NUM_DELIVERED:
      return ValueInfo<std::uint64_t>(INFO_DATATYPE_UINT64, delivered);
    case STREAM_INFO_NUM_UNDERRUN:
      return ValueInfo<std::uint64_t>(INFO_DATATYPE_UINT64, underruns);
    case STREAM_INFO_NUM_ANNOUNCED:
      return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, announced.size());
    case STREAM_INFO_NUM_QUEUED:
      return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, input.size());
    case STREAM_INFO_NUM_AWAIT_DELIVERY:
      return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, output.size());
    case STREAM_INFO_NUM_STARTED:
      return ValueInfo<std::uint64_t>(INFO_DATATYPE_UINT64, started);
    case STREAM_INFO_PAYLOAD_SIZE:
      return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, core->camera.PayloadSize());
    case STREAM_INFO_IS_GRABBING:
      return ValueInfo<bool8_t>(INFO_DATATYPE_BOOL8, acquiring);
    case STREAM_INFO_DEFINES_PAYLOADSIZE:
      // A camera described by a file of the user's has no PayloadSize we could serve.
      return ValueInfo<bool8_t>(INFO_DATATYPE_BOOL8, !core->camera.DefinesOwnRegisters());
    case STREAM_INFO_TLTYPE:
      return StringInfo(TLType());
    case STREAM_INFO_NUM_CHUNKS_MAX:
      return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, 0);
    case STREAM_INFO_BUF_ANNOUNCE_MIN:
      return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, kAnnounceMin);
    case STREAM_INFO_BUF_ALIGNMENT:
      return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, kAlignment);
    default:
      throw Error(GC_ERR_NOT_IMPLEMENTED,
                  "stream info command " + std::to_string(cmd) + " is not offered");
  }
}

Info Stream::GetBufferInfo(Buffer& b, BUFFER_INFO_CMD cmd) {
  std::lock_guard<std::mutex> lock(core->m);
  const FrameSettings& s = b.settings;
  const auto sizet = [](std::size_t v) { return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, v); };
  const auto boolean = [](bool v) { return ValueInfo<bool8_t>(INFO_DATATYPE_BOOL8, v); };
  const auto u64 = [](std::uint64_t v) {
    return ValueInfo<std::uint64_t>(INFO_DATATYPE_UINT64, v);
  };
  switch (cmd) {
    case BUFFER_INFO_BASE:
      return ValueInfo<void*>(INFO_DATATYPE_PTR, b.base);
    case BUFFER_INFO_SIZE:
      return sizet(b.size);
    case BUFFER_INFO_USER_PTR:
      return ValueInfo<void*>(INFO_DATATYPE_PTR, b.user);
    case BUFFER_INFO_TIMESTAMP:
    case BUFFER_INFO_TIMESTAMP_NS:
      return u64(b.timestamp_ns);
    case BUFFER_INFO_NEW_DATA:
      return boolean(b.new_data);
    case BUFFER_INFO_IS_QUEUED:
      return boolean(QueuedState(b.state));
    case BUFFER_INFO_IS_ACQUIRING:
      return boolean(b.state == BufferState::Filling);
    case BUFFER_INFO_IS_INCOMPLETE:
      return boolean(b.incomplete);
    case BUFFER_INFO_TLTYPE:
      return StringInfo(TLType());
    case BUFFER_INFO_SIZE_FILLED:
    case BUFFER_INFO_DATA_SIZE:
      return sizet(b.filled);
    case BUFFER_INFO_WIDTH:
      return sizet(std::size_t(s.width));
    case BUFFER_INFO_HEIGHT:
      return sizet(std::size_t(s.height));
    case BUFFER_INFO_XOFFSET:
      return sizet(std::size_t(s.offset_x));
    case BUFFER_INFO_YOFFSET:
      return sizet(std::size_t(s.offset_y));
    case BUFFER_INFO_XPADDING:
    case BUFFER_INFO_YPADDING:
    case BUFFER_INFO_IMAGEOFFSET:
    case BUFFER_INFO_DELIVERED_CHUNKPAYLOADSIZE:
      return sizet(0);
    case BUFFER_INFO_FRAMEID:
      return u64(b.frame_id);
    case BUFFER_INFO_IMAGEPRESENT:
      return boolean(b.new_data && b.lines > 0);
    case BUFFER_INFO_PAYLOADTYPE:
      return sizet(PAYLOAD_TYPE_IMAGE);
    case BUFFER_INFO_PIXELFORMAT:
      return u64(s.pixel_format);
    case BUFFER_INFO_PIXELFORMAT_NAMESPACE:
      return u64(PIXELFORMAT_NAMESPACE_PFNC_32BIT);
    case BUFFER_INFO_DELIVERED_IMAGEHEIGHT:
      return sizet(b.lines);
    case BUFFER_INFO_CHUNKLAYOUTID:
      return u64(0);
    case BUFFER_INFO_PIXEL_ENDIANNESS:
      return ValueInfo<std::int32_t>(INFO_DATATYPE_INT32, PIXELENDIANNESS_LITTLE);
    case BUFFER_INFO_DATA_LARGER_THAN_BUFFER:
      return boolean(b.larger_than_buffer);
    case BUFFER_INFO_CONTAINS_CHUNKDATA:
    case BUFFER_INFO_IS_COMPOSITE:
      return boolean(false);
    default:
      throw Error(GC_ERR_NOT_IMPLEMENTED,
                  "buffer info command " + std::to_string(cmd) + " is not offered");
  }
}

std::uint32_t Stream::NumParts(Buffer& b) {
  std::lock_guard<std::mutex> lock(core->m);
  return b.new_data ? 1 : 0;
}

Info Stream::GetBufferPartInfo(Buffer& b, std::uint32_t part, BUFFER_PART_INFO_CMD cmd) {
  {
    std::lock_guard<std::mutex> lock(core->m);
    if (!b.new_data || part != 0)
      throw Error(GC_ERR_INVALID_INDEX,
                  "part " + std::to_string(part) + ": buffer " + std::to_string(b.index) +
                      (b.new_data ? " holds one part (index 0)" : " holds no new data"));
  }
  // The same answers as the buffer's own info (each takes the device's mutex).
  const auto same = [&](BUFFER_INFO_CMD buffer_cmd) { return GetBufferInfo(b, buffer_cmd); };
  const auto sizet = [](std::size_t v) { return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, v); };
  const auto u64 = [](std::uint64_t v) {
    return ValueInfo<std::uint64_t>(INFO_DATATYPE_UINT64, v);
  };
  switch (cmd) {
    case BUFFER_PART_INFO_BASE:
      return same(BUFFER_INFO_BASE);  // the image starts the buffer (IMAGEOFFSET 0)
    case BUFFER_PART_INFO_DATA_SIZE:
      return same(BUFFER_INFO_DATA_SIZE);
    case BUFFER_PART_INFO_DATA_TYPE:
      return sizet(PART_DATATYPE_2D_IMAGE);
    case BUFFER_PART_INFO_DATA_FORMAT:
      return same(BUFFER_INFO_PIXELFORMAT);
    case BUFFER_PART_INFO_DATA_FORMAT_NAMESPACE:
      return same(BUFFER_INFO_PIXELFORMAT_NAMESPACE);
    case BUFFER_PART_INFO_WIDTH:
      return same(BUFFER_INFO_WIDTH);
    case BUFFER_PART_INFO_HEIGHT:
      return same(BUFFER_INFO_HEIGHT);
    case BUFFER_PART_INFO_XOFFSET:
      return same(BUFFER_INFO_XOFFSET);
    case BUFFER_PART_INFO_YOFFSET:
      return same(BUFFER_INFO_YOFFSET);
    case BUFFER_PART_INFO_XPADDING:
      return same(BUFFER_INFO_XPADDING);
    case BUFFER_PART_INFO_DELIVERED_IMAGEHEIGHT:
      return same(BUFFER_INFO_DELIVERED_IMAGEHEIGHT);
    case BUFFER_PART_INFO_SOURCE_ID:
    case BUFFER_PART_INFO_REGION_ID:
    case BUFFER_PART_INFO_DATA_PURPOSE_ID:
      return u64(0);  // one source, one region, no particular purpose
    default:
      throw Error(GC_ERR_NOT_IMPLEMENTED,
                  "buffer part info command " + std::to_string(cmd) + " is not offered");
  }
}

std::shared_ptr<Buffer> Stream::Own(void* handle) {
  auto b = Lib().Get<Buffer>(handle, Kind::Buffer);
  if (b->stream != this)
    throw Error(GC_ERR_INVALID_HANDLE, "buffer 0x" + HexDigits(std::uintptr_t(handle)) +
                                           " belongs to another data stream");
  return b;
}

std::shared_ptr<Buffer> Stream::Announce(void* memory, std::size_t size, void* user) {
  if (size == 0) throw Error(GC_ERR_INVALID_PARAMETER, "a buffer of 0 bytes cannot be announced");
  auto b = std::make_shared<Buffer>();
  if (memory) {
    if (reinterpret_cast<std::uintptr_t>(memory) % kAlignment)
      throw Error(GC_ERR_INVALID_PARAMETER,
                  "buffer memory at 0x" + HexDigits(reinterpret_cast<std::uintptr_t>(memory)) +
                      " is not aligned to " + std::to_string(kAlignment) +
                      " bytes (STREAM_INFO_BUF_ALIGNMENT)");
    b->base = static_cast<std::uint8_t*>(memory);
  } else {
    b->storage.reset(new std::uint8_t[size + kAlignment]);
    const auto p = reinterpret_cast<std::uintptr_t>(b->storage.get());
    b->base = b->storage.get() + (kAlignment - p % kAlignment) % kAlignment;
  }
  b->size = size;
  b->user = user;
  b->stream = this;
  std::lock_guard<std::mutex> lock(core->m);
  if (memory)
    for (const auto& other : announced)
      if (other->base < b->base + size && b->base < other->base + other->size)
        throw Error(GC_ERR_RESOURCE_IN_USE,
                    "the memory at 0x" + HexDigits(reinterpret_cast<std::uintptr_t>(memory)) +
                        " overlaps a buffer announced before");
  b->index = next_buffer_index++;
  announced.push_back(b);
  Lib().Add(b);
  return b;
}

void Stream::Queue(Buffer& b) {
  std::lock_guard<std::mutex> lock(core->m);
  if (QueuedState(b.state))
    throw Error(GC_ERR_ACCESS_DENIED, "buffer " + std::to_string(b.index) +
                                          " is already queued (it is " + StateName(b.state) +
                                          "); only a delivered or unqueued buffer can be queued");
  b.state = BufferState::Input;
  b.new_data = false;
  b.filled = 0;
  input.push_back(&b);
  core->worker_cv.notify_all();
}

void Stream::Revoke(Buffer& b, void** memory, void** user) {
  std::shared_ptr<Buffer> keep;
  {
    std::lock_guard<std::mutex> lock(core->m);
    if (QueuedState(b.state))
      throw Error(GC_ERR_BUSY, "buffer " + std::to_string(b.index) + " cannot be revoked: it is " +
                                   StateName(b.state) + " (flush the queues first)");
    const auto it = std::find_if(announced.begin(), announced.end(),
                                 [&](const auto& p) { return p.get() == &b; });
    if (it != announced.end()) {
      keep = *it;
      announced.erase(it);
    }
  }
  if (memory) *memory = b.storage ? nullptr : b.base;
  if (user) *user = b.user;
  Lib().Remove(&b);
}

std::shared_ptr<Buffer> Stream::BufferAt(std::uint32_t index) {
  std::lock_guard<std::mutex> lock(core->m);
  if (index >= announced.size())
    throw Error(GC_ERR_INVALID_INDEX, "buffer index " + std::to_string(index) + " is past the " +
                                          std::to_string(announced.size()) + " announced buffers");
  return announced[index];
}

void Stream::Flush(ACQ_QUEUE_TYPE operation) {
  std::lock_guard<std::mutex> lock(core->m);
  const auto move_all = [](std::deque<Buffer*>& from, std::deque<Buffer*>& to, BufferState s) {
    for (Buffer* b : from) {
      b->state = s;
      to.push_back(b);
    }
    from.clear();
  };
  std::deque<Buffer*> none;
  const auto unqueued_to_input = [&] {
    for (const auto& b : announced)
      if (b->state == BufferState::Announced || b->state == BufferState::Delivered) {
        b->state = BufferState::Input;
        b->new_data = false;
        b->filled = 0;
        input.push_back(b.get());
      }
  };
  switch (operation) {
    case ACQ_QUEUE_INPUT_TO_OUTPUT:
      for (Buffer* b : input) b->new_data = false;
      if (event) event->fired += input.size();
      move_all(input, output, BufferState::Output);
      core->event_cv.notify_all();
      break;
    case ACQ_QUEUE_OUTPUT_DISCARD:
      move_all(output, none, BufferState::Announced);
      break;
    case ACQ_QUEUE_ALL_TO_INPUT:
      move_all(output, none, BufferState::Announced);
      unqueued_to_input();
      break;
    case ACQ_QUEUE_UNQUEUED_TO_INPUT:
      unqueued_to_input();
      break;
    case ACQ_QUEUE_ALL_DISCARD:
      move_all(input, none, BufferState::Announced);
      move_all(output, none, BufferState::Announced);
      break;
    default:
      throw Error(GC_ERR_INVALID_PARAMETER,
                  "flush operation " + std::to_string(operation) + " is unknown");
  }
  core->worker_cv.notify_all();
}

void Stream::Start(std::uint64_t count) {
  std::thread finished;  // a thread that ended by itself (its frame count reached)
  {
    std::lock_guard<std::mutex> lock(core->m);
    if (acquiring) throw Error(GC_ERR_RESOURCE_IN_USE, "acquisition on " + id + " already runs");
    if (announced.size() < kAnnounceMin)
      throw Error(GC_ERR_INVALID_BUFFER, std::to_string(announced.size()) +
                                             " buffers are announced; acquisition needs at least " +
                                             std::to_string(kAnnounceMin) +
                                             " (STREAM_INFO_BUF_ANNOUNCE_MIN)");
    if (count == 0) throw Error(GC_ERR_INVALID_PARAMETER, "iNumToAcquire is 0");
    finished = std::move(worker);
  }
  if (finished.joinable()) finished.join();
  if (!scene) scene = SceneTexture::ForSensor(core->camera.Opt().width, core->camera.Opt().height);
  std::lock_guard<std::mutex> lock(core->m);
  acquiring = true;
  stop_requested = false;
  kill = false;
  to_acquire = count;
  acquired = 0;
  core->camera.SetStreamRunning(true);
  auto self = std::static_pointer_cast<Stream>(shared_from_this());
  worker = std::thread([self] { self->Run(); });
}

void Stream::Stop(bool kill_now) {
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(core->m);
    stop_requested = true;
    kill = kill_now;
    t = std::move(worker);
    core->worker_cv.notify_all();
  }
  if (t.joinable()) t.join();
  std::lock_guard<std::mutex> lock(core->m);
  acquiring = false;
  core->camera.SetStreamRunning(false);
}

void Stream::Run() {
  std::unique_lock<std::mutex> lock(core->m);
  Camera& cam = core->camera;
  const auto period = [&] {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / std::max(0.1, cam.FrameRate())));
  };
  bool was_capturing = false;
  Clock::time_point due{};
  while (!stop_requested) {
    if (!cam.Capturing()) {
      was_capturing = false;
      core->worker_cv.wait(lock);
      continue;
    }
    if (!was_capturing) {
      was_capturing = true;
      due = Clock::now() + period();
    }
    Clock::time_point captured;
    if (cam.FrameTriggered()) {
      if (cam.PendingFrameTriggers() == 0) {
        core->worker_cv.wait(lock);
        due = Clock::now() + period();  // for a switch back to free-running
        continue;
      }
      captured = Clock::now();
    } else {
      if (Clock::now() < due) {
        core->worker_cv.wait_until(lock, due);
        continue;  // settings may have changed meanwhile
      }
      captured = due;
      due += period();
      if (due < Clock::now()) due = Clock::now();  // fell behind: no burst to catch up
    }
    if (!cam.BeginFrame()) {  // lost just now
      core->event_cv.notify_all();
      continue;
    }
    if (input.empty()) {
      ++underruns;
      continue;
    }
    Buffer* b = input.front();
    input.pop_front();
    b->state = BufferState::Filling;
    ++started;
    const FrameSettings settings = cam.Settings();
    const std::uint64_t frame_id = started;
    const std::int64_t every = cam.Opt().incomplete_every;
    const bool damaged = every > 0 && frame_id % std::uint64_t(every) == 0;
    lock.unlock();
    const std::size_t written = RenderFrame(*scene, settings, frame_id, b->base, b->size);
    lock.lock();
    if (cam.Opt().delay_ms > 0)
      core->worker_cv.wait_until(lock, captured + std::chrono::milliseconds(cam.Opt().delay_ms),
                                 [&] { return stop_requested && kill; });
    if (stop_requested && kill) {
      b->state = BufferState::Input;
      input.push_front(b);
      break;
    }
    const std::size_t payload = settings.Bytes();
    const std::size_t line_bytes =
        std::size_t(settings.width) * std::size_t(BytesPerPixel(settings.pixel_format));
    b->settings = settings;
    b->frame_id = frame_id;
    b->timestamp_ns = std::uint64_t(
        std::chrono::duration_cast<std::chrono::nanoseconds>(captured.time_since_epoch()).count());
    b->larger_than_buffer = payload > b->size;
    b->filled = damaged ? written / 2 : written;
    b->lines = line_bytes ? b->filled / line_bytes : 0;
    b->incomplete = damaged || b->larger_than_buffer;
    b->new_data = true;
    b->state = BufferState::Output;
    output.push_back(b);
    ++delivered;
    ++acquired;
    if (event) ++event->fired;
    core->event_cv.notify_all();
    if (to_acquire != GENTL_INFINITE && acquired >= to_acquire) {
      acquiring = false;
      cam.SetStreamRunning(false);
      break;
    }
  }
}

void Stream::Close() {
  Stop(true);
  UnregisterNewBufferEvent(*this);
  std::vector<std::shared_ptr<Buffer>> buffers;
  {
    std::lock_guard<std::mutex> lock(core->m);
    input.clear();
    output.clear();
    buffers.swap(announced);
  }
  for (const auto& b : buffers) Lib().Remove(b.get());
}

// ---- Events -----------------------------------------------------------------------------------

std::shared_ptr<Event> RegisterNewBufferEvent(Stream& stream) {
  std::lock_guard<std::mutex> lock(stream.core->m);
  if (stream.event)
    throw Error(GC_ERR_RESOURCE_IN_USE,
                "the NEW_BUFFER event of " + stream.id + " is already registered");
  auto e = std::make_shared<Event>();
  e->core = stream.core;
  e->stream = std::static_pointer_cast<Stream>(stream.shared_from_this());
  stream.event = e;
  Lib().Add(e);
  return e;
}

void UnregisterNewBufferEvent(Stream& stream) {
  std::shared_ptr<Event> e;
  {
    std::lock_guard<std::mutex> lock(stream.core->m);
    e = std::move(stream.event);
    if (!e) return;
    e->registered = false;
    stream.core->event_cv.notify_all();  // waiters end with GC_ERR_ABORT
  }
  Lib().Remove(e.get());
}

void WaitNewBuffer(Event& e, void* buffer, std::size_t* size, std::uint64_t timeout_ms) {
  if (!size) throw Error(GC_ERR_INVALID_PARAMETER, "the size pointer (piSize) is NULL");
  if (!buffer) {
    *size = sizeof(EVENT_NEW_BUFFER_DATA);
    return;
  }
  if (*size < sizeof(EVENT_NEW_BUFFER_DATA)) {
    const std::size_t given = *size;
    *size = sizeof(EVENT_NEW_BUFFER_DATA);
    throw Error(GC_ERR_BUFFER_TOO_SMALL, "the event buffer holds " + std::to_string(given) +
                                             " bytes; NEW_BUFFER data needs " +
                                             std::to_string(sizeof(EVENT_NEW_BUFFER_DATA)));
  }
  std::unique_lock<std::mutex> lock(e.core->m);
  const auto stream = e.stream.lock();
  if (!e.registered || !stream) throw Error(GC_ERR_ABORT, "the event was unregistered");
  if (e.kill_pending) {
    e.kill_pending = false;
    throw Error(GC_ERR_ABORT, "the wait was ended by EventKill");
  }
  const std::uint64_t kills = e.kills;
  Camera& cam = e.core->camera;
  const auto ready = [&] {
    return !stream->output.empty() || e.kills != kills || !e.registered || cam.Lost();
  };
  ++e.waiters;
  if (timeout_ms == GENTL_INFINITE) {
    e.core->event_cv.wait(lock, ready);
  } else {
    // A timeout beyond any practical wait is as good as infinite (and cannot overflow).
    const auto limit = std::chrono::milliseconds(std::min<std::uint64_t>(timeout_ms, 1ull << 40));
    e.core->event_cv.wait_for(lock, limit, ready);
  }
  --e.waiters;
  if (e.kills != kills) throw Error(GC_ERR_ABORT, "the wait was ended by EventKill");
  if (!e.registered) throw Error(GC_ERR_ABORT, "the event was unregistered");
  // A camera that handed out its lose_after frames is gone: it delivers nothing more, not even
  // frames that were still queued.
  if (!stream->output.empty() && !cam.MayDeliver()) cam.Lose();
  if (cam.Lost()) throw Error(GC_ERR_IO, cam.LostMessage());
  if (stream->output.empty()) {
    throw Error(GC_ERR_TIMEOUT,
                "no new buffer within " + std::to_string(timeout_ms) + " ms on " + stream->id);
  }
  Buffer* b = stream->output.front();
  stream->output.pop_front();
  b->state = BufferState::Delivered;
  if (b->new_data) cam.FrameDelivered();
  EVENT_NEW_BUFFER_DATA data{b, b->user};
  std::memcpy(buffer, &data, sizeof data);
  *size = sizeof data;
}

Info EventInfo(Event& e, EVENT_INFO_CMD cmd) {
  std::lock_guard<std::mutex> lock(e.core->m);
  const auto stream = e.stream.lock();
  switch (cmd) {
    case EVENT_EVENT_TYPE:
      return ValueInfo<std::int32_t>(INFO_DATATYPE_INT32, EVENT_NEW_BUFFER);
    case EVENT_NUM_IN_QUEUE:
      return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, stream ? stream->output.size() : 0);
    case EVENT_NUM_FIRED:
      return ValueInfo<std::uint64_t>(INFO_DATATYPE_UINT64, e.fired);
    case EVENT_SIZE_MAX:
      return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, sizeof(EVENT_NEW_BUFFER_DATA));
    case EVENT_INFO_DATA_SIZE_MAX:
      return ValueInfo<std::size_t>(INFO_DATATYPE_SIZET, sizeof(void*));
    default:
      throw Error(GC_ERR_NOT_IMPLEMENTED,
                  "event info command " + std::to_string(cmd) + " is not offered");
  }
}

void KillEvent(Event& e) {
  std::lock_guard<std::mutex> lock(e.core->m);
  ++e.kills;
  // Nobody waits yet: the next wait ends at once, so a kill racing with the start of a wait is
  // not lost.
  if (e.waiters == 0) e.kill_pending = true;
  e.core->event_cv.notify_all();
}

void FlushEvent(Event& e) {
  std::lock_guard<std::mutex> lock(e.core->m);
  if (const auto stream = e.stream.lock()) {
    for (Buffer* b : stream->output) b->state = BufferState::Announced;
    stream->output.clear();
  }
  e.kill_pending = false;
}

}  // namespace vision::simcam

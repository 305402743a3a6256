#include "camera/gentl/device.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "camera/features.h"
#include "camera/genapi/genapi.h"
#include "camera/gentl/info.h"
#include "camera/gentl/lane.h"
#include "camera/gentl/module_info.h"
#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/system.h"
#include "detail/text.h"
#include "gentl_shared/hex.h"
#include "vision/HErrorCodes.h"

namespace vision::detail::camera::gentl {
namespace {

using Clock = std::chrono::steady_clock;
using ::vision::gentl::Hex;

// A description larger than this is refused before it is read.
constexpr std::uint64_t kMaxDescriptionBytes = 64ull << 20;
// Buffers we want at least, whatever the stream's minimum, and the most we announce.
constexpr std::uint64_t kWantedBuffers = 4;
constexpr std::uint64_t kMaxBuffers = 64;

// How long a producer call may take: one that has no time-out of its own (a register access,
// opening a device, stopping a stream), and beyond its time-out one that has (waiting for a
// frame). A call that takes longer is abandoned and the camera given up (lane.h).
constexpr std::chrono::milliseconds kCallLimit{5000};
constexpr std::chrono::milliseconds kCallGrace{1000};

// Port failures that mean the camera stopped answering (a lost camera stays lost).
bool MeansLost(abi::GC_ERROR code) { return code == abi::GC_ERR_IO || code == abi::GC_ERR_TIMEOUT; }

// The remote device's registers as a GenApi port. A failure is kept (its GenTL code and the
// producer's reason) so the device can tell a lost camera from a refused value. The calls run on
// the device's call lane, into memory of the port's own (which lives as long as the device), so
// that a producer blocking in one can be given up.
class RemotePort final : public genapi::Port {
 public:
  RemotePort(DeviceState& s, abi::PORT_HANDLE port) : s_(s), port_(port) {}

  void Read(std::uint64_t address, void* data, std::size_t size) override;
  void Write(std::uint64_t address, const void* data, std::size_t size) override;

  abi::GC_ERROR LastFailure() const { return last_code_; }
  const std::string& LastReason() const { return last_reason_; }
  void ClearFailure() {
    last_code_ = abi::GC_ERR_SUCCESS;
    last_reason_.clear();
  }

 private:
  // One call on the lane: the result, the error read on the lane's thread (GCGetLastError is
  // per thread), the bytes moved.
  void Call(const char* function, std::uint64_t address, std::size_t size, bool write);
  // Raises the port failure at once while an abandoned call still runs.
  void RefuseWhileBusy(const char* function, std::uint64_t address);
  [[noreturn]] void Failed(abi::GC_ERROR r, const std::string& reason, const char* function,
                           std::uint64_t address) {
    last_code_ = r;
    last_reason_ = reason;
    throw genapi::PortError(std::string(function) + " at " + Hex(address) + ": " + reason);
  }
  [[noreturn]] void Short(const std::string& what) {
    last_code_ = abi::GC_ERR_IO;
    last_reason_ = "the producer " + what;
    throw genapi::PortError(last_reason_);
  }

  DeviceState& s_;
  abi::PORT_HANDLE port_;
  abi::GC_ERROR last_code_ = abi::GC_ERR_SUCCESS;
  std::string last_reason_;
  // Owned by the port, used by the lane's thread.
  std::vector<std::uint8_t> scratch_;
  abi::GC_ERROR result_ = abi::GC_ERR_SUCCESS;
  std::size_t moved_ = 0;
  std::string reason_;
};

// Reads a whole file, refusing one larger than the limit.
std::string ReadDescriptionFile(const std::string& path, std::string* problem) {
  // Only a regular file: opening a FIFO would wait for a writer, a device could be endless.
  std::error_code ec;
  const auto status =
      std::filesystem::status(std::filesystem::path(std::u8string(
                                  reinterpret_cast<const char8_t*>(path.data()), path.size())),
                              ec);
  if (ec || !std::filesystem::is_regular_file(status)) {
    *problem = "'" + path + "' " +
               (ec || !std::filesystem::exists(status) ? std::string("does not exist")
                : std::filesystem::is_fifo(status)     ? std::string("is a FIFO, not a file")
                                                       : std::string("is not a regular file"));
    return {};
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *problem = "the file '" + path + "' cannot be opened";
    return {};
  }
  std::string bytes;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    bytes.append(chunk, std::size_t(in.gcount()));
    if (bytes.size() > kMaxDescriptionBytes) {
      *problem = "the file '" + path + "' is larger than " + std::to_string(kMaxDescriptionBytes) +
                 " bytes";
      return {};
    }
  }
  return bytes;
}

}  // namespace

// Everything the device and its stream share.
// Buffers of a stream that still need stopping, flushing and revoking (a stream stopped while
// an abandoned call ran finishes when it has returned).
struct StreamBuffer {
  abi::BUFFER_HANDLE handle = nullptr;
  std::uint8_t* memory = nullptr;
  std::size_t size = 0;
};
struct Teardown {
  bool stop = false;  // DSStopAcquisition still to be called
  abi::EVENT_HANDLE event = nullptr;
  std::vector<StreamBuffer> buffers;
  std::size_t alignment = 64;
};

struct DeviceState {
  std::shared_ptr<InterfaceHandle> iface;
  const Library* lib = nullptr;
  DeviceInfo info;
  std::set<std::string> reject_interface;
  abi::DEV_HANDLE device = nullptr;
  abi::PORT_HANDLE remote = nullptr;
  abi::DS_HANDLE stream = nullptr;  // opened at the first start
  std::unique_ptr<RemotePort> port;
  std::unique_ptr<genapi::NodeMap> features;
  std::uint64_t probe_address = 0;  // a register that always reads: the description's start
  std::atomic<bool> lost{false};
  std::string lost_reason;
  // The blocking calls of this camera run here; a lease on this state while one is abandoned.
  CallLane lane;
  std::function<std::shared_ptr<DeviceState>()> lease;  // set once the device is registered
  std::optional<Clock::time_point> grab_deadline;       // while a grab waits
  std::vector<Teardown> pending;
  bool acquiring = false;
  std::uint64_t frames = 0;  // frames delivered since the device was opened
  // Buffer memory the producer could not give back (a failed revoke): freed after DSClose.
  std::vector<std::pair<void*, std::size_t>> orphaned;

  // "producer '<path>'", for messages about what the producer said.
  std::string Producer() const { return "producer '" + lib->Path() + "'"; }
  std::string Name() const {
    if (info.model.empty() && info.serial.empty()) return "'" + info.id + "'";
    return "'" + info.model + (info.model.empty() || info.serial.empty() ? "" : " ") + info.serial +
           "'";
  }

  [[noreturn]] void Lost() const {
    throw DeviceError(err::kAcqLost, "camera " + Name() + " no longer answers" +
                                         (lost_reason.empty() ? "" : ": " + lost_reason));
  }
  void CheckPresent() const {
    if (lost) Lost();
  }
  // After a port failure: lost when it says so.
  void NotePortFailure() {
    if (!lost && port && MeansLost(port->LastFailure())) {
      lost_reason = port->LastReason();
      lost = true;
    }
  }
  // Whether the camera still answers (a register read).
  bool Alive() {
    if (lost) return false;
    std::uint8_t probe[4];
    try {
      port->Read(probe_address, probe, sizeof probe);
      return true;
    } catch (const genapi::PortError&) {
      NotePortFailure();
      return !lost;
    }
  }
  // Writes a feature as part of starting or stopping; failures are ignored (the feature may be
  // missing, read-only, or the camera gone).
  void TrySetInteger(const char* name, std::int64_t v) {
    try {
      if (features->Has(name) && features->AccessOf(name) == genapi::Access::kRW)
        features->SetInteger(name, v);
    } catch (const genapi::Error&) {
      NotePortFailure();
    } catch (...) {
    }
  }
  void TryExecute(const char* name) {
    try {
      if (features->Has(name)) features->Execute(name);
    } catch (const genapi::Error&) {
      NotePortFailure();
    } catch (...) {
    }
  }

  // How long the next call may take: kCallLimit, and while a grab waits no longer than its
  // time-out leaves (plus kCallGrace).
  std::chrono::milliseconds CallLimit() const {
    if (!grab_deadline) return kCallLimit;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*grab_deadline - Clock::now());
    return std::min(kCallLimit, std::max(left, std::chrono::milliseconds(0)) + kCallGrace);
  }
  // Runs a producer call on the lane, waiting at most limit. False when it was abandoned (or an
  // earlier abandoned call still runs): the camera is then lost, and kept open until the call
  // returns.
  bool Bounded(const char* function, std::function<void()> work, std::chrono::milliseconds limit) {
    const bool earlier = lane.Busy();
    if (!earlier && lane.Run(std::move(work), limit)) return true;
    if (!lost) {
      lost_reason =
          Producer() + ": " +
          (earlier ? std::string("an earlier call has not returned yet (") + function + " not made)"
                   : std::string(function) + " did not return within " +
                         std::to_string(limit.count()) + " ms");
      lost = true;
    }
    if (lease) lane.Keep(lease());
    return false;
  }
  // Stops what is left of a stream: new-buffer events, the queues, every buffer revoked (the
  // memory freed, or kept until DSClose when the producer will not give it back).
  void Finish(Teardown& t) noexcept {
    if (t.stop) GENTL_CALL(*lib, DSStopAcquisition, stream, abi::ACQ_STOP_FLAGS_KILL);
    t.stop = false;
    if (t.event) {
      GENTL_CALL(*lib, EventKill, t.event);
      GENTL_CALL(*lib, GCUnregisterEvent, stream, abi::EVENT_NEW_BUFFER);
    }
    if (stream) GENTL_CALL(*lib, DSFlushQueue, stream, abi::ACQ_QUEUE_ALL_DISCARD);
    for (const StreamBuffer& b : t.buffers) {
      void* memory = nullptr;
      void* user = nullptr;
      if (GENTL_CALL(*lib, DSRevokeBuffer, stream, b.handle, &memory, &user) == abi::GC_ERR_SUCCESS)
        ::operator delete(b.memory, std::align_val_t(t.alignment));
      else
        orphaned.emplace_back(b.memory, t.alignment);  // the producer may still hold it
    }
    t.buffers.clear();
    t.event = nullptr;
  }

  // Runs when the last holder lets go, which an abandoned call's lease delays until it returns.
  ~DeviceState() {
    features.reset();
    for (Teardown& t : pending) Finish(t);
    if (stream) GENTL_CALL(*lib, DSClose, stream);
    for (auto& [memory, alignment] : orphaned)
      ::operator delete(memory, std::align_val_t(alignment));
    if (device) GENTL_CALL(*lib, DevClose, device);
  }
};

void RemotePort::Call(const char* function, std::uint64_t address, std::size_t size, bool write) {
  const Library& lib = *s_.lib;
  const bool done = s_.Bounded(
      function,
      [this, &lib, function, address, size, write] {
        std::size_t n = size;
        result_ = write ? GENTL_CALL(lib, GCWritePort, port_, address, scratch_.data(), &n)
                        : GENTL_CALL(lib, GCReadPort, port_, address, scratch_.data(), &n);
        moved_ = n;
        reason_ =
            result_ == abi::GC_ERR_SUCCESS ? std::string() : lib.Error(result_, function).Reason();
      },
      s_.CallLimit());
  if (!done) Failed(abi::GC_ERR_TIMEOUT, s_.lost_reason, function, address);
  if (result_ != abi::GC_ERR_SUCCESS) Failed(result_, reason_, function, address);
}

void RemotePort::RefuseWhileBusy(const char* function, std::uint64_t address) {
  if (!s_.lane.Busy()) return;
  // The abandoned call may still write into the scratch memory: it is not touched.
  s_.Bounded(
      function, [] {}, kCallLimit);
  Failed(abi::GC_ERR_TIMEOUT, s_.lost_reason, function, address);
}

void RemotePort::Read(std::uint64_t address, void* data, std::size_t size) {
  RefuseWhileBusy("GCReadPort", address);
  scratch_.assign(size, 0);
  Call("GCReadPort", address, size, false);
  if (moved_ != size)
    Short("read " + std::to_string(moved_) + " of " + std::to_string(size) + " bytes at " +
          Hex(address));
  std::memcpy(data, scratch_.data(), size);
}

void RemotePort::Write(std::uint64_t address, const void* data, std::size_t size) {
  RefuseWhileBusy("GCWritePort", address);
  scratch_.assign(static_cast<const std::uint8_t*>(data),
                  static_cast<const std::uint8_t*>(data) + size);
  Call("GCWritePort", address, size, true);
  if (moved_ != size)
    Short("wrote " + std::to_string(moved_) + " of " + std::to_string(size) + " bytes at " +
          Hex(address));
}

namespace {

// Opens the device's first data stream into s.stream; raises DeviceError (kAcqOpen).
void OpenFirstDataStream(DeviceState& s);

class GenTLStream final : public Stream {
 public:
  explicit GenTLStream(std::shared_ptr<DeviceState> s) : s_(std::move(s)) {
    try {
      Start();
    } catch (...) {
      Stop();
      throw;
    }
  }
  ~GenTLStream() override { Stop(); }

  PopStatus Pop(int timeout_ms, const std::function<void(const Frame&)>& consume,
                std::string* detail) override;
  void Flush() override;
  StreamCounters Counters() const override;
  void Abort() override {
    aborted_ = true;
    if (event_) GENTL_CALL(*s_->lib, EventKill, event_);
  }

 private:
  using Buffer = StreamBuffer;
  // What a wait for the new-buffer event gave; shared with the lane, which may outlive the wait.
  struct EventOutcome {
    abi::GC_ERROR result = abi::GC_ERR_SUCCESS;
    abi::EVENT_NEW_BUFFER_DATA data{};
    std::string error;  // the failure's message, read on the lane's thread
  };

  // Start's steps: the data stream opened (at the first start), the payload, the buffers
  // announced and queued with the stream started, then the camera.
  void Start();
  void OpenDataStream();
  std::uint64_t PayloadSize();
  void AnnounceBuffers(std::uint64_t payload);
  void StartCamera();
  std::optional<std::uint64_t> StreamNumber(abi::STREAM_INFO_CMD cmd) const;
  void Stop() noexcept;
  // Pop's two halves: waiting for the new-buffer event (a status when the wait ended without
  // one), and handing out the frame of the buffer it names.
  std::optional<PopStatus> Wait(int timeout_ms, abi::EVENT_NEW_BUFFER_DATA* out,
                                std::string* detail);
  PopStatus Deliver(const abi::EVENT_NEW_BUFFER_DATA& data,
                    const std::function<void(const Frame&)>& consume, std::string* detail);
  [[noreturn]] void StartFailed(const std::string& what, const GenTLError& e) const {
    throw DeviceError(err::kAcqOpen, "camera " + s_->Name() + ": " + what + ": " + e.Reason());
  }
  // Waits up to wait_ms for the new-buffer event on the lane: the producer's result, or none
  // when the call was given up (the camera is then lost).
  std::optional<abi::GC_ERROR> GetEvent(std::uint64_t wait_ms, abi::EVENT_NEW_BUFFER_DATA* out,
                                        std::string* error);
  std::chrono::milliseconds EventLimit(std::uint64_t wait_ms) const;
  // Gives a delivered buffer back to the stream. A failure breaks the stream: the grab that
  // caused it reports it, and so does every later one.
  void Requeue(abi::BUFFER_HANDLE handle) noexcept {
    const abi::GC_ERROR r = GENTL_CALL(*s_->lib, DSQueueBuffer, s_->stream, handle);
    if (r == abi::GC_ERR_SUCCESS || !broken_.empty()) return;
    try {
      broken_ = s_->lib->Error(r, "DSQueueBuffer").what();
    } catch (...) {
      broken_ = "DSQueueBuffer failed";
    }
  }
  template <abi::BUFFER_INFO_CMD Cmd>
  std::optional<std::uint64_t> BufferNumber(abi::BUFFER_HANDLE h) const {
    const Library& lib = *s_->lib;
    abi::DS_HANDLE ds = s_->stream;
    return TryInfoUnsigned([&](abi::INFO_DATATYPE* t, void* b, std::size_t* n) {
      return GENTL_CALL(lib, DSGetBufferInfo, ds, h, Cmd, t, b, n);
    });
  }

  std::shared_ptr<DeviceState> s_;
  std::vector<Buffer> buffers_;
  std::size_t alignment_ = 64;
  abi::EVENT_HANDLE event_ = nullptr;
  bool ds_started_ = false;
  bool camera_started_ = false;
  bool locked_ = false;
  std::atomic<bool> aborted_{false};
  // What the camera was set to at the start, for producers that do not describe buffers.
  std::uint32_t pixel_format_ = 0;
  int width_ = 0, height_ = 0;
  StreamCounters counters_;
  std::string broken_;  // why the stream broke (a buffer could not be queued again)
};

void GenTLStream::Start() {
  DeviceState& s = *s_;
  s.CheckPresent();
  if (!s.stream) OpenDataStream();
  // Geometry and payload are fixed from here on.
  if (s.features->Has("TLParamsLocked")) {
    s.TrySetInteger("TLParamsLocked", 1);
    locked_ = true;
  }
  s.CheckPresent();
  AnnounceBuffers(PayloadSize());
  StartCamera();
}

std::optional<std::uint64_t> GenTLStream::StreamNumber(abi::STREAM_INFO_CMD cmd) const {
  const Library& lib = *s_->lib;
  abi::DS_HANDLE ds = s_->stream;
  return TryInfoUnsigned([&](abi::INFO_DATATYPE* t, void* b, std::size_t* n) {
    return GENTL_CALL(lib, DSGetInfo, ds, cmd, t, b, n);
  });
}

void GenTLStream::OpenDataStream() { OpenFirstDataStream(*s_); }

void OpenFirstDataStream(DeviceState& s) {
  const Library& lib = *s.lib;
  std::uint32_t n = 0;
  try {
    GENTL_CHECK(lib, DevGetNumDataStreams, s.device, &n);
    if (n == 0) lib.Wrong("DevGetNumDataStreams", "reports no data stream");
    const std::string id =
        InfoText(lib, "DevGetDataStreamID", [&](abi::INFO_DATATYPE* t, void* b, std::size_t* z) {
          *t = abi::INFO_DATATYPE_STRING;
          return GENTL_CALL(lib, DevGetDataStreamID, s.device, 0u, static_cast<char*>(b), z);
        });
    GENTL_CHECK(lib, DevOpenDataStream, s.device, id.c_str(), &s.stream);
  } catch (const GenTLError& e) {
    throw DeviceError(err::kAcqOpen,
                      "camera " + s.Name() + ": its data stream cannot be opened: " + e.Reason());
  }
}

std::uint64_t GenTLStream::PayloadSize() {
  DeviceState& s = *s_;
  genapi::NodeMap& f = *s.features;
  std::uint64_t payload = 0;
  const char* source = "the camera's PayloadSize feature";
  const bool stream_defines = StreamNumber(abi::STREAM_INFO_DEFINES_PAYLOADSIZE).value_or(0) != 0;
  if (!stream_defines && f.Has("PayloadSize")) {
    try {
      const std::int64_t p = f.GetInteger("PayloadSize");
      if (p < 0)
        throw DeviceError(err::kAcqOpen, "camera " + s.Name() + " reports a PayloadSize of " +
                                             std::to_string(p) + " bytes");
      payload = std::uint64_t(p);
    } catch (const genapi::Error& e) {
      s.NotePortFailure();
      s.CheckPresent();
      throw DeviceError(err::kAcqOpen,
                        "camera " + s.Name() + " gives no PayloadSize: " + std::string(e.what()));
    }
  }
  if (payload == 0) {
    payload = StreamNumber(abi::STREAM_INFO_PAYLOAD_SIZE).value_or(0);
    source = "DSGetInfo STREAM_INFO_PAYLOAD_SIZE";
  }
  // A buffer holds one image: the largest one the library can make bounds it.
  if (payload == 0 || payload > std::uint64_t(kMaxImageBytes))
    throw DeviceError(err::kAcqOpen, "camera " + s.Name() + ", " + s.Producer() + ": " + source +
                                         " gives a payload size of " + std::to_string(payload) +
                                         " bytes (1 to " + std::to_string(kMaxImageBytes) +
                                         " are possible)");
  return payload;
}

void GenTLStream::AnnounceBuffers(std::uint64_t payload) {
  DeviceState& s = *s_;
  const Library& lib = *s.lib;
  abi::DS_HANDLE ds = s.stream;
  // The counts stay 64-bit until they are known to be small.
  const std::uint64_t minimum =
      std::max<std::uint64_t>(1, StreamNumber(abi::STREAM_INFO_BUF_ANNOUNCE_MIN).value_or(1));
  if (minimum > kMaxBuffers)
    throw DeviceError(err::kAcqOpen, "camera " + s.Name() + ", " + s.Producer() +
                                         ": DSGetInfo STREAM_INFO_BUF_ANNOUNCE_MIN asks for at "
                                         "least " +
                                         std::to_string(minimum) + " buffers (at most " +
                                         std::to_string(kMaxBuffers) + " are announced)");
  // Fewer buffers than wanted when they would take more than the memory limit, never fewer than
  // the stream needs.
  const std::uint64_t memory_limit = SearchMemoryLimit();
  std::uint64_t wanted = std::max(kWantedBuffers, minimum);
  if (wanted * payload > memory_limit) wanted = std::max(minimum, memory_limit / payload);
  if (wanted * payload > memory_limit)
    throw DeviceError(err::kAcqOpen, "camera " + s.Name() + ": " + std::to_string(wanted) +
                                         " buffers of " + std::to_string(payload) +
                                         " bytes (the payload size " + s.Producer() +
                                         " gives) exceed the buffer memory limit of " +
                                         std::to_string(memory_limit) +
                                         " bytes (SetSystem 'search_memory_limit', in MiB)");
  const std::size_t count = std::size_t(wanted);
  const std::uint64_t align = StreamNumber(abi::STREAM_INFO_BUF_ALIGNMENT).value_or(1);
  while (alignment_ < align && alignment_ < 4096) alignment_ *= 2;
  try {
    for (std::size_t i = 0; i < count; ++i) {
      Buffer b;
      b.size = std::size_t(payload);
      b.memory = static_cast<std::uint8_t*>(::operator new(b.size, std::align_val_t(alignment_)));
      const abi::GC_ERROR r = GENTL_CALL(lib, DSAnnounceBuffer, ds, b.memory, b.size,
                                         reinterpret_cast<void*>(i), &b.handle);
      if (r != abi::GC_ERR_SUCCESS) {
        ::operator delete(b.memory, std::align_val_t(alignment_));
        lib.Fail(r, "DSAnnounceBuffer");
      }
      buffers_.push_back(b);
      GENTL_CHECK(lib, DSQueueBuffer, ds, b.handle);
    }
    GENTL_CHECK(lib, GCRegisterEvent, ds, abi::EVENT_NEW_BUFFER, &event_);
    GENTL_CHECK(lib, DSStartAcquisition, ds, abi::ACQ_START_FLAGS_DEFAULT, abi::GENTL_INFINITE);
    ds_started_ = true;
  } catch (const GenTLError& e) {
    StartFailed("its data stream cannot be started", e);
  }
}

void GenTLStream::StartCamera() {
  DeviceState& s = *s_;
  genapi::NodeMap& f = *s.features;
  // What buffers may not say about themselves.
  try {
    if (f.Has("PixelFormat")) {
      const std::int64_t v = f.GetEnumerationValue("PixelFormat");
      if (v < 0 || v > std::int64_t(UINT32_MAX))
        throw DeviceError(err::kAcqOpen, "camera " + s.Name() + " reports PixelFormat value " +
                                             std::to_string(v) + ", which is no pixel format");
      pixel_format_ = std::uint32_t(v);
    }
    auto side = [&](const char* name) {
      const std::int64_t v = f.GetInteger(name);
      if (v < 0 || v > kMaxImageSide)
        throw DeviceError(err::kAcqOpen, "camera " + s.Name() + " reports " + name + " = " +
                                             std::to_string(v) + " (0 to " +
                                             std::to_string(kMaxImageSide) + " are possible)");
      return int(v);
    };
    if (f.Has("Width")) width_ = side("Width");
    if (f.Has("Height")) height_ = side("Height");
  } catch (const genapi::Error&) {
    s.NotePortFailure();
    s.CheckPresent();
  }
  try {
    if (f.Has("AcquisitionMode") && f.AccessOf("AcquisitionMode") == genapi::Access::kRW)
      f.SetEnumeration("AcquisitionMode", "Continuous");
  } catch (const genapi::Error&) {
    s.NotePortFailure();  // a camera without continuous mode still starts
  }
  try {
    f.Execute("AcquisitionStart");
    camera_started_ = true;
  } catch (const genapi::Error& e) {
    s.NotePortFailure();
    s.CheckPresent();
    throw DeviceError(err::kAcqOpen,
                      "camera " + s.Name() + " refused AcquisitionStart: " + std::string(e.what()));
  }
  s.acquiring = true;
  f.InvalidateAll();
}

void GenTLStream::Stop() noexcept {
  DeviceState& s = *s_;
  if (camera_started_ && !s.lost) s.TryExecute("AcquisitionStop");
  Teardown t;
  t.stop = ds_started_;
  if (ds_started_ && !s.lane.Busy()) {
    const Library* lib = s.lib;
    abi::DS_HANDLE ds = s.stream;
    try {
      s.Bounded(
          "DSStopAcquisition",
          [lib, ds] { GENTL_CALL(*lib, DSStopAcquisition, ds, abi::ACQ_STOP_FLAGS_KILL); },
          kCallLimit);
      t.stop = false;  // made, or abandoned: not made again
    } catch (...) {
    }
  }
  ds_started_ = false;
  t.event = event_;
  t.buffers = std::move(buffers_);
  t.alignment = alignment_;
  buffers_.clear();
  event_ = nullptr;
  // While an abandoned call runs in the producer nothing more is asked of the stream; the
  // device finishes it once that call has returned.
  bool deferred = false;
  if (s.lane.Busy()) {
    try {
      s.pending.push_back(std::move(t));
      deferred = true;
    } catch (...) {
    }
  }
  if (!deferred) s.Finish(t);
  if (locked_ && !s.lost) s.TrySetInteger("TLParamsLocked", 0);
  s.acquiring = false;
  try {
    s.features->InvalidateAll();
  } catch (...) {
  }
}

PopStatus GenTLStream::Pop(int timeout_ms, const std::function<void(const Frame&)>& consume,
                           std::string* detail) {
  abi::EVENT_NEW_BUFFER_DATA data{};
  if (const auto ended = Wait(timeout_ms, &data, detail)) return *ended;
  const PopStatus status = Deliver(data, consume, detail);
  if (!broken_.empty()) {
    if (detail) *detail = "its stream broke: " + broken_;
    return PopStatus::kLost;
  }
  return status;
}

// How long a wait for the event may take: while a grab waits, until its deadline (plus
// kCallGrace), however short the slice it asks for, so that a busy machine's late answer is no
// reason to give the camera up; else the slice plus kCallLimit.
std::chrono::milliseconds GenTLStream::EventLimit(std::uint64_t wait_ms) const {
  if (const auto deadline = s_->grab_deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    return std::max(left, std::chrono::milliseconds(wait_ms)) + kCallGrace;
  }
  return std::chrono::milliseconds(wait_ms) + kCallLimit;
}

std::optional<abi::GC_ERROR> GenTLStream::GetEvent(std::uint64_t wait_ms,
                                                   abi::EVENT_NEW_BUFFER_DATA* out,
                                                   std::string* error) {
  DeviceState& s = *s_;
  const Library* lib = s.lib;
  abi::EVENT_HANDLE event = event_;
  auto outcome = std::make_shared<EventOutcome>();
  const bool done = s.Bounded(
      "EventGetData",
      [lib, event, wait_ms, outcome] {
        std::size_t size = sizeof outcome->data;
        const abi::GC_ERROR r =
            GENTL_CALL(*lib, EventGetData, event, &outcome->data, &size, wait_ms);
        outcome->result = r;
        if (r != abi::GC_ERR_SUCCESS && r != abi::GC_ERR_TIMEOUT && r != abi::GC_ERR_ABORT)
          outcome->error = lib->Error(r, "EventGetData").what();
      },
      EventLimit(wait_ms));
  if (!done) return std::nullopt;
  *out = outcome->data;
  *error = outcome->error;
  return outcome->result;
}

std::optional<PopStatus> GenTLStream::Wait(int timeout_ms, abi::EVENT_NEW_BUFFER_DATA* out,
                                           std::string* detail) {
  DeviceState& s = *s_;
  auto gone = [&] {
    if (detail)
      *detail = "it stopped answering after " + std::to_string(s.frames) + " frames" +
                (s.lost_reason.empty() ? "" : ": " + s.lost_reason);
    return PopStatus::kLost;
  };
  if (!broken_.empty()) {
    if (detail) *detail = "its stream broke: " + broken_;
    return PopStatus::kLost;
  }
  if (s.lost) return gone();
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  // Every producer call of the wait ends by the deadline (plus kCallGrace), or is given up.
  if (timeout_ms >= 0) s.grab_deadline = deadline;
  struct Clear {
    DeviceState& s;
    ~Clear() { s.grab_deadline.reset(); }
  } clear{s};
  abi::EVENT_NEW_BUFFER_DATA& data = *out;
  for (;;) {
    if (aborted_) {
      if (detail) *detail = "the camera was closed while waiting";
      return PopStatus::kAborted;
    }
    std::int64_t slice = kSliceMs;
    if (timeout_ms >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      slice = std::max<std::int64_t>(0, std::min<std::int64_t>(slice, left));
    }
    const auto asked = Clock::now();
    std::string error;
    const auto r = GetEvent(std::uint64_t(slice), &data, &error);
    if (!r) return gone();
    if (*r == abi::GC_ERR_SUCCESS) break;
    if (*r == abi::GC_ERR_ABORT) {
      aborted_ = true;
      continue;
    }
    if (*r != abi::GC_ERR_TIMEOUT) {
      s.lost_reason = error;
      s.lost = true;
      if (detail) *detail = "its stream failed: " + error;
      return PopStatus::kLost;
    }
    if (aborted_) continue;
    // A producer that answers "time-out" long before the time it was given must not make this
    // loop spin: the rest of the slice is waited here.
    const auto slice_end = asked + std::chrono::milliseconds(slice);
    if (Clock::now() < slice_end) std::this_thread::sleep_until(slice_end);
    if (!s.Alive()) return gone();
    if (timeout_ms >= 0 && Clock::now() >= deadline) {
      ++counters_.timeouts;
      if (detail) {
        std::string trigger;
        try {
          if (s.features->Has("TriggerMode") && s.features->GetEnumeration("TriggerMode") == "On")
            trigger = s.features->Has("TriggerSource")
                          ? " (no trigger arrived; TriggerSource " +
                                s.features->GetEnumeration("TriggerSource") + ")"
                          : " (no trigger arrived)";
        } catch (const genapi::Error&) {
        }
        *detail = "the camera sent no frame" + trigger;
      }
      return PopStatus::kTimeout;
    }
  }
  return std::nullopt;
}

PopStatus GenTLStream::Deliver(const abi::EVENT_NEW_BUFFER_DATA& data,
                               const std::function<void(const Frame&)>& consume,
                               std::string* detail) {
  DeviceState& s = *s_;
  // The buffer goes back to the stream however this ends.
  struct Requeuer {
    GenTLStream* stream;
    abi::BUFFER_HANDLE handle;
    ~Requeuer() { stream->Requeue(handle); }
  } requeue{this, data.BufferHandle};
  ++s.frames;
  const std::uintptr_t index = reinterpret_cast<std::uintptr_t>(data.pUserPointer);
  if (index >= buffers_.size() || buffers_[index].handle != data.BufferHandle) {
    ++counters_.failures;
    if (detail) *detail = "the producer delivered a buffer that was never announced";
    return PopStatus::kIncomplete;
  }
  const Buffer& b = buffers_[index];
  abi::BUFFER_HANDLE h = b.handle;
  const std::uint64_t filled = BufferNumber<abi::BUFFER_INFO_SIZE_FILLED>(h).value_or(b.size);
  if (BufferNumber<abi::BUFFER_INFO_IS_INCOMPLETE>(h).value_or(0) != 0) {
    ++counters_.failures;
    if (detail)
      *detail = "the transport marked it incomplete (" + std::to_string(filled) + " of " +
                std::to_string(b.size) + " bytes filled)";
    return PopStatus::kIncomplete;
  }
  const auto payload_type = BufferNumber<abi::BUFFER_INFO_PAYLOADTYPE>(h);
  if (payload_type && *payload_type != abi::PAYLOAD_TYPE_IMAGE &&
      *payload_type != abi::PAYLOAD_TYPE_CHUNK_DATA) {
    ++counters_.failures;
    if (detail)
      *detail = "the frame holds no image (payload type " + std::to_string(*payload_type) + ")";
    return PopStatus::kIncomplete;
  }
  const std::uint64_t offset = BufferNumber<abi::BUFFER_INFO_IMAGEOFFSET>(h).value_or(0);
  const std::uint64_t end = std::min<std::uint64_t>(filled, b.size);
  if (offset > end) {
    ++counters_.failures;
    if (detail) *detail = "its image offset lies past the data";
    return PopStatus::kIncomplete;
  }
  // What the buffer says about its image, each number checked before it is narrowed.
  const std::uint64_t width = BufferNumber<abi::BUFFER_INFO_WIDTH>(h).value_or(width_);
  const std::uint64_t height = BufferNumber<abi::BUFFER_INFO_HEIGHT>(h).value_or(height_);
  const std::uint64_t format =
      BufferNumber<abi::BUFFER_INFO_PIXELFORMAT>(h).value_or(pixel_format_);
  const std::uint64_t padding = BufferNumber<abi::BUFFER_INFO_XPADDING>(h).value_or(0);
  std::string wrong;
  auto answered = [&](const char* item, std::uint64_t v, const std::string& possible) {
    wrong = s.Producer() + ": DSGetBufferInfo " + item + " answered " + std::to_string(v) + " (" +
            possible + ")";
  };
  if (width > std::uint64_t(kMaxImageSide))
    answered("BUFFER_INFO_WIDTH", width, "at most " + std::to_string(kMaxImageSide) + " pixels");
  else if (height > std::uint64_t(kMaxImageSide))
    answered("BUFFER_INFO_HEIGHT", height, "at most " + std::to_string(kMaxImageSide) + " rows");
  else if (format > UINT32_MAX)
    wrong = s.Producer() + ": DSGetBufferInfo BUFFER_INFO_PIXELFORMAT answered " + Hex(format) +
            ", which is no 32-bit pixel format code";
  else if (padding > std::uint64_t(kMaxImageBytes))
    answered("BUFFER_INFO_XPADDING", padding,
             "at most " + std::to_string(kMaxImageBytes) + " bytes");
  if (!wrong.empty()) {
    ++counters_.failures;
    if (detail) *detail = wrong;
    return PopStatus::kIncomplete;
  }
  Frame frame;
  frame.data = b.memory + offset;
  frame.size = std::size_t(end - offset);
  frame.width = int(width);
  frame.height = int(height);
  frame.pixel_format = std::uint32_t(format);
  frame.row_padding = std::size_t(padding);
  frame.frame_id = BufferNumber<abi::BUFFER_INFO_FRAMEID>(h).value_or(s.frames);
  ++counters_.completed;
  consume(frame);
  return PopStatus::kFrame;
}

void GenTLStream::Flush() {
  for (int i = 0; i < 1024 && !s_->lost && broken_.empty(); ++i) {
    abi::EVENT_NEW_BUFFER_DATA data{};
    std::string error;
    const auto r = GetEvent(0, &data, &error);
    if (!r || *r != abi::GC_ERR_SUCCESS) return;
    Requeue(data.BufferHandle);
  }
}

StreamCounters GenTLStream::Counters() const {
  StreamCounters c = counters_;
  const Library& lib = *s_->lib;
  abi::DS_HANDLE ds = s_->stream;
  c.underruns = TryInfoUnsigned([&](abi::INFO_DATATYPE* t, void* b, std::size_t* n) {
                  return GENTL_CALL(lib, DSGetInfo, ds, abi::STREAM_INFO_NUM_UNDERRUN, t, b, n);
                }).value_or(0);
  return c;
}

// The device's node map as the camera feature layer sees it. Every failure of the map becomes a
// FeatureError; a port failure that means the camera is gone marks it lost.
class GenTLFeatures final : public FeatureMap {
 public:
  explicit GenTLFeatures(DeviceState& s) : s_(s) {}

  std::string CameraName() const override { return s_.Name(); }
  std::vector<std::string> FeatureNames() const override { return s_.features->FeatureNames(); }

  bool Has(const std::string& name) override { return s_.features->Has(name); }
  genapi::Type TypeOf(const std::string& name) override {
    return Do([&] { return Map().TypeOf(name); });
  }
  genapi::Access AccessOf(const std::string& name) override {
    return Do([&] { return Map().AccessOf(name); });
  }
  // Acquisition locks the features that decide the payload (TLParamsLocked).
  std::string LockReason(const std::string& name) override {
    genapi::NodeMap& f = Map();
    const bool locked = Do([&] {
      return s_.acquiring && f.Has("TLParamsLocked") && f.GetInteger("TLParamsLocked") != 0 &&
             f.AccessOf(name) == genapi::Access::kRO;
    });
    return locked ? "the feature is locked while acquisition runs" : "";
  }
  genapi::IntRange IntegerRange(const std::string& name) override {
    return Do([&] { return Map().IntegerRange(name); });
  }
  genapi::FloatRange FloatRange(const std::string& name) override {
    return Do([&] { return Map().FloatRangeOf(name); });
  }
  std::vector<std::string> Entries(const std::string& name) override {
    return Do([&] { return Map().EnumerationEntries(name); });
  }
  std::string Unit(const std::string& name) override {
    return Do([&] { return Map().UnitOf(name); });
  }
  std::string WhyNotAccessible(const std::string& name) override {
    return Do([&] { return Map().WhyNotAccessible(name); });
  }
  std::optional<std::int64_t> StringMaxLength(const std::string& name) override {
    return Do([&] { return Map().StringMaxLength(name); });
  }

  std::int64_t GetInteger(const std::string& name) override {
    return Do([&] { return Map().GetInteger(name); });
  }
  double GetFloat(const std::string& name) override {
    return Do([&] { return Map().GetFloat(name); });
  }
  bool GetBoolean(const std::string& name) override {
    return Do([&] { return Map().GetBoolean(name); });
  }
  std::string GetEnumeration(const std::string& name) override {
    return Do([&] { return Map().GetEnumeration(name); });
  }
  std::string GetString(const std::string& name) override {
    return Do([&] { return Map().GetString(name); });
  }

  // The node map checks on writing only: a check-only write has nothing to add to the layer's.
  void SetInteger(const std::string& name, std::int64_t v, WriteMode mode) override {
    if (mode == WriteMode::kWrite) Do([&] { Map().SetInteger(name, v); });
  }
  void SetFloat(const std::string& name, double v, WriteMode mode) override {
    if (mode == WriteMode::kWrite) Do([&] { Map().SetFloat(name, v); });
  }
  void SetBoolean(const std::string& name, bool v, WriteMode mode) override {
    if (mode == WriteMode::kWrite) Do([&] { Map().SetBoolean(name, v); });
  }
  void SetEnumeration(const std::string& name, const std::string& entry, WriteMode mode) override {
    if (mode == WriteMode::kWrite) Do([&] { Map().SetEnumeration(name, entry); });
  }
  void SetString(const std::string& name, const std::string& v, WriteMode mode) override {
    if (mode == WriteMode::kWrite) Do([&] { Map().SetString(name, v); });
  }
  void Execute(const std::string& name, WriteMode mode) override {
    if (mode == WriteMode::kWrite) Do([&] { Map().Execute(name); });
  }

 private:
  genapi::NodeMap& Map() { return *s_.features; }

  // Runs one call on the node map, with the port's last failure cleared first so that a port
  // failure is this call's.
  template <class F>
  auto Do(F call) -> decltype(call()) {
    s_.port->ClearFailure();
    try {
      return call();
    } catch (const genapi::Error& e) {
      throw Translate(e);
    }
  }

  FeatureError Translate(const genapi::Error& e) {
    switch (e.Kind()) {
      case genapi::ErrorKind::kUnknownFeature:
        return FeatureError(FeatureFault::kUnknown, e.what());
      case genapi::ErrorKind::kNoSuchEntry:
        return FeatureError(FeatureFault::kNoSuchEntry, e.what());
      case genapi::ErrorKind::kNotWritable:
        return FeatureError(FeatureFault::kNotWritable, e.what());
      case genapi::ErrorKind::kNotAvailable:
        return FeatureError(FeatureFault::kNotAvailable, e.what());
      case genapi::ErrorKind::kOutOfRange:
        return FeatureError(FeatureFault::kOutOfRange, e.what());
      case genapi::ErrorKind::kPort:
        s_.NotePortFailure();
        if (s_.lost) return FeatureError(FeatureFault::kLost, s_.lost_reason);
        return FeatureError(FeatureFault::kOther,
                            s_.port->LastReason().empty() ? e.what() : s_.port->LastReason());
      case genapi::ErrorKind::kDescription:
        return FeatureError(FeatureFault::kBrokenDescription, e.what());
      case genapi::ErrorKind::kNotReadable:
      case genapi::ErrorKind::kWrongType:
        break;
    }
    return FeatureError(FeatureFault::kOther, e.what());
  }

  DeviceState& s_;
};

class GenTLDevice final : public Device {
 public:
  explicit GenTLDevice(std::shared_ptr<DeviceState> s) : s_(std::move(s)), features_(*s_) {}
  const DeviceInfo& Info() const override { return s_->info; }
  HTuple GetFeature(const std::string& name) override {
    s_->CheckPresent();
    return ReadFeature(features_, name);
  }
  void SetFeature(const std::string& name, const HTuple& value) override {
    s_->CheckPresent();
    WriteFeature(features_, name, value, WriteMode::kWrite);
  }
  void CheckFeature(const std::string& name, const HTuple& value) override {
    s_->CheckPresent();
    WriteFeature(features_, name, value, WriteMode::kCheck);
  }
  std::unique_ptr<Stream> StartStream() override {
    if (s_->acquiring)
      throw DeviceError(err::kAcqOpen, "camera " + s_->Name() + " is already acquiring");
    return std::make_unique<GenTLStream>(s_);
  }
  std::vector<std::string> FeatureListing() override {
    s_->CheckPresent();
    return ListFeatures(features_);
  }
  // The producer's modules above the camera: system, interface, the device module and its
  // data stream (opened here when no acquisition opened it yet; it stays open for grabbing).
  std::vector<std::string> ModuleListing() override;
  void CheckInterfaceWrite(const std::string& name, const HTuple& value) override {
    if (s_->reject_interface.count(name))
      throw Refusal(err::kAcqParamValue, s_->Name(), name, value,
                    "the driver does not accept this setting");
  }
  DeviceState& State() { return *s_; }

 private:
  std::shared_ptr<DeviceState> s_;
  GenTLFeatures features_;
};

std::vector<std::string> GenTLDevice::ModuleListing() {
  DeviceState& s = *s_;
  s.CheckPresent();
  const Producer& producer = s.iface->Owner();
  std::vector<std::string> lines{SystemModuleLine(producer)};
  // Without an interface description: this camera's entry as discovery read it.
  DeviceEntry entry;
  entry.id = s.info.id;
  entry.vendor = s.info.vendor;
  entry.model = s.info.model;
  entry.serial = s.info.serial;
  entry.access_status = s.iface->AccessStatus(s.info.id);
  for (std::string& line : InterfaceModuleLines(*s.iface, {entry}))
    lines.push_back(std::move(line));
  lines.push_back(DeviceModuleLine(*s.lib, s.device, s.info));
  if (!s.stream) {
    try {
      OpenFirstDataStream(s);
    } catch (const DeviceError& e) {
      lines.push_back(std::string("stream info_calls:") + Quoted(e.what(), 1024));
      return lines;
    }
  }
  lines.push_back(StreamModuleLine(*s.lib, s.stream));
  return lines;
}

[[noreturn]] void OpenFailed(const std::string& name, const std::string& why) {
  throw DeviceError(err::kAcqOpen, "camera " + name + " cannot be opened: " + why);
}

}  // namespace

// The devices this process has open, shared by every handle that opens the same camera (a
// device opens once; a second IFOpenDevice would be refused). Counted like the producers and
// interfaces of the registry: the last holder closes the device under the lock, so nobody opens
// it again before it is closed.
struct OpenDevices {
  std::mutex mutex;
  struct Entry {
    DeviceState* state = nullptr;
    int holders = 0;
  };
  std::map<std::string, Entry> open;
};

OpenDevices& TheOpenDevices() {
  static OpenDevices* devices = new OpenDevices;  // never destroyed, like the registry
  return *devices;
}

void ReleaseDevice(const std::string& key) noexcept {
  OpenDevices& d = TheOpenDevices();
  std::lock_guard<std::mutex> lock(d.mutex);
  auto it = d.open.find(key);
  if (it == d.open.end() || --it->second.holders > 0) return;
  delete it->second.state;
  d.open.erase(it);
}

// A counted lease on an open device.
std::shared_ptr<DeviceState> Lease(OpenDevices::Entry& entry, const std::string& key) {
  ++entry.holders;
  return std::shared_ptr<DeviceState>(entry.state, [key](DeviceState*) { ReleaseDevice(key); });
}

void OpenState(DeviceState& s, std::shared_ptr<InterfaceHandle> iface, const DeviceEntry& entry,
               DeviceInfo info, std::set<std::string> reject_interface);

std::unique_ptr<Device> OpenGenTLDevice(std::shared_ptr<InterfaceHandle> iface,
                                        const DeviceEntry& entry, DeviceInfo info,
                                        std::set<std::string> reject_interface) {
  const std::string key = iface->Owner().Path() + '\n' + iface->Id() + '\n' + entry.id;
  OpenDevices& d = TheOpenDevices();
  std::lock_guard<std::mutex> lock(d.mutex);
  auto it = d.open.find(key);
  if (it == d.open.end()) {
    auto state = std::make_unique<DeviceState>();
    try {
      OpenState(*state, std::move(iface), entry, std::move(info), std::move(reject_interface));
    } catch (...) {
      // A call given up while opening still runs in the producer: what it may still use or
      // give (the device handle, the port's memory) stays until it returns.
      if (state->lane.Busy()) state->lane.Keep(std::shared_ptr<DeviceState>(state.release()));
      throw;
    }
    DeviceState* opened = state.release();
    it = d.open.emplace(key, OpenDevices::Entry{opened, 0}).first;
    opened->lease = [key]() -> std::shared_ptr<DeviceState> {
      OpenDevices& devices = TheOpenDevices();
      std::lock_guard<std::mutex> relock(devices.mutex);
      auto found = devices.open.find(key);
      return found == devices.open.end() ? nullptr : Lease(found->second, key);
    };
  } else if (it->second.state->lost) {
    // Given up (a producer call that did not return, a camera that stopped answering) and
    // still held: opened again it would answer nothing.
    OpenFailed(it->second.state->Name(),
               "it was given up (it stopped answering, or a call into its producer did not "
               "return) and is still held");
  }
  return std::make_unique<GenTLDevice>(Lease(it->second, key));
}

namespace {

// Refuses a device whose access status says it cannot be opened for control now.
void RefuseAccessStatus(const std::string& name, std::int32_t status) {
  switch (status) {
    case abi::DEVICE_ACCESS_STATUS_BUSY:
      OpenFailed(name, "it is held by another program (access status Busy)");
    case abi::DEVICE_ACCESS_STATUS_NOACCESS:
      OpenFailed(name, "it cannot be reached from here (access status NoAccess)");
    case abi::DEVICE_ACCESS_STATUS_READONLY:
      OpenFailed(name, "it can only be read, not controlled, from here (access status ReadOnly)");
    case abi::DEVICE_ACCESS_STATUS_OPEN_READWRITE:
    case abi::DEVICE_ACCESS_STATUS_OPEN_READONLY:
      OpenFailed(name, "it is already open in this program (access status " +
                           AccessStatusName(status) + ")");
    default:
      break;
  }
}

// Reads the description the URL names (from the device's registers or a file), parses it and
// connects it to the remote port; raises kAcqOpen naming the URL when that fails.
void LoadDescription(DeviceState& s, const std::string& url) {
  const Library& lib = *s.lib;
  const std::string name = s.Name();
  std::string bytes;
  try {
    const genapi::DescriptionUrl where = genapi::ParseUrl(url);
    switch (where.scheme) {
      case genapi::DescriptionUrl::Scheme::kLocal: {
        if (where.size == 0 || where.size > kMaxDescriptionBytes)
          OpenFailed(name, "its description URL '" + url + "' gives a size of " +
                               std::to_string(where.size) + " bytes");
        bytes.resize(std::size_t(where.size));
        s.port->Read(where.address, bytes.data(), bytes.size());
        s.probe_address = where.address;
        break;
      }
      case genapi::DescriptionUrl::Scheme::kFile: {
        std::string problem;
        bytes = ReadDescriptionFile(where.path, &problem);
        if (!problem.empty())
          OpenFailed(name, "its description URL '" + url + "' names a file: " + problem);
        break;
      }
      default:
        OpenFailed(
            name,
            "its description URL '" + url +
                "' is not one this library reads (Local: and file: are; download the file and "
                "point the producer at it)");
    }
    s.features = genapi::NodeMap::Parse(genapi::DescriptionText(bytes));
    const std::string port_name =
        TryInfoText([&](abi::INFO_DATATYPE* t, void* b, std::size_t* z) {
          return GENTL_CALL(lib, GCGetPortInfo, s.remote, abi::PORT_INFO_PORTNAME, t, b, z);
        }).value_or(std::string());
    s.features->Connect(s.port.get(), port_name);
  } catch (const genapi::PortError& e) {
    OpenFailed(name, "its description cannot be read from " + url + ": " + e.what());
  } catch (const genapi::Error& e) {
    OpenFailed(name, "its description (" + url + ") cannot be used: " + e.what());
  }
}

}  // namespace

void OpenState(DeviceState& state, std::shared_ptr<InterfaceHandle> iface, const DeviceEntry& entry,
               DeviceInfo info, std::set<std::string> reject_interface) {
  DeviceState* s = &state;
  s->iface = iface;
  s->lib = &iface->Owner().Lib();
  s->info = std::move(info);
  s->reject_interface = std::move(reject_interface);
  const Library& lib = *s->lib;
  const std::string name = s->Name();
  // A camera another program holds is refused before anything waits on it.
  RefuseAccessStatus(name, iface->AccessStatus(entry.id));
  // Control access; a producer that does not offer it is asked for exclusive access. On the
  // lane, which writes the handle into the state (kept until the call returns, if given up).
  struct Opening {
    abi::GC_ERROR result = abi::GC_ERR_SUCCESS;
    std::string message, reason;
  };
  auto opening = std::make_shared<Opening>();
  abi::IF_HANDLE if_handle = iface->Handle();
  const bool done = s->Bounded(
      "IFOpenDevice",
      [s, &lib, if_handle, id = entry.id, opening] {
        abi::DEV_HANDLE handle = nullptr;
        abi::GC_ERROR r = GENTL_CALL(lib, IFOpenDevice, if_handle, id.c_str(),
                                     abi::DEVICE_ACCESS_CONTROL, &handle);
        if (r == abi::GC_ERR_NOT_IMPLEMENTED || r == abi::GC_ERR_INVALID_PARAMETER)
          r = GENTL_CALL(lib, IFOpenDevice, if_handle, id.c_str(), abi::DEVICE_ACCESS_EXCLUSIVE,
                         &handle);
        opening->result = r;
        if (r == abi::GC_ERR_SUCCESS) {
          s->device = handle;
        } else {
          const GenTLError e = lib.Error(r, "IFOpenDevice");
          opening->message = e.what();
          opening->reason = e.Reason();
        }
      },
      kCallLimit);
  if (!done) OpenFailed(name, s->lost_reason);
  const abi::GC_ERROR r = opening->result;
  if (r != abi::GC_ERR_SUCCESS) {
    if (r == abi::GC_ERR_ACCESS_DENIED || r == abi::GC_ERR_RESOURCE_IN_USE || r == abi::GC_ERR_BUSY)
      OpenFailed(name, "it is held by another program: " + opening->reason);
    OpenFailed(name, opening->message);
  }
  if (!s->device) OpenFailed(name, "the producer gave no device handle");
  std::string url;
  try {
    GENTL_CHECK(lib, DevGetPort, s->device, &s->remote);
    if (!s->remote) lib.Wrong("DevGetPort", "gave no port");
    std::uint32_t urls = 0;
    const abi::GC_ERROR n = GENTL_CALL(lib, GCGetNumPortURLs, s->remote, &urls);
    if (n == abi::GC_ERR_NOT_IMPLEMENTED) {
      url = InfoText(lib, "GCGetPortURL", [&](abi::INFO_DATATYPE* t, void* b, std::size_t* z) {
        *t = abi::INFO_DATATYPE_STRING;
        return GENTL_CALL(lib, GCGetPortURL, s->remote, static_cast<char*>(b), z);
      });
    } else {
      lib.Check(n, "GCGetNumPortURLs");
      if (urls == 0) OpenFailed(name, "it offers no description file (its port has no URL)");
      url = InfoText(lib, "GCGetPortURLInfo", [&](abi::INFO_DATATYPE* t, void* b, std::size_t* z) {
        return GENTL_CALL(lib, GCGetPortURLInfo, s->remote, 0u, abi::URL_INFO_URL, t, b, z);
      });
    }
  } catch (const GenTLError& e) {
    OpenFailed(name, e.what());
  }
  s->port = std::make_unique<RemotePort>(*s, s->remote);
  LoadDescription(*s, url);
  if (s->info.user_id.empty() && s->features->Has("DeviceUserID")) {
    try {
      s->info.user_id = s->features->GetString("DeviceUserID");
    } catch (const genapi::Error&) {
    }
  }
}

std::int64_t AnnouncedBuffers(Device& device) {
  auto* d = dynamic_cast<GenTLDevice*>(&device);
  if (!d || !d->State().stream) return -1;
  DeviceState& s = d->State();
  const Library& lib = *s.lib;
  return std::int64_t(TryInfoUnsigned([&](abi::INFO_DATATYPE* t, void* b, std::size_t* n) {
                        return GENTL_CALL(lib, DSGetInfo, s.stream, abi::STREAM_INFO_NUM_ANNOUNCED,
                                          t, b, n);
                      }).value_or(0));
}

}  // namespace vision::detail::camera::gentl

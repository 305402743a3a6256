// Aravis backend of the camera seam: GigE Vision and USB3 Vision cameras. Everything of
// GLib and Aravis stays in this file.
//
// Lost cameras: Aravis notices a GigE camera that stopped answering through its heartbeat
// ("control-lost" signal, after roughly five seconds in 0.8.26, not configurable from outside).
// A grab therefore waits in short slices and checks that flag, and whatever waits longer than the
// time-out is reported as a time-out; once a camera failed to deliver, closing it skips the
// control requests that a dead camera would make wait (each costs 500 ms times five retries).
#include <arv.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>

#include "camera/camera.h"
#include "camera/features.h"
#include "vision/HErrorCodes.h"

namespace vision::detail::camera {
namespace {

// Aravis keeps one process-wide device list; its functions are not thread-safe.
std::mutex& AravisMutex() {
  static std::mutex m;
  return m;
}

std::string TakeError(GError*& error) {
  std::string msg = error && error->message ? error->message : "unknown error";
  g_clear_error(&error);
  return msg;
}

std::string Str(const char* s) { return s ? s : ""; }

const char* BufferStatusName(ArvBufferStatus status) {
  switch (status) {
    case ARV_BUFFER_STATUS_SUCCESS:
      return "success";
    case ARV_BUFFER_STATUS_CLEARED:
      return "cleared";
    case ARV_BUFFER_STATUS_TIMEOUT:
      return "frame time-out (packets stopped arriving)";
    case ARV_BUFFER_STATUS_MISSING_PACKETS:
      return "missing packets";
    case ARV_BUFFER_STATUS_WRONG_PACKET_ID:
      return "wrong packet id";
    case ARV_BUFFER_STATUS_SIZE_MISMATCH:
      return "frame larger than the buffer";
    case ARV_BUFFER_STATUS_FILLING:
      return "still filling";
    case ARV_BUFFER_STATUS_ABORTED:
      return "aborted";
    default:
      return "unknown status";
  }
}

// Drops our reference to an Aravis object. While the camera answers this is quick; when it may be
// gone, the last reference of a GigE device or stream can block for seconds (each control request
// to a dead camera waits 500 ms, five times), so the release runs on a helper thread that we wait
// for only briefly: closing a lost camera never holds the caller past that.
void Release(gpointer object, bool camera_may_be_gone) {
  if (!camera_may_be_gone) {
    g_object_unref(object);
    return;
  }
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread([object, done = std::move(done)]() mutable {
    g_object_unref(object);
    done.set_value();
  }).detach();
  finished.wait_for(std::chrono::milliseconds(300));
}

struct Shared {
  std::atomic<bool> control_lost{false};
  std::atomic<bool> suspect{false};  // a grab failed: the camera may be gone
};

void OnControlLost(ArvDevice* /*device*/, gpointer data) {
  static_cast<Shared*>(data)->control_lost = true;
}

class AravisStream final : public Stream {
 public:
  AravisStream(ArvDevice* device, std::shared_ptr<Shared> shared, std::string name)
      : device_(device), shared_(std::move(shared)), name_(std::move(name)) {
    GError* error = nullptr;
    const gint64 payload = arv_device_get_integer_feature_value(device_, "PayloadSize", &error);
    if (error)
      throw DeviceError(err::kAcqOpen,
                        "camera " + name_ + " gives no PayloadSize: " + TakeError(error));
    stream_ = arv_device_create_stream(device_, nullptr, nullptr, &error);
    if (!stream_)
      throw DeviceError(err::kAcqOpen,
                        "cannot open a stream from camera " + name_ + ": " + TakeError(error));
    if (ARV_IS_GV_STREAM(stream_)) {
      // A socket buffer that holds a whole frame, and half a second for missing packets to be
      // resent before a frame counts as damaged: a busy host must not turn a good frame into a
      // failed grab.
      g_object_set(stream_, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_AUTO, "frame-retention",
                   guint(500000), "packet-resend", ARV_GV_STREAM_PACKET_RESEND_ALWAYS, nullptr);
    }
    for (int i = 0; i < kBuffers; ++i)
      arv_stream_push_buffer(stream_, arv_buffer_new_allocate(std::size_t(payload)));
    if (arv_device_is_feature_available(device_, "AcquisitionMode", nullptr)) {
      arv_device_set_string_feature_value(device_, "AcquisitionMode", "Continuous", &error);
      g_clear_error(&error);
    }
    arv_device_execute_command(device_, "AcquisitionStart", &error);
    if (error) {
      const std::string msg = TakeError(error);
      g_object_unref(stream_);
      throw DeviceError(err::kAcqOpen, "camera " + name_ + " refused AcquisitionStart: " + msg);
    }
  }

  ~AravisStream() override {
    if (!shared_->suspect && !shared_->control_lost) {
      GError* error = nullptr;
      arv_device_execute_command(device_, "AcquisitionStop", &error);
      g_clear_error(&error);
    }
    Release(stream_, shared_->suspect || shared_->control_lost);
  }

  PopStatus Pop(int timeout_ms, const std::function<void(const Frame&)>& consume,
                std::string* detail) override {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    ArvBuffer* buffer = nullptr;
    for (;;) {
      if (shared_->control_lost) {
        shared_->suspect = true;
        if (detail) *detail = "the camera stopped answering control requests";
        return PopStatus::kLost;
      }
      // Wait in slices so a lost camera is noticed while we wait.
      guint64 slice_us = 100000;
      if (timeout_ms >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        slice_us = std::min<guint64>(slice_us, guint64(left.count()));
      }
      buffer = arv_stream_timeout_pop_buffer(stream_, slice_us);
      if (buffer) break;
    }
    if (!buffer) {
      ++timeouts_;
      shared_->suspect = true;
      if (detail) *detail = "the camera sent no frame";
      return PopStatus::kTimeout;
    }
    // The buffer goes back to the stream however the consumer leaves.
    struct Requeue {
      ArvStream* stream;
      ArvBuffer* buffer;
      ~Requeue() { arv_stream_push_buffer(stream, buffer); }
    } requeue{stream_, buffer};
    const ArvBufferStatus status = arv_buffer_get_status(buffer);
    if (status != ARV_BUFFER_STATUS_SUCCESS) {
      if (detail) *detail = BufferStatusName(status);
      return PopStatus::kIncomplete;
    }
    if (arv_buffer_get_payload_type(buffer) != ARV_BUFFER_PAYLOAD_TYPE_IMAGE) {
      if (detail) *detail = "the frame holds no image";
      return PopStatus::kIncomplete;
    }
    shared_->suspect = false;
    Frame view;
    std::size_t size = 0;
    view.data = static_cast<const std::uint8_t*>(arv_buffer_get_image_data(buffer, &size));
    view.size = size;
    view.width = arv_buffer_get_image_width(buffer);
    view.height = arv_buffer_get_image_height(buffer);
    view.pixel_format = arv_buffer_get_image_pixel_format(buffer);
    view.frame_id = arv_buffer_get_frame_id(buffer);
    consume(view);
    return PopStatus::kFrame;
  }

  void Flush() override {
    while (ArvBuffer* b = arv_stream_try_pop_buffer(stream_)) arv_stream_push_buffer(stream_, b);
  }

  StreamCounters Counters() const override {
    StreamCounters c;
    guint64 completed = 0, failures = 0, underruns = 0;
    arv_stream_get_statistics(stream_, &completed, &failures, &underruns);
    c.completed = completed;
    c.failures = failures;
    c.underruns = underruns;
    c.timeouts = timeouts_;
    return c;
  }

 private:
  static constexpr int kBuffers = 8;
  ArvDevice* device_;
  ArvStream* stream_ = nullptr;
  std::shared_ptr<Shared> shared_;
  std::string name_;
  std::uint64_t timeouts_ = 0;
};

// Aravis's node map of one camera as the camera feature layer sees it. Aravis reports failures
// as GError texts without a kind: a refused write is FeatureFault::kUnexplained (the layer asks
// the map why), any failure once the heartbeat has given up on the camera kLost.
class AravisFeatures final : public FeatureMap {
 public:
  AravisFeatures(ArvDevice* device, const Device& owner, std::shared_ptr<Shared> shared)
      : device_(device), owner_(owner), shared_(std::move(shared)) {}

  std::string CameraName() const override { return owner_.Name(); }

  bool Has(const std::string& name) override {
    ArvGcNode* node = arv_device_get_feature(device_, name.c_str());
    return node && ARV_IS_GC_FEATURE_NODE(node);
  }
  genapi::Type TypeOf(const std::string& name) override {
    ArvGcNode* node = Node(name);
    // Enumerations and booleans also offer the integer interface: they are asked first.
    if (ARV_IS_GC_ENUMERATION(node)) return genapi::Type::kEnumeration;
    if (ARV_IS_GC_COMMAND(node)) return genapi::Type::kCommand;
    if (ARV_IS_GC_BOOLEAN(node)) return genapi::Type::kBoolean;
    if (ARV_IS_GC_INTEGER(node)) return genapi::Type::kInteger;
    if (ARV_IS_GC_FLOAT(node)) return genapi::Type::kFloat;
    if (ARV_IS_GC_STRING(node)) return genapi::Type::kString;
    return genapi::Type::kOther;
  }
  genapi::Access AccessOf(const std::string& name) override {
    ArvGcFeatureNode* feature = ARV_GC_FEATURE_NODE(Node(name));
    if (!Answer(arv_gc_feature_node_is_implemented, feature)) return genapi::Access::kNI;
    const ArvGcAccessMode mode = arv_gc_feature_node_get_actual_access_mode(feature);
    if (mode == ARV_GC_ACCESS_MODE_RO) return genapi::Access::kRO;
    if (!Answer(arv_gc_feature_node_is_available, feature)) return genapi::Access::kNA;
    return mode == ARV_GC_ACCESS_MODE_WO ? genapi::Access::kWO : genapi::Access::kRW;
  }
  std::string LockReason(const std::string& name) override {
    return Answer(arv_gc_feature_node_is_locked, ARV_GC_FEATURE_NODE(Node(name)))
               ? "the feature is locked (while acquisition runs, for instance)"
               : "";
  }
  genapi::IntRange IntegerRange(const std::string& name) override {
    ArvGcInteger* node = ARV_GC_INTEGER(Node(name));
    return {Answer(arv_gc_integer_get_min, node), Answer(arv_gc_integer_get_max, node),
            Answer(arv_gc_integer_get_inc, node)};
  }
  // Aravis reports a placeholder increment for floats that declare none: only the bounds.
  genapi::FloatRange FloatRange(const std::string& name) override {
    ArvGcFloat* node = ARV_GC_FLOAT(Node(name));
    return {Answer(arv_gc_float_get_min, node), Answer(arv_gc_float_get_max, node), std::nullopt};
  }
  std::vector<std::string> Entries(const std::string& name) override {
    guint n = 0;
    const char** entries =
        Answer(arv_gc_enumeration_dup_available_string_values, ARV_GC_ENUMERATION(Node(name)), &n);
    std::vector<std::string> out;
    for (guint i = 0; entries && i < n; ++i) out.push_back(Str(entries[i]));
    g_free(entries);
    return out;
  }

  std::int64_t GetInteger(const std::string& name) override {
    return Answer(arv_gc_integer_get_value, ARV_GC_INTEGER(Node(name)));
  }
  double GetFloat(const std::string& name) override {
    return Answer(arv_gc_float_get_value, ARV_GC_FLOAT(Node(name)));
  }
  bool GetBoolean(const std::string& name) override {
    return Answer(arv_gc_boolean_get_value, ARV_GC_BOOLEAN(Node(name)));
  }
  std::string GetEnumeration(const std::string& name) override {
    return Str(Answer(arv_gc_enumeration_get_string_value, ARV_GC_ENUMERATION(Node(name))));
  }
  std::string GetString(const std::string& name) override {
    return Str(Answer(arv_gc_string_get_value, ARV_GC_STRING(Node(name))));
  }

  // Aravis has no check-only write: the layer's checks are all there is.
  void SetInteger(const std::string& name, std::int64_t v, WriteMode mode) override {
    if (mode == WriteMode::kWrite) Answer(arv_gc_integer_set_value, ARV_GC_INTEGER(Node(name)), v);
  }
  void SetFloat(const std::string& name, double v, WriteMode mode) override {
    if (mode == WriteMode::kWrite) Answer(arv_gc_float_set_value, ARV_GC_FLOAT(Node(name)), v);
  }
  void SetBoolean(const std::string& name, bool v, WriteMode mode) override {
    if (mode == WriteMode::kWrite)
      Answer(arv_gc_boolean_set_value, ARV_GC_BOOLEAN(Node(name)), gboolean(v));
  }
  void SetEnumeration(const std::string& name, const std::string& entry, WriteMode mode) override {
    if (mode == WriteMode::kWrite)
      Answer(arv_gc_enumeration_set_string_value, ARV_GC_ENUMERATION(Node(name)), entry.c_str());
  }
  void SetString(const std::string& name, const std::string& v, WriteMode mode) override {
    if (mode == WriteMode::kWrite)
      Answer(arv_gc_string_set_value, ARV_GC_STRING(Node(name)), v.c_str());
  }
  void Execute(const std::string& name, WriteMode mode) override {
    if (mode == WriteMode::kWrite) Answer(arv_gc_command_execute, ARV_GC_COMMAND(Node(name)));
  }

 private:
  ArvGcNode* Node(const std::string& name) {
    ArvGcNode* node = arv_device_get_feature(device_, name.c_str());
    if (!node || !ARV_IS_GC_FEATURE_NODE(node)) throw FeatureError(FeatureFault::kUnknown, name);
    return node;
  }

  // Calls an Aravis function whose last argument is its GError, and raises its error.
  template <class R, class... P, class... A>
  R Answer(R (*function)(P...), A... args) {
    GError* error = nullptr;
    if constexpr (std::is_void_v<R>) {
      function(args..., &error);
      if (error) Failed(error);
    } else {
      R result = function(args..., &error);
      if (error) Failed(error);
      return result;
    }
  }
  [[noreturn]] void Failed(GError*& error) const {
    const std::string reason = TakeError(error);
    throw FeatureError(shared_->control_lost ? FeatureFault::kLost : FeatureFault::kUnexplained,
                       reason);
  }

  ArvDevice* device_;
  const Device& owner_;
  std::shared_ptr<Shared> shared_;
};

class AravisDevice final : public Device {
 public:
  AravisDevice(ArvDevice* device, DeviceInfo info)
      : device_(device),
        info_(std::move(info)),
        shared_(std::make_shared<Shared>()),
        features_(device, *this, shared_) {
    arv_device_set_range_check_policy(device_, ARV_RANGE_CHECK_POLICY_ENABLE);
    arv_device_set_access_check_policy(device_, ARV_ACCESS_CHECK_POLICY_ENABLE);
    lost_handler_ =
        g_signal_connect(device_, "control-lost", G_CALLBACK(OnControlLost), shared_.get());
  }
  ~AravisDevice() override {
    g_signal_handler_disconnect(device_, lost_handler_);
    Release(device_, shared_->suspect || shared_->control_lost);
  }

  const DeviceInfo& Info() const override { return info_; }
  HTuple GetFeature(const std::string& name) override { return ReadFeature(features_, name); }
  void SetFeature(const std::string& name, const HTuple& value) override {
    WriteFeature(features_, name, value, WriteMode::kWrite);
  }
  void CheckFeature(const std::string& name, const HTuple& value) override {
    WriteFeature(features_, name, value, WriteMode::kCheck);
  }
  std::unique_ptr<Stream> StartStream() override {
    return std::make_unique<AravisStream>(device_, shared_, Name());
  }

 private:
  ArvDevice* device_;
  DeviceInfo info_;
  std::shared_ptr<Shared> shared_;
  AravisFeatures features_;
  gulong lost_handler_ = 0;
};

class AravisInterface final : public Interface {
 public:
  std::vector<DeviceInfo> Discover() override {
    std::lock_guard<std::mutex> lock(AravisMutex());
    arv_update_device_list();
    std::vector<DeviceInfo> out;
    const unsigned n = arv_get_n_devices();
    for (unsigned i = 0; i < n; ++i) {
      DeviceInfo info;
      info.id = Str(arv_get_device_id(i));
      info.vendor = Str(arv_get_device_vendor(i));
      info.model = Str(arv_get_device_model(i));
      info.serial = Str(arv_get_device_serial_nbr(i));
      info.protocol = Str(arv_get_device_protocol(i));
      out.push_back(std::move(info));
    }
    return out;
  }

  std::unique_ptr<Device> Open(const DeviceInfo& info) override {
    GError* error = nullptr;
    ArvDevice* device = nullptr;
    {
      std::lock_guard<std::mutex> lock(AravisMutex());
      device = arv_open_device(info.id.c_str(), &error);
    }
    if (!device)
      throw DeviceError(err::kAcqOpen,
                        "camera '" + info.id + "' cannot be opened: " + TakeError(error));
    g_clear_error(&error);
    DeviceInfo full = info;
    const char* user = arv_device_get_string_feature_value(device, "DeviceUserID", &error);
    if (!error && user) full.user_id = user;
    g_clear_error(&error);
    return std::make_unique<AravisDevice>(device, std::move(full));
  }
};

}  // namespace

std::unique_ptr<Interface> MakeAravisInterface() { return std::make_unique<AravisInterface>(); }

std::unique_ptr<Interface> MakeAravisFakeInterface() {
  {
    std::lock_guard<std::mutex> lock(AravisMutex());
    arv_disable_interface("GigEVision");
    arv_disable_interface("USB3Vision");
    arv_enable_interface("Fake");
  }
  return std::make_unique<AravisInterface>();
}

}  // namespace vision::detail::camera

// Aravis backend of the camera seam: GigE Vision and USB3 Vision cameras. Everything of
// GLib and Aravis stays in this file.
//
// Lost cameras: Aravis waits for a control request to a GigE camera that stopped answering up to
// 500 ms five times over, does not let us set either figure (0.8.26), and notices the loss through
// its heartbeat ("control-lost") only after some five seconds. So every call that talks to the
// camera runs on the device's control thread (Control below) and the caller waits for it at most
// the grab time-out (at least a second): a call that takes longer, or that Aravis itself ends
// with a time-out, marks the camera lost, and from then on every feature call fails at once with
// a lost-camera error, without a request. A grab waits in short slices and checks those flags;
// when it times out on a GigE camera, one register read tells a lost camera from one that merely
// sent nothing. Closing a lost camera skips the requests a dead camera would make wait and waits
// only briefly for Aravis to let go of it.
#include <arv.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <unordered_set>

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

using Millis = std::chrono::milliseconds;

// What the device, its features and its stream know about the camera's state. control_lost is
// written by Aravis's heartbeat thread, the rest by the owner thread only.
struct Shared {
  std::atomic<bool> control_lost{false};  // Aravis's heartbeat gave up on the camera
  bool unanswered = false;                // a control request of ours went unanswered
  std::string unanswered_how;             // ... and how
  bool suspect = false;                   // a grab failed: the camera may be gone
  // How long a control request may take (grab_timeout, at least kMinRequestMs); -1: as long as
  // Aravis waits.
  int request_limit_ms = 5000;
  static constexpr int kMinRequestMs = 1000;

  bool Gone() const { return control_lost || unanswered; }
  void MarkUnanswered(const std::string& how) {
    if (unanswered) return;
    unanswered = true;
    unanswered_how = how;
  }
  std::string GoneReason() const {
    if (unanswered) return unanswered_how;
    return "its heartbeat went unanswered";
  }
};

void OnControlLost(ArvDevice* /*device*/, gpointer data) {
  (*static_cast<std::shared_ptr<Shared>*>(data))->control_lost = true;
}

// A failure Aravis reported for a call, taken out of its GError on the control thread.
struct AravisFailure {
  std::string reason;
  bool timeout = false;  // the camera did not answer (Aravis's own retries ran out)
};

// Calls f(GError**) and raises its error as AravisFailure.
template <class F>
auto CallRaising(const F& f) -> decltype(f(nullptr)) {
  GError* error = nullptr;
  auto fail = [&error] {
    AravisFailure failure;
    failure.timeout = g_error_matches(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_TIMEOUT);
    failure.reason = TakeError(error);
    throw failure;
  };
  if constexpr (std::is_void_v<decltype(f(nullptr))>) {
    f(&error);
    if (error) fail();
  } else {
    auto result = f(&error);
    if (error) fail();
    return result;
  }
}

// The device's control thread: runs the calls that talk to the camera one after another, so that
// the caller can stop waiting for a camera that does not answer. A call the caller gave up on
// still ends on this thread (when Aravis's own retries run out); the camera counts as lost from
// then on and nothing more is asked of it. Calls capture what they use by value: they may run
// after the caller left. The last call releases the device, and the thread ends after it.
//
// Thread safety: Run and Finish from the owner thread only.
class Control {
 public:
  explicit Control(std::shared_ptr<Shared> shared)
      : shared_(std::move(shared)), queue_(std::make_shared<Queue>()) {
    std::promise<void> ended;
    ended_ = ended.get_future();
    thread_ = std::thread([queue = queue_, ended = std::move(ended)]() mutable {
      for (;;) {
        std::function<void()> job;
        {
          std::unique_lock<std::mutex> lock(queue->m);
          queue->cv.wait(lock, [&] { return !queue->jobs.empty() || queue->stop; });
          if (queue->jobs.empty()) break;
          job = std::move(queue->jobs.front());
          queue->jobs.pop_front();
        }
        job();
      }
      ended.set_value();
    });
  }
  ~Control() {
    if (thread_.joinable()) Finish([] {}, std::nullopt);
  }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // Runs f(GError**) on the control thread and returns its result; raises AravisFailure for its
  // error. Waits at most `limit` (default: the request limit); past it the camera is marked lost
  // and AravisFailure (timeout) is raised while the call goes on without us. An Aravis time-out
  // marks the camera lost too.
  template <class F>
  auto Run(F f, std::optional<Millis> limit = std::nullopt) -> decltype(f(nullptr)) {
    using R = decltype(f(nullptr));
    auto task =
        std::make_shared<std::packaged_task<R()>>([f = std::move(f)] { return CallRaising(f); });
    std::future<R> result = task->get_future();
    Post([task] { (*task)(); });
    if (!limit && shared_->request_limit_ms >= 0) limit = Millis(shared_->request_limit_ms);
    if (limit && result.wait_for(*limit) != std::future_status::ready) {
      shared_->MarkUnanswered("no control request answered within " +
                              std::to_string(limit->count()) + " ms");
      throw AravisFailure{shared_->GoneReason(), true};
    }
    try {
      return result.get();
    } catch (const AravisFailure& failure) {
      if (failure.timeout)
        shared_->MarkUnanswered("a control request timed out: " + failure.reason);
      throw;
    }
  }

  // Runs `last` (the release of the device) as the final call and ends the thread: waits for it
  // at most `wait` (nullopt: until it ended); past that the thread finishes on its own.
  void Finish(std::function<void()> last, std::optional<Millis> wait) {
    Post(std::move(last));
    {
      std::lock_guard<std::mutex> lock(queue_->m);
      queue_->stop = true;
    }
    queue_->cv.notify_one();
    if (!wait || ended_.wait_for(*wait) == std::future_status::ready)
      thread_.join();
    else
      thread_.detach();
  }

  // How long the owner waits for a call when the camera may be gone.
  static constexpr Millis kBriefWait{300};

 private:
  struct Queue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> jobs;
    bool stop = false;
  };
  void Post(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lock(queue_->m);
      queue_->jobs.push_back(std::move(job));
    }
    queue_->cv.notify_one();
  }

  std::shared_ptr<Shared> shared_;
  std::shared_ptr<Queue> queue_;
  std::future<void> ended_;
  std::thread thread_;
};

class AravisStream final : public Stream {
 public:
  AravisStream(ArvDevice* device, std::shared_ptr<Shared> shared, Control& control,
               std::string name)
      : device_(device), shared_(std::move(shared)), control_(control), name_(std::move(name)) {
    if (shared_->Gone()) Refuse("cannot start acquisition: " + shared_->GoneReason());
    try {
      const gint64 payload = control_.Run([device](GError** e) {
        return arv_device_get_integer_feature_value(device, "PayloadSize", e);
      });
      stream_ = control_.Run([device](GError** e) {
        ArvStream* stream = arv_device_create_stream(device, nullptr, nullptr, e);
        if (stream && ARV_IS_GV_STREAM(stream)) {
          // A socket buffer that holds a whole frame, and half a second for missing packets to
          // be resent before a frame counts as damaged: a busy host must not turn a good frame
          // into a failed grab.
          g_object_set(stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_AUTO, "frame-retention",
                       guint(500000), "packet-resend", ARV_GV_STREAM_PACKET_RESEND_ALWAYS, nullptr);
        }
        return stream;
      });
      if (!stream_) Refuse("cannot open a stream");
      for (int i = 0; i < kBuffers; ++i)
        arv_stream_push_buffer(stream_, arv_buffer_new_allocate(std::size_t(payload)));
      control_.Run([device](GError** e) {
        if (arv_device_is_feature_available(device, "AcquisitionMode", nullptr)) {
          arv_device_set_string_feature_value(device, "AcquisitionMode", "Continuous", e);
          g_clear_error(e);
        }
        arv_device_execute_command(device, "AcquisitionStart", e);
      });
    } catch (const AravisFailure& failure) {
      Drop();
      Refuse("cannot start acquisition: " + failure.reason);
    }
  }

  ~AravisStream() override {
    if (!shared_->suspect && !shared_->Gone()) {
      try {
        control_.Run([device = device_](GError** e) {
          arv_device_execute_command(device, "AcquisitionStop", e);
        });
      } catch (const AravisFailure&) {
        // Closing goes on; a lost camera is marked as such by Run.
      }
    }
    Drop();
  }

  PopStatus Pop(int timeout_ms, const std::function<void(const Frame&)>& consume,
                std::string* detail) override {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + Millis(std::max(timeout_ms, 0));
    ArvBuffer* buffer = nullptr;
    for (;;) {
      if (shared_->Gone()) {
        shared_->suspect = true;
        if (detail) *detail = shared_->GoneReason();
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
      if (StoppedAnswering()) {
        if (detail) *detail = shared_->GoneReason();
        return PopStatus::kLost;
      }
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
  // How long the register read after a grab time-out may take before the camera counts as lost.
  static constexpr Millis kProbeLimit{1000};

  [[noreturn]] void Refuse(const std::string& why) const {
    throw DeviceError(shared_->Gone() ? err::kAcqLost : err::kAcqOpen,
                      "camera " + name_ + ": " + why);
  }

  // After a grab time-out: whether the camera no longer answers a control request (then it is
  // marked lost). Only GigE cameras are asked; a frame that did not come may have a good reason
  // (no trigger), and one register read costs a live camera about a millisecond.
  bool StoppedAnswering() {
    shared_->suspect = true;
    if (!ARV_IS_GV_DEVICE(device_)) return false;
    try {
      Millis limit = kProbeLimit;
      if (shared_->request_limit_ms >= 0)
        limit = std::min(limit, Millis(shared_->request_limit_ms));
      control_.Run(
          [device = device_](GError** e) {
            guint32 value = 0;
            arv_device_read_register(device, 0, &value, e);  // the bootstrap version register
          },
          limit);
      shared_->suspect = false;  // it answers: it merely sent no frame
    } catch (const AravisFailure&) {
      // Marked lost when it went unanswered; any other refusal leaves it a time-out.
    }
    return shared_->Gone();
  }

  // Releases the stream on the control thread; a lost camera is waited for only briefly.
  void Drop() {
    if (!stream_) return;
    ArvStream* stream = stream_;
    stream_ = nullptr;
    std::optional<Millis> wait;
    if (shared_->suspect || shared_->Gone()) wait = Control::kBriefWait;
    try {
      control_.Run(
          [stream](GError**) {
            g_object_unref(stream);
            return 0;
          },
          wait);
    } catch (const AravisFailure&) {
      // Still releasing on the control thread; the close goes on without waiting.
    }
  }

  ArvDevice* device_;
  ArvStream* stream_ = nullptr;
  std::shared_ptr<Shared> shared_;
  Control& control_;
  std::string name_;
  std::uint64_t timeouts_ = 0;
};

// Aravis's node map of one camera as the camera feature layer sees it. Aravis reports failures
// as GError texts without a kind: a refused write is FeatureFault::kUnexplained (the layer asks
// the map why); a camera that does not answer, or that the heartbeat has given up on, is
// kLost, and once it is, every call fails so without asking the camera.
class AravisFeatures final : public FeatureMap {
 public:
  AravisFeatures(ArvDevice* device, const Device& owner, std::shared_ptr<Shared> shared,
                 Control& control)
      : device_(device), owner_(owner), shared_(std::move(shared)), control_(control) {}

  std::string CameraName() const override { return owner_.Name(); }

  // The features the description's categories name, from its Root category down, each once in
  // the order met. The categories are the description's own data: no register is read.
  std::vector<std::string> FeatureNames() const override {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    ArvGc* gc = arv_device_get_genicam(device_);
    if (!gc) return names;
    std::vector<std::string> pending{"Root"};
    while (!pending.empty() && seen.size() < kMaxNames) {
      const std::string name = std::move(pending.back());
      pending.pop_back();
      if (!seen.insert(name).second) continue;
      ArvGcNode* node = arv_gc_get_node(gc, name.c_str());
      if (!node) continue;
      if (!ARV_IS_GC_CATEGORY(node)) {
        if (ARV_IS_GC_FEATURE_NODE(node)) names.push_back(name);
        continue;
      }
      // Pushed in reverse so that a category's features come out in their own order.
      std::vector<std::string> children;
      for (const GSList* l = arv_gc_category_get_features(ARV_GC_CATEGORY(node)); l; l = l->next)
        if (l->data) children.emplace_back(static_cast<const char*>(l->data));
      pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    return names;
  }

  bool Has(const std::string& name) override {
    CheckAnswering();
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
    if (!Answer([feature](GError** e) { return arv_gc_feature_node_is_implemented(feature, e); }))
      return genapi::Access::kNI;
    const ArvGcAccessMode mode = arv_gc_feature_node_get_actual_access_mode(feature);
    if (mode == ARV_GC_ACCESS_MODE_RO) return genapi::Access::kRO;
    if (!Answer([feature](GError** e) { return arv_gc_feature_node_is_available(feature, e); }))
      return genapi::Access::kNA;
    return mode == ARV_GC_ACCESS_MODE_WO ? genapi::Access::kWO : genapi::Access::kRW;
  }
  std::string LockReason(const std::string& name) override {
    ArvGcFeatureNode* feature = ARV_GC_FEATURE_NODE(Node(name));
    return Answer([feature](GError** e) { return arv_gc_feature_node_is_locked(feature, e); })
               ? "the feature is locked (while acquisition runs, for instance)"
               : "";
  }
  genapi::IntRange IntegerRange(const std::string& name) override {
    ArvGcInteger* node = ARV_GC_INTEGER(Node(name));
    return Answer([node](GError** e) {
      genapi::IntRange range{};
      range.min = arv_gc_integer_get_min(node, e);
      if (!*e) range.max = arv_gc_integer_get_max(node, e);
      if (!*e) range.inc = arv_gc_integer_get_inc(node, e);
      return range;
    });
  }
  // Aravis reports a placeholder increment for floats that declare none: only the bounds.
  genapi::FloatRange FloatRange(const std::string& name) override {
    ArvGcFloat* node = ARV_GC_FLOAT(Node(name));
    return Answer([node](GError** e) {
      const double min = arv_gc_float_get_min(node, e);
      const double max = *e ? 0.0 : arv_gc_float_get_max(node, e);
      return genapi::FloatRange{min, max, std::nullopt};
    });
  }
  std::vector<std::string> Entries(const std::string& name) override {
    ArvGcEnumeration* node = ARV_GC_ENUMERATION(Node(name));
    return Answer([node](GError** e) {
      guint n = 0;
      const char** entries = arv_gc_enumeration_dup_available_string_values(node, &n, e);
      std::vector<std::string> out;
      for (guint i = 0; entries && i < n; ++i) out.push_back(Str(entries[i]));
      g_free(entries);
      return out;
    });
  }

  std::int64_t GetInteger(const std::string& name) override {
    ArvGcInteger* node = ARV_GC_INTEGER(Node(name));
    return Answer([node](GError** e) { return arv_gc_integer_get_value(node, e); });
  }
  double GetFloat(const std::string& name) override {
    ArvGcFloat* node = ARV_GC_FLOAT(Node(name));
    return Answer([node](GError** e) { return arv_gc_float_get_value(node, e); });
  }
  bool GetBoolean(const std::string& name) override {
    ArvGcBoolean* node = ARV_GC_BOOLEAN(Node(name));
    return Answer([node](GError** e) { return bool(arv_gc_boolean_get_value(node, e)); });
  }
  std::string GetEnumeration(const std::string& name) override {
    ArvGcEnumeration* node = ARV_GC_ENUMERATION(Node(name));
    return Answer([node](GError** e) { return Str(arv_gc_enumeration_get_string_value(node, e)); });
  }
  std::string GetString(const std::string& name) override {
    ArvGcString* node = ARV_GC_STRING(Node(name));
    return Answer([node](GError** e) { return Str(arv_gc_string_get_value(node, e)); });
  }

  // Aravis has no check-only write: the layer's checks are all there is.
  void SetInteger(const std::string& name, std::int64_t v, WriteMode mode) override {
    if (mode != WriteMode::kWrite) return;
    ArvGcInteger* node = ARV_GC_INTEGER(Node(name));
    Answer([node, v](GError** e) { arv_gc_integer_set_value(node, v, e); });
  }
  void SetFloat(const std::string& name, double v, WriteMode mode) override {
    if (mode != WriteMode::kWrite) return;
    ArvGcFloat* node = ARV_GC_FLOAT(Node(name));
    Answer([node, v](GError** e) { arv_gc_float_set_value(node, v, e); });
  }
  void SetBoolean(const std::string& name, bool v, WriteMode mode) override {
    if (mode != WriteMode::kWrite) return;
    ArvGcBoolean* node = ARV_GC_BOOLEAN(Node(name));
    Answer([node, v](GError** e) { arv_gc_boolean_set_value(node, gboolean(v), e); });
  }
  void SetEnumeration(const std::string& name, const std::string& entry, WriteMode mode) override {
    if (mode != WriteMode::kWrite) return;
    ArvGcEnumeration* node = ARV_GC_ENUMERATION(Node(name));
    Answer(
        [node, entry](GError** e) { arv_gc_enumeration_set_string_value(node, entry.c_str(), e); });
  }
  void SetString(const std::string& name, const std::string& v, WriteMode mode) override {
    if (mode != WriteMode::kWrite) return;
    ArvGcString* node = ARV_GC_STRING(Node(name));
    Answer([node, v](GError** e) { arv_gc_string_set_value(node, v.c_str(), e); });
  }
  void Execute(const std::string& name, WriteMode mode) override {
    if (mode != WriteMode::kWrite) return;
    ArvGcCommand* node = ARV_GC_COMMAND(Node(name));
    Answer([node](GError** e) { arv_gc_command_execute(node, e); });
  }

 private:
  // The most feature names listed: more than any camera's description holds.
  static constexpr std::size_t kMaxNames = 100000;

  // A lost camera is not asked again: the next request would wait as long as the last.
  void CheckAnswering() const {
    if (shared_->Gone()) throw FeatureError(FeatureFault::kLost, shared_->GoneReason());
  }
  ArvGcNode* Node(const std::string& name) {
    CheckAnswering();
    ArvGcNode* node = arv_device_get_feature(device_, name.c_str());
    if (!node || !ARV_IS_GC_FEATURE_NODE(node)) throw FeatureError(FeatureFault::kUnknown, name);
    return node;
  }

  // Runs f(GError**) on the control thread and raises its error. The nodes it uses belong to the
  // device, which outlives every call of its control thread.
  template <class F>
  auto Answer(F f) -> decltype(f(nullptr)) {
    CheckAnswering();
    try {
      return control_.Run(std::move(f));
    } catch (const AravisFailure& failure) {
      throw FeatureError(shared_->Gone() ? FeatureFault::kLost : FeatureFault::kUnexplained,
                         failure.reason);
    }
  }

  ArvDevice* device_;
  const Device& owner_;
  std::shared_ptr<Shared> shared_;
  Control& control_;
};

class AravisDevice final : public Device {
 public:
  AravisDevice(ArvDevice* device, DeviceInfo info)
      : device_(device),
        info_(std::move(info)),
        shared_(std::make_shared<Shared>()),
        control_(shared_),
        features_(device, *this, shared_, control_) {
    arv_device_set_range_check_policy(device_, ARV_RANGE_CHECK_POLICY_ENABLE);
    arv_device_set_access_check_policy(device_, ARV_ACCESS_CHECK_POLICY_ENABLE);
    // The handler holds the shared state until the device is finalized, on whatever thread.
    g_signal_connect_data(
        device_, "control-lost", G_CALLBACK(OnControlLost), new std::shared_ptr<Shared>(shared_),
        [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<Shared>*>(data); },
        GConnectFlags(0));
  }
  ~AravisDevice() override {
    // While the camera answers this is quick; when it may be gone, releasing a GigE device makes
    // control requests that a dead camera lets wait for seconds: the control thread finishes
    // that on its own.
    std::optional<Millis> wait;
    if (shared_->suspect || shared_->Gone()) wait = Control::kBriefWait;
    control_.Finish([device = device_] { g_object_unref(device); }, wait);
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
    return std::make_unique<AravisStream>(device_, shared_, control_, Name());
  }
  std::vector<std::string> FeatureListing() override { return ListFeatures(features_); }
  void SetGrabTimeout(int timeout_ms) override {
    shared_->request_limit_ms =
        timeout_ms < 0 ? -1 : std::max(timeout_ms, int(Shared::kMinRequestMs));
  }

 private:
  ArvDevice* device_;
  DeviceInfo info_;
  std::shared_ptr<Shared> shared_;
  Control control_;
  AravisFeatures features_;
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

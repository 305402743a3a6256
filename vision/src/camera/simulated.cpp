// The simulated camera: a device of our own behind the camera seam, chosen when the
// environment variable VISION_FAKE_CAMERA is set. It touches no network and runs no thread:
// frames are made on demand when the consumer asks for one, at the moment a real camera would
// have delivered them (free-running: every 1/AcquisitionFrameRate seconds; triggered: at once).
//
// VISION_FAKE_CAMERA is a comma-separated option list:
//   1              the defaults (640 x 480, 30 frames per second)
//   width=W        image width  (16 .. 8192)
//   height=H       image height (16 .. 8192)
//   fps=F          free-running frame rate (0.1 .. 1000)
//   reject=NAME    every write to feature NAME (or to the interface parameter NAME, such as
//                  grab_timeout) is refused as a real camera refuses it; may be repeated
//   lose_after=N   the camera vanishes after N frames: the next frame never comes and every later
//                  request fails as for a camera that was unplugged
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <set>
#include <thread>

#include "camera/camera.h"
#include "detail/error.h"
#include "detail/param.h"
#include "vision/HErrorCodes.h"

namespace vision::detail::camera {
namespace {

using Clock = std::chrono::steady_clock;

struct SimOptions {
  std::int64_t width = 640;
  std::int64_t height = 480;
  double fps = 30.0;
  std::set<std::string> reject;
  std::int64_t lose_after = -1;
};

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

[[noreturn]] void BadOption(const std::string& option, const std::string& why) {
  throw DeviceError(err::kAcqParamValue,
                    "VISION_FAKE_CAMERA: option '" + option + "' " + why +
                        " (options: 1, width=W, height=H, fps=F, reject=NAME, lose_after=N)");
}

SimOptions ParseOptions(const std::string& text) {
  SimOptions opt;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string option = Trim(text.substr(start, comma - start));
    start = comma + 1;
    if (option.empty() || option == "1") continue;
    const auto eq = option.find('=');
    if (eq == std::string::npos) BadOption(option, "is unknown");
    const std::string key = Trim(option.substr(0, eq));
    const std::string value = Trim(option.substr(eq + 1));
    auto integer = [&](std::int64_t lo, std::int64_t hi) {
      std::int64_t v = 0;
      if (!ReadInteger(HTuple(value), &v) || v < lo || v > hi)
        BadOption(option,
                  "needs an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
      return v;
    };
    if (key == "width") {
      opt.width = integer(16, 8192);
    } else if (key == "height") {
      opt.height = integer(16, 8192);
    } else if (key == "lose_after") {
      opt.lose_after = integer(0, std::int64_t{1} << 40);
    } else if (key == "fps") {
      double v = 0;
      if (!ReadNumber(HTuple(value), &v) || !(v >= 0.1 && v <= 1000))
        BadOption(option, "needs a frame rate from 0.1 to 1000");
      opt.fps = v;
    } else if (key == "reject") {
      if (value.empty()) BadOption(option, "needs a feature name");
      opt.reject.insert(value);
    } else {
      BadOption(option, "is unknown");
    }
  }
  return opt;
}

enum class Kind { kInteger, kFloat, kBoolean, kString, kEnumeration, kCommand };

struct Feature {
  const char* name;
  Kind kind;
  bool writable;
  bool locked_while_acquiring;
  std::vector<std::string> entries;  // enumerations
  std::int64_t imin = 0, imax = 0;   // integers
  double fmin = 0, fmax = 0;         // floats
};

const std::vector<Feature>& Features() {
  static const std::vector<Feature> features = {
      {"DeviceVendorName", Kind::kString, false, false, {}},
      {"DeviceModelName", Kind::kString, false, false, {}},
      {"DeviceSerialNumber", Kind::kString, false, false, {}},
      {"DeviceUserID", Kind::kString, true, false, {}},
      {"Width", Kind::kInteger, true, true, {}, 16, 8192},
      {"Height", Kind::kInteger, true, true, {}, 16, 8192},
      {"WidthMax", Kind::kInteger, false, false, {}},
      {"HeightMax", Kind::kInteger, false, false, {}},
      {"PayloadSize", Kind::kInteger, false, false, {}},
      {"PixelFormat", Kind::kEnumeration, true, true, {"Mono8", "Mono16", "RGB8", "BGR8"}},
      {"TriggerSelector", Kind::kEnumeration, true, false, {"FrameStart"}},
      {"TriggerMode", Kind::kEnumeration, true, false, {"Off", "On"}},
      {"TriggerSource", Kind::kEnumeration, true, false, {"Software", "Line0"}},
      {"TriggerActivation", Kind::kEnumeration, true, false, {"RisingEdge", "FallingEdge"}},
      {"TriggerSoftware", Kind::kCommand, true, false, {}},
      {"AcquisitionFrameRate", Kind::kFloat, true, false, {}, 0, 0, 0.1, 1000.0},
      {"ExposureTime", Kind::kFloat, true, false, {}, 0, 0, 10.0, 1e6},
      {"ReverseX", Kind::kBoolean, true, false, {}},
  };
  return features;
}

const Feature* FindFeature(const std::string& name) {
  for (const auto& f : Features())
    if (name == f.name) return &f;
  return nullptr;
}

std::string FeatureList() {
  std::string out;
  for (const auto& f : Features()) {
    if (!out.empty()) out += ", ";
    out += f.name;
  }
  return out;
}

// Everything the device and its stream share.
struct SimState {
  SimOptions opt;
  DeviceInfo info;
  std::int64_t width, height;
  std::string pixel_format = "Mono8";
  std::string trigger_mode = "Off";
  std::string trigger_source = "Software";
  std::string trigger_activation = "RisingEdge";
  double frame_rate;
  double exposure = 10000.0;
  bool reverse_x = false;
  std::string user_id;

  bool acquiring = false;
  int pending_triggers = 0;
  std::uint64_t delivered = 0;  // frames produced since the device was opened
  bool lost = false;
  Clock::time_point acq_start;
  std::uint64_t next_slot = 0;  // free-running: index of the next frame period
  StreamCounters counters;
  std::vector<std::uint8_t> frame;

  std::string Name() const { return "'" + info.model + " " + info.serial + "'"; }

  std::uint32_t Pfnc() const {
    if (pixel_format == "Mono16") return pfnc::kMono16;
    if (pixel_format == "RGB8") return pfnc::kRGB8;
    if (pixel_format == "BGR8") return pfnc::kBGR8;
    return pfnc::kMono8;
  }
  std::int64_t BytesPerPixel() const {
    if (pixel_format == "Mono16") return 2;
    if (pixel_format == "RGB8" || pixel_format == "BGR8") return 3;
    return 1;
  }

  void CheckPresent() const {
    if (lost)
      throw DeviceError(err::kAcqLost, "camera " + Name() +
                                           " no longer answers (it was lost after " +
                                           std::to_string(opt.lose_after) + " frames)");
  }

  // Draws the test scene for frame n: a diagonal gradient that drifts with every frame and a
  // bright square that crosses the image, so consecutive frames always differ.
  void Render(std::uint64_t n) {
    const int w = int(width), h = int(height);
    const int bpp = int(BytesPerPixel());
    frame.resize(std::size_t(w) * std::size_t(h) * std::size_t(bpp));
    const int side = std::max(8, std::min(w, h) / 6);
    const int box_x = int((n * 7) % std::uint64_t(std::max(1, w - side)));
    const int box_y =
        int((h - side) / 2 + std::lround((h - side) / 3.0 * std::sin(double(n) * 0.05)));
    const std::uint8_t shift = std::uint8_t(n * 3);
    const bool bgr = pixel_format == "BGR8";
    std::vector<std::uint8_t> red(std::size_t(w), 0);
    for (int x = 0; x < w; ++x) red[std::size_t(x)] = std::uint8_t(x * 255 / std::max(1, w - 1));
    std::uint8_t* p = frame.data();
    for (int y = 0; y < h; ++y) {
      const bool box_row = y >= box_y && y < box_y + side;
      const std::uint8_t green = std::uint8_t(y * 255 / std::max(1, h - 1));
      for (int xi = 0; xi < w; ++xi) {
        const int x = reverse_x ? w - 1 - xi : xi;
        const bool in_box = box_row && x >= box_x && x < box_x + side;
        const std::uint8_t grey = in_box ? 255 : std::uint8_t(((x + y) >> 2) + shift);
        switch (bpp) {
          case 1:
            *p++ = grey;
            break;
          case 2:  // little-endian 16 bit
            *p++ = grey;
            *p++ = grey;
            break;
          default: {
            const std::uint8_t r = in_box ? 255 : red[std::size_t(x)];
            const std::uint8_t g = in_box ? 255 : green;
            const std::uint8_t b = in_box ? 64 : shift;
            p[0] = bgr ? b : r;
            p[1] = g;
            p[2] = bgr ? r : b;
            p += 3;
          }
        }
      }
    }
  }
};

class SimStream final : public Stream {
 public:
  explicit SimStream(std::shared_ptr<SimState> s) : s_(std::move(s)) {
    s_->acquiring = true;
    s_->pending_triggers = 0;
    s_->acq_start = Clock::now();
    s_->next_slot = 1;
  }
  ~SimStream() override { s_->acquiring = false; }

  PopStatus Pop(int timeout_ms, const std::function<void(const Frame&)>& consume,
                std::string* detail) override {
    SimState& s = *s_;
    if (s.lost) return Lost(detail);
    const bool triggered = s.trigger_mode == "On";
    if (triggered) {
      if (s.pending_triggers == 0) {
        // Nothing else can fire a trigger while this thread waits: sleep out the time-out.
        Wait(timeout_ms, detail);
        return PopStatus::kTimeout;
      }
      --s.pending_triggers;
    } else {
      // Free-running: frame k completes at acq_start + k periods. Frames whose time passed
      // while nobody asked were overwritten (counted as underruns); the next one is handed out.
      const double period = 1.0 / s.frame_rate;
      const auto since = std::chrono::duration<double>(Clock::now() - s.acq_start).count();
      const auto due_slot = std::uint64_t(std::ceil(since / period));
      if (due_slot > s.next_slot) {
        s.counters.underruns += due_slot - s.next_slot;
        s.next_slot = due_slot;
      }
      const auto due =
          s.acq_start + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(double(s.next_slot) * period));
      const auto now = Clock::now();
      if (due > now) {
        if (timeout_ms >= 0 && due - now > std::chrono::milliseconds(timeout_ms)) {
          Wait(timeout_ms, detail);
          return PopStatus::kTimeout;
        }
        std::this_thread::sleep_until(due);
      }
      ++s.next_slot;
    }
    if (s.opt.lose_after >= 0 && s.delivered >= std::uint64_t(s.opt.lose_after)) {
      s.lost = true;
      return Lost(detail);
    }
    s.Render(s.delivered);
    Frame view;
    view.pixel_format = s.Pfnc();
    view.width = int(s.width);
    view.height = int(s.height);
    view.data = s.frame.data();
    view.size = s.frame.size();
    view.frame_id = ++s.delivered;
    ++s.counters.completed;
    consume(view);
    return PopStatus::kFrame;
  }

  void Flush() override {
    // Triggered frames were asked for one by one and stay; free-running ones are skipped.
    if (s_->trigger_mode != "On") {
      // Skip the periods that have already begun.
      const double period = 1.0 / s_->frame_rate;
      const auto since = std::chrono::duration<double>(Clock::now() - s_->acq_start).count();
      s_->next_slot = std::max(s_->next_slot, std::uint64_t(std::ceil(since / period)));
    }
  }

  StreamCounters Counters() const override { return s_->counters; }

 private:
  void Wait(int timeout_ms, std::string* detail) {
    ++s_->counters.timeouts;
    if (timeout_ms < 0) {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));  // asked to wait forever
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    if (detail)
      *detail = s_->trigger_mode == "On"
                    ? "no trigger arrived (TriggerSource " + s_->trigger_source + ")"
                    : "the camera sent no frame";
  }
  PopStatus Lost(std::string* detail) {
    if (detail) *detail = "it stopped answering after " + std::to_string(s_->delivered) + " frames";
    return PopStatus::kLost;
  }

  std::shared_ptr<SimState> s_;
};

class SimDevice final : public Device {
 public:
  explicit SimDevice(std::shared_ptr<SimState> s) : s_(std::move(s)) {}
  const DeviceInfo& Info() const override { return s_->info; }

  HTuple GetFeature(const std::string& name) override {
    const Feature& f = Lookup(name);
    SimState& s = *s_;
    s.CheckPresent();
    const std::string n = f.name;
    if (n == "DeviceVendorName") return HTuple(s.info.vendor);
    if (n == "DeviceModelName") return HTuple(s.info.model);
    if (n == "DeviceSerialNumber") return HTuple(s.info.serial);
    if (n == "DeviceUserID") return HTuple(s.user_id);
    if (n == "Width") return HTuple(Hlong(s.width));
    if (n == "Height") return HTuple(Hlong(s.height));
    if (n == "WidthMax" || n == "HeightMax") return HTuple(Hlong(8192));
    if (n == "PayloadSize") return HTuple(Hlong(s.width * s.height * s.BytesPerPixel()));
    if (n == "PixelFormat") return HTuple(s.pixel_format);
    if (n == "TriggerSelector") return HTuple("FrameStart");
    if (n == "TriggerMode") return HTuple(s.trigger_mode);
    if (n == "TriggerSource") return HTuple(s.trigger_source);
    if (n == "TriggerActivation") return HTuple(s.trigger_activation);
    if (n == "AcquisitionFrameRate") return HTuple(s.frame_rate);
    if (n == "ExposureTime") return HTuple(s.exposure);
    if (n == "ReverseX") return HTuple(Hlong(s.reverse_x ? 1 : 0));
    throw DeviceError(err::kAcqParamValue, "feature '" + name + "' of camera " + s.Name() +
                                               " cannot be read (a command)");
  }

  void SetFeature(const std::string& name, const HTuple& value) override {
    const Feature& f = Lookup(name);
    SimState& s = *s_;
    auto refuse = [&](std::uint32_t code, const std::string& why) {
      throw Refusal(code, s.Name(), name, value, why);
    };
    s.CheckPresent();
    if (!f.writable) refuse(err::kAcqReadOnly, "the feature is read-only");
    if (s.opt.reject.count(name)) refuse(err::kAcqParamValue, "write access denied by the camera");
    if (f.locked_while_acquiring && s.acquiring)
      refuse(err::kAcqParamValue, "the feature is locked while acquisition runs");
    const std::string n = f.name;
    switch (f.kind) {
      case Kind::kEnumeration: {
        const std::string entry = ValueText(value);
        if (std::find(f.entries.begin(), f.entries.end(), entry) == f.entries.end()) {
          std::string offered;
          for (const auto& e : f.entries) offered += (offered.empty() ? "" : ", ") + e;
          refuse(err::kAcqParamValue, "no such entry (the camera offers " + offered + ")");
        }
        if (n == "PixelFormat") s.pixel_format = entry;
        if (n == "TriggerMode") {
          if (entry != s.trigger_mode) s.pending_triggers = 0;
          s.trigger_mode = entry;
        }
        if (n == "TriggerSource") s.trigger_source = entry;
        if (n == "TriggerActivation") s.trigger_activation = entry;
        return;
      }
      case Kind::kInteger: {
        std::int64_t v = 0;
        if (!ReadInteger(value, &v)) refuse(err::kAcqParamValue, "an integer is expected");
        if (v < f.imin || v > f.imax)
          refuse(err::kAcqParamValue,
                 "out of range " + std::to_string(f.imin) + " to " + std::to_string(f.imax));
        (n == "Width" ? s.width : s.height) = v;
        return;
      }
      case Kind::kFloat: {
        double v = 0;
        if (!ReadNumber(value, &v)) refuse(err::kAcqParamValue, "a number is expected");
        if (!(v >= f.fmin && v <= f.fmax))
          refuse(err::kAcqParamValue,
                 "out of range " + Describe(HTuple(f.fmin)) + " to " + Describe(HTuple(f.fmax)));
        (n == "AcquisitionFrameRate" ? s.frame_rate : s.exposure) = v;
        return;
      }
      case Kind::kBoolean: {
        bool v = false;
        if (!ReadBoolean(value, &v)) refuse(err::kAcqParamValue, "true or false is expected");
        s.reverse_x = v;
        return;
      }
      case Kind::kString:
        s.user_id = ValueText(value);
        return;
      case Kind::kCommand:
        // TriggerSoftware: one frame when acquisition runs in software-triggered mode; like a
        // real camera, a trigger in any other state is accepted and has no effect.
        if (s.acquiring && s.trigger_mode == "On" && s.trigger_source == "Software") {
          if (s.pending_triggers < 16)
            ++s.pending_triggers;
          else
            ++s.counters.underruns;
        }
        return;
    }
  }

  std::unique_ptr<Stream> StartStream() override {
    s_->CheckPresent();
    if (s_->acquiring)
      throw DeviceError(err::kAcqOpen, "camera " + s_->Name() + " is already acquiring");
    return std::make_unique<SimStream>(s_);
  }

  void CheckInterfaceWrite(const std::string& name, const HTuple& value) override {
    if (s_->opt.reject.count(name))
      throw Refusal(err::kAcqParamValue, s_->Name(), name, value,
                    "the driver does not accept this setting");
  }

 private:
  const Feature& Lookup(const std::string& name) const {
    const Feature* f = FindFeature(name);
    if (!f)
      throw DeviceError(err::kAcqUnknownParam, "camera " + s_->Name() + " has no feature '" + name +
                                                   "' (it offers " + FeatureList() + ")");
    return *f;
  }

  std::shared_ptr<SimState> s_;
};

class SimInterface final : public Interface {
 public:
  explicit SimInterface(SimOptions opt) : opt_(std::move(opt)) {
    info_.vendor = "vision";
    info_.model = "Simulated camera";
    info_.serial = "SIM0001";
    info_.id = "vision-Simulated-SIM0001";
    info_.protocol = "Simulated";
  }
  std::vector<DeviceInfo> Discover() override { return {info_}; }
  std::unique_ptr<Device> Open(const DeviceInfo& /*info*/) override {
    auto s = std::make_shared<SimState>();
    s->opt = opt_;
    s->info = info_;
    s->width = opt_.width;
    s->height = opt_.height;
    s->frame_rate = opt_.fps;
    return std::make_unique<SimDevice>(std::move(s));
  }

 private:
  SimOptions opt_;
  DeviceInfo info_;
};

}  // namespace

std::unique_ptr<Interface> MakeSimulatedInterface(const std::string& options) {
  return std::make_unique<SimInterface>(ParseOptions(options));
}

}  // namespace vision::detail::camera

// HFramegrabber: the facade over the camera seam (camera.h). It checks the operator
// arguments, keeps the interface parameters (grab_timeout), converts frames into images and turns
// the backends' DeviceError into HException carrying the operator's name.
#include "vision/HFramegrabber.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "camera/camera.h"
#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/param.h"
#include "detail/text.h"
#include "vision/HErrorCodes.h"

namespace vision {
namespace detail {

using camera::DeviceError;

// Every operation holds `op` for its whole run, so one handle is used by one thread at a time.
// CloseFramegrabber may come from another thread while a grab waits: it first aborts the wait
// (through `abortable`, guarded by its own lock), then takes `op` and closes.
class FramegrabberImpl {
 public:
  std::unique_ptr<camera::Interface> iface;
  std::unique_ptr<camera::Device> device;
  std::shared_ptr<camera::Stream> stream;
  static constexpr int kDefaultGrabTimeoutMs = 5000;
  int grab_timeout_ms = kDefaultGrabTimeoutMs;
  std::string external_trigger = "default";
  std::chrono::steady_clock::time_point last_grab{};
  mutable std::mutex op;
  std::atomic<bool> open{false};  // for IsOpen, which never waits for op

  // Closes; the caller holds op.
  void CloseLocked() noexcept {
    open = false;
    SetStream(nullptr);
    device.reset();
    iface.reset();
  }
  // Closes from any thread, ending a wait in another thread first.
  void Close() noexcept {
    std::shared_ptr<camera::Stream> waiting;
    {
      std::lock_guard<std::mutex> lock(abort_mutex_);
      waiting = abortable_;
    }
    if (waiting) waiting->Abort();
    waiting.reset();  // the stream stops below, under op
    std::lock_guard<std::mutex> lock(op);
    CloseLocked();
  }
  void SetStream(std::shared_ptr<camera::Stream> s) noexcept {
    {
      std::lock_guard<std::mutex> lock(abort_mutex_);
      abortable_ = s;
    }
    stream = std::move(s);  // an old stream stops here, outside the abort lock
  }

  camera::Device& Dev(const char* proc) const {
    if (!device)
      Fail(err::kAcqNotOpen, proc, "the framegrabber handle is not open (OpenFramegrabber first)");
    return *device;
  }

 private:
  std::mutex abort_mutex_;
  std::shared_ptr<camera::Stream> abortable_;
};

namespace {

constexpr const char* kInterfaceName = "GenICamTL";
// The longest file path or id, and the longest report line, shown in a listing.
constexpr std::size_t kFieldBytes = 1024;
constexpr std::size_t kLineBytes = 4096;

// Runs one operator's work on the camera seam: a DeviceError becomes HException with the
// operator's name, and so (through GuardMemory) does anything else a backend or a producer's
// answer could raise (std::bad_alloc, a length error): nothing but HException leaves an operator.
template <class Work>
auto Guarded(const char* proc, Work&& work) -> decltype(work()) {
  return GuardMemory(proc, [&]() -> decltype(work()) {
    try {
      return work();
    } catch (const DeviceError& e) {
      Fail(e.Code(), proc, e.what());
    }
  });
}

// A camera is also found by the printable form of its id, which listings show.
bool Matches(const camera::DeviceInfo& info, const std::string& wanted) {
  return wanted == info.id || wanted == Printable(info.id, kFieldBytes) ||
         (!info.serial.empty() && wanted == info.serial) ||
         (!info.user_id.empty() && wanted == info.user_id);
}

// Opens the camera "device" names: the first one for "default", else the first whose id,
// serial number or user-defined name matches.
std::unique_ptr<camera::Device> OpenCamera(camera::Interface& iface, const std::string& wanted,
                                           const char* proc) {
  const auto found = iface.Discover();
  if (found.empty()) {
    std::string searched;
    for (const auto& line : iface.Report()) searched += (searched.empty() ? "" : "; ") + line;
    Fail(err::kAcqNoDevice, proc,
         "no camera found on interface GenICamTL (device '" + wanted + "' was asked for)" +
             (searched.empty() ? std::string() : " [" + searched + "]"));
  }
  if (wanted == "default") return iface.Open(found.front());
  for (const auto& info : found)
    if (Matches(info, wanted)) return iface.Open(info);
  // Where discovery does not tell the user-defined name, it is known once a camera is open:
  // try those cameras in turn.
  for (const auto& info : found) {
    if (!info.user_id.empty()) continue;
    try {
      auto candidate = iface.Open(info);
      if (!candidate->Info().user_id.empty() && candidate->Info().user_id == wanted)
        return candidate;
    } catch (const DeviceError&) {
      // A camera that cannot be opened is not the one asked for.
    }
  }
  std::string list;
  for (const auto& info : found) list += (list.empty() ? "" : ", ") + info.id;
  Fail(err::kAcqNoDevice, proc,
       "camera '" + wanted + "' not found on interface GenICamTL (found: " + list + ")");
}

// Converts one frame into an image: Mono8 to one byte channel; RGB8 and BGR8 to three byte
// channels in R, G, B order; Mono10/12/14/16 (16 bits per pixel, little endian) to "uint2".
HImage FrameToImage(const camera::Frame& f, const std::string& camera_name, const char* proc) {
  std::size_t bpp = 0;
  int channels = 1;
  PixelType type = PixelType::Byte;
  switch (f.pixel_format) {
    case camera::pfnc::kMono8:
      bpp = 1;
      break;
    case camera::pfnc::kMono10:
    case camera::pfnc::kMono12:
    case camera::pfnc::kMono14:
    case camera::pfnc::kMono16:
      bpp = 2;
      type = PixelType::UInt2;
      break;
    case camera::pfnc::kRGB8:
    case camera::pfnc::kBGR8:
      bpp = 3;
      channels = 3;
      break;
    default:
      Fail(err::kAcqPixelFormat, proc,
           "camera " + camera_name + " delivers pixel format " +
               camera::PixelFormatName(f.pixel_format) +
               ", which cannot be converted (supported: Mono8, Mono10, Mono12, Mono14, Mono16, "
               "RGB8, BGR8)");
  }
  // Sides within the image limits first, so that the sizes below cannot overflow.
  const bool sides = f.width > 0 && f.height > 0 && f.width <= kMaxImageSide &&
                     f.height <= kMaxImageSide && f.row_padding <= std::size_t(kMaxImageBytes);
  const std::size_t row = std::size_t(f.width) * bpp;
  const std::size_t stride = row + f.row_padding;
  if (!sides || f.size < stride * std::size_t(f.height - 1) + row)
    Fail(err::kAcqBuffer, proc,
         "camera " + camera_name + " delivered a frame of " + std::to_string(f.size) +
             " bytes for " + std::to_string(f.width) + " x " + std::to_string(f.height) + " " +
             camera::PixelFormatName(f.pixel_format) + " pixels" +
             (f.row_padding ? " with " + std::to_string(f.row_padding) + " bytes after each row"
                            : std::string()));
  ImageData img = AllocateImage(type, f.width, f.height, channels, proc);
  const bool bgr = f.pixel_format == camera::pfnc::kBGR8;
  const std::size_t width = std::size_t(f.width);
  for (std::size_t y = 0; y < std::size_t(f.height); ++y) {
    const std::uint8_t* p = f.data + y * stride;
    const std::size_t first = y * width;
    if (type == PixelType::UInt2) {
      // Our uint2 planes hold native-endian 16-bit values; the wire is little endian.
      std::uint16_t* out = reinterpret_cast<std::uint16_t*>(MutablePlane(img, 0)) + first;
      for (std::size_t x = 0; x < width; ++x)
        out[x] = std::uint16_t(p[2 * x] | (p[2 * x + 1] << 8));
    } else if (channels == 1) {
      std::memcpy(MutablePlane(img, 0) + first, p, row);
    } else {
      std::uint8_t* r = MutablePlane(img, 0) + first;
      std::uint8_t* g = MutablePlane(img, 1) + first;
      std::uint8_t* b = MutablePlane(img, 2) + first;
      for (std::size_t x = 0; x < width; ++x, p += 3) {
        r[x] = bgr ? p[2] : p[0];
        g[x] = p[1];
        b[x] = bgr ? p[0] : p[2];
      }
    }
  }
  return HImage(MakeObject(std::move(img)));
}

}  // namespace
}  // namespace detail

using detail::DeviceError;
using detail::Fail;

HFramegrabber::HFramegrabber() : impl_(std::make_unique<detail::FramegrabberImpl>()) {}

HFramegrabber::~HFramegrabber() { impl_->Close(); }

bool HFramegrabber::IsOpen() const noexcept { return impl_->open; }

void HFramegrabber::OpenFramegrabber(const HTuple& name, const HTuple& /*horizontal_resolution*/,
                                     const HTuple& /*vertical_resolution*/,
                                     const HTuple& image_width, const HTuple& image_height,
                                     const HTuple& /*start_row*/, const HTuple& /*start_column*/,
                                     const HTuple& /*field*/, const HTuple& /*bits_per_channel*/,
                                     const HTuple& /*color_space*/, const HTuple& /*generic*/,
                                     const HTuple& external_trigger, const HTuple& /*camera_type*/,
                                     const HTuple& device, const HTuple& /*port*/,
                                     const HTuple& /*line_in*/) {
  static constexpr const char* proc = "OpenFramegrabber";
  const std::string iface_name = detail::TextParam(name, proc, "Name");
  if (iface_name != detail::kInterfaceName)
    Fail(err::kAcqInterface, proc,
         "unknown acquisition interface '" + iface_name + "' (available: GenICamTL)");
  const std::string wanted = detail::TextParam(device, proc, "Device");
  const std::string trigger = detail::TextParam(external_trigger, proc, "ExternalTrigger");
  if (trigger != "true" && trigger != "false" && trigger != "default")
    detail::BadParam(err::kWrongParamValue, proc, "ExternalTrigger", external_trigger,
                     "'true', 'false' or 'default' expected");
  Hlong width = 0, height = 0;
  try {
    width = image_width.L();
    height = image_height.L();
  } catch (const HException&) {
    Fail(err::kWrongParamType, proc,
         "ImageWidth and ImageHeight must be integers, not " + detail::Describe(image_width) +
             " and " + detail::Describe(image_height));
  }

  impl_->Close();
  std::lock_guard<std::mutex> lock(impl_->op);
  detail::Guarded(proc, [&] {
    auto iface = detail::camera::MakeGenICamInterface();
    auto dev = detail::OpenCamera(*iface, wanted, proc);
    dev->SetGrabTimeout(detail::FramegrabberImpl::kDefaultGrabTimeoutMs);
    if (width > 0) dev->SetFeature("Width", HTuple(width));
    if (height > 0) dev->SetFeature("Height", HTuple(height));
    impl_->iface = std::move(iface);
    impl_->device = std::move(dev);
    impl_->open = true;
  });
  impl_->external_trigger = trigger;
  impl_->grab_timeout_ms = detail::FramegrabberImpl::kDefaultGrabTimeoutMs;
}

HTuple HFramegrabber::GetFramegrabberParam(const HTuple& param) const {
  static constexpr const char* proc = "GetFramegrabberParam";
  std::lock_guard<std::mutex> lock(impl_->op);
  auto& dev = impl_->Dev(proc);
  const std::string name = detail::TextParam(param, proc, "Param");
  return detail::Guarded(proc, [&]() -> HTuple {
    if (name == "image_width") return dev.GetFeature("Width");
    if (name == "image_height") return dev.GetFeature("Height");
    if (name == "grab_timeout") return HTuple(impl_->grab_timeout_ms);
    if (name == "device") return HTuple(dev.Info().id);
    if (name == "name") return HTuple(detail::kInterfaceName);
    if (name == "external_trigger") return HTuple(impl_->external_trigger);
    if (name == "feature_listing" || name == "module_listing") {
      HTuple lines;
      for (const std::string& line :
           name == "feature_listing" ? dev.FeatureListing() : dev.ModuleListing())
        lines.Append(line);
      return lines;
    }
    if (impl_->stream) {
      const auto c = impl_->stream->Counters();
      if (name == "frames_completed") return HTuple(Hlong(c.completed));
      if (name == "frames_failed") return HTuple(Hlong(c.failures));
      if (name == "frames_underrun") return HTuple(Hlong(c.underruns));
      if (name == "grab_timeouts") return HTuple(Hlong(c.timeouts));
    }
    return dev.GetFeature(name);
  });
}

namespace {

// One parameter write of SetFramegrabberParam: checked only (apply false) or done.
void SetOne(detail::FramegrabberImpl& impl, detail::camera::Device& dev, const std::string& name,
            const HTuple& v, bool apply, const char* proc) {
  if (name == "grab_timeout") {
    std::int64_t ms = 0;
    if (!detail::ReadInteger(v, &ms) || ms < -1 || ms > 24LL * 3600 * 1000)
      Fail(err::kWrongParamValue, proc,
           "grab_timeout must be a time in milliseconds (0 to 86400000) or -1 for no limit, "
           "not " +
               detail::Describe(v));
    dev.CheckInterfaceWrite(name, v);
    if (apply) {
      impl.grab_timeout_ms = int(ms);
      dev.SetGrabTimeout(int(ms));
    }
  } else if (name == "image_width" || name == "image_height") {
    const char* feature = name == "image_width" ? "Width" : "Height";
    apply ? dev.SetFeature(feature, v) : dev.CheckFeature(feature, v);
  } else if (name == "device" || name == "name" || name == "external_trigger") {
    Fail(err::kAcqReadOnly, proc,
         "'" + name + "' is fixed when the camera is opened and cannot be set (value " +
             detail::Describe(v) + ")");
  } else {
    apply ? dev.SetFeature(name, v) : dev.CheckFeature(name, v);
  }
}

}  // namespace

void HFramegrabber::SetFramegrabberParam(const HTuple& param, const HTuple& value) {
  static constexpr const char* proc = "SetFramegrabberParam";
  std::lock_guard<std::mutex> lock(impl_->op);
  auto& dev = impl_->Dev(proc);
  if (param.IsEmpty() || (value.Length() != param.Length() && value.Length() != 1) ||
      (value.Length() != 1 && param.Length() == 1))
    Fail(err::kWrongParamCount, proc,
         "give one value per parameter name: " + detail::Describe(param) + " and " +
             detail::Describe(value));
  std::vector<std::pair<std::string, HTuple>> writes;
  for (Hlong i = 0; i < param.Length(); ++i)
    writes.emplace_back(detail::TextParam(param[i], proc, "Param"),
                        value.Length() == 1 ? value : value[i]);
  detail::Guarded(proc, [&] {
    // Several at once: every one is checked before the first is written, so a refusal that can
    // be known in advance leaves the camera as it was.
    if (writes.size() > 1)
      for (const auto& [name, v] : writes) SetOne(*impl_, dev, name, v, false, proc);
    for (const auto& [name, v] : writes) SetOne(*impl_, dev, name, v, true, proc);
  });
}

void HFramegrabber::SetFramegrabberParam(const char* param, const char* value) {
  SetFramegrabberParam(HTuple(param), HTuple(value));
}

void HFramegrabber::GrabImageStart(double /*max_delay*/) {
  static constexpr const char* proc = "GrabImageStart";
  std::lock_guard<std::mutex> lock(impl_->op);
  auto& dev = impl_->Dev(proc);
  if (impl_->stream) return;  // already acquiring
  detail::Guarded(proc, [&] { impl_->SetStream(dev.StartStream()); });
  impl_->last_grab = std::chrono::steady_clock::now();
}

namespace {

HImage Grab(detail::FramegrabberImpl& impl, double max_delay, const char* proc) {
  std::lock_guard<std::mutex> lock(impl.op);
  auto& dev = impl.Dev(proc);
  return detail::Guarded(proc, [&]() -> HImage {
    if (!impl.stream) impl.SetStream(dev.StartStream());
    const auto now = std::chrono::steady_clock::now();
    // A frame that waited longer than max_delay since the previous grab is stale: drop what
    // completed meanwhile and wait for a new one.
    if (max_delay >= 0 &&
        now - impl.last_grab > std::chrono::duration<double, std::milli>(max_delay))
      impl.stream->Flush();
    HImage image;
    std::string detail;
    const std::string name = dev.Name();
    const auto status = impl.stream->Pop(
        impl.grab_timeout_ms,
        [&](const detail::camera::Frame& f) { image = detail::FrameToImage(f, name, proc); },
        &detail);
    impl.last_grab = std::chrono::steady_clock::now();
    switch (status) {
      case detail::camera::PopStatus::kFrame:
        return image;
      case detail::camera::PopStatus::kTimeout:
        Fail(err::kAcqTimeout, proc,
             "no image from camera " + name + " within grab_timeout " +
                 std::to_string(impl.grab_timeout_ms) + " ms" +
                 (detail.empty() ? "" : ": " + detail));
      case detail::camera::PopStatus::kIncomplete:
        Fail(err::kAcqBuffer, proc,
             "camera " + name + " delivered an incomplete frame" +
                 (detail.empty() ? "" : ": " + detail));
      case detail::camera::PopStatus::kLost:
        Fail(err::kAcqLost, proc,
             "camera " + name + " was lost" + (detail.empty() ? "" : ": " + detail));
      case detail::camera::PopStatus::kAborted:
        Fail(err::kAcqNotOpen, proc,
             "camera " + name + " was closed (CloseFramegrabber) while " + proc + " waited");
    }
    Fail(err::kInternal, proc, "unexpected stream status");
  });
}

}  // namespace

HImage HFramegrabber::GrabImageAsync(double max_delay) {
  return Grab(*impl_, max_delay, "GrabImageAsync");
}

HImage HFramegrabber::GrabImage() { return Grab(*impl_, -1.0, "GrabImage"); }

void HFramegrabber::CloseFramegrabber() { impl_->Close(); }

void InfoFramegrabber(const HTuple& name, const HTuple& query, HTuple* information,
                      HTuple* value_list) {
  static constexpr const char* proc = "InfoFramegrabber";
  detail::Guarded(proc, [&] {
    const std::string iface_name = detail::TextParam(name, proc, "Name");
    if (iface_name != detail::kInterfaceName)
      Fail(err::kAcqInterface, proc,
           "unknown acquisition interface '" + iface_name + "' (available: GenICamTL)");
    const std::string what = detail::TextParam(query, proc, "Query");
    HTuple info, values;
    if (what == "parameters") {
      info = HTuple(
          "parameters of GetFramegrabberParam and SetFramegrabberParam besides the "
          "camera's own features (named as the camera names them)");
      for (const char* p :
           {"image_width", "image_height", "grab_timeout", "device", "name", "external_trigger",
            "frames_completed", "frames_failed", "frames_underrun", "grab_timeouts",
            "feature_listing", "module_listing"})
        values.Append(p);
    } else if (what == "device" || what == "info_boards" || what == "producers" ||
               what == "modules") {
      {
        auto iface = detail::camera::MakeGenICamInterface();
        const auto found = iface->Discover();
        if (what == "device") {
          info = HTuple(
              "cameras by id, in the order 'default' follows (the first); a serial number or a "
              "user-defined name selects a camera too");
          for (const auto& d : found) values.Append(detail::Printable(d.id, detail::kFieldBytes));
        } else if (what == "info_boards") {
          info = HTuple("one line per camera, in the order 'default' follows");
          for (const auto& d : found) {
            // Every field as a producer or camera gave it, quoted: shown, never obeyed.
            std::string line;
            if (d.transport == "GenTL")
              // The file path is the user's own (quoted without escaping its backslashes).
              line = "producer:'" + detail::Printable(d.producer, detail::kFieldBytes) + "'" +
                     " interface:" + detail::Quoted(d.interface_id, detail::kFieldBytes) + " ";
            else
              line = "transport:" + detail::Quoted(d.transport, detail::kFieldBytes) + " ";
            line +=
                "device:" + detail::Quoted(d.id, detail::kFieldBytes) +
                " vendor:" + detail::Quoted(d.vendor) + " model:" + detail::Quoted(d.model) +
                " serial:" + detail::Quoted(d.serial) + " user_name:" + detail::Quoted(d.user_id) +
                " access:" + detail::Quoted(d.access.empty() ? std::string("Unknown") : d.access);
            values.Append(line);
          }
        } else if (what == "modules") {
          // Built of quoted and escaped fields already.
          info = HTuple(
              "what each producer's system and interface modules say of themselves, from their "
              "own descriptions or, without one, from the GenTL info calls (and why)");
          for (const auto& line : iface->ModuleReport()) values.Append(line);
        } else {
          info = HTuple("what the interface searched: producers loaded or skipped (and why)");
          for (const auto& line : iface->Report())
            values.Append(detail::Printable(line, detail::kLineBytes));
        }
      }
    } else {
      Fail(err::kWrongParamValue, proc,
           "unknown query '" + what +
               "' (queries: device, info_boards, producers, modules, parameters)");
    }
    if (information) *information = info;
    if (value_list) *value_list = values;
  });
}

}  // namespace vision

// The seam between HFramegrabber and the code that talks to cameras. Not installed.
//
//   Interface  finds cameras and opens one            (GenTL producers, and Aravis on Linux)
//   Device     features of one open camera
//   Stream     buffers in, filled buffers out, while acquisition runs
//   Buffer     pixels of one frame plus its status     (Frame below)
//
// Backends report failures as DeviceError (a code of HErrorCodes.h and a message naming the
// camera and the feature); HFramegrabber turns them into HException with the operator's name.
// No GLib type crosses this seam.
//
// Thread safety: a Device and its Stream are used from one thread at a time (the thread that owns
// the HFramegrabber), except Stream::Abort, which any thread may call while another waits in
// Pop. Backends may run threads of their own behind this seam.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "gentl_shared/pfnc.h"
#include "vision/HTuple.h"

namespace vision::detail::camera {

class DeviceError : public std::runtime_error {
 public:
  DeviceError(std::uint32_t code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  std::uint32_t Code() const noexcept { return code_; }

 private:
  std::uint32_t code_;
};

// The error for a write a camera refuses: "camera 'M S' refused Width = 5: why"; camera is the
// name Device::Name() gives.
DeviceError Refusal(std::uint32_t code, const std::string& camera, const std::string& feature,
                    const HTuple& value, const std::string& why);

// Pixel formats by their GenICam PFNC codes (gentl_shared/pfnc.h: the values cameras, producers
// and Aravis use).
namespace pfnc = ::vision::pfnc;

// What a discovery reports about one camera.
struct DeviceInfo {
  std::string id;  // unique per interface; what "device" selects besides serial and user id
  std::string vendor;
  std::string model;
  std::string serial;
  std::string user_id;
  std::string protocol;   // "GigEVision", "USB3Vision", a GenTL transport type ("GEV", "U3V", ...)
  std::string transport;  // "GenTL" or "Aravis"
  std::string producer;   // GenTL: the producer file
  std::string interface_id;  // GenTL: the producer's interface the camera is on
  std::string access;        // GenTL: access status when listed ("ReadWrite", "Busy", ...)
};

// A frame as the stream hands it out: valid only during the callback that receives it.
struct Frame {
  std::uint32_t pixel_format = 0;
  int width = 0;
  int height = 0;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t row_padding = 0;  // bytes after each row's pixels (0: rows follow each other)
  std::uint64_t frame_id = 0;
};

// Outcome of waiting for a frame.
enum class PopStatus {
  kFrame,       // a complete frame was handed to the consumer
  kTimeout,     // nothing arrived within the time-out
  kIncomplete,  // a frame arrived damaged (missing packets, size mismatch); it was dropped
  kLost,        // the camera is gone; no frame will ever come
  kAborted,     // Abort ended the wait (the camera is being closed)
};

struct StreamCounters {
  std::uint64_t completed = 0;  // frames handed out
  std::uint64_t failures = 0;   // damaged frames dropped
  std::uint64_t underruns = 0;  // frames the camera could not deliver for lack of a free buffer
  std::uint64_t timeouts = 0;   // waits that ended without a frame
};

class Stream {
 public:
  virtual ~Stream() = default;  // stops acquisition and frees the buffers
  // Waits for the next frame, at most timeout_ms milliseconds (-1: without limit). On kFrame the
  // consumer has seen the frame; the buffer goes back to the stream afterwards in every case, so
  // a slow consumer never starves it. detail receives a reason on the failure statuses.
  virtual PopStatus Pop(int timeout_ms, const std::function<void(const Frame&)>& consume,
                        std::string* detail) = 0;
  // Frames that completed before the call but were not yet handed out are dropped.
  virtual void Flush() = 0;
  virtual StreamCounters Counters() const = 0;
  // Ends a Pop waiting in another thread at once (it returns kAborted), and every later Pop
  // too. Callable from any thread.
  virtual void Abort() {}
};

class Device {
 public:
  virtual ~Device() = default;  // releases the camera
  virtual const DeviceInfo& Info() const = 0;
  // A name for messages: 'model serial', or the id where those are unknown.
  std::string Name() const;

  // Reads a feature by its GenICam name: integers and booleans as integer, floats as double,
  // strings and enumeration entries as text. Raises DeviceError (kAcqUnknownParam) for a name
  // the camera lacks.
  virtual HTuple GetFeature(const std::string& name) = 0;
  // Writes a feature: an enumeration by entry name, integer, float, boolean (true/false/1/0),
  // string, or a command (executed; the value is ignored). Texts that hold numbers are accepted
  // for numeric features.
  virtual void SetFeature(const std::string& name, const HTuple& value) = 0;
  // Raises what SetFeature would raise for reasons known without writing (no such feature, not
  // writable, a value of the wrong kind, out of range, no such entry); writes nothing.
  virtual void CheckFeature(const std::string& /*name*/, const HTuple& /*value*/) {}
  // Starts acquisition with buffers sized for the current settings.
  virtual std::unique_ptr<Stream> StartStream() = 0;
  // Lets a device veto a write of one of HFramegrabber's own parameters (only the simulated
  // camera does, to stand in for a refusing driver).
  virtual void CheckInterfaceWrite(const std::string& /*name*/, const HTuple& /*value*/) {}
  // One line per feature of the camera's description (ListFeatures, camera/features.h). The
  // default raises DeviceError (kAcqUnknownParam): the backend cannot enumerate its features.
  virtual std::vector<std::string> FeatureListing();
  // What the transport's own modules say of themselves (producer, interface, device, data
  // stream), one line each; none where the backend has no such modules.
  virtual std::vector<std::string> ModuleListing() { return {}; }
  // The grab time-out in milliseconds (-1: none), told when the camera is opened and whenever it
  // changes. A backend that can bound its control requests by it does, so that a camera which
  // stops answering fails every step within about that time.
  virtual void SetGrabTimeout(int /*timeout_ms*/) {}
};

class Interface {
 public:
  virtual ~Interface() = default;
  virtual std::vector<DeviceInfo> Discover() = 0;
  // Opens one of the cameras Discover reported. Raises DeviceError (kAcqOpen) on failure.
  virtual std::unique_ptr<Device> Open(const DeviceInfo& info) = 0;
  // What the interface searched and what it found or left out there (producers loaded or
  // skipped and why), one line each, for listings and "no camera" messages.
  virtual std::vector<std::string> Report() const { return {}; }
  // What the transport's modules above the cameras (producers, interfaces) say of themselves,
  // one line each, as of the last Discover; none where the backend has no such modules.
  virtual std::vector<std::string> ModuleReport() { return {}; }
};

// The interface behind "GenICamTL" (camera/gentl/transport.h has its order): when
// VISION_FAKE_CAMERA is set, even to nothing, only the simulated camera's producer bundled with
// the library (the options are checked here; a bad one raises DeviceError); otherwise the GenTL
// producers of GENICAM_GENTL64_PATH and, on Linux, Aravis.
std::unique_ptr<Interface> MakeGenICamInterface();

#ifdef VISION_WITH_ARAVIS
// GigE Vision and USB3 Vision cameras through Aravis.
std::unique_ptr<Interface> MakeAravisInterface();
// The same backend with Aravis's in-process fake camera as its only device (id "Fake_1"), for
// tests: Aravis keeps its transports per process, so this switches GigE Vision and USB3 Vision
// discovery off for the whole process (nothing touches the network afterwards, through any
// interface) and the fake one on.
std::unique_ptr<Interface> MakeAravisFakeInterface();
#endif

// Name of a pixel format for messages ("Mono8", or "0x02180015" when unknown).
std::string PixelFormatName(std::uint32_t pfnc);

}  // namespace vision::detail::camera

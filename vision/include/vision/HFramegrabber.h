// Image acquisition. The "GenICamTL" interface is a GenICam transport-layer consumer: it reaches
// every camera of the GenTL producers (.cti files, shipped by camera makers for their GigE
// Vision, USB3 Vision, CoaXPress and Camera Link cameras) named by the environment variable
// GENICAM_GENTL64_PATH (GENICAM_GENTL32_PATH in a 32-bit program): folders, whose .cti files are
// taken in name order, or single files, separated by ';' on Windows and ':' elsewhere. On Linux
// it reaches GigE Vision and USB3 Vision cameras through Aravis as well (builds with
// VISION_WITH_ARAVIS).
//
// The order of the cameras, which "default" (the first) and a device name (the first match)
// follow: the producers in the order of GENICAM_GENTL64_PATH, within a producer its interfaces
// and their devices in the order the producer lists them; then the cameras Aravis finds that no
// producer listed (same vendor, model and serial number). A camera is never listed twice, so it
// is never opened through two transports.
//
// With the environment variable VISION_FAKE_CAMERA set (even to nothing) the only camera is the
// simulated one, a GenTL producer bundled with the library (vision_simcam.cti), found by the
// library itself: nothing else is searched and no network is touched. The variable holds a
// comma-separated option list: 1, width=W, height=H, fps=F, reject=NAME, lose_after=N,
// incomplete=N, delay=MS, busy, cameras=N, description=FILE, plain.
//
// Errors are HException with a code of HErrorCodes.h (53xx) and a message naming the camera, the
// parameter or feature, the value and the camera's reason.
//
// Thread safety: one HFramegrabber is used from one thread at a time (its operations are
// serialised), except CloseFramegrabber, which may come from another thread while a grab waits:
// the grab then ends at once with kAcqNotOpen. Distinct handles may be used from different
// threads.
#pragma once

#include <memory>

#include "vision/Export.h"
#include "vision/HObject.h"
#include "vision/HTuple.h"

namespace vision {

namespace detail {
class FramegrabberImpl;
}

class VISION_API HFramegrabber {
 public:
  HFramegrabber();
  ~HFramegrabber();  // closes an open camera
  HFramegrabber(const HFramegrabber&) = delete;
  HFramegrabber& operator=(const HFramegrabber&) = delete;

  // name must be "GenICamTL". device "default" opens the first camera in the order above; any
  // other text selects the first camera whose id, serial number or user-defined name it is
  // (InfoFramegrabber lists them). A camera held by another program is refused at once
  // (kAcqOpen). image_width/image_height > 0 set the
  // camera's Width/Height. external_trigger ("true", "false", "default") is recorded only: the
  // trigger is configured with the camera's own features (TriggerMode, ...). The other values
  // are accepted as given. An open handle is closed first.
  void OpenFramegrabber(const HTuple& name, const HTuple& horizontal_resolution,
                        const HTuple& vertical_resolution, const HTuple& image_width,
                        const HTuple& image_height, const HTuple& start_row,
                        const HTuple& start_column, const HTuple& field,
                        const HTuple& bits_per_channel, const HTuple& color_space,
                        const HTuple& generic, const HTuple& external_trigger,
                        const HTuple& camera_type, const HTuple& device, const HTuple& port,
                        const HTuple& line_in);

  // "image_width", "image_height", "grab_timeout" (ms), "device" (the camera's id), "name",
  // "external_trigger", the stream counters "frames_completed", "frames_failed",
  // "frames_underrun", "grab_timeouts" (while acquiring), and any camera feature by its GenICam
  // name (integers and booleans as integer, floats as double, strings and enumerations as text).
  // Two listings, one text per line:
  //   "feature_listing"  every feature of the camera's description, in its order: quoted name,
  //                      type, effective access (NI, NA, RO, WO, RW), the value or why there is
  //                      none, and the range (min, max, inc, unit) or the entries, e.g.
  //                      'Width' Integer RW value:640 min:16 max:8192 inc:16
  //                      'Gain' Float NI no_value:'its pIsImplemented \'GainOK\' reads 0'
  //                      'PixelFormat' Enumeration RW value:'Mono8' entries:'Mono8','RGB8'
  //                      Texts from the camera are quoted and escaped: no field can end a
  //                      line or pose as another. A read that fails shows as error:'why'.
  //   "module_listing"   what the producer's modules say of themselves: system (vendor,
  //                      version), interface (its devices), device and data stream (counters),
  //                      from each module's own description or, without one, from the GenTL
  //                      info calls, the line saying why (GenTL cameras; none otherwise).
  HTuple GetFramegrabberParam(const HTuple& param) const;
  // "grab_timeout" in ms (-1: wait without limit; default 5000), "image_width"/"image_height",
  // and any camera feature: enumeration entry by name, integer, float, boolean, string, or
  // command (runs it; the value is ignored). Texts holding numbers are accepted for numeric
  // features. param and value may hold several names and as many values (or one value for
  // all): every write is checked before the first is made, so a refusal known in advance
  // (unknown name, read-only, out of range, no such entry, a value of the wrong kind) changes
  // nothing.
  void SetFramegrabberParam(const HTuple& param, const HTuple& value);
  void SetFramegrabberParam(const char* param, const char* value);

  // Starts acquisition (a no-op while acquiring).
  void GrabImageStart(double max_delay);
  // The next image, waiting at most "grab_timeout"; starts acquisition if needed. With
  // max_delay >= 0 (ms), frames that completed more than max_delay after the previous grab are
  // dropped and a new one is awaited. Mono8 gives a 1-channel "byte" image, RGB8 and BGR8 a
  // 3-channel "byte" image in R, G, B order, Mono10/12/14/16 a "uint2" image; other formats
  // raise kAcqPixelFormat. A time-out (kAcqTimeout), a damaged frame (kAcqBuffer) and a lost
  // camera (kAcqLost) raise: no image is ever returned from them.
  HImage GrabImageAsync(double max_delay);
  // The next image in line, as GrabImageAsync(-1).
  HImage GrabImage();

  // Stops acquisition and releases the camera. Harmless when not open. May be called from
  // another thread while a grab waits (it ends that wait).
  void CloseFramegrabber();
  bool IsOpen() const noexcept;

 private:
  std::unique_ptr<detail::FramegrabberImpl> impl_;
};

// What the interface name offers, without opening a camera. name must be "GenICamTL". query:
//   "device"       value_list: the id of every camera, in the order "default" follows
//   "info_boards"  value_list: one line per camera, e.g.
//                  producer:'/opt/maker/x.cti' interface:'eth0' device:'cam-1' vendor:'Maker'
//                  model:'M1' serial:'123' user_name:'left' access:'ReadWrite'
//                  (Aravis cameras: transport:'Aravis' instead of producer and interface)
//   "producers"    value_list: where the interface searched, and every producer loaded or
//                  skipped with its path and the reason
//   "modules"      value_list: each producer's system module and each interface module with
//                  its devices, as their own descriptions give them (or the GenTL info calls,
//                  saying why: no description, or one that cannot be used), e.g.
//                  system '/opt/maker/x.cti' description:'MakerSystem' TLVendorName:'Maker' ...
//   "parameters"   value_list: the interface's own parameters of Get/SetFramegrabberParam
// information receives one line saying what value_list holds.
VISION_API void InfoFramegrabber(const HTuple& name, const HTuple& query, HTuple* information,
                                 HTuple* value_list);

}  // namespace vision

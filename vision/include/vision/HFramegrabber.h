// Image acquisition. The "GenICamTL" interface reaches GigE Vision and USB3 Vision cameras
// (through Aravis, in builds with VISION_WITH_ARAVIS). With the environment variable
// VISION_FAKE_CAMERA set it sees only a simulated camera and touches no network; the variable
// holds a comma-separated option list: 1, width=W, height=H, fps=F, reject=NAME, lose_after=N.
//
// Errors are HException with a code of HErrorCodes.h (53xx) and a message naming the camera, the
// parameter or feature, the value and the camera's reason.
//
// Thread safety: one HFramegrabber is used from one thread at a time; distinct handles may be
// used from different threads.
#pragma once

#include <memory>

#include "vision/HObject.h"
#include "vision/HTuple.h"

namespace vision {

namespace detail {
class FramegrabberImpl;
}

class HFramegrabber {
 public:
  HFramegrabber();
  ~HFramegrabber();  // closes an open camera
  HFramegrabber(const HFramegrabber&) = delete;
  HFramegrabber& operator=(const HFramegrabber&) = delete;

  // name must be "GenICamTL". device "default" opens the first camera found; any other text
  // selects a camera by its id, serial number or user id. image_width/image_height > 0 set the
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
  HTuple GetFramegrabberParam(const HTuple& param) const;
  // "grab_timeout" in ms (-1: wait without limit; default 5000), "image_width"/"image_height",
  // and any camera feature: enumeration entry by name, integer, float, boolean, string, or
  // command (runs it; the value is ignored). Texts holding numbers are accepted for numeric
  // features. param and value may hold several names and as many values.
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

  // Stops acquisition and releases the camera. Harmless when not open.
  void CloseFramegrabber();
  bool IsOpen() const noexcept;

 private:
  std::unique_ptr<detail::FramegrabberImpl> impl_;
};

}  // namespace vision

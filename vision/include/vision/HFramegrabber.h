// Image acquisition. The "GenICamTL" interface reaches GigE Vision and USB3 Vision cameras.
//
// Thread safety: one HFramegrabber is used from one thread at a time.
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

  void OpenFramegrabber(const HTuple& name, const HTuple& horizontal_resolution,
                        const HTuple& vertical_resolution, const HTuple& image_width,
                        const HTuple& image_height, const HTuple& start_row,
                        const HTuple& start_column, const HTuple& field,
                        const HTuple& bits_per_channel, const HTuple& color_space,
                        const HTuple& generic, const HTuple& external_trigger,
                        const HTuple& camera_type, const HTuple& device, const HTuple& port,
                        const HTuple& line_in);

  HTuple GetFramegrabberParam(const HTuple& param) const;
  void SetFramegrabberParam(const HTuple& param, const HTuple& value);
  void SetFramegrabberParam(const char* param, const char* value);

  void GrabImageStart(double max_delay);
  HImage GrabImageAsync(double max_delay);
  HImage GrabImage();

  // Stops acquisition and releases the camera. Harmless when not open.
  void CloseFramegrabber();
  bool IsOpen() const noexcept;

 private:
  std::unique_ptr<detail::FramegrabberImpl> impl_;
};

}  // namespace vision

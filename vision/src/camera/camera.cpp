// Pieces of the camera seam shared by every backend.
#include "camera/camera.h"

#include <cstdio>

#include "detail/param.h"
#include "vision/HErrorCodes.h"

namespace vision::detail::camera {

std::string Device::Name() const {
  const DeviceInfo& i = Info();
  if (i.model.empty() && i.serial.empty()) return "'" + i.id + "'";
  return "'" + i.model + (i.model.empty() || i.serial.empty() ? "" : " ") + i.serial + "'";
}

std::vector<std::string> Device::FeatureListing() {
  throw DeviceError(err::kAcqUnknownParam, "camera " + Name() + " (transport '" + Info().transport +
                                               "') cannot list its features");
}

DeviceError Refusal(std::uint32_t code, const std::string& camera, const std::string& feature,
                    const HTuple& value, const std::string& why) {
  return DeviceError(code,
                     "camera " + camera + " refused " + Assignment(feature, value) + ": " + why);
}

std::string PixelFormatName(std::uint32_t code) {
  switch (code) {
    case pfnc::kMono8:
      return "Mono8";
    case pfnc::kMono10:
      return "Mono10";
    case pfnc::kMono12:
      return "Mono12";
    case pfnc::kMono14:
      return "Mono14";
    case pfnc::kMono16:
      return "Mono16";
    case pfnc::kRGB8:
      return "RGB8";
    case pfnc::kBGR8:
      return "BGR8";
    default: {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%08X", unsigned(code));
      return buf;
    }
  }
}

}  // namespace vision::detail::camera

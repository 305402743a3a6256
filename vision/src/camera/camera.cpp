// Pieces of the camera seam shared by every backend.
#include "camera/camera.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "camera/gentl/discovery.h"
#include "camera/gentl/transport.h"
#include "detail/error.h"
#include "detail/param.h"
#include "producer/options.h"
#include "vision/HErrorCodes.h"

namespace vision::detail::camera {

std::string Device::Name() const {
  const DeviceInfo& i = Info();
  if (i.model.empty() && i.serial.empty()) return "'" + i.id + "'";
  return "'" + i.model + (i.model.empty() || i.serial.empty() ? "" : " ") + i.serial + "'";
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

std::unique_ptr<Interface> MakeGenICamInterface() {
  gentl::TransportConfig config;
  // Set, even to nothing, the variable means the simulated camera and nothing else: no other
  // producer, no network discovery.
  if (const auto fake = gentl::EnvironmentValue(simcam::kEnvironmentVariable)) {
    simcam::Options options;
    try {
      options = simcam::ParseOptions(*fake);
    } catch (const std::invalid_argument& e) {
      throw DeviceError(err::kAcqParamValue, e.what());
    }
    const std::string producer = gentl::BundledProducerPath();
    std::error_code ec;
    if (producer.empty() || !std::filesystem::is_regular_file(producer, ec))
      throw DeviceError(err::kAcqNoDevice,
                        "VISION_FAKE_CAMERA is set, but the simulated camera's producer is "
                        "missing (looked for '" +
                            producer + "')");
    config.producer_files = {gentl::CanonicalPath(producer)};
    config.origin = "VISION_FAKE_CAMERA is set: the simulated camera only";
    for (const std::string& name : simcam::InterfaceParameterNames())
      if (options.reject.count(name)) config.reject_interface.insert(name);
    return gentl::MakeTransportInterface(std::move(config));
  }
  const char* variable = gentl::ProducerPathVariable();
  const auto path = gentl::EnvironmentValue(variable);
  if (path) {
    auto found = gentl::FindProducerFiles(*path, gentl::ProducerPathSeparator());
    config.producer_files = std::move(found.files);
    config.path_problems = std::move(found.problems);
    config.origin = std::string(variable) + " = '" + *path + "'";
  } else {
    config.origin = std::string(variable) + " is not set: no GenTL producer searched";
  }
#ifdef VISION_WITH_ARAVIS
  config.aravis = MakeAravisInterface();
#endif
  return gentl::MakeTransportInterface(std::move(config));
}

}  // namespace vision::detail::camera

// Pieces of the camera seam shared by every backend.
#include "camera/camera.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "camera/gentl/discovery.h"
#include "camera/gentl/transport.h"
#include "detail/error.h"
#include "producer/options.h"
#include "vision/HErrorCodes.h"

namespace vision::detail::camera {

std::string Device::Name() const {
  const DeviceInfo& i = Info();
  if (i.model.empty() && i.serial.empty()) return "'" + i.id + "'";
  return "'" + i.model + (i.model.empty() || i.serial.empty() ? "" : " ") + i.serial + "'";
}

std::string ValueText(const HTuple& value) {
  if (value.Length() != 1) return Describe(value);
  if (value.Type(0) == HTupleType::String) return value.S().Str();
  return Describe(value);
}

bool ValueInteger(const HTuple& value, std::int64_t* out) {
  if (value.Length() != 1) return false;
  switch (value.Type(0)) {
    case HTupleType::Integer:
      *out = value.L();
      return true;
    case HTupleType::Double: {
      const double d = value.D();
      if (!(d >= -9.2e18 && d <= 9.2e18) || d != double(std::int64_t(d))) return false;
      *out = std::int64_t(d);
      return true;
    }
    case HTupleType::String: {
      const std::string s = value.S().Str();
      if (s.empty()) return false;
      char* end = nullptr;
      errno = 0;
      const long long v = std::strtoll(s.c_str(), &end, 0);
      if (errno != 0 || *end != '\0') return false;
      *out = v;
      return true;
    }
    default:
      return false;
  }
}

bool ValueDouble(const HTuple& value, double* out) {
  if (value.Length() != 1) return false;
  switch (value.Type(0)) {
    case HTupleType::Integer:
    case HTupleType::Double:
      *out = value.D();
      return true;
    case HTupleType::String: {
      const std::string s = value.S().Str();
      if (s.empty()) return false;
      char* end = nullptr;
      errno = 0;
      const double v = std::strtod(s.c_str(), &end);
      if (errno != 0 || *end != '\0') return false;
      *out = v;
      return true;
    }
    default:
      return false;
  }
}

bool ValueBoolean(const HTuple& value, bool* out) {
  if (value.Length() != 1) return false;
  if (value.Type(0) == HTupleType::String) {
    const std::string s = value.S().Str();
    if (s == "true" || s == "1") return *out = true, true;
    if (s == "false" || s == "0") return *out = false, true;
    return false;
  }
  std::int64_t v = 0;
  if (!ValueInteger(value, &v) || (v != 0 && v != 1)) return false;
  *out = v == 1;
  return true;
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

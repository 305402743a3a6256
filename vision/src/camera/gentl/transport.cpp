#include "camera/gentl/transport.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "camera/gentl/device.h"
#include "camera/gentl/module_info.h"
#include "camera/gentl/registry.h"
#include "detail/build_tree.h"
#include "gentl_shared/options.h"
#include "platform/environment.h"
#include "platform/module.h"
#include "vision/HErrorCodes.h"

namespace vision::detail::camera {
namespace gentl {
namespace {

// How long discovery waits for interfaces and devices to answer, in ms. Producers return as
// soon as they know; network transports use the time to hear from their cameras.
constexpr std::uint64_t kInterfaceListTimeoutMs = 500;
constexpr std::uint64_t kDeviceListTimeoutMs = 1000;

// The key under which two transports (or producers) list the same camera.
std::string SameCameraKey(const DeviceInfo& d) {
  if (d.serial.empty()) return {};
  return d.vendor + '\n' + d.model + '\n' + d.serial;
}

class TransportInterface final : public Interface {
 public:
  explicit TransportInterface(TransportConfig config) : config_(std::move(config)) {
    set_ = AcquireProducers(config_.producer_files);
  }

  std::vector<DeviceInfo> Discover() override {
    located_.clear();
    interfaces_.clear();
    problems_.clear();
    std::vector<DeviceInfo> out;
    std::vector<std::string> keys;
    auto listed = [&](const DeviceInfo& d) {
      const std::string key = SameCameraKey(d);
      if (key.empty()) return false;
      if (std::find(keys.begin(), keys.end(), key) != keys.end()) return true;
      keys.push_back(key);
      return false;
    };
    for (const auto& producer : set_.producers) {
      try {
        for (const std::string& if_id : producer->InterfaceIds(kInterfaceListTimeoutMs)) {
          auto iface = Producer::OpenInterface(producer, if_id);
          interfaces_.push_back({iface, {}});
          interfaces_.back().devices = iface->Devices(kDeviceListTimeoutMs);
          for (const DeviceEntry& e : interfaces_.back().devices) {
            DeviceInfo info;
            info.id = e.id;
            info.vendor = e.vendor;
            info.model = e.model;
            info.serial = e.serial;
            info.user_id = e.user_name;
            info.protocol = e.tl_type;
            info.transport = "GenTL";
            info.producer = producer->Path();
            info.interface_id = if_id;
            info.access = AccessStatusName(e.access_status);
            if (listed(info)) continue;
            located_.push_back({info, iface, e});
            out.push_back(std::move(info));
          }
        }
      } catch (const GenTLError& e) {
        problems_.push_back(std::string("listing the cameras of '") + producer->Path() +
                            "' failed: " + e.Reason() + " (" + e.Function() + ")");
      }
    }
    if (config_.aravis) {
      try {
        aravis_found_ = 0;
        for (DeviceInfo info : config_.aravis->Discover()) {
          ++aravis_found_;
          info.transport = "Aravis";
          if (listed(info)) continue;
          out.push_back(std::move(info));
        }
      } catch (const DeviceError& e) {
        problems_.push_back(std::string("Aravis: ") + e.what());
      }
    }
    return out;
  }

  std::unique_ptr<Device> Open(const DeviceInfo& info) override {
    if (info.transport == "Aravis" && config_.aravis) return config_.aravis->Open(info);
    for (const Located& l : located_) {
      if (l.info.id == info.id && l.info.producer == info.producer &&
          l.info.interface_id == info.interface_id)
        return OpenGenTLDevice(l.iface, l.entry, l.info, config_.reject_interface);
    }
    throw DeviceError(err::kAcqNoDevice, "camera '" + info.id + "' is no longer listed");
  }

  // Each producer's system module, then each of its interfaces (as discovery opened them) with
  // the devices it lists.
  std::vector<std::string> ModuleReport() override {
    std::vector<std::string> lines;
    for (const auto& producer : set_.producers) {
      lines.push_back(SystemModuleLine(*producer));
      for (const Opened& o : interfaces_) {
        if (&o.iface->Owner() != producer.get()) continue;
        for (std::string& line : InterfaceModuleLines(*o.iface, o.devices))
          lines.push_back(std::move(line));
      }
    }
    return lines;
  }

  std::vector<std::string> Report() const override {
    std::vector<std::string> lines;
    if (!config_.origin.empty()) lines.push_back(config_.origin);
    for (const auto& p : config_.path_problems)
      lines.push_back("path entry '" + p.entry + "': " + p.reason);
    for (const auto& p : set_.producers) {
      const ProducerInfo& i = p->Info();
      std::string about = i.vendor;
      for (const std::string* part : {&i.model, &i.version})
        if (!part->empty()) about += (about.empty() ? "" : " ") + *part;
      std::string details;
      if (!i.tl_type.empty()) details += "transport " + i.tl_type;
      if (!i.gentl_version.empty())
        details += (details.empty() ? "" : ", ") + ("GenTL " + i.gentl_version);
      if (!p->Lib().Missing().empty())
        details += (details.empty() ? "" : ", ") + std::to_string(p->Lib().Missing().size()) +
                   " newer functions missing";
      lines.push_back("loaded '" + p->Path() + "'" + (about.empty() ? "" : ": " + about) +
                      (details.empty() ? "" : " (" + details + ")"));
    }
    for (const auto& s : set_.skipped) lines.push_back("skipped '" + s.path + "': " + s.reason);
    if (config_.aravis)
      lines.push_back(aravis_found_ < 0 ? std::string("Aravis: GigE Vision and USB3 Vision cameras")
                      : aravis_found_ == 0
                          ? std::string("Aravis: no GigE Vision or USB3 Vision camera found")
                          : "Aravis: " + std::to_string(aravis_found_) +
                                " GigE Vision or USB3 Vision camera(s) found");
    for (const auto& p : problems_) lines.push_back(p);
    return lines;
  }

 private:
  struct Located {
    DeviceInfo info;
    std::shared_ptr<InterfaceHandle> iface;
    DeviceEntry entry;
  };

  struct Opened {
    std::shared_ptr<InterfaceHandle> iface;
    std::vector<DeviceEntry> devices;
  };

  TransportConfig config_;
  ProducerSet set_;
  std::vector<Located> located_;
  std::vector<Opened> interfaces_;  // in discovery's order
  std::vector<std::string> problems_;
  int aravis_found_ = -1;  // cameras Aravis found in the last discovery (-1: none yet)
};

}  // namespace

std::unique_ptr<Interface> MakeTransportInterface(TransportConfig config) {
  return std::make_unique<TransportInterface>(std::move(config));
}

std::string BundledProducerPath() {
  // This library's own folder, named by an address that belongs to it alone.
  const std::string lib = platform::ModuleFolder(reinterpret_cast<const void*>(&SameCameraKey));
#ifdef VISION_SIMCAM_BUILD_PATH
  // Running from the build tree: the producer target's file.
  if (detail::RunsFromBuildTree()) return VISION_SIMCAM_BUILD_PATH;
#endif
#ifdef VISION_SIMCAM_FROM_LIBRARY
  // Installed: beside the library, so a relocated installation still finds it.
  if (!lib.empty()) return lib + "/" + VISION_SIMCAM_FROM_LIBRARY;
#endif
#ifdef VISION_SIMCAM_INSTALL_PATH
  return VISION_SIMCAM_INSTALL_PATH;
#else
  return std::string();
#endif
}

}  // namespace gentl

// What "GenICamTL" searches: the simulated camera alone when VISION_FAKE_CAMERA is set, else the
// producers of the search path and, on Linux, Aravis.
std::unique_ptr<Interface> MakeGenICamInterface() {
  gentl::TransportConfig config;
  // Set, even to nothing, the variable means the simulated camera and nothing else: no other
  // producer, no network discovery.
  if (const auto fake = platform::Environment(simcam::kEnvironmentVariable)) {
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
  const auto path = platform::Environment(variable);
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

#include "camera/gentl/registry.h"

#include <chrono>
#include <climits>
#include <optional>

#include "camera/gentl/discovery.h"
#include "camera/gentl/info.h"
#include "camera/gentl/lane.h"

namespace vision::detail::camera::gentl {
namespace {

// What a producer may list: more is a wrong answer, refused before anything is asked of each.
constexpr std::uint32_t kMaxInterfaces = 1024;
constexpr std::uint32_t kMaxDevicesPerInterface = 4096;
// How long IFUpdateDeviceList may take beyond the time-out it is given.
constexpr std::chrono::milliseconds kUpdateGrace{1000};
// The texts of one listing (interface ids, or one interface's device ids and names) together.
constexpr std::size_t kMaxListingText = std::size_t(16) << 20;

// Counts the bytes of the texts of one listing against kMaxListingText.
class ListingBudget {
 public:
  ListingBudget(const Library& lib, const char* function) : lib_(lib), function_(function) {}
  const std::string& Take(const std::string& text) {
    used_ += text.size();
    if (used_ > kMaxListingText)
      lib_.Wrong(function_, "gave texts of more than " + std::to_string(kMaxListingText) +
                                " bytes for one listing");
    return text;
  }

 private:
  const Library& lib_;
  const char* function_;
  std::size_t used_ = 0;
};

// An access status as the producer answered it; a value no status has is unknown, not a
// status whose low bits it happens to share.
std::int32_t AccessStatusOf(std::optional<std::int64_t> status) {
  if (!status || *status < INT32_MIN || *status > INT32_MAX)
    return abi::DEVICE_ACCESS_STATUS_UNKNOWN;
  return std::int32_t(*status);
}

struct Registry {
  std::mutex mutex;
  struct Entry {
    std::unique_ptr<Producer> producer;
    int holders = 0;
  };
  std::map<std::string, Entry> loaded;  // by canonical path
};

// Never destroyed: cameras closed from static destructors still find it.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

void ReleaseProducer(const std::string& path) noexcept {
  Registry& r = TheRegistry();
  std::unique_ptr<Producer> closing;
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.loaded.find(path);
  if (it == r.loaded.end() || --it->second.holders > 0) return;
  closing = std::move(it->second.producer);
  r.loaded.erase(it);
  // Closed under the lock, so nobody initialises the file again before it is closed.
  closing.reset();
}

}  // namespace

std::string AccessStatusName(std::int32_t status) {
  switch (status) {
    case abi::DEVICE_ACCESS_STATUS_UNKNOWN:
      return "Unknown";
    case abi::DEVICE_ACCESS_STATUS_READWRITE:
      return "ReadWrite";
    case abi::DEVICE_ACCESS_STATUS_READONLY:
      return "ReadOnly";
    case abi::DEVICE_ACCESS_STATUS_NOACCESS:
      return "NoAccess";
    case abi::DEVICE_ACCESS_STATUS_BUSY:
      return "Busy";
    case abi::DEVICE_ACCESS_STATUS_OPEN_READWRITE:
      return "OpenReadWrite";
    case abi::DEVICE_ACCESS_STATUS_OPEN_READONLY:
      return "OpenReadOnly";
    default:
      return "status " + std::to_string(status);
  }
}

Producer::Producer(const std::string& path) : library_(path) {
  const Library& lib = library_;
  GENTL_CHECK(lib, GCInitLib);
  initialised_ = true;
  try {
    GENTL_CHECK(lib, TLOpen, &system_);
    if (!system_) lib.Wrong("TLOpen", "gave no handle");
  } catch (...) {
    GENTL_CALL(lib, GCCloseLib);
    throw;
  }
  auto text = [&](abi::TL_INFO_CMD cmd) {
    return TryInfoText([&](abi::INFO_DATATYPE* t, void* b, std::size_t* s) {
             return GENTL_CALL(lib, TLGetInfo, system_, cmd, t, b, s);
           })
        .value_or(std::string());
  };
  auto number = [&](abi::TL_INFO_CMD cmd) {
    return TryInfoUnsigned([&](abi::INFO_DATATYPE* t, void* b, std::size_t* s) {
      return GENTL_CALL(lib, TLGetInfo, system_, cmd, t, b, s);
    });
  };
  info_.vendor = text(abi::TL_INFO_VENDOR);
  info_.model = text(abi::TL_INFO_MODEL);
  info_.version = text(abi::TL_INFO_VERSION);
  info_.tl_type = text(abi::TL_INFO_TLTYPE);
  info_.display_name = text(abi::TL_INFO_DISPLAYNAME);
  const auto major = number(abi::TL_INFO_GENTL_VER_MAJOR);
  const auto minor = number(abi::TL_INFO_GENTL_VER_MINOR);
  if (major && minor) info_.gentl_version = std::to_string(*major) + "." + std::to_string(*minor);
}

Producer::~Producer() {
  // Interfaces hold leases, so none is open here.
  if (system_) GENTL_CALL(library_, TLClose, system_);
  if (initialised_) GENTL_CALL(library_, GCCloseLib);
}

std::vector<std::string> Producer::InterfaceIds(std::uint64_t timeout_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Library& lib = library_;
  GENTL_CHECK(lib, TLUpdateInterfaceList, system_, static_cast<abi::bool8_t*>(nullptr), timeout_ms);
  std::uint32_t n = 0;
  GENTL_CHECK(lib, TLGetNumInterfaces, system_, &n);
  if (n > kMaxInterfaces)
    lib.Wrong("TLGetNumInterfaces", "reports " + std::to_string(n) + " interfaces (more than " +
                                        std::to_string(kMaxInterfaces) + ")");
  std::vector<std::string> ids;
  ListingBudget budget(lib, "TLGetInterfaceID");
  for (std::uint32_t i = 0; i < n; ++i) {
    ids.push_back(budget.Take(
        InfoText(lib, "TLGetInterfaceID", [&](abi::INFO_DATATYPE* t, void* b, std::size_t* s) {
          *t = abi::INFO_DATATYPE_STRING;
          return GENTL_CALL(lib, TLGetInterfaceID, system_, i, static_cast<char*>(b), s);
        })));
  }
  return ids;
}

std::shared_ptr<InterfaceHandle> Producer::OpenInterface(const std::shared_ptr<Producer>& lease,
                                                         const std::string& id) {
  Producer& p = *lease;
  std::lock_guard<std::mutex> lock(p.mutex_);
  OpenIf& entry = p.interfaces_[id];
  if (!entry.handle) {
    abi::IF_HANDLE handle = nullptr;
    const abi::GC_ERROR r = GENTL_CALL(p.library_, TLOpenInterface, p.system_, id.c_str(), &handle);
    if (r != abi::GC_ERR_SUCCESS || !handle) {
      p.interfaces_.erase(id);
      if (r != abi::GC_ERR_SUCCESS) p.library_.Fail(r, "TLOpenInterface");
      p.library_.Wrong("TLOpenInterface", "gave no handle for interface '" + id + "'");
    }
    entry.handle = handle;
  }
  ++entry.holders;
  return std::shared_ptr<InterfaceHandle>(new InterfaceHandle(lease, id, entry.handle),
                                          [](InterfaceHandle* h) {
                                            h->Owner().ReleaseInterface(h->Id());
                                            delete h;
                                          });
}

void Producer::ReleaseInterface(const std::string& id) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = interfaces_.find(id);
  if (it == interfaces_.end() || --it->second.holders > 0) return;
  GENTL_CALL(library_, IFClose, it->second.handle);
  interfaces_.erase(it);
}

std::vector<DeviceEntry> InterfaceHandle::Devices(std::uint64_t timeout_ms) const {
  Producer& p = *producer_;
  const Library& lib = p.Lib();
  std::lock_guard<std::mutex> lock(p.EnumerationMutex());
  // The update runs on a thread of its own, so that a producer blocking in it keeps no listing
  // or open waiting: given up after its time-out and kUpdateGrace, it is left to end on its own,
  // holding the interface (and so the producer) open until it returns.
  if (updating_)
    lib.Wrong("IFUpdateDeviceList",
              "has not returned from an earlier call on interface '" + id_ + "' yet");
  struct Update {
    std::optional<GenTLError> error;
  };
  auto update = std::make_shared<Update>();
  updating_ = true;
  const auto limit = std::chrono::milliseconds(timeout_ms) + kUpdateGrace;
  {
    CallLane lane;
    const bool done = lane.Run(
        [self = shared_from_this(), update, timeout_ms] {
          const Library& l = self->Owner().Lib();
          const abi::GC_ERROR r = GENTL_CALL(l, IFUpdateDeviceList, self->handle_,
                                             static_cast<abi::bool8_t*>(nullptr), timeout_ms);
          if (r != abi::GC_ERR_SUCCESS) update->error = l.Error(r, "IFUpdateDeviceList");
          self->updating_ = false;
        },
        limit);
    if (!done)
      lib.Wrong("IFUpdateDeviceList",
                "did not return within " + std::to_string(limit.count()) + " ms");
  }
  if (update->error) throw *update->error;
  std::uint32_t n = 0;
  GENTL_CHECK(lib, IFGetNumDevices, handle_, &n);
  if (n > kMaxDevicesPerInterface)
    lib.Wrong("IFGetNumDevices", "reports " + std::to_string(n) + " devices on interface '" + id_ +
                                     "' (more than " + std::to_string(kMaxDevicesPerInterface) +
                                     ")");
  std::vector<DeviceEntry> out;
  ListingBudget budget(lib, "IFGetDeviceInfo");
  for (std::uint32_t i = 0; i < n; ++i) {
    DeviceEntry d;
    d.id = budget.Take(
        InfoText(lib, "IFGetDeviceID", [&](abi::INFO_DATATYPE* t, void* b, std::size_t* s) {
          *t = abi::INFO_DATATYPE_STRING;
          return GENTL_CALL(lib, IFGetDeviceID, handle_, i, static_cast<char*>(b), s);
        }));
    auto text = [&](abi::DEVICE_INFO_CMD cmd) {
      return budget.Take(TryInfoText([&](abi::INFO_DATATYPE* t, void* b, std::size_t* s) {
                           return GENTL_CALL(lib, IFGetDeviceInfo, handle_, d.id.c_str(), cmd, t, b,
                                             s);
                         }).value_or(std::string()));
    };
    d.vendor = text(abi::DEVICE_INFO_VENDOR);
    d.model = text(abi::DEVICE_INFO_MODEL);
    d.serial = text(abi::DEVICE_INFO_SERIAL_NUMBER);
    d.user_name = text(abi::DEVICE_INFO_USER_DEFINED_NAME);
    d.tl_type = text(abi::DEVICE_INFO_TLTYPE);
    d.display_name = text(abi::DEVICE_INFO_DISPLAYNAME);
    d.access_status = AccessStatus(d.id);
    out.push_back(std::move(d));
  }
  return out;
}

std::int32_t InterfaceHandle::AccessStatus(const std::string& device_id) const {
  const Library& lib = producer_->Lib();
  return AccessStatusOf(TryInfoSigned([&](abi::INFO_DATATYPE* t, void* b, std::size_t* s) {
    return GENTL_CALL(lib, IFGetDeviceInfo, handle_, device_id.c_str(),
                      abi::DEVICE_INFO_ACCESS_STATUS, t, b, s);
  }));
}

std::shared_ptr<Producer> AcquireProducer(const std::string& path) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.loaded.find(path);
  if (it == r.loaded.end()) {
    auto producer = std::make_unique<Producer>(path);
    it = r.loaded.emplace(path, Registry::Entry{std::move(producer), 0}).first;
  }
  ++it->second.holders;
  // Each lease counts once; its last copy gives the producer back.
  return std::shared_ptr<Producer>(it->second.producer.get(),
                                   [path](Producer*) { ReleaseProducer(path); });
}

ProducerSet AcquireProducers(const std::vector<std::string>& paths) {
  ProducerSet out;
  for (const auto& path : paths) {
    try {
      out.producers.push_back(AcquireProducer(path));
    } catch (const GenTLError& e) {
      // The message without its "producer '<path>': " prefix: the listing names the file.
      std::string why = e.what();
      const std::string prefix = "producer '" + path + "': ";
      if (why.compare(0, prefix.size(), prefix) == 0) why.erase(0, prefix.size());
      out.skipped.push_back({path, why});
    } catch (const std::exception& e) {
      out.skipped.push_back({path, e.what()});
    }
  }
  return out;
}

std::size_t LoadedProducerCount() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.loaded.size();
}

}  // namespace vision::detail::camera::gentl

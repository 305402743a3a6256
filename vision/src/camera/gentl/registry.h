// The producers in use by this process, shared by every camera.
//
// A producer may be initialised once per process (a second GCInitLib or TLOpen answers
// GC_ERR_RESOURCE_IN_USE) and an interface opened once (a second TLOpenInterface likewise), so
// every camera, listing and discovery of the process goes through one registry:
//
//   registry   canonical file path -> Producer   (loaded, GCInitLib, TLOpen; counted)
//   Producer   interface ID -> open IF handle     (counted)
//
// Both counts are kept under a lock together with the opening and closing they cause, so a
// producer closed by the last camera that used it (TLClose, GCCloseLib, unload) is never
// closed while another thread opens it again; the next user loads it anew. Handles close in the
// order data stream -> device -> interface -> system -> library: each holds a reference to the
// level above it.
//
// Thread safety: every function here may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/gentl/library.h"

namespace vision::detail::camera::gentl {

// What the system module of a producer says about itself (each item empty when the producer
// does not answer it).
struct ProducerInfo {
  std::string vendor;
  std::string model;
  std::string version;
  std::string tl_type;
  std::string display_name;
  std::string gentl_version;  // "1.6", when the producer reports it
};

// What an interface reports about one device, without opening it.
struct DeviceEntry {
  std::string id;
  std::string vendor;
  std::string model;
  std::string serial;     // 1.4 producers and later
  std::string user_name;  // the user-defined name (1.4 and later)
  std::string tl_type;
  std::string display_name;
  std::int32_t access_status = 0;  // a DEVICE_ACCESS_STATUS; 0 when unknown
};

// The name of a DEVICE_ACCESS_STATUS for listings and messages ("ReadWrite", "Busy", ...).
std::string AccessStatusName(std::int32_t status);

class Producer;

// One open interface of a producer, counted: the handle closes when the last holder lets go.
class InterfaceHandle : public std::enable_shared_from_this<InterfaceHandle> {
 public:
  InterfaceHandle(std::shared_ptr<Producer> producer, std::string id, abi::IF_HANDLE handle)
      : producer_(std::move(producer)), id_(std::move(id)), handle_(handle) {}
  Producer& Owner() const { return *producer_; }
  const std::shared_ptr<Producer>& OwnerPtr() const { return producer_; }
  const std::string& Id() const { return id_; }
  abi::IF_HANDLE Handle() const { return handle_; }
  // Updates the device list (waiting at most timeout_ms for devices to answer) and reports
  // every device.
  std::vector<DeviceEntry> Devices(std::uint64_t timeout_ms) const;
  // The current access status of one device (0 when the producer cannot tell).
  std::int32_t AccessStatus(const std::string& device_id) const;

 private:
  std::shared_ptr<Producer> producer_;
  std::string id_;
  abi::IF_HANDLE handle_;
  mutable std::atomic<bool> updating_{false};  // IFUpdateDeviceList runs (perhaps given up)
};

class Producer {
 public:
  // Loads and initialises the producer at the canonical path; throws std::runtime_error (the
  // reason) when it cannot be loaded, GenTLError when initialising it fails.
  explicit Producer(const std::string& path);
  ~Producer();  // TLClose, GCCloseLib, unload
  Producer(const Producer&) = delete;
  Producer& operator=(const Producer&) = delete;

  const Library& Lib() const { return library_; }
  const std::string& Path() const { return library_.Path(); }
  abi::TL_HANDLE System() const { return system_; }
  const ProducerInfo& Info() const { return info_; }

  // Updates the interface list and returns the interfaces' IDs.
  std::vector<std::string> InterfaceIds(std::uint64_t timeout_ms);
  // The interface of the producer held by lease (a pointer AcquireProducer gave), opened or
  // shared with its other holders. The handle keeps the lease.
  static std::shared_ptr<InterfaceHandle> OpenInterface(const std::shared_ptr<Producer>& lease,
                                                        const std::string& id);

  // Serialises the enumeration calls of this producer (system and interface level).
  std::mutex& EnumerationMutex() const { return mutex_; }

 private:
  friend class InterfaceHandle;
  void ReleaseInterface(const std::string& id) noexcept;

  Library library_;
  abi::TL_HANDLE system_ = nullptr;
  bool initialised_ = false;
  ProducerInfo info_;
  mutable std::mutex mutex_;
  struct OpenIf {
    abi::IF_HANDLE handle = nullptr;
    int holders = 0;
  };
  std::map<std::string, OpenIf> interfaces_;
};

// A producer file that could not be used, and why.
struct SkippedProducer {
  std::string path;
  std::string reason;
};

// Producers in use, in the order asked for.
struct ProducerSet {
  std::vector<std::shared_ptr<Producer>> producers;
  std::vector<SkippedProducer> skipped;
};

// The producer at path (canonical), loaded by this call or shared with its other users. Throws
// like Producer's constructor.
std::shared_ptr<Producer> AcquireProducer(const std::string& path);
// Every file that can be used, in order; the others with their reasons.
ProducerSet AcquireProducers(const std::vector<std::string>& paths);
// How many producers are loaded in this process (for tests).
std::size_t LoadedProducerCount();

}  // namespace vision::detail::camera::gentl

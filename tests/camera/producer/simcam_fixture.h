// Helpers of the producer tests: the producer file loaded once per test program, a session
// (options set, library initialised, system and interface open, closed again at the end) and an
// open camera with its remote port, stream and NEW_BUFFER event.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "env.h"
#include "gentl_shared/pfnc.h"
#include "loader.h"

namespace simtest {

using namespace vision::gentl;

// The register map of the simulated camera (vision/producer/camera.h) as the tests use it.
namespace reg {
inline constexpr std::uint64_t kUserId = 0x0060, kWidth = 0x0100, kHeight = 0x0104,
                               kOffsetX = 0x0108, kOffsetY = 0x010C, kWidthMax = 0x0110,
                               kPixelFormat = 0x0118, kAcqMode = 0x0120, kAcqFrameCount = 0x0124,
                               kAcqStart = 0x0128, kAcqStop = 0x012C, kTLParamsLocked = 0x0130,
                               kFrameRate = 0x0140, kTriggerSelector = 0x0150,
                               kTriggerMode = 0x0160, kTriggerSource = 0x0170,
                               kTriggerSoftware = 0x0190, kImageControl = 0x01A0,
                               kDescription = 0xF0000000;
}
namespace pf = vision::pfnc;

const ProducerFile& Producer();
const ProducerFile& P();  // short name for the calls

// The calling thread's last error text.
std::string LastError();
GC_ERROR LastErrorCode();

// A string answer through the info protocol (size query, then the string).
std::string InfoString(const std::function<GC_ERROR(INFO_DATATYPE*, void*, size_t*)>& query);

// A port's one URL (GCGetPortURL), and the parts of a "Local:name;ADDR;LEN[?query]" one.
std::string PortUrl(PORT_HANDLE port);
struct LocalUrl {
  std::string file;
  std::uint64_t address = 0, length = 0;
};
LocalUrl ParseLocal(const std::string& url);
// `size` bytes read from a port (expects success).
std::string ReadBytes(PORT_HANDLE port, std::uint64_t address, std::size_t size);
// The description a port serves through its Local: URL, as its bytes.
std::string ServedBytes(PORT_HANDLE port);

class Session {
 public:
  // Sets VISION_FAKE_CAMERA and calls GCInitLib, TLOpen, TLOpenInterface.
  explicit Session(const char* options);
  ~Session();  // GCCloseLib (closes whatever is still open)
  TL_HANDLE tl = nullptr;
  IF_HANDLE iface = nullptr;
  std::string DeviceId(std::uint32_t index);
};

class Cam {
 public:
  Cam(Session& session, std::uint32_t index = 0,
      DEVICE_ACCESS_FLAGS flags = DEVICE_ACCESS_EXCLUSIVE);
  DEV_HANDLE dev = nullptr;
  PORT_HANDLE port = nullptr;
  DS_HANDLE ds = nullptr;
  EVENT_HANDLE event = nullptr;
  std::vector<BUFFER_HANDLE> buffers;

  std::uint32_t ReadU32(std::uint64_t address);
  GC_ERROR WriteU32(std::uint64_t address, std::uint32_t value);  // the GenTL result
  void Set(std::uint64_t address, std::uint32_t value);           // expects success
  // Announces n producer-allocated buffers of `size` bytes (0: the payload size) and queues them.
  void AnnounceAndQueue(std::size_t n, std::size_t size = 0);
  void Start(std::uint64_t count = GENTL_INFINITE);  // DSStartAcquisition + AcquisitionStart
  // Waits for a NEW_BUFFER event; returns the buffer or NULL (code in *result).
  BUFFER_HANDLE Next(std::uint64_t timeout_ms, GC_ERROR* result = nullptr);
  void Queue(BUFFER_HANDLE b);
  template <class T>
  T BufferInfo(BUFFER_HANDLE b, BUFFER_INFO_CMD cmd, INFO_DATATYPE* type = nullptr) {
    T value{};
    size_t size = sizeof value;
    INFO_DATATYPE t = INFO_DATATYPE_UNKNOWN;
    EXPECT_EQ(P().DSGetBufferInfo(ds, b, cmd, &t, &value, &size), GC_ERR_SUCCESS)
        << "buffer info " << cmd << ": " << LastError();
    EXPECT_EQ(size, sizeof value) << "buffer info " << cmd;
    if (type) *type = t;
    return value;
  }
  template <class T>
  T StreamInfo(STREAM_INFO_CMD cmd) {
    T value{};
    size_t size = sizeof value;
    INFO_DATATYPE t = INFO_DATATYPE_UNKNOWN;
    EXPECT_EQ(P().DSGetInfo(ds, cmd, &t, &value, &size), GC_ERR_SUCCESS) << LastError();
    return value;
  }
  // The bytes of a delivered buffer (SIZE_FILLED of them).
  std::vector<std::uint8_t> Pixels(BUFFER_HANDLE b);
};

}  // namespace simtest

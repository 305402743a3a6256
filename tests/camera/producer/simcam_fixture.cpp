#include "simcam_fixture.h"

#include <functional>

#include "platform/module.h"

namespace simtest {

const ProducerFile& Producer() {
  static const ProducerFile file(SimcamPath());
  return file;
}

const ProducerFile& P() { return Producer(); }

std::string LastError() {
  GC_ERROR code = 0;
  size_t size = 0;
  if (P().GCGetLastError(&code, nullptr, &size) != GC_ERR_SUCCESS) return "(GCGetLastError failed)";
  std::string text(size, '\0');
  if (P().GCGetLastError(&code, text.data(), &size) != GC_ERR_SUCCESS)
    return "(GCGetLastError failed)";
  text.resize(size ? size - 1 : 0);
  return text;
}

GC_ERROR LastErrorCode() {
  GC_ERROR code = 0;
  size_t size = 0;
  P().GCGetLastError(&code, nullptr, &size);
  return code;
}

std::string InfoString(const std::function<GC_ERROR(INFO_DATATYPE*, void*, size_t*)>& query) {
  INFO_DATATYPE type = INFO_DATATYPE_UNKNOWN;
  size_t size = 0;
  EXPECT_EQ(query(&type, nullptr, &size), GC_ERR_SUCCESS) << LastError();
  EXPECT_EQ(type, INFO_DATATYPE_STRING);
  std::string text(size, '\x7f');
  EXPECT_EQ(query(&type, text.data(), &size), GC_ERR_SUCCESS) << LastError();
  EXPECT_TRUE(size > 0 && text[size - 1] == '\0') << "not NUL-terminated";
  text.resize(size ? size - 1 : 0);
  return text;
}

std::string PortUrl(PORT_HANDLE port) {
  return InfoString([&](INFO_DATATYPE* t, void* b, size_t* n) {
    *t = INFO_DATATYPE_STRING;
    return P().GCGetPortURL(port, static_cast<char*>(b), n);
  });
}

LocalUrl ParseLocal(const std::string& url) {
  LocalUrl u;
  const auto a = url.find(';'), b = url.find(';', a + 1), q = url.find('?');
  if (url.rfind("Local:", 0) != 0 || a == std::string::npos || b == std::string::npos) {
    ADD_FAILURE() << "not a Local: URL: " << url;
    return u;
  }
  u.file = url.substr(6, a - 6);
  u.address = std::stoull(url.substr(a + 1, b - a - 1), nullptr, 16);
  u.length = std::stoull(url.substr(b + 1, q == std::string::npos ? q : q - b - 1), nullptr, 16);
  return u;
}

std::string ReadBytes(PORT_HANDLE port, std::uint64_t address, std::size_t size) {
  std::string bytes(size, '\0');
  size_t n = size;
  EXPECT_EQ(P().GCReadPort(port, address, bytes.data(), &n), GC_ERR_SUCCESS)
      << "read of " << size << " bytes at 0x" << std::hex << address << ": " << LastError();
  EXPECT_EQ(n, size);
  return bytes;
}

std::string ServedBytes(PORT_HANDLE port) {
  const LocalUrl u = ParseLocal(PortUrl(port));
  return u.length ? ReadBytes(port, u.address, std::size_t(u.length)) : std::string();
}

Session::Session(const char* options) {
  visiontest::SetEnv("VISION_FAKE_CAMERA", options);
  EXPECT_EQ(P().GCInitLib(), GC_ERR_SUCCESS) << LastError();
  EXPECT_EQ(P().TLOpen(&tl), GC_ERR_SUCCESS) << LastError();
  EXPECT_EQ(P().TLUpdateInterfaceList(tl, nullptr, 1000), GC_ERR_SUCCESS);
  EXPECT_EQ(P().TLOpenInterface(tl, "vision-Simulated", &iface), GC_ERR_SUCCESS) << LastError();
  EXPECT_EQ(P().IFUpdateDeviceList(iface, nullptr, 1000), GC_ERR_SUCCESS);
}

Session::~Session() { EXPECT_EQ(P().GCCloseLib(), GC_ERR_SUCCESS) << LastError(); }

std::string Session::DeviceId(std::uint32_t index) {
  size_t size = 0;
  EXPECT_EQ(P().IFGetDeviceID(iface, index, nullptr, &size), GC_ERR_SUCCESS) << LastError();
  std::string id(size, '\0');
  EXPECT_EQ(P().IFGetDeviceID(iface, index, id.data(), &size), GC_ERR_SUCCESS);
  id.resize(size ? size - 1 : 0);
  return id;
}

Cam::Cam(Session& session, std::uint32_t index, DEVICE_ACCESS_FLAGS flags) {
  const std::string id = session.DeviceId(index);
  EXPECT_EQ(P().IFOpenDevice(session.iface, id.c_str(), flags, &dev), GC_ERR_SUCCESS)
      << LastError();
  EXPECT_EQ(P().DevGetPort(dev, &port), GC_ERR_SUCCESS) << LastError();
  EXPECT_EQ(P().DevOpenDataStream(dev, "Stream0", &ds), GC_ERR_SUCCESS) << LastError();
  EXPECT_EQ(P().GCRegisterEvent(ds, EVENT_NEW_BUFFER, &event), GC_ERR_SUCCESS) << LastError();
}

std::uint32_t Cam::ReadU32(std::uint64_t address) {
  std::uint8_t b[4] = {};
  size_t size = 4;
  EXPECT_EQ(P().GCReadPort(port, address, b, &size), GC_ERR_SUCCESS) << LastError();
  return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
         std::uint32_t(b[3]) << 24;
}

GC_ERROR Cam::WriteU32(std::uint64_t address, std::uint32_t value) {
  const std::uint8_t b[4] = {std::uint8_t(value), std::uint8_t(value >> 8),
                             std::uint8_t(value >> 16), std::uint8_t(value >> 24)};
  size_t size = 4;
  const GC_ERROR rc = P().GCWritePort(port, address, b, &size);
  if (rc == GC_ERR_SUCCESS) {
    EXPECT_EQ(size, 4u) << "a write reports the bytes written";
  }
  return rc;
}

void Cam::Set(std::uint64_t address, std::uint32_t value) {
  EXPECT_EQ(WriteU32(address, value), GC_ERR_SUCCESS)
      << "write 0x" << std::hex << address << ": " << LastError();
}

void Cam::AnnounceAndQueue(std::size_t n, std::size_t size) {
  if (size == 0) size = StreamInfo<size_t>(STREAM_INFO_PAYLOAD_SIZE);
  for (std::size_t i = 0; i < n; ++i) {
    BUFFER_HANDLE b = nullptr;
    ASSERT_EQ(P().DSAllocAndAnnounceBuffer(ds, size, reinterpret_cast<void*>(i + 1), &b),
              GC_ERR_SUCCESS)
        << LastError();
    ASSERT_EQ(P().DSQueueBuffer(ds, b), GC_ERR_SUCCESS) << LastError();
    buffers.push_back(b);
  }
}

void Cam::Start(std::uint64_t count) {
  ASSERT_EQ(P().DSStartAcquisition(ds, ACQ_START_FLAGS_DEFAULT, count), GC_ERR_SUCCESS)
      << LastError();
  Set(reg::kAcqStart, 1);
}

BUFFER_HANDLE Cam::Next(std::uint64_t timeout_ms, GC_ERROR* result) {
  EVENT_NEW_BUFFER_DATA data{};
  size_t size = sizeof data;
  const GC_ERROR rc = P().EventGetData(event, &data, &size, timeout_ms);
  if (result) *result = rc;
  if (rc != GC_ERR_SUCCESS) return nullptr;
  EXPECT_EQ(size, sizeof data);
  return data.BufferHandle;
}

void Cam::Queue(BUFFER_HANDLE b) {
  EXPECT_EQ(P().DSQueueBuffer(ds, b), GC_ERR_SUCCESS) << LastError();
}

std::vector<std::uint8_t> Cam::Pixels(BUFFER_HANDLE b) {
  auto* base = BufferInfo<std::uint8_t*>(b, BUFFER_INFO_BASE);
  const auto filled = BufferInfo<size_t>(b, BUFFER_INFO_SIZE_FILLED);
  return std::vector<std::uint8_t>(base, base + filled);
}

}  // namespace simtest

#include "camera.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "error.h"
#include "zip.h"

namespace vision::simcam {

extern const char kDescriptionXml[];  // simcam.xml, embedded at build time

using namespace gentl;

namespace {

enum class Access { RO, RW, WO };
enum class Type { String, U32, U32BigEndian, F64 };

// Register addresses.
enum : std::uint64_t {
  kVendor = 0x0000,
  kModel = 0x0020,
  kSerial = 0x0040,
  kUserId = 0x0060,
  kWidth = 0x0100,
  kHeight = 0x0104,
  kOffsetX = 0x0108,
  kOffsetY = 0x010C,
  kWidthMax = 0x0110,
  kHeightMax = 0x0114,
  kPixelFormat = 0x0118,
  kAcqMode = 0x0120,
  kAcqFrameCount = 0x0124,
  kAcqStart = 0x0128,
  kAcqStop = 0x012C,
  kTLParamsLocked = 0x0130,
  kFrameRate = 0x0140,
  kExposureRaw = 0x0148,
  kTriggerSelector = 0x0150,
  kTriggerMode = 0x0160,  // + 4 * selector
  kTriggerSource = 0x0170,
  kTriggerActivation = 0x0180,
  kTriggerSoftware = 0x0190,
  kImageControl = 0x01A0,  // big-endian
  kRegisterSpace = 0x0200,
};

constexpr int kFrameStart = 0, kAcquisitionStart = 1;  // TriggerSelector values
constexpr int kMaxPendingTriggers = 16;

// Fields of the big-endian image-control register (masks of the register value).
struct Field {
  const char* feature;
  std::uint32_t mask;
  int shift;
  std::uint32_t max;
};
constexpr Field kImageControlFields[] = {
    {"Gain", 0x000000FF, 0, 24},
    {"BlackLevel", 0x0000FF00, 8, 64},
    {"ReverseX", 0x00010000, 16, 1},
    {"ReverseY", 0x00020000, 17, 1},
};

// The absolute form of a path, as the file system reads it (the path itself if that fails).
std::string AbsolutePath(const std::string& path) {
#ifdef _WIN32
  const DWORD n = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::string full(n, '\0');
  const DWORD m = GetFullPathNameA(path.c_str(), n, full.data(), nullptr);
  if (m == 0 || m >= n) return path;
  full.resize(m);
  return full;
#else
  if (!path.empty() && path[0] == '/') return path;
  std::string cwd(4096, '\0');
  while (!getcwd(cwd.data(), cwd.size())) {
    if (errno != ERANGE || cwd.size() > (1u << 20)) return path;
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(std::strlen(cwd.c_str()));
  return cwd + (cwd.size() > 1 ? "/" : "") + path;
#endif
}

}  // namespace

std::string FileUrl(const std::string& path) {
  std::string p = AbsolutePath(path);
#ifdef _WIN32
  for (char& c : p)
    if (c == '\\') c = '/';
#endif
  static const char digits[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : p) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (alnum || c == '/' || c == ':' || c == '-' || c == '.' || c == '_' || c == '~') {
      encoded += char(c);
    } else {
      encoded += '%';
      encoded += digits[c >> 4];
      encoded += digits[c & 15];
    }
  }
  // An absolute POSIX path or a share ("//server/share") gets the empty host in front of it;
  // a drive letter ("C:/") a slash as well.
  return encoded.empty() || encoded[0] == '/' ? "file://" + encoded : "file:///" + encoded;
}

struct RegisterInfo {
  std::uint64_t address;
  std::uint32_t length;
  Access access;
  Type type;
  const char* feature;  // for messages and reject=; nullptr: the fields above
};

namespace {

const RegisterInfo kRegisters[] = {
    {kVendor, 32, Access::RO, Type::String, "DeviceVendorName"},
    {kModel, 32, Access::RO, Type::String, "DeviceModelName"},
    {kSerial, 32, Access::RO, Type::String, "DeviceSerialNumber"},
    {kUserId, 32, Access::RW, Type::String, "DeviceUserID"},
    {kWidth, 4, Access::RW, Type::U32, "Width"},
    {kHeight, 4, Access::RW, Type::U32, "Height"},
    {kOffsetX, 4, Access::RW, Type::U32, "OffsetX"},
    {kOffsetY, 4, Access::RW, Type::U32, "OffsetY"},
    {kWidthMax, 4, Access::RO, Type::U32, "WidthMax"},
    {kHeightMax, 4, Access::RO, Type::U32, "HeightMax"},
    {kPixelFormat, 4, Access::RW, Type::U32, "PixelFormat"},
    {kAcqMode, 4, Access::RW, Type::U32, "AcquisitionMode"},
    {kAcqFrameCount, 4, Access::RW, Type::U32, "AcquisitionFrameCount"},
    {kAcqStart, 4, Access::WO, Type::U32, "AcquisitionStart"},
    {kAcqStop, 4, Access::WO, Type::U32, "AcquisitionStop"},
    {kTLParamsLocked, 4, Access::RW, Type::U32, "TLParamsLocked"},
    {kFrameRate, 8, Access::RW, Type::F64, "AcquisitionFrameRate"},
    {kExposureRaw, 4, Access::RW, Type::U32, "ExposureTime"},
    {kTriggerSelector, 4, Access::RW, Type::U32, "TriggerSelector"},
    {kTriggerMode, 4, Access::RW, Type::U32, "TriggerMode"},
    {kTriggerMode + 4, 4, Access::RW, Type::U32, "TriggerMode"},
    {kTriggerSource, 4, Access::RW, Type::U32, "TriggerSource"},
    {kTriggerSource + 4, 4, Access::RW, Type::U32, "TriggerSource"},
    {kTriggerActivation, 4, Access::RW, Type::U32, "TriggerActivation"},
    {kTriggerActivation + 4, 4, Access::RW, Type::U32, "TriggerActivation"},
    {kTriggerSoftware, 4, Access::RW, Type::U32, "TriggerSoftware"},
    {kTriggerSoftware + 4, 4, Access::RW, Type::U32, "TriggerSoftware"},
    {kImageControl, 4, Access::RW, Type::U32BigEndian, nullptr},
};

}  // namespace

std::shared_ptr<const Description> MakeDescription(const Options& options) {
  auto d = std::make_shared<Description>();
  if (!options.description.empty()) {
    // A file of the user's: read once to know that it can be, then left where it is for the
    // consumer to read through a file: URL, so the whole register space is the camera's.
    std::ifstream in(options.description, std::ios::binary);
    if (!in)
      throw Error(GC_ERR_IO, "cannot read the description file '" + options.description +
                                 "' (VISION_FAKE_CAMERA description=)");
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
      throw Error(GC_ERR_IO, "cannot read the description file '" + options.description + "'");
    d->ours = false;
    d->in_registers = false;
    d->size = bytes.size();
    d->file_name = options.description.substr(options.description.find_last_of("/\\") + 1);
    d->url = FileUrl(options.description);
    return d;
  }
  const std::string xml = kDescriptionXml;
  if (options.plain_description) {
    d->bytes.assign(xml.begin(), xml.end());
    d->file_name = "vision_simcam.xml";
  } else {
    d->bytes = ZipOneFile("vision_simcam.xml", xml);
    d->file_name = "vision_simcam.zip";
  }
  d->size = d->bytes.size();
  d->url = "Local:" + d->file_name + ";" + HexDigits(kDescriptionAddress) + ";" +
           HexDigits(d->bytes.size()) + "?SchemaVersion=1.1.0";
  return d;
}

Camera::Camera(const Options& options, int index, std::shared_ptr<const Description> description)
    : options_(options), description_(std::move(description)) {
  serial_ = "SIM000" + std::to_string(index + 1);
  blank_ = !options_.description.empty();
  if (blank_) return;
  regs_.assign(kRegisterSpace, 0);
  auto put_string = [&](std::uint64_t address, const std::string& s) {
    std::memcpy(&regs_[address], s.data(), std::min<std::size_t>(s.size(), 31));
  };
  put_string(kVendor, "vision");
  put_string(kModel, "Simulated camera");
  put_string(kSerial, serial_);
  SetU32(kWidth, std::uint32_t(options_.width));
  SetU32(kHeight, std::uint32_t(options_.height));
  SetU32(kWidthMax, std::uint32_t(options_.width));
  SetU32(kHeightMax, std::uint32_t(options_.height));
  SetU32(kPixelFormat, pfnc::kMono8);
  SetU32(kAcqFrameCount, 1);
  std::memcpy(&regs_[kFrameRate], &options_.fps, 8);
  SetU32(kExposureRaw, 1000);  // 10 ms
}

std::string Camera::Name() const { return "'Simulated camera " + serial_ + "'"; }

std::string Camera::UserId() const {
  if (blank_) return {};
  const char* p = reinterpret_cast<const char*>(&regs_[kUserId]);
  return std::string(p, strnlen(p, 32));
}

std::string Camera::LostMessage() const {
  return "camera " + Name() + " was lost after " + std::to_string(delivered_) +
         " frames (VISION_FAKE_CAMERA lose_after=" + std::to_string(options_.lose_after) + ")";
}

const RegisterInfo* Camera::Find(std::uint64_t address) const {
  for (const auto& r : kRegisters)
    if (address >= r.address && address < r.address + r.length) return &r;
  return nullptr;
}

std::uint32_t Camera::U32(std::uint64_t address) const {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | regs_[address + std::uint64_t(i)];
  return v;
}

void Camera::SetU32(std::uint64_t address, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) regs_[address + std::uint64_t(i)] = std::uint8_t(value >> (8 * i));
}

std::uint32_t Camera::ImageControl() const {
  return std::uint32_t(regs_[kImageControl]) << 24 | std::uint32_t(regs_[kImageControl + 1]) << 16 |
         std::uint32_t(regs_[kImageControl + 2]) << 8 | regs_[kImageControl + 3];
}

void Camera::Read(std::uint64_t address, void* buffer, std::size_t size) const {
  if (lost_) throw Error(GC_ERR_IO, LostMessage());
  if (!buffer && size) throw Error(GC_ERR_INVALID_PARAMETER, "the read buffer is NULL");
  if (address + size < address)
    throw Error(GC_ERR_INVALID_ADDRESS, "a read of " + std::to_string(size) + " bytes at 0x" +
                                            HexDigits(address) + " runs past the address space");
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::uint64_t desc_end = kDescriptionAddress + description_->bytes.size();
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint64_t a = address + i;
    if (description_->in_registers && a >= kDescriptionAddress && a < desc_end) {
      out[i] = description_->bytes[a - kDescriptionAddress];
    } else if (blank_) {
      const auto it = memory_.find(a);
      out[i] = it == memory_.end() ? 0 : it->second;
    } else {
      const RegisterInfo* r = Find(a);
      if (!r)
        throw Error(GC_ERR_INVALID_ADDRESS, "camera " + Name() + " has no register at 0x" +
                                                HexDigits(a) + " (read of " + std::to_string(size) +
                                                " bytes at 0x" + HexDigits(address) + ")");
      if (r->access == Access::WO)
        throw Error(GC_ERR_ACCESS_DENIED,
                    std::string(r->feature) + " (0x" + HexDigits(r->address) + ") is write-only");
      if (r->address == kTriggerSoftware) {
        // Reads 1 while a software trigger waits to be taken.
        out[i] = (a == r->address && pending_frame_triggers_ > 0) ? 1 : 0;
      } else {
        out[i] = regs_[a];
      }
    }
  }
}

void Camera::CheckRejected(const RegisterInfo& reg, std::uint32_t old_value,
                           std::uint32_t new_value) const {
  const auto refuse = [&](const char* feature) {
    throw Error(GC_ERR_ACCESS_DENIED, std::string(feature) +
                                          ": write access denied by the camera (VISION_FAKE_CAMERA "
                                          "reject=" +
                                          feature + ")");
  };
  if (reg.feature) {
    if (options_.reject.count(reg.feature)) refuse(reg.feature);
    return;
  }
  for (const Field& f : kImageControlFields)
    if (((old_value ^ new_value) & f.mask) && options_.reject.count(f.feature)) refuse(f.feature);
}

void Camera::Write(std::uint64_t address, const void* buffer, std::size_t size) {
  if (lost_) throw Error(GC_ERR_IO, LostMessage());
  if (!buffer || size == 0)
    throw Error(GC_ERR_INVALID_PARAMETER, "a write needs a buffer and at least one byte");
  if (address + size < address)
    throw Error(GC_ERR_INVALID_ADDRESS, "a write of " + std::to_string(size) + " bytes at " +
                                            Hex(address) + " runs past the address space");
  const std::uint64_t desc_end = kDescriptionAddress + description_->bytes.size();
  if (description_->in_registers && address < desc_end && address + size > kDescriptionAddress)
    throw Error(GC_ERR_ACCESS_DENIED,
                "the device description at 0x" + HexDigits(kDescriptionAddress) + " is read-only");
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  if (blank_) {
    for (std::size_t i = 0; i < size; ++i) memory_[address + i] = bytes[i];
    return;
  }
  const RegisterInfo* r = Find(address);
  if (!r || r->address != address)
    throw Error(GC_ERR_INVALID_ADDRESS, "camera " + Name() + " has no register starting at 0x" +
                                            HexDigits(address) + " (a write covers one register)");
  const bool fits = r->type == Type::String ? size <= r->length : size == r->length;
  if (!fits)
    throw Error(GC_ERR_INVALID_PARAMETER,
                std::string(r->feature) + " (0x" + HexDigits(address) + ") takes " +
                    (r->type == Type::String ? "at most " : "") + std::to_string(r->length) +
                    " bytes, not " + std::to_string(size));
  if (r->access == Access::RO)
    throw Error(GC_ERR_ACCESS_DENIED,
                std::string(r->feature) + " (0x" + HexDigits(address) + ") is read-only");
  Apply(*r, bytes, size);
}

void Camera::Apply(const RegisterInfo& r, const std::uint8_t* bytes, std::size_t size) {
  const std::string name = r.feature ? r.feature : "image control";
  if (r.type == Type::String) {
    CheckRejected(r, 0, 0);
    std::memset(&regs_[r.address], 0, r.length);
    std::memcpy(&regs_[r.address], bytes, size);
    return;
  }
  if (r.type == Type::F64) {
    CheckRejected(r, 0, 0);
    double v = 0;
    std::memcpy(&v, bytes, 8);
    if (!std::isfinite(v) || v < 0.1 || v > 1000)
      throw Error(GC_ERR_INVALID_VALUE,
                  name + " = " + std::to_string(v) + " is outside 0.1 .. 1000 frames per second");
    std::memcpy(&regs_[r.address], bytes, 8);
    return;
  }
  std::uint32_t v = 0;
  if (r.type == Type::U32BigEndian) {
    v = std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 |
        std::uint32_t(bytes[2]) << 8 | bytes[3];
    CheckRejected(r, ImageControl(), v);
    if (v & ~0x0003FFFFu)
      throw Error(GC_ERR_INVALID_VALUE, "image control = 0x" + HexDigits(v) +
                                            " sets bits that are not used (only 0 .. 17)");
    for (const Field& f : kImageControlFields)
      if (((v & f.mask) >> f.shift) > f.max)
        throw Error(GC_ERR_INVALID_VALUE, std::string(f.feature) + " = " +
                                              std::to_string((v & f.mask) >> f.shift) +
                                              " is outside 0 .. " + std::to_string(f.max));
    std::memcpy(&regs_[r.address], bytes, 4);
    return;
  }
  for (int i = 3; i >= 0; --i) v = (v << 8) | bytes[i];
  CheckRejected(r, U32(r.address), v);
  const auto out_of_range = [&](std::uint32_t lo, std::uint32_t hi) {
    if (v < lo || v > hi)
      throw Error(GC_ERR_INVALID_VALUE, name + " = " + std::to_string(v) + " is outside " +
                                            std::to_string(lo) + " .. " + std::to_string(hi));
  };
  const auto check_unlocked = [&] {
    if (U32(kTLParamsLocked))
      throw Error(GC_ERR_ACCESS_DENIED, name + " is locked while TLParamsLocked is 1");
    if (acquiring_)
      throw Error(GC_ERR_ACCESS_DENIED,
                  name + " is locked while the camera acquires (AcquisitionStop first)");
  };
  const std::uint32_t wmax = U32(kWidthMax), hmax = U32(kHeightMax);
  switch (r.address) {
    case kWidth:
      check_unlocked();
      out_of_range(16, wmax - U32(kOffsetX));
      break;
    case kHeight:
      check_unlocked();
      out_of_range(16, hmax - U32(kOffsetY));
      break;
    case kOffsetX:
    case kOffsetY:
      check_unlocked();
      out_of_range(0, (r.address == kOffsetX ? wmax - U32(kWidth) : hmax - U32(kHeight)));
      if (v % 2)
        throw Error(GC_ERR_INVALID_VALUE, name + " = " + std::to_string(v) + " is not even");
      break;
    case kPixelFormat:
      check_unlocked();
      if (BytesPerPixel(v) == 0)
        throw Error(GC_ERR_INVALID_VALUE, "PixelFormat = 0x" + HexDigits(v) + " is not offered");
      break;
    case kAcqMode:
      out_of_range(0, 2);
      break;
    case kAcqFrameCount:
      out_of_range(1, 65535);
      break;
    case kTLParamsLocked:
    case kTriggerSelector:
    case kTriggerMode:
    case kTriggerMode + 4:
    case kTriggerSource:
    case kTriggerSource + 4:
    case kTriggerActivation:
    case kTriggerActivation + 4:
      out_of_range(0, 1);
      if (r.address == kTriggerMode && v != U32(kTriggerMode)) pending_frame_triggers_ = 0;
      break;
    case kExposureRaw:
      out_of_range(1, 100000);
      break;
    case kAcqStart:
      out_of_range(1, 1);
      if (!acquiring_) {
        acquiring_ = true;
        frames_in_acquisition_ = 0;
        pending_frame_triggers_ = 0;
        armed_ = U32(kTriggerMode + 4 * kAcquisitionStart) == 0;
      }
      return;
    case kAcqStop:
      out_of_range(1, 1);
      acquiring_ = false;
      pending_frame_triggers_ = 0;
      return;
    case kTriggerSoftware:
    case kTriggerSoftware + 4: {
      out_of_range(1, 1);
      const int selector = r.address == kTriggerSoftware ? kFrameStart : kAcquisitionStart;
      const bool on = U32(kTriggerMode + 4 * std::uint64_t(selector)) == 1;
      const bool software = U32(kTriggerSource + 4 * std::uint64_t(selector)) == 0;
      // Like a real camera, a trigger the camera is not waiting for is accepted and does
      // nothing (the register reads 0 at once).
      if (on && software && acquiring_) {
        if (selector == kAcquisitionStart) {
          armed_ = true;
        } else if (stream_running_ && armed_ && pending_frame_triggers_ < kMaxPendingTriggers) {
          ++pending_frame_triggers_;
        }
      }
      return;
    }
    default:
      break;
  }
  SetU32(r.address, v);
}

bool Camera::Capturing() const {
  if (lost_) return false;
  if (blank_) return stream_running_;
  return acquiring_ && armed_;
}

bool Camera::FrameTriggered() const { return !blank_ && U32(kTriggerMode) == 1; }

double Camera::FrameRate() const {
  if (blank_) return options_.fps;
  double v = 0;
  std::memcpy(&v, &regs_[kFrameRate], 8);
  return v;
}

FrameSettings Camera::Settings() const {
  FrameSettings s;
  s.sensor_width = options_.width;
  s.sensor_height = options_.height;
  if (blank_) {
    s.width = options_.width;
    s.height = options_.height;
    return s;
  }
  s.width = int(U32(kWidth));
  s.height = int(U32(kHeight));
  s.offset_x = int(U32(kOffsetX));
  s.offset_y = int(U32(kOffsetY));
  s.pixel_format = U32(kPixelFormat);
  const std::uint32_t ic = ImageControl();
  s.gain_db = int(ic & 0xFF);
  s.black_level = int((ic >> 8) & 0xFF);
  s.reverse_x = (ic >> 16) & 1;
  s.reverse_y = (ic >> 17) & 1;
  return s;
}

bool Camera::MayDeliver() const {
  return options_.lose_after < 0 || delivered_ < options_.lose_after;
}

void Camera::Lose() {
  lost_ = true;
  acquiring_ = false;
  pending_frame_triggers_ = 0;
}

bool Camera::BeginFrame() {
  if (!MayDeliver()) {
    Lose();
    return false;
  }
  if (pending_frame_triggers_ > 0 && FrameTriggered()) --pending_frame_triggers_;
  ++frames_in_acquisition_;
  const std::uint32_t mode = blank_ ? 0 : U32(kAcqMode);
  if ((mode == 1 && frames_in_acquisition_ >= 1) ||
      (mode == 2 && frames_in_acquisition_ >= std::int64_t(U32(kAcqFrameCount))))
    acquiring_ = false;
  return true;
}

void Camera::FrameDelivered() { ++delivered_; }

void Camera::SetStreamRunning(bool running) {
  stream_running_ = running;
  if (!running) pending_frame_triggers_ = 0;
}

}  // namespace vision::simcam

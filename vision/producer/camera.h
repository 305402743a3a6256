// One simulated camera as its registers see it: the register map behind the device description
// (simcam.xml), with the checks and side effects of every write, and the description itself at
// kDescriptionAddress. The data stream (modules.cpp) asks it what to capture.
//
// Register map (little-endian unless noted; lengths in bytes):
//   0x0000 32 RO DeviceVendorName    0x0020 32 RO DeviceModelName
//   0x0040 32 RO DeviceSerialNumber  0x0060 32 RW DeviceUserID
//   0x0100  4 RW Width               0x0104  4 RW Height
//   0x0108  4 RW OffsetX (even)      0x010C  4 RW OffsetY (even)
//   0x0110  4 RO WidthMax            0x0114  4 RO HeightMax
//   0x0118  4 RW PixelFormat (PFNC)
//   0x0120  4 RW AcquisitionMode (0 Continuous, 1 SingleFrame, 2 MultiFrame)
//   0x0124  4 RW AcquisitionFrameCount
//   0x0128  4 WO AcquisitionStart    0x012C  4 WO AcquisitionStop   (write 1)
//   0x0130  4 RW TLParamsLocked (0/1: Width, Height, offsets and PixelFormat refuse writes)
//   0x0140  8 RW AcquisitionFrameRate (IEEE double)
//   0x0148  4 RW ExposureTimeRaw (steps of 10 us)
//   0x0150  4 RW TriggerSelector (0 FrameStart, 1 AcquisitionStart)
//   0x0160 +4*selector RW TriggerMode (0 Off, 1 On)
//   0x0170 +4*selector RW TriggerSource (0 Software, 1 Line0)
//   0x0180 +4*selector RW TriggerActivation (0 RisingEdge, 1 FallingEdge)
//   0x0190 +4*selector RW TriggerSoftware: write 1; reads 1 until the camera took the trigger
//   0x01A0  4 RW big-endian image control: bits 0-7 Gain (dB, 0..24), 8-15 BlackLevel (0..64),
//           16 ReverseX, 17 ReverseY (bit numbers of the register value, LSB = 0)
//   0xF0000000 the device description (zipped unless the option plain is given)
//
// With description=FILE the camera has no register map of its own and the file is served as it
// is through a file: URL, not from the register space: every address reads back what was
// written there (zero at first), so the file's registers start out zero wherever they lie, and
// the stream free-runs in Mono8 at the sensor size whenever it is started.
//
// Not thread-safe: the device's mutex guards it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frames.h"
#include "gentl_shared/options.h"

namespace vision::simcam {

inline constexpr std::uint64_t kDescriptionAddress = 0xF0000000;

// The description as served: the URL that points at it and, for the built-in one, its bytes in
// the register space.
struct Description {
  std::vector<std::uint8_t> bytes;  // at kDescriptionAddress (empty for a file: URL)
  std::string file_name;            // "vision_simcam.zip"
  std::string url;                  // "Local:vision_simcam.zip;F0000000;1A2B?SchemaVersion=1.1.0"
  std::uint64_t size = 0;           // bytes of the description, in the register space or the file
  bool ours = true;                 // the built-in description (schema and file versions known)
  bool in_registers = true;         // a Local: URL; false: a file: URL (description=)
};
// The built-in description, or the file of description=. Throws Error (GC_ERR_IO) when the
// file cannot be read.
std::shared_ptr<const Description> MakeDescription(const Options& options);

// The file: URL of a local file: its absolute path (relative ones from the working folder)
// with '/' separators, percent-encoded where a URL needs it: "file:///tmp/my%20cam.xml",
// "file:///C:/cams/x.xml" on Windows, "file:////server/share/x.xml" for a share.
std::string FileUrl(const std::string& path);

struct RegisterInfo;

class Camera {
 public:
  Camera(const Options& options, int index, std::shared_ptr<const Description> description);

  const std::string& Serial() const { return serial_; }
  // "'Simulated camera SIM0001'"
  std::string Name() const;
  std::string UserId() const;

  // Port access. Throw Error: GC_ERR_INVALID_ADDRESS (no register there, or a write that does
  // not cover one register), GC_ERR_ACCESS_DENIED (read-only or write-only, locked, or refused
  // by reject=), GC_ERR_INVALID_VALUE (out of range), GC_ERR_IO (the camera was lost).
  void Read(std::uint64_t address, void* buffer, std::size_t size) const;
  void Write(std::uint64_t address, const void* buffer, std::size_t size);

  // ---- What the stream asks -------------------------------------------------------------------
  bool Lost() const { return lost_; }
  std::string LostMessage() const;
  // Whether frames are being taken (AcquisitionStart executed and not yet ended, and the
  // acquisition trigger, if any, has come).
  bool Capturing() const;
  // Frame triggers: whether frames wait for a trigger; how many software triggers are pending.
  bool FrameTriggered() const;
  int PendingFrameTriggers() const { return pending_frame_triggers_; }
  double FrameRate() const;
  FrameSettings Settings() const;
  std::size_t PayloadSize() const { return Settings().Bytes(); }
  bool DefinesOwnRegisters() const { return !blank_; }
  // Called once per frame the camera captures (it takes a pending frame trigger), before the
  // frame is filled; returns false (and the camera is lost from now on) when lose_after says the
  // camera vanishes instead.
  bool BeginFrame();
  // Called when a frame is handed to the consumer (EventGetData): lose_after counts these, so
  // a consumer that drops queued frames still receives N before the camera is lost.
  void FrameDelivered();
  // Whether lose_after allows another frame to be handed out; Lose() makes the camera vanish.
  bool MayDeliver() const;
  void Lose();
  // The stream started or stopped: triggers only count while one runs.
  void SetStreamRunning(bool running);

  const Options& Opt() const { return options_; }

 private:
  const RegisterInfo* Find(std::uint64_t address) const;
  std::uint32_t U32(std::uint64_t address) const;
  void SetU32(std::uint64_t address, std::uint32_t value);
  std::uint32_t ImageControl() const;
  void CheckRejected(const RegisterInfo& reg, std::uint32_t old_value,
                     std::uint32_t new_value) const;
  void Apply(const RegisterInfo& reg, const std::uint8_t* bytes, std::size_t size);

  Options options_;
  std::string serial_;
  std::shared_ptr<const Description> description_;
  bool blank_ = false;                            // description=FILE: no register map
  std::vector<std::uint8_t> regs_;                // 0x0000 .. 0x01FF
  std::map<std::uint64_t, std::uint8_t> memory_;  // blank camera: what was written

  bool acquiring_ = false;  // AcquisitionStart .. AcquisitionStop / frame count reached
  bool armed_ = false;      // the acquisition-start trigger (if on) has come
  std::int64_t frames_in_acquisition_ = 0;
  int pending_frame_triggers_ = 0;
  bool stream_running_ = false;
  std::int64_t delivered_ = 0;  // frames delivered since the device was opened
  bool lost_ = false;
};

}  // namespace vision::simcam

// A camera reached through a GenTL producer, behind the camera seam (camera/camera.h).
//
// Opening: the device's access status is read first (a camera another program holds is
// refused at once, never waited for), then the device is opened for control, its remote port
// taken and the description it names loaded into a GenApi node map (Local: plain or zipped,
// file:; anything else is refused naming the URL). Features are read and written through that
// map; its errors become the library's codes (genapi::ErrorKind -> kAcq*).
//
// Acquisition (GenTLStream): TLParamsLocked set, the payload size taken from the stream (when
// it defines it) or the PayloadSize feature, max(4, BUF_ANNOUNCE_MIN) buffers of our memory
// (aligned as the stream asks) announced and queued, the new-buffer event registered, the
// stream started, then AcquisitionStart. Every delivered buffer is queued again, incomplete
// ones too. Stopping undoes it all in reverse: AcquisitionStop, stream stopped, event
// unregistered, queues flushed, every buffer revoked, TLParamsLocked cleared. The data stream
// module is opened at the first start and closed with the device.
//
// Waits for a frame run in slices of kSliceMs; between slices the device is asked for a
// register (the start of its description), so a camera that vanished is reported as lost
// within one slice, long before "grab_timeout" when that is long. Abort (another thread) kills
// the wait (EventKill) and makes every later wait return at once.
//
// Producer calls that may block run on the device's call lane (lane.h): a call that has not
// returned by the grab's deadline (plus a second), or within 5 s outside a grab, is given up,
// the camera marked lost, and the device, its interface and the producer stay open until the
// call returns. An EventGetData that answers "time-out" early is not repeated before its slice
// has passed.
//
// Thread safety: as the seam says, one thread at a time, except Stream::Abort, which any thread
// may call while another waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/gentl/registry.h"

namespace vision::detail::camera::gentl {

// The longest wait in one call into the producer while waiting for a frame, in ms.
inline constexpr int kSliceMs = 100;

struct DeviceState;

// Opens the device entry of iface; raises DeviceError (kAcqOpen with the reason: busy, no
// description, a broken description, ...). reject_interface names interface parameters
// (grab_timeout, ...) whose writes the device refuses (the simulated camera's reject=).
std::unique_ptr<Device> OpenGenTLDevice(std::shared_ptr<InterfaceHandle> iface,
                                        const DeviceEntry& entry, DeviceInfo info,
                                        std::set<std::string> reject_interface = {});

// For tests: the number of buffers announced on the device's data stream right now (0 after a
// stop), or -1 when the device is not a GenTL device or has no open data stream.
std::int64_t AnnouncedBuffers(Device& device);

}  // namespace vision::detail::camera::gentl

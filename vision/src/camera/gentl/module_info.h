// What a producer's modules (system, interface, device, data stream) say of themselves, one
// line each, for listings.
//
// A module that serves a GenApi description of its own through its port (GCGetNumPortURLs > 0)
// is read through it: the transport-layer features of that module (TLVendorName, TLVersion,
// InterfaceID, DeviceID, StreamDeliveredFrameCount, ...), the line naming the description's
// model. A module without one (no URL, GCGetNumPortURLs not exported) or whose description
// cannot be read or used is described by the GenTL info calls instead (TLGetInfo, IFGetInfo,
// IFGetDeviceInfo, DevGetInfo, DSGetInfo) under the same feature names, and the line says why:
//
//   system '/opt/p.cti' description:'MakerSystem' TLVendorName:'Maker' TLVersion:'2.1' ...
//   system '/opt/q.cti' info_calls:'no module description (GCGetNumPortURLs = 0)' TLVendorName:...
//
// Nothing here raises: a failed item is left out or shown as NAME_error:'why'. Every text from
// the producer is quoted and escaped (detail/text.h).
//
// Not installed. Thread safety: as the handles it reads (one thread at a time).
#pragma once

#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/gentl/registry.h"

namespace vision::detail::camera::gentl {

// The system module of a producer.
std::string SystemModuleLine(const Producer& producer);
// The interface module, then one line per device it lists (its DeviceSelector stepped through
// where the description has one; otherwise the entries discovery read, `devices`).
std::vector<std::string> InterfaceModuleLines(const InterfaceHandle& iface,
                                              const std::vector<DeviceEntry>& devices);
// The local device module of an open device (not the camera's remote port).
std::string DeviceModuleLine(const Library& lib, abi::DEV_HANDLE device, const DeviceInfo& info);
// An open data stream module.
std::string StreamModuleLine(const Library& lib, abi::DS_HANDLE stream);

}  // namespace vision::detail::camera::gentl

// The "GenICamTL" interface: every camera of every GenTL producer, and on Linux the cameras
// Aravis reaches, in one list with one order.
//
// The order, which "default" (the first) and a device name (the first match) follow:
//   1. GenTL producers in the order of GENICAM_GENTL64_PATH (a folder's files in name order);
//      within a producer its interfaces in the order it lists them, within an interface its
//      devices likewise;
//   2. then the cameras Aravis finds (GigE Vision, USB3 Vision), except those already listed:
//      a camera with the same vendor, model and serial number as one before it is left out,
//      so no camera is ever opened through two transports (nor through two producers).
// With VISION_FAKE_CAMERA set (even to nothing) the only transport is the simulated camera's
// producer bundled with the library; nothing else is searched and no network is touched.
//
// Thread safety: an interface object is used by one thread at a time; several may exist (the
// producers they use are shared through the registry).
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/gentl/discovery.h"

namespace vision::detail::camera::gentl {

struct TransportConfig {
  std::vector<std::string> producer_files;  // canonical, in search order
  std::vector<PathProblem> path_problems;   // entries of the search path that gave nothing
  std::string origin;                       // where the files came from, for reports
  std::set<std::string> reject_interface;   // interface parameters the devices refuse
  std::unique_ptr<Interface> aravis;        // the second transport, or none
};

// The interface over the producers (loaded when it is made, kept while it lives) and Aravis.
std::unique_ptr<Interface> MakeTransportInterface(TransportConfig config);

// The simulated camera's producer bundled with this library: the build tree's file while the
// library runs from its build tree, else the installed one beside the library.
std::string BundledProducerPath();

}  // namespace vision::detail::camera::gentl

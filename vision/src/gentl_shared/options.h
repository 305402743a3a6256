// The options of the simulated camera, read from the environment variable VISION_FAKE_CAMERA:
// a comma-separated list such as "width=320,height=240,fps=60,reject=TriggerMode".
//
// Shared source: compiled into the simulated camera's producer (vision_simcam.cti), which reads
// the variable itself, and into the library, which checks the options when a camera is opened
// (so a mistake is reported at OpenFramegrabber) and applies reject= to its own interface
// parameters. It depends on nothing but the standard library.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vision::simcam {

struct Options {
  int width = 640;  // width=W, height=H (16..8192): the sensor, and the initial image size
  int height = 480;
  double fps = 30.0;                  // fps=F (0.1..1000): initial free-running frame rate
  std::set<std::string> reject;       // reject=NAME (repeatable): writes of NAME are refused
  std::int64_t lose_after = -1;       // lose_after=N: the camera vanishes after N frames
  std::int64_t incomplete_every = 0;  // incomplete=N: every Nth frame is delivered incomplete
  int delay_ms = 0;                   // delay=MS: every frame arrives MS later than due
  bool busy = false;                  // busy: the camera is held by another program
  int cameras = 1;                    // cameras=N (1..4): devices offered
  std::string description;            // description=FILE: serve that GenApi file instead
  bool plain_description = false;     // plain: serve the description as plain XML, not zipped
};

// Parses the variable's text (empty or "1": the defaults). Throws std::invalid_argument with a
// message such as "VISION_FAKE_CAMERA: option 'colour=red' is unknown (options: 1, width=W,
// ...)". Unknown options are refused; reject= names must be features of the simulated camera
// or interface parameters (FeatureNames(), InterfaceParameterNames()) unless description= is
// given, and a name that differs from one of them only in case is refused with a suggestion.
Options ParseOptions(std::string_view text);

// The features the simulated camera describes, in the order of its description.
const std::vector<std::string>& FeatureNames();
// The library's own interface parameters that reject= may name (grab_timeout, ...).
const std::vector<std::string>& InterfaceParameterNames();

// The name of the environment variable.
inline constexpr const char* kEnvironmentVariable = "VISION_FAKE_CAMERA";

}  // namespace vision::simcam

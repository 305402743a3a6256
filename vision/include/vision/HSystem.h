// Process-wide library settings and the clock.
#pragma once

#include "vision/Export.h"
#include "vision/HTuple.h"

namespace vision {

// Sets a process-wide setting. Thread-safe. Known names and their values:
//   "use_window_thread"  "true" / "false": windows handle their events in a library thread
//   "thread_num"         "default" (all cores) or a positive count: threads the library's
//                        parallel operators may use
//   "width", "height"    positive integer: default size for operators that need one
//   "int2_bits"          -1 (full 16 bits) or 9..15: significant bits of "uint2" images
//   "image_dir"          directories searched by ReadImage, separated by ':' (';' on Windows)
// An unknown name or a bad value raises HException naming both.
VISION_API void SetSystem(const HTuple& name, const HTuple& value);
// Reads a setting back (same names as SetSystem).
VISION_API HTuple GetSystem(const HTuple& name);

// false: texts passed to the library are in the local 8-bit encoding; true: UTF-8.
VISION_API void SetHcppInterfaceStringEncodingIsUtf8(bool is_utf8);
VISION_API bool IsHcppInterfaceStringEncodingUtf8();

// Seconds on a monotonic high-resolution clock; differences are elapsed time.
VISION_API void CountSeconds(HTuple* seconds);

}  // namespace vision

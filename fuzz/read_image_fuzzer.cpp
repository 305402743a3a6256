// Fuzz target: decodes arbitrary bytes as an image file (every format ReadImage understands).
// A clean HException is the expected outcome for bad input; anything else (a crash, a sanitizer
// report, a huge allocation) is a fault.
#include <cstddef>
#include <cstdint>

#include "io/codec.h"
#include "vision/HException.h"

namespace {
volatile unsigned g_sink;  // keeps the pixel reads from being optimised away
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const vision::detail::ImageData image = vision::io::DecodeImage(data, size, "fuzz input");
    // Touch every pixel so a wrong plane size shows up under the address sanitizer.
    unsigned sum = 0;
    for (const auto& plane : image.planes) {
      if (plane->size() != image.PlaneBytes()) __builtin_trap();
      for (std::uint8_t v : *plane) sum += v;
    }
    g_sink = sum;
  } catch (const vision::HException&) {
  }
  return 0;
}

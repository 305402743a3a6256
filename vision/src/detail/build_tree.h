// Whether this copy of the library runs from the build tree, so it takes what the build staged
// there (the bundled images, the simulated camera's producer) instead of looking beside an
// installed library. Not installed.
#pragma once

namespace vision::detail {

// True for the shared library loaded from the build tree's own library folder, and always for
// the internal static library (vision_internal), which only the build's tests, benchmarks and
// fuzzers link and which is never installed.
bool RunsFromBuildTree();

}  // namespace vision::detail

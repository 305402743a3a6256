// Compiled into each of the two libraries made of the library's objects, with its own
// definitions: VISION_BUILD_LIB_DIR for the shared library, VISION_INTERNAL_LIBRARY for the
// internal static one.
#include "detail/build_tree.h"

#include <string>

#include "io/files.h"

namespace vision::detail {

bool RunsFromBuildTree() {
#if defined(VISION_INTERNAL_LIBRARY)
  return true;
#elif defined(VISION_BUILD_LIB_DIR)
  const std::string lib = io::LibraryDir();
  return !lib.empty() && io::SameDir(lib, VISION_BUILD_LIB_DIR);
#else
  return false;
#endif
}

}  // namespace vision::detail

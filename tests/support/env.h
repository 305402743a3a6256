// Setting and removing environment variables in tests, on POSIX and Windows alike.
#pragma once

#include <cstdlib>

namespace visiontest {

// What separates the folders of a search path ("image_dir", VISION_IMAGE_DIR).
#ifdef _WIN32
inline constexpr const char* kPathSeparator = ";";
#else
inline constexpr const char* kPathSeparator = ":";
#endif

inline void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  ::_putenv_s(name, value);
#else
  ::setenv(name, value, 1);
#endif
}

inline void UnsetEnv(const char* name) {
#ifdef _WIN32
  ::_putenv_s(name, "");  // an empty value removes the variable
#else
  ::unsetenv(name);
#endif
}

}  // namespace visiontest

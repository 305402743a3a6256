// A small loader for the tests: opens a GenTL producer file and resolves every function of the
// interface by name (a missing one stays NULL), calling nothing itself.
#pragma once

#include <stdexcept>
#include <string>

#include "gentl_shared/gentl_abi.h"
#include "platform/module.h"
#include "platform/shared_library.h"

namespace simtest {

class ProducerFile {
 public:
  explicit ProducerFile(const std::string& path) : file_(Load(path)) {
#define SIMTEST_RESOLVE(name, minor, params) name = file_.Symbol<vision::gentl::P##name>(#name);
    VISION_GENTL_FUNCTIONS(SIMTEST_RESOLVE)
#undef SIMTEST_RESOLVE
  }

  // The address of an exported name, or NULL.
  void* Symbol(const char* name) const { return reinterpret_cast<void*>(file_.Symbol(name)); }

#define SIMTEST_MEMBER(name, minor, params) vision::gentl::P##name name = nullptr;
  VISION_GENTL_FUNCTIONS(SIMTEST_MEMBER)
#undef SIMTEST_MEMBER

 private:
  static vision::platform::SharedLibrary Load(const std::string& path) {
    try {
      return vision::platform::SharedLibrary(path);
    } catch (const std::runtime_error& e) {
      throw std::runtime_error(path + " " + e.what());
    }
  }

  vision::platform::SharedLibrary file_;
};

// Where the tests find the simulated camera's producer: beside the program on Windows, as the
// build puts it; elsewhere at SIMCAM_PATH, its place in the build tree.
inline std::string SimcamPath() {
#ifdef _WIN32
  return vision::platform::ModuleFolder(reinterpret_cast<const void*>(&SimcamPath)) +
         "/vision_simcam.cti";
#else
  return SIMCAM_PATH;
#endif
}

}  // namespace simtest

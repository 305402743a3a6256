// A small loader for the tests: opens a GenTL producer file and resolves every function of the
// interface by name (a missing one stays NULL), calling nothing itself.
#pragma once

#include <stdexcept>
#include <string>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "gentl_shared/gentl_abi.h"

namespace simtest {

class ProducerFile {
 public:
  explicit ProducerFile(const std::string& path) {
#ifdef _WIN32
    handle_ = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!handle_)
      throw std::runtime_error("cannot load " + path + ": error " + std::to_string(GetLastError()));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error("cannot load " + path + ": " + dlerror());
#endif
#define SIMTEST_RESOLVE(name, minor, params) \
  name = reinterpret_cast<vision::gentl::P##name>(Symbol(#name));
    VISION_GENTL_FUNCTIONS(SIMTEST_RESOLVE)
#undef SIMTEST_RESOLVE
  }
  ~ProducerFile() {
#ifdef _WIN32
    FreeLibrary(handle_);
#else
    dlclose(handle_);
#endif
  }
  ProducerFile(const ProducerFile&) = delete;
  ProducerFile& operator=(const ProducerFile&) = delete;

  // The address of an exported name, or NULL.
  void* Symbol(const char* name) const {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(handle_, name));
#else
    return dlsym(handle_, name);
#endif
  }

#define SIMTEST_MEMBER(name, minor, params) vision::gentl::P##name name = nullptr;
  VISION_GENTL_FUNCTIONS(SIMTEST_MEMBER)
#undef SIMTEST_MEMBER

 private:
#ifdef _WIN32
  HMODULE handle_ = nullptr;
#else
  void* handle_ = nullptr;
#endif
};

}  // namespace simtest

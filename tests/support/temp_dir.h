// Temporary folders for tests.
#pragma once

#include <filesystem>
#include <string>

namespace visiontest {

// A fresh folder under the system's temporary folder, named after the process so tests running
// side by side never share one; removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The path of name inside the folder.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  std::string Str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace visiontest

#include "io/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <sys/stat.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/system.h"
#include "vision/HErrorCodes.h"

namespace vision::io {

namespace {

#ifdef _WIN32
constexpr char kListSep = ';';
#else
constexpr char kListSep = ':';
#endif

const char* const kExtensions[] = {".png", ".tif", ".tiff", ".jpg", ".jpeg",
                                   ".bmp", ".pgm", ".ppm",  ".pnm"};

// Files larger than any image the library accepts plus generous room for metadata are refused
// before they are read.
constexpr std::int64_t kMaxFileBytes = detail::kMaxImageBytes + (std::int64_t{64} << 20);

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = list.find(kListSep, start);
    std::string part =
        list.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!part.empty()) out.push_back(std::move(part));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  const char last = dir.back();
  if (last == '/' || last == '\\') return dir + name;
  return dir + "/" + name;
}

bool IsAbsolute(const std::string& p) {
#ifdef _WIN32
  if (p.size() >= 2 && p[1] == ':') return true;
  return !p.empty() && (p[0] == '\\' || p[0] == '/');
#else
  return !p.empty() && p[0] == '/';
#endif
}

std::string ParentDir(const std::string& p) {
  const std::size_t slash = p.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

#ifdef _WIN32
// Texts handed to the library are UTF-8 or in the ANSI code page; Windows file functions want
// UTF-16.
std::wstring Widen(const std::string& s) {
  const UINT cp = detail::StringEncodingIsUtf8() ? CP_UTF8 : CP_ACP;
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(cp, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(std::size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(cp, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  const UINT cp = detail::StringEncodingIsUtf8() ? CP_UTF8 : CP_ACP;
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(cp, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(std::size_t(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(cp, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}
#endif

std::FILE* OpenFile(const std::string& path, const char* mode) {
#ifdef _WIN32
  const std::wstring wmode(mode, mode + std::strlen(mode));
  return _wfopen(Widen(path).c_str(), wmode.c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

std::string EnvVar(const char* name) {
#ifdef _WIN32
  const std::wstring wname(name, name + std::strlen(name));
  const wchar_t* v = _wgetenv(wname.c_str());
  return v ? Narrow(v) : std::string();
#else
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
#endif
}

std::string CurrentDir() {
#ifdef _WIN32
  wchar_t buf[32768];
  const DWORD n = GetCurrentDirectoryW(32768, buf);
  return n ? Narrow(std::wstring(buf, n)) : std::string(".");
#else
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
#endif
}

}  // namespace

// The directory this library was loaded from ("" when unknown).
std::string LibraryDir() {
#ifdef _WIN32
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&LibraryDir), &module)) {
    return std::string();
  }
  wchar_t buf[32768];
  const DWORD n = GetModuleFileNameW(module, buf, 32768);
  if (n == 0 || n >= 32768) return std::string();
  return ParentDir(Narrow(std::wstring(buf, n)));
#else
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LibraryDir), &info) == 0 || info.dli_fname == nullptr)
    return std::string();
  char real[PATH_MAX];
  if (realpath(info.dli_fname, real) == nullptr) return ParentDir(info.dli_fname);
  return ParentDir(real);
#endif
}

bool SameDir(const std::string& a, const std::string& b) {
#ifdef _WIN32
  return _wcsicmp(Widen(a).c_str(), Widen(b).c_str()) == 0;
#else
  char ra[PATH_MAX], rb[PATH_MAX];
  if (realpath(a.c_str(), ra) == nullptr || realpath(b.c_str(), rb) == nullptr) return a == b;
  return std::strcmp(ra, rb) == 0;
#endif
}

bool IsRegularFile(const std::string& path) {
#ifdef _WIN32
  const DWORD attr = GetFileAttributesW(Widen(path).c_str());
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
#else
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

std::vector<std::uint8_t> ReadFileBytes(const std::string& path, const char* proc) {
  std::FILE* f = OpenFile(path, "rb");
  if (f == nullptr) {
    detail::Fail(err::kFileRead, proc,
                 "cannot open image file '" + path + "': " + std::strerror(errno));
  }
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{f};
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
    if (n == 0) break;
    if (std::int64_t(bytes.size() + n) > kMaxFileBytes) {
      detail::Fail(err::kFileLimits, proc,
                   "image file '" + path + "' is larger than the limit of " +
                       std::to_string(kMaxFileBytes) + " bytes");
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  if (std::ferror(f)) {
    detail::Fail(err::kFileRead, proc, "cannot read image file '" + path + "': read error");
  }
  return bytes;
}

void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes,
                    const char* proc) {
  std::FILE* f = OpenFile(path, "wb");
  if (f == nullptr) {
    detail::Fail(err::kFileWrite, proc,
                 "cannot create image file '" + path + "': " + std::strerror(errno));
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
#ifdef _WIN32
    _wremove(Widen(path).c_str());
#else
    std::remove(path.c_str());
#endif
    detail::Fail(err::kFileWrite, proc, "cannot write image file '" + path + "' (disk full?)");
  }
}

std::string BundledImageDir() {
  const std::string lib = LibraryDir();
#ifdef VISION_BUILD_LIB_DIR
  // Running from the build tree: its staged images, before anything is installed.
  if (!lib.empty() && SameDir(lib, VISION_BUILD_LIB_DIR)) return VISION_BUILD_IMAGE_DIR;
#endif
#ifdef VISION_LIB_TO_IMAGES
  // Installed: <prefix>/share/vision/images relative to the library's own directory, so a
  // relocated installation still finds its images.
  if (!lib.empty()) return Join(lib, VISION_LIB_TO_IMAGES);
#endif
#ifdef VISION_INSTALL_IMAGE_DIR
  return VISION_INSTALL_IMAGE_DIR;
#else
  return std::string();
#endif
}

std::vector<std::string> ImageSearchPath() {
  std::vector<std::string> dirs = detail::ImageDirs();
  for (auto& d : SplitList(EnvVar("VISION_IMAGE_DIR"))) dirs.push_back(std::move(d));
  const std::string bundled = BundledImageDir();
  if (!bundled.empty()) dirs.push_back(bundled);
  return dirs;
}

std::string ResolveImageFile(const std::string& name, const char* proc) {
  if (name.empty()) detail::Fail(err::kWrongParamValue, proc, "the file name is empty");
  std::vector<std::string> dirs{std::string()};
  if (!IsAbsolute(name)) {
    for (auto& d : ImageSearchPath()) dirs.push_back(std::move(d));
  }
  for (const std::string& dir : dirs) {
    const std::string base = Join(dir, name);
    if (IsRegularFile(base)) return base;
    for (const char* ext : kExtensions) {
      if (IsRegularFile(base + ext)) return base + ext;
    }
  }
  std::string places;
  for (const std::string& dir : dirs) {
    if (!places.empty()) places += ", ";
    places += dir.empty() ? "the working directory '" + CurrentDir() + "'" : "'" + dir + "'";
  }
  std::string exts;
  for (const char* ext : kExtensions) exts += std::string(exts.empty() ? "" : " ") + ext;
  detail::Fail(
      err::kFileNotFound, proc,
      "image file '" + name + "' not found (tried as given and with " + exts + ") in " + places);
}

}  // namespace vision::io

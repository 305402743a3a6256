#include "io/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>

#include "platform/text.h"
#include "platform/win32.h"
#else
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "detail/build_tree.h"
#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/system.h"
#include "platform/environment.h"
#include "platform/module.h"
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

#ifdef _WIN32
// Texts handed to the library are UTF-8 or in the ANSI code page; Windows file functions want
// UTF-16.
platform::Encoding Encoding() {
  return detail::StringEncodingIsUtf8() ? platform::Encoding::kUtf8 : platform::Encoding::kLocal;
}

// A path in the interface encoding for the Windows API, and back.
std::wstring WidePath(const std::string& s) { return platform::Widen(s, Encoding()); }
std::string PathText(const std::wstring& w) { return platform::Narrow(w, Encoding()); }
#endif

// A UTF-8 text from the system (the environment, a module's path) in the interface encoding.
std::string FromUtf8(std::string text) {
#ifdef _WIN32
  if (Encoding() != platform::Encoding::kUtf8) return PathText(platform::Widen(text));
#endif
  return text;
}

#ifdef _WIN32
// What an open file is, when it is not a file on a disk: "" for a disk file.
std::string HandleKind(std::FILE* f) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
      return std::string();
    case FILE_TYPE_CHAR:
      return "a device";
    case FILE_TYPE_PIPE:
      return "a pipe";
    default:
      return "not a regular file";
  }
}

// Opens a file on a disk for reading ("rb") or writing ("wb"); a device or pipe is closed again
// and reported through kind. Null with errno set when the file cannot be opened.
std::FILE* OpenFile(const std::string& path, const char* mode, std::string* kind) {
  const std::wstring wmode(mode, mode + std::strlen(mode));
  std::FILE* f = _wfopen(WidePath(path).c_str(), wmode.c_str());
  if (f != nullptr) {
    *kind = HandleKind(f);
    if (!kind->empty()) {
      std::fclose(f);
      return nullptr;
    }
  }
  return f;
}
#else
std::string ModeKind(mode_t mode) {
  if (S_ISREG(mode)) return std::string();
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// Opens a regular file for reading ("rb") or writing ("wb", created or truncated). The file is
// opened without blocking, so a FIFO without a partner or a slow device cannot hang the call;
// anything but a regular file is closed again and reported through kind. Null with errno set
// when the file cannot be opened.
std::FILE* OpenFile(const std::string& path, const char* mode, std::string* kind) {
  const bool write = mode[0] == 'w';
  const int flags = (write ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY) | O_NONBLOCK | O_CLOEXEC;
  const int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int saved = errno;
    *kind = ::fstat(fd, &st) == 0 ? ModeKind(st.st_mode) : "not a regular file";
    ::close(fd);
    errno = saved;
    return nullptr;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* f = ::fdopen(fd, mode);
  if (f == nullptr) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
  }
  return f;
}
#endif

// A variable's value; unset and empty are the same here (no folders).
std::string EnvVar(const char* name) { return FromUtf8(platform::Environment(name).value_or("")); }

std::string CurrentDir() {
#ifdef _WIN32
  wchar_t buf[32768];
  const DWORD n = GetCurrentDirectoryW(32768, buf);
  return n ? PathText(std::wstring(buf, n)) : std::string(".");
#else
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
#endif
}

}  // namespace

std::string LibraryDir() {
  // Named by an address that belongs to this library alone.
  return FromUtf8(platform::ModuleFolder(reinterpret_cast<const void*>(&SplitList)));
}

bool SameDir(const std::string& a, const std::string& b) {
#ifdef _WIN32
  return _wcsicmp(WidePath(a).c_str(), WidePath(b).c_str()) == 0;
#else
  char ra[PATH_MAX], rb[PATH_MAX];
  if (realpath(a.c_str(), ra) == nullptr || realpath(b.c_str(), rb) == nullptr) return a == b;
  return std::strcmp(ra, rb) == 0;
#endif
}

bool IsRegularFile(const std::string& path) {
#ifdef _WIN32
  const DWORD attr = GetFileAttributesW(WidePath(path).c_str());
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         NonFileKind(path).empty();
#else
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

std::string NonFileKind(const std::string& path) {
#ifdef _WIN32
  const std::wstring wide = WidePath(path);
  const DWORD attr = GetFileAttributesW(wide.c_str());
  if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return "a directory";
  // Devices ("NUL", "COM1", "\\.\pipe\x") are told by the handle's type; asking for no access
  // rights neither reads nor writes anything.
  const HANDLE h =
      CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::string();
  const DWORD type = GetFileType(h);
  CloseHandle(h);
  if (type == FILE_TYPE_CHAR) return "a device";
  if (type == FILE_TYPE_PIPE) return "a pipe";
  return std::string();
#else
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::string();
  return ModeKind(st.st_mode);
#endif
}

std::string Printable(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == 0) {
      out += "\\0";
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", unsigned(c));
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

void CheckFileName(const std::string& name, const char* proc, const char* param) {
  if (name.find('\0') != std::string::npos) {
    detail::Fail(err::kWrongParamValue, proc,
                 std::string("parameter ") + param + " = '" + Printable(name) +
                     "': a file name cannot contain a NUL character");
  }
}

std::vector<std::uint8_t> ReadFileBytes(const std::string& path, const char* proc) {
  CheckFileName(path, proc, "FileName");
  std::string kind;
  std::FILE* f = OpenFile(path, "rb", &kind);
  if (f == nullptr && !kind.empty()) {
    detail::Fail(
        err::kFileRead, proc,
        "cannot read image file '" + Printable(path) + "': it is " + kind + ", not a regular file");
  }
  if (f == nullptr) {
    detail::Fail(err::kFileRead, proc,
                 "cannot open image file '" + Printable(path) + "': " + std::strerror(errno));
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
                   "image file '" + Printable(path) + "' is larger than the limit of " +
                       std::to_string(kMaxFileBytes) + " bytes");
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  if (std::ferror(f)) {
    detail::Fail(err::kFileRead, proc,
                 "cannot read image file '" + Printable(path) + "': read error");
  }
  return bytes;
}

void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes,
                    const char* proc) {
  CheckFileName(path, proc, "FileName");
  // Something that is not a regular file is never opened for writing: opening a device can
  // act on it, and a FIFO without a reader would block.
  std::string kind = NonFileKind(path);
  std::FILE* f = kind.empty() ? OpenFile(path, "wb", &kind) : nullptr;
  if (f == nullptr && !kind.empty()) {
    detail::Fail(err::kFileWrite, proc,
                 "cannot write image file '" + Printable(path) + "': it is " + kind +
                     ", not a regular file");
  }
  if (f == nullptr) {
    detail::Fail(err::kFileWrite, proc,
                 "cannot create image file '" + Printable(path) + "': " + std::strerror(errno));
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
#ifdef _WIN32
    _wremove(WidePath(path).c_str());
#else
    std::remove(path.c_str());
#endif
    detail::Fail(err::kFileWrite, proc,
                 "cannot write image file '" + Printable(path) + "' (disk full?)");
  }
}

std::string BundledImageDir() {
#ifdef VISION_BUILD_IMAGE_DIR
  // Running from the build tree: its staged images, before anything is installed.
  if (detail::RunsFromBuildTree()) return VISION_BUILD_IMAGE_DIR;
#endif
  const std::string lib = LibraryDir();
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
  CheckFileName(name, proc, "FileName");
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
  // No file anywhere; something else of that name (a directory, a FIFO, a device) is reported
  // as what it is rather than as missing.
  for (const std::string& dir : dirs) {
    const std::string base = Join(dir, name);
    for (std::size_t k = 0; k <= std::size(kExtensions); ++k) {
      const std::string path = k == 0 ? base : base + kExtensions[k - 1];
      const std::string kind = NonFileKind(path);
      if (!kind.empty()) {
        detail::Fail(err::kFileRead, proc,
                     "cannot read image file '" + Printable(name) + "': '" + Printable(path) +
                         "' is " + kind + ", not an image file");
      }
    }
  }
  std::string places;
  for (const std::string& dir : dirs) {
    if (!places.empty()) places += ", ";
    places += dir.empty() ? "the working directory '" + CurrentDir() + "'" : "'" + dir + "'";
  }
  std::string exts;
  for (const char* ext : kExtensions) exts += std::string(exts.empty() ? "" : " ") + ext;
  detail::Fail(err::kFileNotFound, proc,
               "image file '" + Printable(name) + "' not found (tried as given and with " + exts +
                   ") in " + places);
}

}  // namespace vision::io

#include "camera/gentl/discovery.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace vision::detail::camera::gentl {
namespace {

namespace fs = std::filesystem;

// Paths are UTF-8 texts in the library; std::filesystem takes and gives them as char8_t.
fs::path ToPath(const std::string& s) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(s.data()), s.size()));
}

std::string FromPath(const fs::path& p) {
  const std::u8string u = p.u8string();
  return std::string(reinterpret_cast<const char*>(u.data()), u.size());
}

bool HasProducerSuffix(const fs::path& p) {
  std::string ext = FromPath(p.extension());
#ifdef _WIN32
  // Windows file names are case-insensitive.
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
#endif
  return ext == ".cti";
}

// The key that identifies a file: its canonical path (case-folded on Windows).
std::string Key(const std::string& canonical) {
#ifdef _WIN32
  std::string k = canonical;
  std::transform(k.begin(), k.end(), k.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
  return k;
#else
  return canonical;
#endif
}

}  // namespace

const char* ProducerPathVariable() {
  return sizeof(void*) == 8 ? "GENICAM_GENTL64_PATH" : "GENICAM_GENTL32_PATH";
}

char ProducerPathSeparator() {
#ifdef _WIN32
  return ';';
#else
  return ':';
#endif
}

std::string CanonicalPath(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::canonical(ToPath(path), ec);
  if (ec) {
    ec.clear();
    p = fs::absolute(ToPath(path), ec);
    if (ec) return path;
    p = p.lexically_normal();
  }
  return FromPath(p.make_preferred());
}

bool SamePath(const std::string& a, const std::string& b) {
  return Key(CanonicalPath(a)) == Key(CanonicalPath(b));
}

ProducerFiles FindProducerFiles(std::string_view path_list, char separator) {
  ProducerFiles out;
  std::vector<std::string> keys;
  auto add = [&](const fs::path& file) {
    const std::string canonical = CanonicalPath(FromPath(file));
    const std::string key = Key(canonical);
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) return;
    keys.push_back(key);
    out.files.push_back(canonical);
  };
  std::size_t start = 0;
  while (start <= path_list.size()) {
    std::size_t end = path_list.find(separator, start);
    if (end == std::string_view::npos) end = path_list.size();
    const std::string entry(path_list.substr(start, end - start));
    start = end + 1;
    if (entry.empty()) continue;
    const fs::path p = ToPath(entry);
    std::error_code ec;
    const fs::file_status status = fs::status(p, ec);
    if (ec || !fs::exists(status)) {
      out.problems.push_back({entry, "does not exist"});
      continue;
    }
    if (!fs::is_directory(status)) {
      add(p);
      continue;
    }
    std::vector<fs::path> found;
    fs::directory_iterator it(p, ec);
    if (ec) {
      out.problems.push_back({entry, "folder cannot be read: " + ec.message()});
      continue;
    }
    for (const fs::directory_iterator done; it != done; it.increment(ec)) {
      if (ec) break;
      std::error_code fec;
      if (!HasProducerSuffix(it->path()) || fs::is_directory(it->status(fec))) continue;
      found.push_back(it->path());
    }
    if (ec) out.problems.push_back({entry, "folder cannot be read: " + ec.message()});
    std::sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
      return FromPath(a.filename()) < FromPath(b.filename());
    });
    for (const auto& f : found) add(f);
  }
  return out;
}

}  // namespace vision::detail::camera::gentl

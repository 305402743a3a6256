#include "camera/genapi/description.h"

#include <cctype>
#include <fstream>
#include <vector>

#include "camera/genapi/error.h"
#include "camera/genapi/genapi.h"
#include "camera/genapi/zip.h"

namespace vision::detail::genapi {

namespace {

[[noreturn]] void BadUrl(std::string_view url, const std::string& why) {
  throw Error(ErrorKind::kDescription, "description URL '" + std::string(url) + "': " + why);
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A hexadecimal field of a Local URL: "0x" optional, blanks around it allowed.
std::uint64_t HexField(std::string_view url, std::string_view field, const char* what) {
  field = Trim(field);
  if (field.size() >= 2 && field[0] == '0' && (field[1] == 'x' || field[1] == 'X'))
    field.remove_prefix(2);
  if (field.empty()) BadUrl(url, std::string("no ") + what);
  std::uint64_t value = 0;
  for (char c : field) {
    const int d = HexDigit(c);
    if (d < 0) BadUrl(url, std::string(what) + " '" + std::string(field) + "' is not hexadecimal");
    if (value >> 60) BadUrl(url, std::string(what) + " '" + std::string(field) + "' is too large");
    value = value << 4 | static_cast<unsigned>(d);
  }
  return value;
}

DescriptionUrl ParseLocal(std::string_view url, std::string_view rest) {
  // Some devices write "Local:///Name.zip;...": the slashes are not part of the name.
  while (!rest.empty() &&
         (rest.front() == '/' || std::isspace(static_cast<unsigned char>(rest.front()))))
    rest.remove_prefix(1);
  const std::size_t first = rest.find(';');
  if (first == std::string_view::npos) BadUrl(url, "no ';' before the address");
  const std::size_t second = rest.find(';', first + 1);
  if (second == std::string_view::npos) BadUrl(url, "no ';' before the length");
  DescriptionUrl result;
  result.scheme = DescriptionUrl::Scheme::kLocal;
  result.url = std::string(url);
  result.file_name = std::string(Trim(rest.substr(0, first)));
  if (result.file_name.empty()) BadUrl(url, "no file name");
  result.address = HexField(url, rest.substr(first + 1, second - first - 1), "address");
  std::string_view length = rest.substr(second + 1);
  // "?SchemaVersion=1.1.0" may follow the length.
  length = length.substr(0, length.find('?'));
  result.size = HexField(url, length, "length");
  if (result.size == 0) BadUrl(url, "length 0");
  return result;
}

DescriptionUrl ParseFile(std::string_view url, std::string_view rest) {
  rest = rest.substr(0, rest.find('?'));
  rest = rest.substr(0, rest.find('#'));
  // file://host/path: only the local host is ours.
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const std::size_t slash = rest.find('/');
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !StartsWithNoCase(host, "localhost"))
      BadUrl(url, "the file is on another host ('" + std::string(host) + "')");
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  }
  std::string path;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] != '%') {
      path += rest[i];
      continue;
    }
    const int hi = i + 2 < rest.size() ? HexDigit(rest[i + 1]) : -1;
    const int lo = i + 2 < rest.size() ? HexDigit(rest[i + 2]) : -1;
    if (hi < 0 || lo < 0) BadUrl(url, "bad percent escape in the path");
    const char c = static_cast<char>(hi * 16 + lo);
    if (c == '\0') BadUrl(url, "the path contains %00");
    path += c;
    i += 2;
  }
  // A Windows drive: "/C|dir/file.xml", "/C:/dir/file.xml", "C|/dir" -> "C:/dir/...".
  std::size_t drive = path.size() >= 3 && path[0] == '/' ? 1 : 0;
  if (path.size() >= drive + 2 && std::isalpha(static_cast<unsigned char>(path[drive])) &&
      (path[drive + 1] == '|' || path[drive + 1] == ':')) {
    std::string rest_of_path = path.substr(drive + 2);
    if (rest_of_path.empty() || (rest_of_path[0] != '/' && rest_of_path[0] != '\\'))
      rest_of_path = "/" + rest_of_path;
    path = std::string(1, path[drive]) + ":" + rest_of_path;
  }
  if (path.empty()) BadUrl(url, "no path");
  DescriptionUrl result;
  result.scheme = DescriptionUrl::Scheme::kFile;
  result.url = std::string(url);
  result.path = path;
  const std::size_t slash = path.find_last_of("/\\");
  result.file_name = slash == std::string::npos ? path : path.substr(slash + 1);
  return result;
}

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && StartsWithNoCase(s.substr(s.size() - suffix.size()), suffix);
}

}  // namespace

DescriptionUrl ParseUrl(std::string_view url) {
  const std::string_view u = Trim(url);
  if (StartsWithNoCase(u, "local:")) return ParseLocal(url, u.substr(6));
  if (StartsWithNoCase(u, "file:")) return ParseFile(url, u.substr(5));
  if (StartsWithNoCase(u, "http:") || StartsWithNoCase(u, "https:"))
    BadUrl(url, "descriptions on the web are not supported (only Local: and file:)");
  if (u.empty()) BadUrl(url, "empty");
  BadUrl(url, "unsupported scheme (only Local: and file: are supported)");
}

std::string DescriptionText(std::string_view bytes, std::string_view name) {
  const std::string who =
      name.empty() ? std::string("description") : "description '" + std::string(name) + "'";
  if (bytes.size() > kMaxDescriptionBytes)
    throw Error(ErrorKind::kDescription, who + ": " + std::to_string(bytes.size()) +
                                             " bytes, more than the limit of " +
                                             std::to_string(kMaxDescriptionBytes));
  const bool zip_magic = bytes.size() >= 4 && bytes.substr(0, 4) == std::string_view("PK\3\4", 4);
  // Plain XML starts with '<' after an optional byte-order mark and blanks.
  std::size_t start = bytes.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (start < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[start]))) ++start;
  const bool xml_start = start < bytes.size() && bytes[start] == '<';
  std::string text;
  if (zip_magic || (!xml_start && LooksLikeZip(bytes))) {
    std::vector<ZipEntry> entries;
    try {
      entries = ZipEntries(bytes);
    } catch (const Error& e) {
      throw Error(ErrorKind::kDescription, who + ": " + e.what());
    }
    const ZipEntry* chosen = nullptr;
    for (const ZipEntry& e : entries)
      if (EndsWithNoCase(e.name, ".xml")) {
        chosen = &e;
        break;
      }
    if (!chosen) {
      std::string names;
      for (std::size_t i = 0; i < entries.size() && i < 8; ++i)
        names += (i ? ", '" : "'") + entries[i].name + "'";
      if (entries.size() > 8) names += ", ...";
      throw Error(ErrorKind::kDescription,
                  who + ": the ZIP archive holds no .xml entry" +
                      (names.empty() ? std::string(" (it is empty)") : " (only " + names + ")"));
    }
    try {
      text = ZipExtract(bytes, *chosen, kMaxDescriptionBytes);
    } catch (const Error& e) {
      throw Error(ErrorKind::kDescription, who + ": " + e.what());
    }
  } else {
    if (!xml_start) {
      throw Error(
          ErrorKind::kDescription,
          who + (bytes.empty() ? std::string(": no bytes") : ": neither XML nor a ZIP archive"));
    }
    text.assign(bytes);
  }
  // Devices pad the description: cut at the first NUL and after the last '>'.
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  const std::size_t last = text.rfind('>');
  text.resize(last == std::string::npos ? 0 : last + 1);
  if (text.empty()) throw Error(ErrorKind::kDescription, who + ": no XML text");
  return text;
}

std::string LoadDescription(std::string_view url, Port& port) {
  const DescriptionUrl where = ParseUrl(url);
  std::string bytes;
  if (where.scheme == DescriptionUrl::Scheme::kLocal) {
    if (where.size > kMaxDescriptionBytes)
      BadUrl(url, "length " + std::to_string(where.size) + " is more than the limit of " +
                      std::to_string(kMaxDescriptionBytes));
    bytes.resize(static_cast<std::size_t>(where.size));
    try {
      port.Read(where.address, bytes.data(), bytes.size());
    } catch (const PortError& e) {
      throw Error(ErrorKind::kPort, "reading the description '" + std::string(url) +
                                        "' from the device: " + e.what());
    }
  } else {
    std::ifstream in(where.path, std::ios::binary);
    if (!in) BadUrl(url, "cannot open '" + where.path + "'");
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) BadUrl(url, "cannot read '" + where.path + "'");
    if (static_cast<std::uint64_t>(size) > kMaxDescriptionBytes)
      BadUrl(url, "'" + where.path + "' is larger than the limit of " +
                      std::to_string(kMaxDescriptionBytes) + " bytes");
    in.seekg(0);
    bytes.resize(static_cast<std::size_t>(size));
    if (!in.read(bytes.data(), size)) BadUrl(url, "cannot read '" + where.path + "'");
  }
  return DescriptionText(bytes, where.file_name);
}

}  // namespace vision::detail::genapi

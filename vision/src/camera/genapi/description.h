// Retrieving a device description: the URL a port reports, the bytes it names, and the XML text
// inside them (plain or in a ZIP archive).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vision::detail::genapi {

class Port;

// Limits that keep a hostile description from costing much: bytes of a description (as read,
// and as XML text after inflating), element nesting depth, and XML items (elements, attributes
// and text pieces).
inline constexpr std::uint64_t kMaxDescriptionBytes = 64u << 20;
inline constexpr int kMaxXmlDepth = 64;
inline constexpr std::size_t kMaxXmlItems = 2'000'000;

// Where a device description lives, from the URL a port reports.
struct DescriptionUrl {
  // kHttp is never returned: ParseUrl refuses descriptions on the web with an error.
  enum class Scheme { kLocal, kFile, kHttp };
  Scheme scheme = Scheme::kLocal;
  std::string file_name;      // Local: the name before ';' (".zip" or ".xml"; the bytes decide)
  std::uint64_t address = 0;  // Local: register address
  std::uint64_t size = 0;     // Local: length in bytes (not 0)
  std::string path;           // file: the local path (percent-decoded, "C|" turned into "C:")
  std::string url;            // the URL as given
};

// Parses "Local:<name>;<hex address>;<hex length>[?query]" (any case, blanks, "0x" prefixes,
// leading slashes) and "file:" URLs. Anything else, http included, is Error(kDescription)
// naming the URL.
DescriptionUrl ParseUrl(std::string_view url);

// The XML text of a description from its bytes: a ZIP archive (its entry ending in ".xml",
// stored or deflated; bytes before the archive and padding after it are tolerated) or plain XML
// (cut at the first NUL and after the last '>'). `name` (the URL's file name, may be empty)
// only appears in messages. Throws Error(kDescription).
std::string DescriptionText(std::string_view bytes, std::string_view name = {});

// Reads the description a URL names: a Local one from `port` (at most kMaxDescriptionBytes), a
// file one from disk; returns its XML text. Port failures are Error(kPort), everything else
// Error(kDescription).
std::string LoadDescription(std::string_view url, Port& port);

}  // namespace vision::detail::genapi

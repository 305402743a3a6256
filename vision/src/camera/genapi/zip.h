// A small reader for the ZIP archives cameras keep their description in: the end-of-central-
// directory record found by scanning back from the end, the central directory, each entry's
// local header (with its own extra-field length), stored and deflated entries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vision::detail::genapi {

struct ZipEntry {
  std::string name;
  std::uint16_t method = 0;  // 0 stored, 8 deflated
  std::uint16_t flags = 0;
  std::uint32_t crc32 = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t size = 0;
  std::uint64_t local_header = 0;  // offset in the bytes given (shift for leading bytes applied)
};

// Whether the bytes look like a ZIP archive (an end-of-central-directory record is there).
bool LooksLikeZip(std::string_view bytes);

// The entries of the archive in central-directory order. Throws Error(kDescription).
std::vector<ZipEntry> ZipEntries(std::string_view bytes);

// The uncompressed bytes of one entry, its size and checksum verified, at most `max_size`
// bytes. Throws Error(kDescription) naming the entry.
std::string ZipExtract(std::string_view bytes, const ZipEntry& entry, std::uint64_t max_size);

}  // namespace vision::detail::genapi

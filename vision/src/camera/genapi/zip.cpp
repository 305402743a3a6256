#include "camera/genapi/zip.h"

#include <zlib.h>

#include <cstring>

#include "camera/genapi/error.h"

namespace vision::detail::genapi {

namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
// Deflate cannot compress better than about 1032:1; an entry claiming more is corrupt, and
// refusing it keeps a tiny archive from asking for a huge buffer.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

std::uint16_t U16(std::string_view b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                    static_cast<unsigned char>(b[at + 1]) << 8);
}
std::uint32_t U32(std::string_view b, std::size_t at) {
  return static_cast<std::uint32_t>(U16(b, at)) | static_cast<std::uint32_t>(U16(b, at + 2)) << 16;
}

[[noreturn]] void Fail(const std::string& what) {
  throw Error(ErrorKind::kDescription, "ZIP archive: " + what);
}

struct End {
  std::size_t position;
  std::uint16_t entries;
  std::uint32_t cd_size, cd_offset;
  std::uint64_t shift;  // bytes before the archive
};

// Whether an end record at `pos` describes a central directory that lies before it.
bool Plausible(std::string_view b, std::size_t pos, End* end) {
  if (pos + kEndSize > b.size() || U32(b, pos) != kEndSignature) return false;
  const std::uint16_t entries = U16(b, pos + 10);
  const std::uint32_t cd_size = U32(b, pos + 12), cd_offset = U32(b, pos + 16);
  const std::uint64_t cd_end = std::uint64_t{cd_offset} + cd_size;
  if (cd_end > pos) return false;
  const std::uint64_t shift = pos - cd_end;
  if (entries > 0) {
    const std::uint64_t first = shift + cd_offset;
    if (first + 4 > b.size() || U32(b, static_cast<std::size_t>(first)) != kCentralSignature)
      return false;
  }
  *end = End{pos, entries, cd_size, cd_offset, shift};
  return true;
}

}  // namespace

bool LooksLikeZip(std::string_view bytes) {
  if (bytes.size() < kEndSize) return false;
  End end;
  for (std::size_t pos = bytes.size() - kEndSize + 1; pos-- > 0;)
    if (Plausible(bytes, pos, &end)) return true;
  return false;
}

std::vector<ZipEntry> ZipEntries(std::string_view b) {
  if (b.size() < kEndSize) Fail("only " + std::to_string(b.size()) + " bytes");
  // The end record sits at the end, followed by its comment and possibly padding: the last
  // plausible one from the end is it.
  End end{};
  bool found = false;
  bool zip64 = false;
  for (std::size_t pos = b.size() - kEndSize + 1; pos-- > 0;) {
    if (U32(b, pos) != kEndSignature) continue;
    if (U16(b, pos + 10) == 0xFFFF || U32(b, pos + 12) == 0xFFFFFFFF ||
        U32(b, pos + 16) == 0xFFFFFFFF)
      zip64 = true;
    if (Plausible(b, pos, &end)) {
      found = true;
      break;
    }
  }
  if (!found) {
    if (zip64) Fail("ZIP64 archives are not supported");
    Fail("no end-of-central-directory record (truncated or not an archive)");
  }
  std::vector<ZipEntry> entries;
  std::uint64_t at = end.shift + end.cd_offset;
  const std::uint64_t cd_end = at + end.cd_size;
  for (unsigned i = 0; i < end.entries; ++i) {
    if (at + kCentralSize > cd_end)
      Fail("central directory ends inside entry " + std::to_string(i));
    const std::size_t p = static_cast<std::size_t>(at);
    if (U32(b, p) != kCentralSignature) Fail("bad central directory entry " + std::to_string(i));
    ZipEntry e;
    e.flags = U16(b, p + 8);
    e.method = U16(b, p + 10);
    e.crc32 = U32(b, p + 16);
    e.compressed_size = U32(b, p + 20);
    e.size = U32(b, p + 24);
    const std::size_t name_len = U16(b, p + 28), extra_len = U16(b, p + 30),
                      comment_len = U16(b, p + 32);
    const std::uint32_t local = U32(b, p + 42);
    if (at + kCentralSize + name_len > cd_end)
      Fail("central directory ends inside the name of entry " + std::to_string(i));
    e.name.assign(b.substr(p + kCentralSize, name_len));
    if (e.compressed_size == 0xFFFFFFFF || e.size == 0xFFFFFFFF || local == 0xFFFFFFFF)
      Fail("entry '" + e.name + "' needs ZIP64, which is not supported");
    e.local_header = end.shift + local;
    entries.push_back(std::move(e));
    at += kCentralSize + name_len + extra_len + comment_len;
  }
  return entries;
}

std::string ZipExtract(std::string_view b, const ZipEntry& e, std::uint64_t max_size) {
  const std::string who = "entry '" + e.name + "': ";
  if (e.flags & 1) Fail(who + "encrypted");
  if (e.size > max_size)
    Fail(who + std::to_string(e.size) + " bytes, more than the limit of " +
         std::to_string(max_size));
  if (e.local_header + kLocalSize > b.size()) Fail(who + "local header beyond the end");
  const std::size_t p = static_cast<std::size_t>(e.local_header);
  if (U32(b, p) != kLocalSignature) Fail(who + "bad local header");
  // The local header has its own name and extra-field lengths, which may differ from the
  // central directory's.
  const std::uint64_t data = e.local_header + kLocalSize + U16(b, p + 26) + U16(b, p + 28);
  if (data + e.compressed_size > b.size()) Fail(who + "data runs past the end (truncated archive)");
  const std::string_view in = b.substr(static_cast<std::size_t>(data), e.compressed_size);
  std::string out;
  if (e.method == 0) {
    if (e.compressed_size != e.size) Fail(who + "stored entry with two different sizes");
    out.assign(in);
  } else if (e.method == 8) {
    if (e.size > e.compressed_size * kMaxDeflateRatio + 1024)
      Fail(who + "claims " + std::to_string(e.size) + " bytes from " +
           std::to_string(e.compressed_size) + " compressed (corrupt)");
    out.resize(static_cast<std::size_t>(e.size) + 1);  // one more to notice excess output
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) Fail(who + "zlib cannot start");
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&z, Z_FINISH);
    const std::uint64_t produced = z.total_out;
    const std::string message = z.msg ? z.msg : "";
    inflateEnd(&z);
    if (status != Z_STREAM_END) {
      if (produced > e.size)
        Fail(who + "inflates to more than its declared " + std::to_string(e.size) + " bytes");
      Fail(who + "corrupt deflate data" + (message.empty() ? "" : " (" + message + ")"));
    }
    if (produced != e.size)
      Fail(who + "inflates to " + std::to_string(produced) + " bytes, not the declared " +
           std::to_string(e.size));
    out.resize(static_cast<std::size_t>(e.size));
  } else {
    Fail(who + "compression method " + std::to_string(e.method) +
         " (only stored and deflated are supported)");
  }
  const uLong crc =
      crc32(0L, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size()));
  if (crc != e.crc32) Fail(who + "checksum mismatch (corrupt data)");
  return out;
}

}  // namespace vision::detail::genapi

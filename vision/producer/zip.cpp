#include "zip.h"

#include <zlib.h>

#include <stdexcept>

namespace vision::simcam {
namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(std::uint8_t(v));
  out.push_back(std::uint8_t(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

std::vector<std::uint8_t> RawDeflate(std::string_view data) {
  z_stream z{};
  // Negative window bits: a raw deflate stream without the zlib header, as ZIP entries hold.
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("zlib: deflateInit2 failed");
  std::vector<std::uint8_t> out(deflateBound(&z, uLong(data.size())));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  const int rc = deflate(&z, Z_FINISH);
  const std::size_t written = out.size() - z.avail_out;
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("zlib: deflate did not finish");
  out.resize(written);
  return out;
}

}  // namespace

bool LooksLikeZip(std::string_view bytes) {
  return bytes.size() >= 4 && bytes[0] == 'P' && bytes[1] == 'K' && bytes[2] == 3 && bytes[3] == 4;
}

std::vector<std::uint8_t> ZipOneFile(const std::string& name, std::string_view data) {
  const std::vector<std::uint8_t> packed = RawDeflate(data);
  const auto crc = std::uint32_t(
      crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
  // A fixed time stamp (2026-01-01 00:00, DOS format) keeps the archive the same on every run.
  const std::uint32_t dos_time = 0, dos_date = ((2026 - 1980) << 9) | (1 << 5) | 1;
  std::vector<std::uint8_t> out;
  auto header_fields = [&] {
    Put16(out, 20);  // version needed: 2.0 (deflate)
    Put16(out, 0);   // flags
    Put16(out, 8);   // method: deflate
    Put16(out, dos_time);
    Put16(out, dos_date);
    Put32(out, crc);
    Put32(out, std::uint32_t(packed.size()));
    Put32(out, std::uint32_t(data.size()));
    Put16(out, std::uint32_t(name.size()));
    Put16(out, 0);  // extra field length
  };
  Put32(out, 0x04034b50);  // local file header
  header_fields();
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), packed.begin(), packed.end());

  const auto directory = std::uint32_t(out.size());
  Put32(out, 0x02014b50);  // central directory header
  Put16(out, 20);          // version made by
  header_fields();
  Put16(out, 0);  // comment length
  Put16(out, 0);  // disk number
  Put16(out, 0);  // internal attributes
  Put32(out, 0);  // external attributes
  Put32(out, 0);  // offset of the local header
  out.insert(out.end(), name.begin(), name.end());
  const auto directory_size = std::uint32_t(out.size()) - directory;

  Put32(out, 0x06054b50);  // end of central directory
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, 1);  // entries on this disk
  Put16(out, 1);  // entries in total
  Put32(out, directory_size);
  Put32(out, directory);
  Put16(out, 0);  // comment length
  return out;
}

}  // namespace vision::simcam

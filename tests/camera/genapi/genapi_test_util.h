// Shared by the GenApi tests: a register space over a byte array, descriptions wrapped in their
// root element, ZIP archives made with zlib, and error checks.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "camera/genapi/genapi.h"

namespace genapitest {

namespace ga = vision::detail::genapi;

// A device's register space: bytes at addresses 0 .. size-1, counting the accesses.
class MemoryPort : public ga::Port {
 public:
  explicit MemoryPort(std::size_t size = 0x10000) : bytes(size, 0) {}
  void Read(std::uint64_t address, void* data, std::size_t size) override {
    ++reads;
    if (fail) throw ga::PortError("the device does not answer");
    Check(address, size);
    std::memcpy(data, bytes.data() + address, size);
  }
  void Write(std::uint64_t address, const void* data, std::size_t size) override {
    ++writes;
    if (fail) throw ga::PortError("the device does not answer");
    Check(address, size);
    std::memcpy(bytes.data() + address, data, size);
    last_write_address = address;
    last_write_size = size;
  }
  void Put(std::uint64_t address, std::vector<std::uint8_t> values) {
    std::memcpy(bytes.data() + address, values.data(), values.size());
  }
  void Put32(std::uint64_t address, std::uint32_t v) {  // little-endian
    for (int i = 0; i < 4; ++i) bytes[address + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  std::uint32_t Get32(std::uint64_t address) const {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | bytes[address + i];
    return v;
  }

  std::vector<std::uint8_t> bytes;
  int reads = 0, writes = 0;
  bool fail = false;
  std::uint64_t last_write_address = 0;
  std::size_t last_write_size = 0;

 private:
  void Check(std::uint64_t address, std::size_t size) const {
    if (address > bytes.size() || size > bytes.size() - address)
      throw ga::PortError("address " + std::to_string(address) + " is outside the registers");
  }
};

// A description around the given nodes, with one port named "Device".
inline std::string Description(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<RegisterDescription ModelName=\"TestCam\" VendorName=\"Us\" StandardNameSpace=\"None\""
         " SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\""
         " MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\" ProductGuid=\"0\""
         " VersionGuid=\"0\" xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n"
         "<Port Name=\"Device\"/>\n" +
         body + "\n</RegisterDescription>\n";
}

// A node map of the description, connected to the port.
inline std::unique_ptr<ga::NodeMap> Map(const std::string& body, MemoryPort& port) {
  auto map = ga::NodeMap::Parse(Description(body));
  map->Connect(&port);
  return map;
}

// The error a call raises; fails the test when it raises none.
template <class F>
ga::Error ErrorOf(F&& f) {
  try {
    f();
  } catch (const ga::Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error";
  return ga::Error(ga::ErrorKind::kWrongType, "(no error)");
}

// Checks the kind and that the message contains every given piece.
#define EXPECT_GENAPI_ERROR(call, kind, ...)                                \
  do {                                                                      \
    const ga::Error error_ = ErrorOf([&] { (void)(call); });                \
    EXPECT_EQ(error_.Kind(), kind) << error_.what();                        \
    for (const char* piece_ : std::vector<const char*>{__VA_ARGS__})        \
      EXPECT_NE(std::string(error_.what()).find(piece_), std::string::npos) \
          << "message '" << error_.what() << "' lacks '" << piece_ << "'";  \
  } while (0)

// --- ZIP archives --------------------------------------------------------------------------

struct ZipFile {
  ZipFile(std::string name, std::string data, bool deflate = true)
      : name(std::move(name)), data(std::move(data)), deflate(deflate) {}
  std::string name;
  std::string data;
  bool deflate = true;
  std::string local_extra;    // extra field of the local header
  std::string central_extra;  // extra field of the central directory entry
  std::uint16_t flags = 0;
};

inline std::string Deflate(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline void Put16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8 & 0xFF);
}
inline void Put32(std::string& s, std::uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

inline std::string Zip(const std::vector<ZipFile>& files) {
  std::string archive, central;
  for (const ZipFile& f : files) {
    const std::string packed = f.deflate ? Deflate(f.data) : f.data;
    const std::uint32_t crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(f.data.data()), static_cast<uInt>(f.data.size())));
    const std::uint32_t offset = static_cast<std::uint32_t>(archive.size());
    Put32(archive, 0x04034b50);
    Put16(archive, 20);
    Put16(archive, f.flags);
    Put16(archive, f.deflate ? 8 : 0);
    Put32(archive, 0);  // time and date
    Put32(archive, crc);
    Put32(archive, static_cast<std::uint32_t>(packed.size()));
    Put32(archive, static_cast<std::uint32_t>(f.data.size()));
    Put16(archive, static_cast<unsigned>(f.name.size()));
    Put16(archive, static_cast<unsigned>(f.local_extra.size()));
    archive += f.name + f.local_extra + packed;

    Put32(central, 0x02014b50);
    Put16(central, 20);
    Put16(central, 20);
    Put16(central, f.flags);
    Put16(central, f.deflate ? 8 : 0);
    Put32(central, 0);
    Put32(central, crc);
    Put32(central, static_cast<std::uint32_t>(packed.size()));
    Put32(central, static_cast<std::uint32_t>(f.data.size()));
    Put16(central, static_cast<unsigned>(f.name.size()));
    Put16(central, static_cast<unsigned>(f.central_extra.size()));
    Put16(central, 0);  // comment
    Put16(central, 0);  // disk
    Put16(central, 0);  // internal attributes
    Put32(central, 0);  // external attributes
    Put32(central, offset);
    central += f.name + f.central_extra;
  }
  const std::uint32_t cd_offset = static_cast<std::uint32_t>(archive.size());
  archive += central;
  Put32(archive, 0x06054b50);
  Put16(archive, 0);
  Put16(archive, 0);
  Put16(archive, static_cast<unsigned>(files.size()));
  Put16(archive, static_cast<unsigned>(files.size()));
  Put32(archive, static_cast<std::uint32_t>(central.size()));
  Put32(archive, cd_offset);
  Put16(archive, 0);
  return archive;
}

}  // namespace genapitest

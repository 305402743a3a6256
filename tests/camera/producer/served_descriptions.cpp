// Writes every description the simulated camera's producer serves into the working folder, read
// the way a consumer reads them: through each port's URL (GCGetNumPortURLs, GCGetPortURL) and
// GCReadPort, the zipped one unpacked. schema_check.sh validates what it writes.
//
//   device-zipped.xml   the camera's description as served by default (a ZIP archive)
//   device-plain.xml    the same with the option plain
//   system.xml, interface.xml, device-module.xml, stream.xml   the modules' own
//
// Prints one line per file; any failure is reported on standard error with status 1.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "env.h"
#include "loader.h"

namespace {

using namespace vision::gentl;

const simtest::ProducerFile* g_producer = nullptr;
const simtest::ProducerFile& P() { return *g_producer; }

void Check(GC_ERROR rc, const std::string& what) {
  if (rc == GC_ERR_SUCCESS) return;
  GC_ERROR code = 0;
  char text[1024] = "";
  size_t size = sizeof text;
  P().GCGetLastError(&code, text, &size);
  throw std::runtime_error(what + " failed with " + std::to_string(rc) + ": " + text);
}

std::uint32_t Le16(const std::uint8_t* p) { return p[0] | p[1] << 8; }
std::uint32_t Le32(const std::uint8_t* p) { return Le16(p) | Le16(p + 2) << 16; }

// The single deflated entry of an archive as the producer writes it.
std::string Unzip(const std::string& zip) {
  if (zip.size() < 22) throw std::runtime_error("the archive is too short");
  const auto* z = reinterpret_cast<const std::uint8_t*>(zip.data());
  const std::uint8_t* end = z + zip.size() - 22;
  if (Le32(end) != 0x06054b50u || Le16(end + 10) != 1)
    throw std::runtime_error("no end record of an archive with one entry");
  const std::uint32_t cd_offset = Le32(end + 16);
  if (cd_offset + 46 > zip.size() || Le32(z + cd_offset) != 0x02014b50u)
    throw std::runtime_error("no central directory");
  const std::uint8_t* cd = z + cd_offset;
  const std::uint32_t packed = Le32(cd + 20), size = Le32(cd + 24), local_offset = Le32(cd + 42);
  if (local_offset + 30 > zip.size()) throw std::runtime_error("no local header");
  const std::uint8_t* local = z + local_offset;
  const std::size_t data = local_offset + 30 + Le16(local + 26) + Le16(local + 28);
  if (Le16(cd + 10) != 8 || data + packed > zip.size())
    throw std::runtime_error("the entry is not deflated data inside the archive");
  std::string out(size, '\0');
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) throw std::runtime_error("inflateInit2 failed");
  s.next_in = const_cast<Bytef*>(z + data);
  s.avail_in = packed;
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = size;
  const int rc = inflate(&s, Z_FINISH);
  inflateEnd(&s);
  if (rc != Z_STREAM_END) throw std::runtime_error("the entry does not inflate");
  return out;
}

// The description behind a port's one URL: "Local:<name>;<hex address>;<hex length>[?...]".
std::string Served(PORT_HANDLE port, const std::string& label) {
  std::uint32_t urls = 0;
  Check(P().GCGetNumPortURLs(port, &urls), label + ": GCGetNumPortURLs");
  if (urls != 1) throw std::runtime_error(label + ": " + std::to_string(urls) + " URLs, not 1");
  size_t size = 0;
  Check(P().GCGetPortURL(port, nullptr, &size), label + ": GCGetPortURL");
  std::string url(size, '\0');
  Check(P().GCGetPortURL(port, url.data(), &size), label + ": GCGetPortURL");
  url.resize(size ? size - 1 : 0);
  const auto a = url.find(';'), b = url.find(';', a + 1), q = url.find('?');
  if (url.rfind("Local:", 0) != 0 || a == std::string::npos || b == std::string::npos)
    throw std::runtime_error(label + ": '" + url + "' is no Local: URL");
  const std::string name = url.substr(6, a - 6);
  const std::uint64_t address = std::stoull(url.substr(a + 1, b - a - 1), nullptr, 16);
  const std::uint64_t length =
      std::stoull(url.substr(b + 1, q == std::string::npos ? q : q - b - 1), nullptr, 16);
  std::string bytes(length, '\0');
  size = bytes.size();
  Check(P().GCReadPort(port, address, bytes.data(), &size), label + ": GCReadPort of " + url);
  if (size != bytes.size()) throw std::runtime_error(label + ": a short read of " + url);
  const bool zipped = bytes.rfind("PK\3\4", 0) == 0;
  const bool zip_name = name.size() > 4 && name.substr(name.size() - 4) == ".zip";
  if (zipped != zip_name)
    throw std::runtime_error(label + ": " + url + " names " + (zip_name ? "an archive" : "XML") +
                             " but serves " + (zipped ? "an archive" : "something else"));
  return zipped ? Unzip(bytes) : bytes;
}

void Write(const std::string& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary);
  out << text;
  if (!out.good()) throw std::runtime_error("cannot write " + file);
  std::printf("%s (%zu bytes)\n", file.c_str(), text.size());
}

// One session of the producer with the given options: the camera's description, and with
// `modules` the four modules' descriptions too.
void Dump(const char* options, const std::string& device_file, bool modules) {
  visiontest::SetEnv("VISION_FAKE_CAMERA", options);
  Check(P().GCInitLib(), "GCInitLib");
  TL_HANDLE tl = nullptr;
  IF_HANDLE iface = nullptr;
  DEV_HANDLE dev = nullptr;
  PORT_HANDLE remote = nullptr;
  DS_HANDLE ds = nullptr;
  Check(P().TLOpen(&tl), "TLOpen");
  Check(P().TLUpdateInterfaceList(tl, nullptr, 1000), "TLUpdateInterfaceList");
  Check(P().TLOpenInterface(tl, "vision-Simulated", &iface), "TLOpenInterface");
  Check(P().IFUpdateDeviceList(iface, nullptr, 1000), "IFUpdateDeviceList");
  char id[256];
  size_t size = sizeof id;
  Check(P().IFGetDeviceID(iface, 0, id, &size), "IFGetDeviceID");
  Check(P().IFOpenDevice(iface, id, DEVICE_ACCESS_EXCLUSIVE, &dev), "IFOpenDevice");
  Check(P().DevGetPort(dev, &remote), "DevGetPort");
  Check(P().DevOpenDataStream(dev, "Stream0", &ds), "DevOpenDataStream");
  Write(device_file, Served(remote, device_file));
  if (modules) {
    Write("system.xml", Served(tl, "system"));
    Write("interface.xml", Served(iface, "interface"));
    Write("device-module.xml", Served(dev, "device module"));
    Write("stream.xml", Served(ds, "data stream"));
  }
  Check(P().GCCloseLib(), "GCCloseLib");
}

}  // namespace

int main() {
  try {
    const simtest::ProducerFile producer(simtest::SimcamPath());
    g_producer = &producer;
    Dump("1", "device-zipped.xml", true);
    Dump("plain", "device-plain.xml", false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "served_descriptions: %s\n", e.what());
    return 1;
  }
  return 0;
}

// The simulated camera's device level: its description served through a Local: URL (zipped or
// plain, or a file of the user's over blank registers), the register map with its checks, and
// the faults: busy, reject, read-only opening.
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "camera/genapi/description.h"
#include "simcam_fixture.h"

namespace simtest {
namespace {

namespace genapi = vision::detail::genapi;

std::vector<std::uint8_t> ReadDescription(Cam& cam, const LocalUrl& u) {
  const std::string bytes = ReadBytes(cam.port, u.address, std::size_t(u.length));
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

std::uint32_t Le16(const std::uint8_t* p) { return p[0] | p[1] << 8; }
std::uint32_t Le32(const std::uint8_t* p) { return Le16(p) | Le16(p + 2) << 16; }

// The one entry of a ZIP archive: its name and inflated content (read the way a consumer does:
// end record, central directory, local header).
std::pair<std::string, std::string> Unzip(const std::vector<std::uint8_t>& zip) {
  EXPECT_GE(zip.size(), 22u);
  const std::uint8_t* end = zip.data() + zip.size() - 22;
  EXPECT_EQ(Le32(end), 0x06054b50u) << "end of central directory";
  EXPECT_EQ(Le16(end + 10), 1u) << "one entry";
  const std::uint8_t* cd = zip.data() + Le32(end + 16);
  EXPECT_EQ(Le32(cd), 0x02014b50u);
  EXPECT_EQ(Le16(cd + 10), 8u) << "deflated";
  const std::uint32_t packed = Le32(cd + 20), size = Le32(cd + 24);
  const std::string name(reinterpret_cast<const char*>(cd + 46), Le16(cd + 28));
  const std::uint8_t* local = zip.data() + Le32(cd + 42);
  EXPECT_EQ(Le32(local), 0x04034b50u);
  const std::uint8_t* data = local + 30 + Le16(local + 26) + Le16(local + 28);
  std::string out(size, '\0');
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = packed;
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = size;
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
  inflateEnd(&z);
  EXPECT_EQ(Le32(cd + 16),
            std::uint32_t(crc32(0, reinterpret_cast<const Bytef*>(out.data()), uInt(out.size()))))
      << "CRC of " << name;
  return {name, out};
}

TEST(Description, ServedZippedThroughTheLocalUrl) {
  Session s("1");
  Cam cam(s);
  uint32_t urls = 9;
  ASSERT_EQ(P().GCGetNumPortURLs(cam.port, &urls), GC_ERR_SUCCESS);
  EXPECT_EQ(urls, 1u);
  EXPECT_EQ(P().GCGetNumPortURLs(cam.dev, &urls), GC_ERR_SUCCESS);
  EXPECT_EQ(urls, 1u) << "the device module has its own description";
  const std::string url = PortUrl(cam.port);
  const LocalUrl u = ParseLocal(url);
  EXPECT_EQ(u.file, "vision_simcam.zip");
  EXPECT_EQ(u.address, reg::kDescription);
  EXPECT_NE(url.find("?SchemaVersion=1.1.0"), std::string::npos) << url;
  // The parsed parts of the URL agree with it.
  std::uint64_t value = 0;
  size_t size = sizeof value;
  EXPECT_EQ(
      P().GCGetPortURLInfo(cam.port, 0, URL_INFO_FILE_REGISTER_ADDRESS, nullptr, &value, &size),
      GC_ERR_SUCCESS);
  EXPECT_EQ(value, u.address);
  EXPECT_EQ(P().GCGetPortURLInfo(cam.port, 0, URL_INFO_FILE_SIZE, nullptr, &value, &size),
            GC_ERR_SUCCESS);
  EXPECT_EQ(value, u.length);
  EXPECT_EQ(P().GCGetPortURLInfo(cam.port, 1, URL_INFO_URL, nullptr, &value, &size),
            GC_ERR_INVALID_INDEX);

  const auto zip = ReadDescription(cam, u);
  ASSERT_EQ(std::string(zip.begin(), zip.begin() + 4), std::string("PK\3\4"));
  const auto [name, xml] = Unzip(zip);
  EXPECT_EQ(name, "vision_simcam.xml");
  EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
  EXPECT_NE(xml.find("<RegisterDescription"), std::string::npos);
  EXPECT_NE(xml.find("http://www.genicam.org/GenApi/Version_1_1"), std::string::npos);
  for (const char* feature : {"\"Width\"", "\"PayloadSize\"", "\"TriggerSoftware\"",
                              "\"ExposureTime\"", "\"TLParamsLocked\"", "<Port Name=\"Device\""})
    EXPECT_NE(xml.find(feature), std::string::npos) << feature;
  // Reading past the description's end is refused; so is writing into it.
  size = 4;
  std::uint8_t four[4] = {};
  EXPECT_EQ(P().GCReadPort(cam.port, u.address + u.length - 2, four, &size),
            GC_ERR_INVALID_ADDRESS);
  EXPECT_EQ(P().GCWritePort(cam.port, u.address, four, &size), GC_ERR_ACCESS_DENIED);
}

TEST(Description, PlainWhenAskedFor) {
  Session s("plain");
  Cam cam(s);
  const LocalUrl u = ParseLocal(PortUrl(cam.port));
  EXPECT_EQ(u.file, "vision_simcam.xml");
  const auto bytes = ReadDescription(cam, u);
  const std::string xml(bytes.begin(), bytes.end());
  EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
  EXPECT_NE(xml.find("</RegisterDescription>"), std::string::npos);
}

// The user's file stays a file: the URL names it (absolute, percent-encoded where a URL needs
// it) and our consumer's URL parser finds it again; the whole register space is memory that
// reads zero until written, even where descriptions usually keep themselves (0xF0000000).
TEST(Description, AFileOfTheUsersIsServedAsAFileOverZeroRegisters) {
  const std::string dir = ::testing::TempDir();
  const std::string name = "simcam user 100%#1.xml";  // a blank, '%' and '#' need escaping
  const std::string path = dir + name;
  const std::string text = "<?xml version=\"1.0\"?><RegisterDescription ModelName=\"X\"/>";
  std::ofstream(path, std::ios::binary) << text;
  const auto served_text = [](const std::string& url) {
    const auto where = genapi::ParseUrl(url);
    std::ifstream in(where.path, std::ios::binary);
    EXPECT_TRUE(in.good()) << url << " -> " << where.path;
    return std::make_pair(where.file_name, std::string(std::istreambuf_iterator<char>(in), {}));
  };
  {
    Session s(("description=" + path + ",reject=Gamma").c_str());
    Cam cam(s);
    const std::string url = PortUrl(cam.port);
    EXPECT_EQ(url.rfind("file:///", 0), 0u) << url;
    EXPECT_EQ(url.find(' '), std::string::npos) << url;
    EXPECT_EQ(served_text(url), std::make_pair(name, text)) << url;
    std::int32_t scheme = -1;
    std::uint64_t value = 0;
    size_t size = sizeof scheme;
    EXPECT_EQ(P().GCGetPortURLInfo(cam.port, 0, URL_INFO_SCHEME, nullptr, &scheme, &size),
              GC_ERR_SUCCESS);
    EXPECT_EQ(scheme, URL_SCHEME_FILE);
    size = sizeof value;
    EXPECT_EQ(P().GCGetPortURLInfo(cam.port, 0, URL_INFO_FILE_SIZE, nullptr, &value, &size),
              GC_ERR_SUCCESS);
    EXPECT_EQ(value, text.size());
    EXPECT_EQ(
        P().GCGetPortURLInfo(cam.port, 0, URL_INFO_FILE_REGISTER_ADDRESS, nullptr, &value, &size),
        GC_ERR_NOT_AVAILABLE);
    // Any register: zero until written, then what was written.
    for (std::uint64_t address : {std::uint64_t{0}, std::uint64_t{0x8C400904}, reg::kDescription,
                                  std::uint64_t{0xF0000010}, std::uint64_t{0xFFFFFFFC}})
      EXPECT_EQ(cam.ReadU32(address), 0u) << std::hex << address;
    cam.Set(reg::kDescription, 0xDEADBEEF);
    cam.Set(0xFFFFFFFC, 7);
    EXPECT_EQ(cam.ReadU32(reg::kDescription), 0xDEADBEEFu);
    EXPECT_EQ(cam.ReadU32(0xFFFFFFFC), 7u);
    EXPECT_EQ(cam.WriteU32(0xFFFFFFFFFFFFFFFE, 1), GC_ERR_INVALID_ADDRESS) << "past the end";
    // The stream defines the payload itself (nothing in a blank camera's registers says it).
    EXPECT_TRUE(cam.StreamInfo<bool8_t>(STREAM_INFO_DEFINES_PAYLOADSIZE));
  }
  {
    // A relative name is taken from the working folder when the producer starts; plain changes
    // nothing for a file.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(std::filesystem::path(dir));
    Session s(("description=" + name + ",plain").c_str());
    std::filesystem::current_path(cwd);
    Cam cam(s);
    EXPECT_EQ(served_text(PortUrl(cam.port)), std::make_pair(name, text));
  }
  std::remove(path.c_str());
}

TEST(Registers, TheMapAndItsChecks) {
  Session s("width=320,height=240");
  Cam cam(s);
  EXPECT_EQ(cam.ReadU32(reg::kWidth), 320u);
  EXPECT_EQ(cam.ReadU32(reg::kWidthMax), 320u);
  EXPECT_EQ(cam.ReadU32(reg::kPixelFormat), pf::kMono8);
  // The payload follows the format and the region.
  cam.Set(reg::kWidth, 100);
  cam.Set(reg::kPixelFormat, pf::kRGB8);
  EXPECT_EQ(cam.StreamInfo<size_t>(STREAM_INFO_PAYLOAD_SIZE), 100u * 240u * 3u);
  // Values the camera does not take.
  EXPECT_EQ(cam.WriteU32(reg::kWidth, 8), GC_ERR_INVALID_VALUE);
  EXPECT_NE(LastError().find("Width = 8"), std::string::npos) << LastError();
  EXPECT_EQ(cam.WriteU32(reg::kOffsetX, 3), GC_ERR_INVALID_VALUE) << "offsets are even";
  EXPECT_EQ(cam.WriteU32(reg::kOffsetX, 222), GC_ERR_INVALID_VALUE) << "past the sensor";
  EXPECT_EQ(cam.WriteU32(reg::kPixelFormat, 0x01100003), GC_ERR_INVALID_VALUE) << "Mono10";
  EXPECT_EQ(cam.WriteU32(reg::kTriggerMode, 2), GC_ERR_INVALID_VALUE);
  // Read-only, write-only, no register, half a register.
  EXPECT_EQ(cam.WriteU32(reg::kWidthMax, 10), GC_ERR_ACCESS_DENIED);
  std::uint8_t b[8] = {};
  size_t size = 4;
  EXPECT_EQ(P().GCReadPort(cam.port, reg::kAcqStart, b, &size), GC_ERR_ACCESS_DENIED);
  EXPECT_EQ(P().GCReadPort(cam.port, 0x0300, b, &size), GC_ERR_INVALID_ADDRESS);
  size = 2;
  EXPECT_EQ(P().GCWritePort(cam.port, reg::kWidth + 2, b, &size), GC_ERR_INVALID_ADDRESS);
  // The device module's registers are its own, not the camera's.
  size = 4;
  EXPECT_EQ(P().GCReadPort(cam.dev, 0x0300, b, &size), GC_ERR_INVALID_ADDRESS);
  // Strings: shorter writes are zero-padded; the device reports the user id.
  size = 5;
  ASSERT_EQ(P().GCWritePort(cam.port, reg::kUserId, "left", &size), GC_ERR_SUCCESS);
  EXPECT_EQ(InfoString([&](auto t, auto p, auto n) {
              return P().DevGetInfo(cam.dev, DEVICE_INFO_USER_DEFINED_NAME, t, p, n);
            }),
            "left");
  // TLParamsLocked locks the image format.
  cam.Set(reg::kTLParamsLocked, 1);
  EXPECT_EQ(cam.WriteU32(reg::kHeight, 100), GC_ERR_ACCESS_DENIED);
  EXPECT_NE(LastError().find("locked"), std::string::npos) << LastError();
  cam.Set(reg::kTLParamsLocked, 0);
  cam.Set(reg::kHeight, 100);
  // Stacked access goes through the same checks.
  std::uint32_t w = 0, h = 0;
  PORT_REGISTER_STACK_ENTRY entries[2] = {{reg::kWidth, &w, 4}, {reg::kHeight, &h, 4}};
  size_t n = 2;
  EXPECT_EQ(P().GCReadPortStacked(cam.port, entries, &n), GC_ERR_SUCCESS);
  EXPECT_EQ(w, 100u);
  EXPECT_EQ(h, 100u);
}

TEST(Registers, TheBigEndianImageControlRegister) {
  Session s("1");
  Cam cam(s);
  // Gain 6 (bits 0-7 of the value), BlackLevel 9 (bits 8-15), ReverseY (bit 17), stored most
  // significant byte first.
  const std::uint8_t value[4] = {0x00, 0x02, 0x09, 0x06};
  size_t size = 4;
  ASSERT_EQ(P().GCWritePort(cam.port, reg::kImageControl, value, &size), GC_ERR_SUCCESS)
      << LastError();
  std::uint8_t back[4] = {};
  ASSERT_EQ(P().GCReadPort(cam.port, reg::kImageControl, back, &size), GC_ERR_SUCCESS);
  EXPECT_EQ(std::vector<std::uint8_t>(back, back + 4), std::vector<std::uint8_t>(value, value + 4));
  const std::uint8_t too_much_gain[4] = {0, 0, 0, 25};
  EXPECT_EQ(P().GCWritePort(cam.port, reg::kImageControl, too_much_gain, &size),
            GC_ERR_INVALID_VALUE);
  EXPECT_NE(LastError().find("Gain = 25"), std::string::npos) << LastError();
}

TEST(Faults, RejectRefusesWritesOfTheNamedFeature) {
  Session s("reject=TriggerSource,reject=ReverseX");
  Cam cam(s);
  // Even writing the value it has: the camera refuses the feature.
  EXPECT_EQ(cam.WriteU32(reg::kTriggerSource, 0), GC_ERR_ACCESS_DENIED);
  EXPECT_NE(LastError().find("write access denied by the camera"), std::string::npos);
  EXPECT_EQ(cam.WriteU32(reg::kTriggerSource + 4, 1), GC_ERR_ACCESS_DENIED) << "every selector";
  // A field of the shared register: refused when its bit changes, the other fields go through.
  const std::uint8_t reverse_x[4] = {0, 1, 0, 0}, gain[4] = {0, 0, 0, 3};
  size_t size = 4;
  EXPECT_EQ(P().GCWritePort(cam.port, reg::kImageControl, reverse_x, &size), GC_ERR_ACCESS_DENIED);
  EXPECT_EQ(P().GCWritePort(cam.port, reg::kImageControl, gain, &size), GC_ERR_SUCCESS);
  cam.Set(reg::kTriggerMode, 1);
}

TEST(Faults, BusyCameraCannotBeOpened) {
  Session s("busy");
  std::int32_t status = 0;
  size_t size = sizeof status;
  ASSERT_EQ(P().IFGetDeviceInfo(s.iface, "vision-Simulated-SIM0001", DEVICE_INFO_ACCESS_STATUS,
                                nullptr, &status, &size),
            GC_ERR_SUCCESS);
  EXPECT_EQ(status, DEVICE_ACCESS_STATUS_BUSY);
  DEV_HANDLE dev = nullptr;
  EXPECT_EQ(P().IFOpenDevice(s.iface, "vision-Simulated-SIM0001", DEVICE_ACCESS_CONTROL, &dev),
            GC_ERR_ACCESS_DENIED);
  EXPECT_NE(LastError().find("in use by another program"), std::string::npos) << LastError();
}

TEST(Devices, OpeningRulesAndAccessStatus) {
  Session s("cameras=2");
  uint32_t n = 0;
  ASSERT_EQ(P().IFGetNumDevices(s.iface, &n), GC_ERR_SUCCESS);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(s.DeviceId(0), "vision-Simulated-SIM0001");
  EXPECT_EQ(s.DeviceId(1), "vision-Simulated-SIM0002");
  DEV_HANDLE dev = nullptr, again = nullptr;
  EXPECT_EQ(P().IFOpenDevice(s.iface, "vision-Simulated-SIM0009", DEVICE_ACCESS_CONTROL, &dev),
            GC_ERR_INVALID_ID);
  EXPECT_EQ(P().IFOpenDevice(s.iface, "vision-Simulated-SIM0002", DEVICE_ACCESS_NONE, &dev),
            GC_ERR_INVALID_PARAMETER);
  ASSERT_EQ(P().IFOpenDevice(s.iface, "vision-Simulated-SIM0002", DEVICE_ACCESS_READONLY, &dev),
            GC_ERR_SUCCESS);
  EXPECT_EQ(P().IFOpenDevice(s.iface, "vision-Simulated-SIM0002", DEVICE_ACCESS_CONTROL, &again),
            GC_ERR_RESOURCE_IN_USE);
  std::int32_t status = 0;
  size_t size = sizeof status;
  EXPECT_EQ(P().IFGetDeviceInfo(s.iface, "vision-Simulated-SIM0002", DEVICE_INFO_ACCESS_STATUS,
                                nullptr, &status, &size),
            GC_ERR_SUCCESS);
  EXPECT_EQ(status, DEVICE_ACCESS_STATUS_OPEN_READONLY);
  // Read-only: reads work, writes are refused.
  PORT_HANDLE port = nullptr;
  ASSERT_EQ(P().DevGetPort(dev, &port), GC_ERR_SUCCESS);
  std::uint32_t v = 0;
  size = 4;
  EXPECT_EQ(P().GCReadPort(port, reg::kWidth, &v, &size), GC_ERR_SUCCESS);
  EXPECT_EQ(P().GCWritePort(port, reg::kWidth, &v, &size), GC_ERR_ACCESS_DENIED);
  IF_HANDLE parent = nullptr;
  EXPECT_EQ(P().DevGetParentIF(dev, &parent), GC_ERR_SUCCESS);
  EXPECT_EQ(parent, s.iface);
  EXPECT_EQ(P().DevClose(dev), GC_ERR_SUCCESS);
  EXPECT_EQ(P().IFGetDeviceInfo(s.iface, "vision-Simulated-SIM0002", DEVICE_INFO_ACCESS_STATUS,
                                nullptr, &status, &size),
            GC_ERR_SUCCESS);
  EXPECT_EQ(status, DEVICE_ACCESS_STATUS_READWRITE);
}

}  // namespace
}  // namespace simtest

// Retrieving descriptions: URL forms seen on real devices, ZIP archives as devices store them,
// plain XML with the padding devices add, and the errors for everything else.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "camera/genapi/zip.h"
#include "genapi_test_util.h"
#include "large_descriptions.h"

namespace genapitest {
namespace {

using Scheme = ga::DescriptionUrl::Scheme;

struct LocalCase {
  const char* url;
  const char* file_name;
  std::uint64_t address, size;
};

TEST(DescriptionUrl, LocalForms) {
  const LocalCase cases[] = {
      {"Local:Name.zip;c0000000;10cca", "Name.zip", 0xc0000000, 0x10cca},
      {"local:guide.xml;1000;200", "guide.xml", 0x1000, 0x200},
      {"LOCAL:Cam.ZIP;0x8C400904;0x4D30", "Cam.ZIP", 0x8C400904, 0x4D30},
      {"Local: guide.zip; 00010000; 06c5", "guide.zip", 0x10000, 0x6c5},
      {"Local:///DeviceU3V.zip;10000;2000", "DeviceU3V.zip", 0x10000, 0x2000},
      {"Local:/Cam.xml;10;20", "Cam.xml", 0x10, 0x20},
      {"Local:Name.xml;10;20?SchemaVersion=1.1.0", "Name.xml", 0x10, 0x20},
      {"  Local:Name.xml;FFFFFFFFFFFFFFFF;1  ", "Name.xml", 0xFFFFFFFFFFFFFFFFull, 1},
  };
  for (const LocalCase& c : cases) {
    SCOPED_TRACE(c.url);
    const ga::DescriptionUrl u = ga::ParseUrl(c.url);
    EXPECT_EQ(u.scheme, Scheme::kLocal);
    EXPECT_EQ(u.file_name, c.file_name);
    EXPECT_EQ(u.address, c.address);
    EXPECT_EQ(u.size, c.size);
  }
}

TEST(DescriptionUrl, FileForms) {
  const std::pair<const char*, const char*> cases[] = {
      {"file:///C|program%20files/aravis/genicam.xml?SchemaVersion=1.0.0",
       "C:/program files/aravis/genicam.xml"},
      {"file:///path/to/local/file.xml", "/path/to/local/file.xml"},
      {"FILE:///C:/dir/cam%2Bfile.xml", "C:/dir/cam+file.xml"},
      {"file://localhost/opt/cam.zip", "/opt/cam.zip"},
      {"file:/opt/cam.xml#frag", "/opt/cam.xml"},
      {"file:///d|/x.xml", "d:/x.xml"},
  };
  for (const auto& [url, path] : cases) {
    SCOPED_TRACE(url);
    const ga::DescriptionUrl u = ga::ParseUrl(url);
    EXPECT_EQ(u.scheme, Scheme::kFile);
    EXPECT_EQ(u.path, path);
  }
  EXPECT_EQ(ga::ParseUrl("file:///a/b/cam.zip").file_name, "cam.zip");
}

TEST(DescriptionUrl, RefusedWithTheUrlInTheMessage) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://camera.example/desc.xml", "web"},
      {"https://camera.example/desc.xml", "web"},
      {"Web:desc.xml", "unsupported scheme"},
      {"", "empty"},
      {"Local:Name.xml;1000", "length"},
      {"Local:Name.xml", "address"},
      {"Local:Name.xml;zz;10", "not hexadecimal"},
      {"Local:Name.xml;10;0x", "no length"},
      {"Local:Name.xml;11112222333344445;10", "too large"},
      {"Local:Name.xml;10;0", "length 0"},
      {"Local:;10;20", "no file name"},
      {"file:///bad%2", "percent"},
      {"file:///bad%zz.xml", "percent"},
      {"file:///nul%00.xml", "%00"},
      {"file://otherhost/x.xml", "another host"},
  };
  for (const auto& [url, why] : cases) {
    SCOPED_TRACE(url);
    EXPECT_GENAPI_ERROR(ga::ParseUrl(url), ga::ErrorKind::kDescription, url, why);
  }
}

const char kXml[] = "<RegisterDescription><Port Name=\"Device\"/></RegisterDescription>";

TEST(DescriptionText, PlainXmlIsCutAtPadding) {
  EXPECT_EQ(ga::DescriptionText(kXml), kXml);
  // A NUL inside the declared length, junk after it.
  EXPECT_EQ(ga::DescriptionText(std::string(kXml) + std::string("\0\xff\xffjunk<", 9)), kXml);
  // Padding without a NUL: cut after the last '>'.
  EXPECT_EQ(ga::DescriptionText(std::string(kXml) + "\xff\xff\xff  "), kXml);
  // A byte-order mark and blanks before the XML.
  EXPECT_EQ(ga::DescriptionText(std::string("\xEF\xBB\xBF \n") + kXml),
            std::string("\xEF\xBB\xBF \n") + kXml);
}

TEST(DescriptionText, ZipEntriesStoredAndDeflated) {
  for (bool deflate : {false, true}) {
    SCOPED_TRACE(deflate);
    EXPECT_EQ(ga::DescriptionText(Zip({{"cam.xml", kXml, deflate}})), kXml);
  }
}

TEST(DescriptionText, ZipLayoutsDevicesProduce) {
  const std::string archive = Zip({{"cam.xml", kXml}});
  // Bytes before the archive: offsets are off by the prefix.
  EXPECT_EQ(ga::DescriptionText(std::string(100, 'x') + archive), kXml);
  EXPECT_EQ(ga::DescriptionText(std::string("PK\3\4 not really") + archive), kXml);
  // Padding after the end record, as when the declared length rounds up.
  EXPECT_EQ(ga::DescriptionText(archive + std::string(300, '\0')), kXml);
  // The local header's extra field differs from the central directory's.
  ZipFile extra{"cam.xml", kXml};
  extra.local_extra = std::string(28, 'e');
  extra.central_extra = std::string(4, 'c');
  EXPECT_EQ(ga::DescriptionText(Zip({extra})), kXml);
  // Several entries: the XML one is taken, whatever its place and case.
  EXPECT_EQ(ga::DescriptionText(Zip({{"readme.txt", "hello"}, {"CAM.XML", kXml}})), kXml);
  EXPECT_EQ(ga::DescriptionText(Zip({{"cam.xml", kXml}, {"license.txt", "x"}})), kXml);
  // The XML inside is cut at a NUL like plain XML.
  EXPECT_EQ(ga::DescriptionText(Zip({{"cam.xml", std::string(kXml) + std::string(5, '\0')}})),
            kXml);
}

TEST(DescriptionText, BrokenInputsAreDescriptionErrors) {
  const std::string archive = Zip({{"cam.xml", kXml}});
  const std::string deflated = Deflate(kXml);
  EXPECT_GENAPI_ERROR(ga::DescriptionText(Zip({{"readme.txt", "x"}, {"image.png", "y"}}), "d.zip"),
                      ga::ErrorKind::kDescription, "d.zip", "no .xml entry", "readme.txt");
  EXPECT_GENAPI_ERROR(ga::DescriptionText(Zip({})), ga::ErrorKind::kDescription, "no .xml entry",
                      "empty");
  // Truncated: the end record is gone.
  EXPECT_GENAPI_ERROR(ga::DescriptionText(archive.substr(0, archive.size() / 2)),
                      ga::ErrorKind::kDescription, "ZIP");
  // The directory promises more data than there is.
  {
    std::string cut = archive;
    const std::size_t central = archive.find("PK\1\2");
    cut[central + 23] = 0x10;  // compressed size + 256 MiB
    EXPECT_GENAPI_ERROR(ga::DescriptionText(cut), ga::ErrorKind::kDescription, "cam.xml",
                        "past the end");
  }
  // Corrupt deflate data: either zlib refuses it or the checksum does.
  {
    std::string bad = archive;
    for (std::size_t i = 0; i < deflated.size(); ++i) bad[30 + 7 + i] ^= 0x5A;
    EXPECT_GENAPI_ERROR(ga::DescriptionText(bad), ga::ErrorKind::kDescription, "cam.xml");
  }
  // A stored entry whose bytes changed: the checksum finds it.
  {
    std::string bad = Zip({{"cam.xml", kXml, false}});
    bad[30 + 7 + 3] ^= 1;
    EXPECT_GENAPI_ERROR(ga::DescriptionText(bad), ga::ErrorKind::kDescription, "checksum");
  }
  // Encrypted, unknown method.
  {
    ZipFile f{"cam.xml", kXml};
    f.flags = 1;
    EXPECT_GENAPI_ERROR(ga::DescriptionText(Zip({f})), ga::ErrorKind::kDescription, "encrypted");
    std::string method = archive;
    method[8] = 12;                            // local header
    method[archive.find("PK\1\2") + 10] = 12;  // central directory
    EXPECT_GENAPI_ERROR(ga::DescriptionText(method), ga::ErrorKind::kDescription, "method 12");
  }
  // A size claim far beyond what deflate can do is refused before any buffer is made.
  {
    std::string huge = archive;
    const std::size_t central = archive.find("PK\1\2");
    huge[central + 24] = 0;
    huge[central + 25] = 0;
    huge[central + 26] = 0;
    huge[central + 27] = 0x03;  // 48 MiB
    EXPECT_GENAPI_ERROR(ga::DescriptionText(huge), ga::ErrorKind::kDescription, "claims");
  }
  EXPECT_GENAPI_ERROR(ga::DescriptionText("GIF89a not a description"), ga::ErrorKind::kDescription,
                      "neither XML nor a ZIP");
  EXPECT_GENAPI_ERROR(ga::DescriptionText(""), ga::ErrorKind::kDescription, "no bytes");
  EXPECT_GENAPI_ERROR(ga::DescriptionText(std::string("\0\0\0", 3)), ga::ErrorKind::kDescription);
}

TEST(DescriptionText, LoadsFromThePortAndFromAFile) {
  MemoryPort port;
  const std::string archive = Zip({{"cam.xml", kXml}});
  std::memcpy(port.bytes.data() + 0x1000, archive.data(), archive.size());
  char url[80];
  std::snprintf(url, sizeof url, "Local:///cam.zip;1000;%zx", archive.size() + 64);
  EXPECT_EQ(ga::LoadDescription(url, port), kXml);

  port.fail = true;
  EXPECT_GENAPI_ERROR(ga::LoadDescription(url, port), ga::ErrorKind::kPort, "does not answer");
  port.fail = false;
  EXPECT_GENAPI_ERROR(ga::LoadDescription("Local:big.zip;0;FFFFFFFF", port),
                      ga::ErrorKind::kDescription, "limit");

  const auto path = std::filesystem::temp_directory_path() / "genapi test desc.xml";
  {
    std::ofstream out(path, std::ios::binary);
    out << kXml << std::string(3, '\0');
  }
  std::string file_url = "file:///" + path.generic_string();
  if (file_url.compare(0, 9, "file:////") == 0) file_url.erase(7, 1);
  const std::size_t blank = file_url.find(' ');
  file_url.replace(blank, 1, "%20");
  EXPECT_EQ(ga::LoadDescription(file_url, port), kXml);
  std::filesystem::remove(path);
  EXPECT_GENAPI_ERROR(ga::LoadDescription(file_url, port), ga::ErrorKind::kDescription,
                      "cannot open");
}

TEST(ZipReader, ListsEntriesInDirectoryOrder) {
  const std::string archive = Zip({{"a.txt", "aaaa", false}, {"b.xml", "bbbbbbbb"}});
  const std::vector<ga::ZipEntry> entries = ga::ZipEntries(archive);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "a.txt");
  EXPECT_EQ(entries[0].method, 0);
  EXPECT_EQ(entries[1].name, "b.xml");
  EXPECT_EQ(entries[1].method, 8);
  EXPECT_EQ(ga::ZipExtract(archive, entries[1], 100), "bbbbbbbb");
  EXPECT_GENAPI_ERROR(ga::ZipExtract(archive, entries[1], 4), ga::ErrorKind::kDescription, "limit");
}

}  // namespace
}  // namespace genapitest

namespace genapitest {
namespace {

// The fuzz target's seeds are real descriptions: each one parses and offers its features.
TEST(DescriptionText, SeedCorpusDescriptionsParse) {
  int parsed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VISION_GENAPI_CORPUS)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".xml" && ext != ".zip") continue;
    SCOPED_TRACE(entry.path().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    auto map = ga::NodeMap::Parse(ga::DescriptionText(bytes));
    EXPECT_GT(map->FeatureNames().size(), 3u);
    ++parsed;
  }
  EXPECT_GE(parsed, 6);
}

}  // namespace
}  // namespace genapitest

namespace {

using namespace genapitest;

// Descriptions at the item limit, in each shape that makes a description large: each opens (or
// is refused with a description error) in time that grows with its size, not faster; the
// test's time-out stands guard against a return of quadratic work.
TEST(LargeDescriptions, OpenAtTheItemLimitInEveryShape) {
  for (const auto& shape : vision::test::DescriptionShapes()) {
    SCOPED_TRACE(shape.name);
    const std::size_t units = ga::kMaxXmlItems / shape.items_per_unit;
    const std::string xml = vision::test::LargeDescription(shape.shape, units);
    std::unique_ptr<ga::NodeMap> map;
    ASSERT_NO_THROW(map = ga::NodeMap::Parse(xml));
    genapitest::MemoryPort port(0x400000);
    map->Connect(&port);
    const std::vector<std::string> nodes = map->NodeNames();
    ASSERT_GT(nodes.size(), 1u);
    // The access of the first and the last node is as quick to tell as any.
    EXPECT_NO_THROW(map->AccessOf(nodes.front()));
    EXPECT_NO_THROW(map->AccessOf(nodes.back()));
  }
  // One unit more than the limit allows is refused, naming the limit.
  const std::string over = vision::test::LargeDescription(vision::test::DescriptionShape::kEntries,
                                                          ga::kMaxXmlItems / 3);
  EXPECT_GENAPI_ERROR(ga::NodeMap::Parse(over), ga::ErrorKind::kDescription, "items");
}

}  // namespace

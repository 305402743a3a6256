// The GenTL consumer below the camera level: which files the search path names, loading them
// (broken producers among good ones), the once-per-process registry, and the info protocol as
// the consumer reads answers (against producers that answer badly).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "camera/gentl/discovery.h"
#include "camera/gentl/info.h"
#include "camera/gentl/library.h"
#include "camera/gentl/registry.h"
#include "camera/gentl/transport.h"
#include "text_match.h"

namespace {

using visiontest::Contains;

namespace fs = std::filesystem;
namespace gentl = vision::detail::camera::gentl;
namespace abi = vision::gentl;

const std::string kFixtures = GENTL_FIXTURE_DIR;

std::string Fixture(const char* name) { return gentl::CanonicalPath(kFixtures + "/" + name); }

// A scratch folder, removed at the end of the test.
class Scratch {
 public:
  Scratch() {
    static int n = 0;
    dir_ = fs::temp_directory_path() /
           ("vision_gentl_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + std::to_string(++n) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Make(const std::string& name, const std::string& content = "x") const {
    fs::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return gentl::CanonicalPath(Path(name));
  }
  std::string Copy(const char* fixture, const std::string& name) const {
    fs::create_directories((dir_ / name).parent_path());
    fs::copy_file(Fixture(fixture), dir_ / name, fs::copy_options::overwrite_existing);
    return gentl::CanonicalPath(Path(name));
  }

 private:
  fs::path dir_;
};

std::string Join(const std::vector<std::string>& parts, char sep) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? std::string(1, sep) : "") + parts[i];
  return out;
}

// ---- Which files a search path names ----------------------------------------------------------

TEST(ProducerPath, FoldersGiveTheirProducerFilesInNameOrderAndFilesCountOnce) {
  Scratch s;
  const std::string b = s.Make("dir/b.cti");
  const std::string a = s.Make("dir/a.cti");
  s.Make("dir/readme.txt");
  s.Make("dir/a.cti.bak");
  s.Make("dir/sub/c.cti");  // sub-folders are not searched
  const std::string single = s.Make("other/single.cti");
  const char sep = gentl::ProducerPathSeparator();
  // Empty entries (leading, doubled, trailing) are skipped; a file listed again, or reached
  // again through its folder, is taken once at its first place.
  const std::string list = Join(
      {"", s.Path("other/single.cti"), "", s.Path("dir"), s.Path("dir/a.cti"), s.Path("other"), ""},
      sep);
  const auto found = gentl::FindProducerFiles(list, sep);
  EXPECT_EQ(found.files, (std::vector<std::string>{single, a, b}));
  EXPECT_TRUE(found.problems.empty());
}

TEST(ProducerPath, MissingEntriesAreReportedAndTheRestStillFound) {
  Scratch s;
  const std::string a = s.Make("a.cti");
  const char sep = gentl::ProducerPathSeparator();
  const auto found = gentl::FindProducerFiles(Join({s.Path("nowhere"), s.Path("a.cti")}, sep), sep);
  EXPECT_EQ(found.files, std::vector<std::string>{a});
  ASSERT_EQ(found.problems.size(), 1u);
  EXPECT_EQ(found.problems[0].entry, s.Path("nowhere"));
  EXPECT_TRUE(Contains(found.problems[0].reason, "does not exist"));
  EXPECT_TRUE(gentl::FindProducerFiles("", sep).files.empty());
}

TEST(ProducerPath, TheSeparatorIsTheSystemsOwn) {
  Scratch s;
  const std::string a = s.Make("a.cti");
  const std::string b = s.Make("b.cti");
#ifdef _WIN32
  EXPECT_EQ(gentl::ProducerPathSeparator(), ';');
  // A drive letter's colon must not split an entry.
  EXPECT_EQ(gentl::FindProducerFiles(s.Path("a.cti") + ";" + s.Path("b.cti"), ';').files,
            (std::vector<std::string>{a, b}));
#else
  EXPECT_EQ(gentl::ProducerPathSeparator(), ':');
  // ';' is an ordinary character of a file name here.
  EXPECT_EQ(gentl::FindProducerFiles(s.Path("a.cti") + ";" + s.Path("b.cti"), ':').files.size(),
            0u);
  EXPECT_EQ(gentl::FindProducerFiles(s.Path("a.cti") + ":" + s.Path("b.cti"), ':').files,
            (std::vector<std::string>{a, b}));
#endif
  EXPECT_STREQ(gentl::ProducerPathVariable(),
               sizeof(void*) == 8 ? "GENICAM_GENTL64_PATH" : "GENICAM_GENTL32_PATH");
}

#ifndef _WIN32
TEST(ProducerPath, ASymbolicLinkIsTheFileItPointsTo) {
  Scratch s;
  const std::string real = s.Make("real/p.cti");
  fs::create_directories(s.Path("links"));
  fs::create_symlink(real, s.Path("links/alias.cti"));
  fs::create_directory_symlink(s.Path("real"), s.Path("linked_dir"));
  const auto found = gentl::FindProducerFiles(
      Join({s.Path("links"), s.Path("linked_dir"), s.Path("real/p.cti")}, ':'), ':');
  EXPECT_EQ(found.files, std::vector<std::string>{real});
}
#endif

// ---- Loading: broken producers among good ones ------------------------------------------------

TEST(Loading, BrokenProducersAreSkippedWithTheirReasonAndTheGoodOnesLoad) {
  Scratch s;
  const std::string not_a_library = s.Make("garbage.cti", "this is text, not a library\n");
  const std::vector<std::string> files = {
      Fixture("fixture_a.cti"),        not_a_library,
      Fixture("fixture_no_gentl.cti"), Fixture("fixture_init_fails.cti"),
      Fixture("fixture_v10.cti"),      Fixture("fixture_b.cti")};
  const auto set = gentl::AcquireProducers(files);
  ASSERT_EQ(set.producers.size(), 3u);
  EXPECT_EQ(set.producers[0]->Info().model, "fixture A");
  EXPECT_EQ(set.producers[1]->Info().model, "fixture 1.0");
  EXPECT_EQ(set.producers[2]->Info().model, "fixture B");
  EXPECT_EQ(set.producers[0]->Info().gentl_version, "1.6");  // minor typed INT32: still read
  ASSERT_EQ(set.skipped.size(), 3u);
  EXPECT_EQ(set.skipped[0].path, not_a_library);
  EXPECT_TRUE(Contains(set.skipped[0].reason, "cannot be loaded")) << set.skipped[0].reason;
  EXPECT_EQ(set.skipped[1].path, Fixture("fixture_no_gentl.cti"));
  EXPECT_TRUE(Contains(set.skipped[1].reason, "none of the GenTL functions"))
      << set.skipped[1].reason;
  EXPECT_EQ(set.skipped[2].path, Fixture("fixture_init_fails.cti"));
  EXPECT_TRUE(Contains(set.skipped[2].reason, "GCInitLib") &&
              Contains(set.skipped[2].reason, "GC_ERR_ERROR (-1001)") &&
              Contains(set.skipped[2].reason, "licence file missing"))
      << set.skipped[2].reason;
}

TEST(Loading, AProducerWithoutTheNewerFunctionsLoadsAndTheyAnswerNotImplemented) {
  auto producer = gentl::AcquireProducer(Fixture("fixture_v10.cti"));
  const gentl::Library& lib = producer->Lib();
  EXPECT_FALSE(lib.Missing().empty());
  for (const auto& f : abi::kFunctions)
    EXPECT_EQ(lib.Exports(f.name), f.since_minor == 0) << f.name;
  std::uint32_t n = 99;
  const abi::GC_ERROR r = GENTL_CALL(lib, GCGetNumPortURLs, nullptr, &n);
  EXPECT_EQ(r, abi::GC_ERR_NOT_IMPLEMENTED);
  EXPECT_EQ(n, 99u);
  try {
    lib.Check(r, "GCGetNumPortURLs");
    FAIL() << "no GenTLError";
  } catch (const gentl::GenTLError& e) {
    EXPECT_EQ(e.Code(), abi::GC_ERR_NOT_IMPLEMENTED);
    EXPECT_TRUE(Contains(e.what(), "fixture_v10.cti") && Contains(e.what(), "GCGetNumPortURLs") &&
                Contains(e.what(), "does not have this function"))
        << e.what();
  }
  // Its device list: no serial numbers or user names from a 1.0 producer, but no failure.
  auto iface = gentl::Producer::OpenInterface(producer, producer->InterfaceIds(100).at(0));
  const auto devices = iface->Devices(100);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].id, "fixture-dev-1");
  EXPECT_EQ(devices[0].model, "fixture 1.0");
  EXPECT_EQ(devices[0].serial, "");
}

TEST(Loading, AnExceptionEscapingAProducerIsAFailureNotACrash) {
  auto producer = gentl::AcquireProducer(Fixture("fixture_throws.cti"));
  EXPECT_EQ(producer->Info().model, "");  // the query threw: no answer
  EXPECT_EQ(producer->Info().vendor, "vision tests");
  const gentl::Library& lib = producer->Lib();
  std::size_t size = 0;
  abi::INFO_DATATYPE type = 0;
  const abi::GC_ERROR r =
      GENTL_CALL(lib, TLGetInfo, producer->System(), abi::TL_INFO_MODEL, &type, nullptr, &size);
  EXPECT_EQ(r, abi::GC_ERR_ERROR);
  try {
    lib.Check(r, "TLGetInfo");
    FAIL() << "no GenTLError";
  } catch (const gentl::GenTLError& e) {
    EXPECT_TRUE(Contains(e.what(), "exception")) << e.what();
  }
}

// ---- The registry: once per process ------------------------------------------------------------

TEST(Registry, OneInstancePerFileSharedByEveryUserAndClosedByTheLast) {
  Scratch s;
  ASSERT_EQ(gentl::LoadedProducerCount(), 0u);
  // The fixture refuses a second GCInitLib and a second TLOpenInterface: sharing is required.
  auto first = gentl::AcquireProducer(Fixture("fixture_a.cti"));
  auto second = gentl::AcquireProducer(Fixture("fixture_a.cti"));
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(gentl::LoadedProducerCount(), 1u);
  auto if1 = gentl::Producer::OpenInterface(first, "fixture-if");
  auto if2 = gentl::Producer::OpenInterface(second, "fixture-if");
  EXPECT_EQ(if1->Handle(), if2->Handle());
  // The interface keeps the producer: letting go of both leases closes nothing yet.
  first.reset();
  second.reset();
  EXPECT_EQ(gentl::LoadedProducerCount(), 1u);
  EXPECT_EQ(if1->Devices(100).size(), 2u);
  if1.reset();
  if2.reset();
  EXPECT_EQ(gentl::LoadedProducerCount(), 0u);
  // Closed completely (GCCloseLib), so it initialises again.
  auto again = gentl::AcquireProducer(Fixture("fixture_a.cti"));
  auto iface = gentl::Producer::OpenInterface(again, "fixture-if");
  EXPECT_EQ(iface->Devices(100).at(0).user_name, "left");
#ifndef _WIN32
  // Reached through a link, it is the same file: shared, not initialised twice.
  fs::create_symlink(Fixture("fixture_a.cti"), s.Path("alias.cti"));
  const auto files = gentl::FindProducerFiles(s.Path("alias.cti"), ':').files;
  ASSERT_EQ(files.size(), 1u);
  auto alias = gentl::AcquireProducer(files[0]);
  EXPECT_EQ(alias.get(), again.get());
#endif
}

TEST(Registry, DevicesReportTheirNamesAndAccessStatus) {
  auto producer = gentl::AcquireProducer(Fixture("fixture_b.cti"));
  const auto ids = producer->InterfaceIds(100);
  ASSERT_EQ(ids, std::vector<std::string>{"fixture-if"});
  auto iface = gentl::Producer::OpenInterface(producer, ids[0]);
  const auto d = iface->Devices(100);
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].serial, "F1");
  EXPECT_EQ(d[0].user_name, "left");
  EXPECT_EQ(d[0].vendor, "Fixture Inc");
  EXPECT_EQ(gentl::AccessStatusName(d[0].access_status), "ReadWrite");
  EXPECT_EQ(gentl::AccessStatusName(d[1].access_status), "Busy");
  EXPECT_EQ(iface->AccessStatus("fixture-dev-2"), abi::DEVICE_ACCESS_STATUS_BUSY);
  EXPECT_EQ(iface->AccessStatus("no-such-device"), 0);
  EXPECT_THROW(gentl::Producer::OpenInterface(producer, "no-such-interface"), gentl::GenTLError);
}

// ---- The info protocol, read by the consumer from producers that answer badly -----------------

// A producer made of functions in this file: TLGetInfo answers per the mode below, and
// GCGetLastError reports what the last failure set.
enum class Mode {
  kGood,           // "camera maker" as a STRING
  kGrows,          // the text grows once between the size query and the read
  kTruncates,      // always too small: writes an unterminated prefix and fails
  kHugeSize,       // claims a 3 GB text
  kInt32,          // a number typed INT32 (documented UINT32)
  kSizet4,         // a SIZET of 4 bytes
  kNegative,       // INT32 -5 where an unsigned number is wanted
  kPtrNotWritten,  // PTR: success without writing
  kText,           // a STRING where a number is wanted
  kFails,          // GC_ERR_IO with a text
  kStaleText,      // GC_ERR_IO, but GCGetLastError still holds an older failure
};
Mode g_mode = Mode::kGood;
int g_calls = 0;
abi::GC_ERROR g_last_code = 0;
std::string g_last_text;

abi::GC_ERROR PutText(const std::string& s, abi::INFO_DATATYPE* t, void* b, std::size_t* n) {
  *t = abi::INFO_DATATYPE_STRING;
  if (!b) {
    *n = s.size() + 1;
    return abi::GC_ERR_SUCCESS;
  }
  if (*n < s.size() + 1) return abi::GC_ERR_BUFFER_TOO_SMALL;
  std::memcpy(b, s.c_str(), s.size() + 1);
  *n = s.size() + 1;
  return abi::GC_ERR_SUCCESS;
}

abi::GC_ERROR VISION_GC_CALLTYPE FakeTLGetInfo(abi::TL_HANDLE, abi::TL_INFO_CMD,
                                               abi::INFO_DATATYPE* t, void* b, std::size_t* n) {
  ++g_calls;
  switch (g_mode) {
    case Mode::kGood:
      return PutText("camera maker", t, b, n);
    case Mode::kGrows:
      return PutText(g_calls <= 1 ? "short" : "a much longer text", t, b, n);
    case Mode::kTruncates:
      *t = abi::INFO_DATATYPE_STRING;
      if (!b) {
        *n = 4;
        return abi::GC_ERR_SUCCESS;
      }
      std::memcpy(b, "JUNK", std::min<std::size_t>(*n, 4));
      *n = 100;
      return abi::GC_ERR_BUFFER_TOO_SMALL;
    case Mode::kHugeSize:
      *t = abi::INFO_DATATYPE_STRING;
      *n = std::size_t(3) << 30;
      return abi::GC_ERR_SUCCESS;
    case Mode::kInt32: {
      *t = abi::INFO_DATATYPE_INT32;
      const std::int32_t v = 6;
      std::memcpy(b, &v, 4);
      *n = 4;
      return abi::GC_ERR_SUCCESS;
    }
    case Mode::kSizet4: {
      *t = abi::INFO_DATATYPE_SIZET;
      const std::uint32_t v = 0x12345678;
      std::memcpy(b, &v, 4);
      *n = 4;
      return abi::GC_ERR_SUCCESS;
    }
    case Mode::kNegative: {
      *t = abi::INFO_DATATYPE_INT32;
      const std::int32_t v = -5;
      std::memcpy(b, &v, 4);
      *n = 4;
      return abi::GC_ERR_SUCCESS;
    }
    case Mode::kPtrNotWritten:
      *t = abi::INFO_DATATYPE_PTR;
      *n = sizeof(void*);
      return abi::GC_ERR_SUCCESS;
    case Mode::kText:
      return PutText("12", t, b, n);
    case Mode::kFails:
      g_last_code = abi::GC_ERR_IO;
      g_last_text = "cable unplugged";
      return abi::GC_ERR_IO;
    case Mode::kStaleText:
      g_last_code = abi::GC_ERR_TIMEOUT;
      g_last_text = "an old time-out";
      return abi::GC_ERR_IO;
  }
  return abi::GC_ERR_ERROR;
}

abi::GC_ERROR VISION_GC_CALLTYPE FakeGCGetLastError(abi::GC_ERROR* code, char* text,
                                                    std::size_t* size) {
  *code = g_last_code;
  if (!text) {
    *size = g_last_text.size() + 1;
    return abi::GC_ERR_SUCCESS;
  }
  if (*size < g_last_text.size() + 1) return abi::GC_ERR_BUFFER_TOO_SMALL;
  std::memcpy(text, g_last_text.c_str(), g_last_text.size() + 1);
  return abi::GC_ERR_SUCCESS;
}

abi::GC_ERROR VISION_GC_CALLTYPE FakeNothing() { return abi::GC_ERR_NOT_IMPLEMENTED; }

// Every required function set (to a do-nothing function of the right type where the test does
// not care), TLGetInfo and GCGetLastError the fakes above.
gentl::Functions FakeFunctions() {
  gentl::Functions f;
#define VISION_FAKE(name, minor, params) \
  if (minor == 0)                        \
    f.name = reinterpret_cast<abi::P##name>(reinterpret_cast<void (*)()>(&FakeNothing));
  VISION_GENTL_FUNCTIONS(VISION_FAKE)
#undef VISION_FAKE
  f.TLGetInfo = &FakeTLGetInfo;
  f.GCGetLastError = &FakeGCGetLastError;
  return f;
}

struct InfoCase {
  Mode mode;
  const char* expected;  // the text or number read, or a part of the error message
};

TEST(InfoProtocol, TextsAreReadBySizeThenDataAndNeverFromAFailedCall) {
  const gentl::Library lib("fake.cti", FakeFunctions());
  auto read = [&](Mode mode) {
    g_mode = mode;
    g_calls = 0;
    return gentl::InfoText(lib, "TLGetInfo", [&](abi::INFO_DATATYPE* t, void* b, std::size_t* n) {
      return GENTL_CALL(lib, TLGetInfo, nullptr, abi::TL_INFO_VENDOR, t, b, n);
    });
  };
  EXPECT_EQ(read(Mode::kGood), "camera maker");
  EXPECT_EQ(read(Mode::kGrows), "a much longer text");
  for (const InfoCase& c : {InfoCase{Mode::kTruncates, "GC_ERR_BUFFER_TOO_SMALL"},
                            InfoCase{Mode::kHugeSize, "3221225472 bytes"},
                            InfoCase{Mode::kFails, "GC_ERR_IO (-1010): cable unplugged"}}) {
    try {
      const std::string got = read(c.mode);
      ADD_FAILURE() << "read '" << got << "' instead of failing";
    } catch (const gentl::GenTLError& e) {
      EXPECT_TRUE(Contains(e.what(), c.expected)) << e.what();
      EXPECT_TRUE(Contains(e.what(), "fake.cti") && Contains(e.what(), "TLGetInfo")) << e.what();
      EXPECT_FALSE(Contains(e.what(), "JUNK")) << e.what();
    }
  }
  // A GCGetLastError text about an earlier failure is not passed off as this one's reason.
  try {
    read(Mode::kStaleText);
    ADD_FAILURE() << "no failure";
  } catch (const gentl::GenTLError& e) {
    EXPECT_EQ(e.Code(), abi::GC_ERR_IO);
    EXPECT_FALSE(Contains(e.what(), "old time-out")) << e.what();
  }
}

TEST(InfoProtocol, NumbersAreReadByTheTypeAndSizeTheProducerAnswers) {
  const gentl::Library lib("fake.cti", FakeFunctions());
  auto call = [&](abi::INFO_DATATYPE* t, void* b, std::size_t* n) {
    return GENTL_CALL(lib, TLGetInfo, nullptr, abi::TL_INFO_GENTL_VER_MINOR, t, b, n);
  };
  g_mode = Mode::kInt32;
  EXPECT_EQ(gentl::InfoUnsigned(lib, "TLGetInfo", call), 6u);
  g_mode = Mode::kSizet4;
  EXPECT_EQ(gentl::InfoUnsigned(lib, "TLGetInfo", call), 0x12345678u);
  g_mode = Mode::kPtrNotWritten;
  EXPECT_EQ(gentl::InfoUnsigned(lib, "TLGetInfo", call), 0u);  // zeroed slot, not garbage
  g_mode = Mode::kNegative;
  EXPECT_EQ(gentl::InfoSigned(lib, "TLGetInfo", call), -5);
  for (const InfoCase& c : {InfoCase{Mode::kNegative, "negative number -5"},
                            InfoCase{Mode::kText, "STRING where a number was expected"}}) {
    g_mode = c.mode;
    try {
      const auto v = gentl::InfoUnsigned(lib, "TLGetInfo", call);
      ADD_FAILURE() << "read " << v << " instead of failing";
    } catch (const gentl::GenTLError& e) {
      EXPECT_TRUE(Contains(e.what(), c.expected)) << e.what();
    }
  }
  g_mode = Mode::kText;
  EXPECT_FALSE(gentl::TryInfoUnsigned(call).has_value());
  g_mode = Mode::kFails;
  EXPECT_FALSE(gentl::TryInfoSigned(call).has_value());
}

TEST(InfoProtocol, ErrorNamesMatchTheirNumbers) {
  // Names and numbers side by side: a swapped pair in the table is caught here.
  const std::pair<abi::GC_ERROR, const char*> table[] = {{-1001, "GC_ERR_ERROR"},
                                                         {-1002, "GC_ERR_NOT_INITIALIZED"},
                                                         {-1003, "GC_ERR_NOT_IMPLEMENTED"},
                                                         {-1004, "GC_ERR_RESOURCE_IN_USE"},
                                                         {-1005, "GC_ERR_ACCESS_DENIED"},
                                                         {-1006, "GC_ERR_INVALID_HANDLE"},
                                                         {-1007, "GC_ERR_INVALID_ID"},
                                                         {-1008, "GC_ERR_NO_DATA"},
                                                         {-1009, "GC_ERR_INVALID_PARAMETER"},
                                                         {-1010, "GC_ERR_IO"},
                                                         {-1011, "GC_ERR_TIMEOUT"},
                                                         {-1012, "GC_ERR_ABORT"},
                                                         {-1013, "GC_ERR_INVALID_BUFFER"},
                                                         {-1014, "GC_ERR_NOT_AVAILABLE"},
                                                         {-1015, "GC_ERR_INVALID_ADDRESS"},
                                                         {-1016, "GC_ERR_BUFFER_TOO_SMALL"},
                                                         {-1017, "GC_ERR_INVALID_INDEX"},
                                                         {-1018, "GC_ERR_PARSING_CHUNK_DATA"},
                                                         {-1019, "GC_ERR_INVALID_VALUE"},
                                                         {-1020, "GC_ERR_RESOURCE_EXHAUSTED"},
                                                         {-1021, "GC_ERR_OUT_OF_MEMORY"},
                                                         {-1022, "GC_ERR_BUSY"},
                                                         {-1023, "GC_ERR_AMBIGUOUS"}};
  for (const auto& [code, name] : table) EXPECT_STREQ(gentl::ErrorName(code), name) << code;
  EXPECT_STREQ(gentl::ErrorName(-10005), "a producer-specific error");
}

// Producers without module descriptions (the fixtures export no port functions; the 1.0 one
// not even GCGetNumPortURLs) are listed from the GenTL info calls, each line saying why, and
// the listing of the others goes on.
TEST(ModuleReport, ProducersWithoutModuleDescriptionsFallBackToTheInfoCalls) {
  gentl::TransportConfig config;
  config.producer_files = {Fixture("fixture_a.cti"), Fixture("fixture_v10.cti")};
  auto iface = gentl::MakeTransportInterface(std::move(config));
  ASSERT_EQ(iface->Discover().size(), 4u);  // two devices each
  const auto lines = iface->ModuleReport();
  ASSERT_GE(lines.size(), 4u);
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  // The path as the line quotes it: on Windows its backslashes come out escaped.
  EXPECT_EQ(lines[0].rfind("system '", 0), 0u) << all;
  EXPECT_TRUE(Contains(lines[0], "fixture_a.cti' info_calls:'no module description")) << all;
  EXPECT_TRUE(Contains(lines[0], "TLModelName:'fixture A'")) << all;
  EXPECT_TRUE(Contains(all,
                       "info_calls:'no module description (GCGetNumPortURLs is not implemented)' "
                       "TLVendorName:'vision tests' TLModelName:'fixture 1.0' TLType:'Custom'\n"))
      << all;
  EXPECT_TRUE(Contains(all,
                       "device 0 info_calls:'the interface\\'s device list' "
                       "DeviceID:'fixture-dev-1'"))
      << all;
  EXPECT_TRUE(Contains(all, "DeviceID:'fixture-dev-2'")) << all;
  EXPECT_TRUE(Contains(all, "DeviceAccessStatus:'Busy'")) << all;
}

}  // namespace

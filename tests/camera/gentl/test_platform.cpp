// The platform layer (vision/src/platform) the consumer, the producer and the tests share: the
// environment with one meaning, the file a module was loaded from, loading a shared library
// (the fixture producers stand in for one), and UTF-8 <-> UTF-16 on Windows.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "env.h"
#include "gentl_shared/gentl_abi.h"
#include "platform/environment.h"
#include "platform/module.h"
#include "platform/shared_library.h"
#ifdef _WIN32
#include "platform/text.h"
#endif

namespace {

namespace platform = vision::platform;
const std::string kFixtures = GENTL_FIXTURE_DIR;

// Sets a variable to a value, or to nothing at all (which _putenv_s cannot: it removes it).
void SetEmpty(const char* name) {
#ifdef _WIN32
  SetEnvironmentVariableW(platform::Widen(name).c_str(), L"");
#else
  setenv(name, "", 1);
#endif
}

TEST(Platform, AVariableSetToNothingIsNotAnUnsetOne) {
  constexpr const char* kName = "VISION_PLATFORM_TEST_VARIABLE";
  visiontest::UnsetEnv(kName);
  EXPECT_EQ(platform::Environment(kName), std::nullopt);
  SetEmpty(kName);
  ASSERT_TRUE(platform::Environment(kName).has_value());
  EXPECT_EQ(*platform::Environment(kName), "");
  visiontest::SetEnv(kName, "width=320,height=240");
  EXPECT_EQ(platform::Environment(kName), "width=320,height=240");
#ifdef _WIN32
  // Read in UTF-16 from the process's environment and given as UTF-8.
  SetEnvironmentVariableW(L"VISION_PLATFORM_TEST_VARIABLE", L"caf\u00e9 \u65e5\u672c");
  EXPECT_EQ(platform::Environment(kName), "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac");
#endif
  visiontest::UnsetEnv(kName);
  EXPECT_EQ(platform::Environment(kName), std::nullopt);
}

int InThisProgram() { return 1; }

TEST(Platform, AModulesFileIsFoundFromAnAddressInIt) {
  // This program: the folder holding the test executable.
  const std::string folder = platform::ModuleFolder(reinterpret_cast<const void*>(&InThisProgram));
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(folder))) << folder;
  const std::string file = platform::ModuleFile(reinterpret_cast<const void*>(&InThisProgram));
  EXPECT_NE(file.find("test_"), std::string::npos) << file;
  // A loaded library: its own file, not the program's.
  const platform::SharedLibrary lib(kFixtures + "/fixture_a.cti");
  const auto init = lib.Symbol<vision::gentl::PGCInitLib>("GCInitLib");
  ASSERT_NE(init, nullptr);
  const std::string where = platform::ModuleFile(reinterpret_cast<const void*>(init));
  EXPECT_NE(where.find("fixture_a.cti"), std::string::npos) << where;
  EXPECT_EQ(std::filesystem::path(
                std::filesystem::path(platform::ModuleFolder(reinterpret_cast<const void*>(init))))
                .filename(),
            "producers");
}

TEST(Platform, SharedLibrariesLoadByPathAndTellWhatTheyLack) {
  platform::SharedLibrary lib(kFixtures + "/fixture_b.cti",
                              platform::SharedLibrary::Binding::kOwnFirst);
  EXPECT_NE(lib.Symbol("GCGetInfo"), nullptr);
  EXPECT_EQ(lib.Symbol("NoSuchFunction"), nullptr);
  // Moved, the library stays loaded in its new owner.
  platform::SharedLibrary moved(std::move(lib));
  EXPECT_NE(moved.Symbol("GCGetInfo"), nullptr);
  try {
    platform::SharedLibrary missing(kFixtures + "/no_such_file.cti");
    ADD_FAILURE() << "a missing file loaded";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("cannot be loaded: ", 0), 0u) << e.what();
  }
}

#ifdef _WIN32
TEST(Platform, TextsWidenAndNarrowWithoutLoss) {
  const std::string utf8 = "Kamera \xc3\xa4\xc3\xb6\xc3\xbc \xe2\x82\xac \xf0\x9f\x93\xb7";
  const std::wstring wide = platform::Widen(utf8);
  EXPECT_EQ(wide, L"Kamera \u00e4\u00f6\u00fc \u20ac \U0001F4F7");
  EXPECT_EQ(platform::Narrow(wide), utf8);
  EXPECT_EQ(platform::Widen(""), L"");
  EXPECT_EQ(platform::Narrow(L""), "");
  // Plain ASCII is the same in the local code page.
  EXPECT_EQ(platform::Narrow(platform::Widen("abc", platform::Encoding::kLocal),
                             platform::Encoding::kLocal),
            "abc");
}
#endif

}  // namespace

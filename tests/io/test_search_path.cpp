// Where ReadImage looks for a name: the working directory, "image_dir", VISION_IMAGE_DIR, then
// the bundled images; each with the name as given and with the known extensions.
#include <stdlib.h>
#include <unistd.h>

#include "env.h"
#include "io/files.h"
#include "io_test_util.h"
#include "platform/environment.h"

using namespace vision;
using iotest::ErrorOf;
using iotest::TempDir;

namespace {

// Writes a w x 1 grey image: the width tells which copy was read.
void Marker(const std::string& path, int width) {
  std::vector<std::uint8_t> px(std::size_t(width), 7);
  HObject image;
  GenImage1(&image, "byte", width, 1, px.data());
  // Written under a name with an extension, then renamed to exactly path.
  WriteImage(image, "pgm", 0, (path + ".tmp.pgm").c_str());
  std::filesystem::rename(path + ".tmp.pgm", path);
}

Hlong WidthOf(const char* name) {
  HObject image;
  ReadImage(&image, name);
  HTuple w, h;
  GetImageSize(image, &w, &h);
  return w.L();
}

// Runs the test body inside dir as the working directory, with clean settings, and restores
// everything afterwards.
class SearchPath : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(cwd_.Str());
    const auto env = vision::platform::Environment("VISION_IMAGE_DIR");
    old_env_ = env.value_or("");
    had_env_ = env.has_value();
    visiontest::UnsetEnv("VISION_IMAGE_DIR");
    SetSystem("image_dir", "");
  }
  void TearDown() override {
    std::filesystem::current_path(old_cwd_);
    if (had_env_)
      visiontest::SetEnv("VISION_IMAGE_DIR", old_env_.c_str());
    else
      visiontest::UnsetEnv("VISION_IMAGE_DIR");
    SetSystem("image_dir", "");
    for (const auto& f : bundled_files_) std::filesystem::remove(f);
    if (!bundled_files_.empty()) {
      std::error_code ec;  // the folder goes too unless something else is in it
      std::filesystem::remove(std::filesystem::path(io::BundledImageDir()) / "vision_test", ec);
    }
  }
  std::string Bundled(const std::string& name) {
    const std::string dir = io::BundledImageDir();
    std::filesystem::create_directories(std::filesystem::path(dir) / "vision_test");
    const std::string path = dir + "/vision_test/" + name;
    bundled_files_.push_back(path);
    return path;
  }

  TempDir cwd_, image_dir_, env_dir_a_, env_dir_b_;
  std::filesystem::path old_cwd_;
  std::string old_env_;
  bool had_env_ = false;
  std::vector<std::string> bundled_files_;
};

}  // namespace

TEST_F(SearchPath, EarlierPlacesWinOverLaterOnes) {
  const std::string name = "probe_" + std::to_string(getpid());
  std::filesystem::create_directories(cwd_ / "sub");
  std::filesystem::create_directories(image_dir_ / "sub");
  std::filesystem::create_directories(env_dir_b_ / "sub");
  Marker(Bundled(name + ".pgm"), 4);
  const std::string rel = "vision_test/" + name;
  EXPECT_EQ(WidthOf(rel.c_str()), 4);  // only bundled

  Marker(env_dir_b_ / ("vision_test_" + name + ".pgm"), 1);
  std::filesystem::create_directories(env_dir_b_ / "vision_test");
  Marker(env_dir_b_ / ("vision_test/" + name + ".pgm"), 3);
  const std::string env = env_dir_a_.Str() + visiontest::kPathSeparator + env_dir_b_.Str();
  visiontest::SetEnv("VISION_IMAGE_DIR", env.c_str());
  EXPECT_EQ(WidthOf(rel.c_str()), 3);  // the environment before the bundled images

  std::filesystem::create_directories(image_dir_ / "vision_test");
  Marker(image_dir_ / ("vision_test/" + name + ".pgm"), 2);
  SetSystem("image_dir",
            ("/nonexistent" + std::string(visiontest::kPathSeparator) + image_dir_.Str()).c_str());
  EXPECT_EQ(WidthOf(rel.c_str()), 2);  // "image_dir" before the environment

  std::filesystem::create_directories(cwd_ / "vision_test");
  Marker(cwd_ / ("vision_test/" + name + ".pgm"), 1);
  EXPECT_EQ(WidthOf(rel.c_str()), 1);  // the working directory first
}

TEST_F(SearchPath, NameAsGivenComesBeforeAddedExtensions) {
  Marker(cwd_ / "pic.png", 5);  // a PGM despite its name
  Marker(cwd_ / "pic", 6);
  Marker(cwd_ / "pic.png.tif", 7);
  EXPECT_EQ(WidthOf("pic"), 6);
  EXPECT_EQ(WidthOf("pic.png"), 5);
  std::filesystem::remove(cwd_ / "pic");
  EXPECT_EQ(WidthOf("pic"), 5);  // .png is tried before .tif
  Marker(cwd_ / "other.jpeg", 8);
  EXPECT_EQ(WidthOf("other"), 8);
  EXPECT_EQ(WidthOf((cwd_ / "other").c_str()), 8);  // absolute
}

TEST_F(SearchPath, MissingFileNamesItAndThePlacesTried) {
  visiontest::SetEnv("VISION_IMAGE_DIR", env_dir_a_.Str().c_str());
  SetSystem("image_dir", image_dir_.Str().c_str());
  try {
    HObject image;
    ReadImage(&image, "smd/no_such_image");
    FAIL() << "no exception";
  } catch (const HException& e) {
    EXPECT_EQ(e.ErrorCode(), err::kFileNotFound);
    const std::string msg = e.ErrorMessage().Str();
    EXPECT_NE(msg.find("smd/no_such_image"), std::string::npos) << msg;
    EXPECT_NE(msg.find(image_dir_.Str()), std::string::npos) << msg;
    EXPECT_NE(msg.find(env_dir_a_.Str()), std::string::npos) << msg;
    EXPECT_NE(msg.find(io::BundledImageDir()), std::string::npos) << msg;
    EXPECT_NE(msg.find("working directory"), std::string::npos) << msg;
    EXPECT_LT(msg.find(image_dir_.Str()), msg.find(env_dir_a_.Str())) << msg;
  }
}

TEST(BundledImages, BuildTreeDirectoryWhileRunningFromTheBuildTree) {
  // This test binary runs against the library in the build tree.
  const std::string dir = io::BundledImageDir();
  EXPECT_NE(dir.find("share/vision/images"), std::string::npos) << dir;
  EXPECT_TRUE(std::filesystem::is_directory(dir)) << dir;
}

// File names that do not name an image file: an embedded NUL, a folder, a FIFO, a device. Each is
// refused with an error that says what the name is, and nothing blocks or writes elsewhere.
#include <chrono>
#include <future>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "io_test_util.h"
#include "text_match.h"

using namespace vision;
using iotest::ErrorOf;
using iotest::Pattern;
using iotest::TempDir;

namespace {

// The exception a call raises; fails the test when it raises none.
HException Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const HException& e) {
    return e;
  }
  ADD_FAILURE() << "no HException";
  return HException(0, "", "");
}

bool Contains(const HException& e, const std::string& text) {
  return visiontest::Contains(e.ErrorMessage().Str(), text);
}

}  // namespace

TEST(FileNames, AnEmbeddedNulIsRefusedInEveryFileOperator) {
  TempDir dir;
  WriteImage(Pattern(4, 3, 1), "png", 0, (dir / "a.png").c_str());
  const std::string hidden = (dir / "a.png") + std::string("\0junk", 5);
  HObject image;
  HException e = Raised([&] { ReadImage(&image, HTuple(hidden)); });
  EXPECT_EQ(e.ErrorCode(), err::kWrongParamValue);
  EXPECT_TRUE(Contains(e, "a.png\\0junk")) << e.what();
  EXPECT_TRUE(Contains(e, "NUL")) << e.what();
  // Within a list of names, before any file is read.
  e = Raised([&] { ReadImage(&image, HTuple((dir / "a.png").c_str()).Append(HTuple(hidden))); });
  EXPECT_EQ(e.ErrorCode(), err::kWrongParamValue);

  const std::string target = (dir / "b.png") + std::string("\0.txt", 5);
  e = Raised([&] { WriteImage(Pattern(4, 3, 1), "png", 0, HTuple(target)); });
  EXPECT_EQ(e.ErrorCode(), err::kWrongParamValue);
  EXPECT_FALSE(std::filesystem::exists(dir / "b.png"));
}

TEST(FileNames, AFolderIsReportedAsAFolderAndNeverWrittenInto) {
  TempDir dir;
  std::filesystem::create_directories(dir / "folder");
  HObject image;
  HException e = Raised([&] { ReadImage(&image, (dir / "folder").c_str()); });
  EXPECT_EQ(e.ErrorCode(), err::kFileRead);
  EXPECT_TRUE(Contains(e, "is a directory")) << e.what();
  EXPECT_EQ(e.ProcName().Str(), "ReadImage");

  // "folder/" would otherwise become the hidden file "folder/.png".
  for (const char* format : {"png", "tiff", "bmp"}) {
    e = Raised([&] { WriteImage(Pattern(4, 3, 1), format, 0, (dir / "folder/").c_str()); });
    EXPECT_EQ(e.ErrorCode(), err::kWrongParamValue) << format;
    EXPECT_TRUE(Contains(e, "folder")) << e.what();
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir / "folder"));
  // A name that is a folder and has an extension: the folder is not replaced.
  std::filesystem::create_directories(dir / "dir.png");
  e = Raised([&] { WriteImage(Pattern(4, 3, 1), "png", 0, (dir / "dir.png").c_str()); });
  EXPECT_EQ(e.ErrorCode(), err::kFileWrite);
  EXPECT_TRUE(Contains(e, "is a directory")) << e.what();
  EXPECT_TRUE(std::filesystem::is_directory(dir / "dir.png"));
}

TEST(FileNames, ADeviceIsReportedAsADevice) {
#ifdef _WIN32
  const char* device = "NUL";
#else
  const char* device = "/dev/null";
#endif
  HObject image;
  HException e = Raised([&] { ReadImage(&image, device); });
  EXPECT_EQ(e.ErrorCode(), err::kFileRead) << e.what();
  EXPECT_TRUE(Contains(e, "device")) << e.what();
}

#ifndef _WIN32
// ReadImage and WriteImage on a FIFO with nobody at the other end: refused at once. Were they to
// block, the test opens the other end after a minute so the call returns and the failure shows.
TEST(FileNames, AFifoIsRefusedWithoutBlocking) {
  TempDir dir;
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto refused = [&](const std::function<void()>& call, std::uint32_t code, int other_end) {
    auto done = std::async(std::launch::async, [&] { return Raised(call); });
    int fd = -1;
    if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      ADD_FAILURE() << "blocked on the FIFO";
      fd = ::open(fifo.c_str(), other_end | O_NONBLOCK);
    }
    const HException e = done.get();
    if (fd >= 0) ::close(fd);
    EXPECT_EQ(e.ErrorCode(), code) << e.what();
    EXPECT_TRUE(Contains(e, "FIFO")) << e.what();
  };
  HObject image;
  refused([&] { ReadImage(&image, fifo.c_str()); }, err::kFileRead, O_WRONLY);
  const std::string out = dir / "out.png";
  ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
  refused([&] { WriteImage(Pattern(4, 3, 1), "png", 0, out.c_str()); }, err::kFileWrite, O_RDONLY);
  // Found by adding the extension.
  refused([&] { WriteImage(Pattern(4, 3, 1), "png", 0, (dir / "out").c_str()); }, err::kFileWrite,
          O_RDONLY);
}
#endif

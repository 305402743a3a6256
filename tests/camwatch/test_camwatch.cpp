// camwatch against the simulated camera on a private Xvfb, driven with xdotool the way a user
// would: the window, its title and contents, the pointer leaving it, a click ending the loop,
// and the failures that end the tool early.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "xtest.h"

using namespace std::chrono_literals;

#ifndef CAMWATCH_PATH
#error "CAMWATCH_PATH must name the camwatch program"
#endif

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// camwatch running in the background with its output in files.
class Camwatch {
 public:
  // env: "NAME=value" entries set for the child; a "NAME" alone removes NAME.
  explicit Camwatch(const std::vector<std::string>& env) {
    out_path_ = dir_ / "stdout";
    err_path_ = dir_ / "stderr";
    const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      xtest::DieWithParent(parent);
      dup2(out, 1);
      dup2(err, 2);
      for (const auto& e : env) {
        const auto eq = e.find('=');
        if (eq == std::string::npos) {
          unsetenv(e.c_str());
        } else {
          setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
      }
      execl(CAMWATCH_PATH, "camwatch", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out);
    close(err);
  }
  ~Camwatch() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool Running() {
    if (exited_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = status;
    }
    return !exited_;
  }
  // Waits for the end; returns the exit status, or -1 on a signal or time-out.
  int Wait(std::chrono::milliseconds timeout = 15s) {
    xtest::WaitFor([&] { return !Running(); }, timeout);
    if (!exited_) return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  bool Signalled() const { return exited_ && WIFSIGNALED(status_); }
  std::string Out() const { return ReadFile(out_path_); }
  std::string Err() const { return ReadFile(err_path_); }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  visiontest::TempDir dir_;  // the output files, removed with it
  std::string out_path_, err_path_;
};

std::string Title(int w, int h) {
  return "zel live view (" + std::to_string(w) + "x" + std::to_string(h) +
         ")  (Click into window to quit ...)";
}

std::string Header(int w, int h) {
  return "---> LINUX PLATFORM \n"
         "---> [ OpenFramegrabber ( GenICamTL ) ...\n"
         "\n---> OpenFramegrabber ... ]\n"
         "---> image_width: " +
         std::to_string(w) + " image_heigth: " + std::to_string(h) +
         "\n"
         "---> SetFramegrabberParam ... Software Trigger Off\n"
         "---> SetFramegrabberParam ... grab_timeout: 5000 \n";
}

std::string Camera(int w, int h, const std::string& extra = "") {
  return "VISION_FAKE_CAMERA=1,width=" + std::to_string(w) + ",height=" + std::to_string(h) + extra;
}

class CamwatchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new xtest::Xvfb("2560x1600x24"); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  std::string Display() const { return "DISPLAY=" + server_->name(); }

  // Runs camwatch on a w x h camera until its window shows the scene; checks the window.
  void LiveViewUntilClick(int w, int h) {
    xtest::Client client(server_->name());
    Camwatch tool({Display(), Camera(w, h)});
    const auto id = client.WaitForTitle("zel live view");
    ASSERT_TRUE(id) << "no window; output:\n" << tool.Out() << tool.Err();
    EXPECT_EQ(client.Name(*id), Title(w, h));
    const XWindowAttributes a = client.Attributes(*id);
    EXPECT_EQ(a.width, w);
    EXPECT_EQ(a.height, h);

    // The camera's scene, not the black background: many distinct grey levels.
    std::set<std::uint32_t> values;
    EXPECT_TRUE(xtest::WaitFor([&] {
      values.clear();
      const auto pixels = client.Pixels(*id);
      for (std::size_t i = 0; i < pixels.size(); i += 97) values.insert(pixels[i]);
      return values.size() > 16;
    })) << "window shows only "
        << values.size() << " distinct values";

    // The pointer outside the window: no output, the loop goes on.
    const std::string before = tool.Out();
    ASSERT_EQ(xtest::Xdotool(server_->name(), "mousemove 2500 1550"), 0);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(tool.Running());
    EXPECT_EQ(tool.Out(), before);
    EXPECT_EQ(tool.Err(), "");

    // One quick click (press and release at once) ends it.
    ASSERT_EQ(xtest::Xdotool(server_->name(),
                             "mousemove --window " + std::to_string(*id) + " 20 20 click 1"),
              0);
    EXPECT_EQ(tool.Wait(), 0) << tool.Err();
    EXPECT_EQ(tool.Out(), Header(w, h) +
                              "---> open window ... \n"
                              "Click into window to quit ...\n"
                              "---> exiting.\n"
                              "\n"
                              "---> CloseFramegrabber!\n");
    EXPECT_EQ(tool.Err(), "");
  }

  static xtest::Xvfb* server_;
};
xtest::Xvfb* CamwatchTest::server_ = nullptr;

TEST_F(CamwatchTest, LiveView640x480EndsOnOneQuickClick) { LiveViewUntilClick(640, 480); }

TEST_F(CamwatchTest, LiveView1920x1200GetsAWindowOfThatSize) { LiveViewUntilClick(1920, 1200); }

TEST_F(CamwatchTest, RejectedTriggerModeIsReportedWithoutOpeningAWindow) {
  xtest::Client client(server_->name());
  // Watch the root window for any window being created.
  XSelectInput(client.dpy(), DefaultRootWindow(client.dpy()), SubstructureNotifyMask);
  XSync(client.dpy(), False);
  Camwatch tool({Display(), Camera(640, 480, ",reject=TriggerMode")});
  const int status = tool.Wait();
  const std::string out = tool.Out();
  const std::string report =
      Header(640, 480).substr(0, Header(640, 480).rfind("---> SetFramegrabberParam ... grab"));
  ASSERT_EQ(out.rfind(report, 0), 0u) << out;
  std::istringstream rest(out.substr(report.size()));
  std::string line, cause, close_line, extra;
  std::getline(rest, line);
  std::getline(rest, cause);
  std::getline(rest, close_line);
  EXPECT_EQ(line, "---> TriggerMode failed!");
  EXPECT_EQ(cause.rfind("---> Cause: ", 0), 0u) << cause;
  const auto open = cause.rfind("(vision error ");
  ASSERT_NE(open, std::string::npos) << cause;
  EXPECT_NE(cause[open - 1], ' ') << "no blank before the code: " << cause;
  const unsigned long code = std::stoul(cause.substr(open + 14));
  EXPECT_EQ(cause.back(), ')');
  EXPECT_EQ(close_line, "---> CloseFramegrabber!");
  EXPECT_FALSE(std::getline(rest, extra)) << "output after the report: " << extra;
  EXPECT_EQ(status, code % 256 == 0 ? 1 : static_cast<int>(code % 256));
  EXPECT_NE(status, 0);
  XSync(client.dpy(), False);
  int created = 0;
  while (XPending(client.dpy())) {
    XEvent ev;
    XNextEvent(client.dpy(), &ev);
    created += ev.type == CreateNotify;
  }
  EXPECT_EQ(created, 0) << "a window was opened";
}

TEST_F(CamwatchTest, NoDisplayEndsWithAnErrorLineAndNonZeroStatus) {
  for (const std::string display : {"DISPLAY", "DISPLAY=:4999"}) {
    Camwatch tool({display, Camera(640, 480)});
    const int status = tool.Wait();
    EXPECT_NE(status, 0);
    EXPECT_FALSE(tool.Signalled());
    const std::string err = tool.Err();
    EXPECT_EQ(err.rfind("  Error #5101 in OpenWindow: ", 0), 0u) << err;
    EXPECT_NE(err.find("DISPLAY"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(tool.Out(), Header(640, 480) + "---> open window ... \n");
  }
}

TEST_F(CamwatchTest, CameraLostInTheLoopEndsWithAnErrorLine) {
  Camwatch tool({Display(), Camera(320, 240, ",lose_after=5")});
  const int status = tool.Wait(20s);
  EXPECT_NE(status, 0);
  EXPECT_FALSE(tool.Signalled());
  const std::string err = tool.Err();
  EXPECT_EQ(err.rfind("  Error #", 0), 0u) << err;
  EXPECT_NE(err.find(" in GrabImageAsync: "), std::string::npos) << err;
  EXPECT_EQ(tool.Out(), Header(320, 240) +
                            "---> open window ... \n"
                            "Click into window to quit ...\n");
}

TEST_F(CamwatchTest, WindowClosedByTheWindowManagerEndsInOrder) {
  xtest::Client client(server_->name());
  Camwatch tool({Display(), Camera(320, 240)});
  const auto id = client.WaitForTitle("zel live view");
  ASSERT_TRUE(id);
  client.SendDeleteWindow(*id);
  const int status = tool.Wait();
  EXPECT_NE(status, 0);
  EXPECT_FALSE(tool.Signalled());
  EXPECT_EQ(tool.Err().rfind("  Error #5102 in DispImage: ", 0), 0u) << tool.Err();
}

}  // namespace

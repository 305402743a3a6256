// Helpers for tests that need a real X server: a private Xvfb, a client connection to look at
// windows the way a user or a window manager would, and xdotool for pointer input.
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace xtest {

// For a child between fork and exec: it is killed when the test process dies, however that
// happens (a crash, a time-out kill), so no server or tool is left running behind a test.
inline void DieWithParent(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);  // the parent died before prctl
}

// An Xvfb on the first free display number (it picks and reports the number itself, so tests
// running side by side never collide). Stopped when this object goes.
class Xvfb {
 public:
  // tcp: also listen on TCP (loopback clients reach it as "localhost:<n>").
  explicit Xvfb(const char* screen = "2560x1600x24", bool tcp = false) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      DieWithParent(parent);
      close(fds[0]);
      // Its notes on display numbers already taken are noise in the test log.
      const int null_fd = open("/dev/null", O_WRONLY);
      if (null_fd >= 0) dup2(null_fd, 2);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen,
             tcp ? "-listen" : "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char c;
      const ssize_t n = read(fds[0], &c, 1);
      if (n <= 0 || c == '\n') break;
      number += c;
    }
    close(fds[0]);
    if (number.empty()) {
      Stop();
      throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
    }
    name_ = ":" + number;
  }
  ~Xvfb() { Stop(); }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  const std::string& name() const { return name_; }

 private:
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }
  pid_t pid_ = -1;
  std::string name_;
};

// Polls cond every 20 ms until it holds or timeout passes; returns whether it held.
template <class Cond>
bool WaitFor(Cond cond, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Errors on the test's own connections are ignored: a window it looks at may be destroyed by its
// owner between listing and querying it (BadWindow), which Xlib's default handler would turn into
// the end of the test process. Errors on any other connection (the library's) go on to the
// handler that was installed before, whichever order the two were installed in.
namespace detail {
inline std::mutex client_mutex;
inline std::vector<Display*> client_displays;
inline XErrorHandler previous_handler = nullptr;
inline int OnClientError(Display* display, XErrorEvent* event) {
  {
    std::lock_guard lock(client_mutex);
    for (Display* d : client_displays)
      if (d == display) return 0;
  }
  return previous_handler ? previous_handler(display, event) : 0;
}
}  // namespace detail

// A client connection of the test's own.
class Client {
 public:
  explicit Client(const std::string& display) {
    static std::once_flag once;
    std::call_once(once,
                   [] { detail::previous_handler = XSetErrorHandler(detail::OnClientError); });
    dpy_ = XOpenDisplay(display.c_str());
    if (dpy_ == nullptr) throw std::runtime_error("cannot connect to " + display);
    std::lock_guard lock(detail::client_mutex);
    detail::client_displays.push_back(dpy_);
  }
  ~Client() {
    if (!dpy_) return;
    XCloseDisplay(dpy_);
    std::lock_guard lock(detail::client_mutex);
    std::erase(detail::client_displays, dpy_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  Display* dpy() const { return dpy_; }

  // The WM_NAME of a window ("" when it has none).
  std::string Name(Window w) {
    XTextProperty prop{};
    std::string out;
    if (XGetWMName(dpy_, w, &prop) && prop.value) {
      out.assign(reinterpret_cast<char*>(prop.value), prop.nitems);
      XFree(prop.value);
    }
    return out;
  }
  std::string Utf8Name(Window w) {
    Atom type;
    int format;
    unsigned long n, after;
    unsigned char* data = nullptr;
    std::string out;
    if (XGetWindowProperty(dpy_, w, XInternAtom(dpy_, "_NET_WM_NAME", False), 0, 1024, False,
                           XInternAtom(dpy_, "UTF8_STRING", False), &type, &format, &n, &after,
                           &data) == Success &&
        data) {
      out.assign(reinterpret_cast<char*>(data), n);
      XFree(data);
    }
    return out;
  }

  // The top-level windows whose title starts with prefix.
  std::vector<Window> FindByTitle(const std::string& prefix) {
    std::vector<Window> found;
    Window root_ret, parent;
    Window* children = nullptr;
    unsigned int n = 0;
    XSync(dpy_, False);
    if (XQueryTree(dpy_, DefaultRootWindow(dpy_), &root_ret, &parent, &children, &n)) {
      for (unsigned i = 0; i < n; ++i) {
        if (Name(children[i]).rfind(prefix, 0) == 0) found.push_back(children[i]);
      }
      if (children) XFree(children);
    }
    return found;
  }
  std::optional<Window> WaitForTitle(const std::string& prefix,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::optional<Window> w;
    WaitFor(
        [&] {
          auto all = FindByTitle(prefix);
          if (!all.empty()) w = all.front();
          return w.has_value();
        },
        timeout);
    return w;
  }

  XWindowAttributes Attributes(Window w) {
    XWindowAttributes a{};
    XGetWindowAttributes(dpy_, w, &a);
    return a;
  }

  // The window's pixels as 0x00RRGGBB (assumes Xvfb's 24-bit true-colour visual).
  std::vector<std::uint32_t> Pixels(Window w, int* width = nullptr, int* height = nullptr) {
    const XWindowAttributes a = Attributes(w);
    std::vector<std::uint32_t> out;
    XImage* image = XGetImage(dpy_, w, 0, 0, static_cast<unsigned>(a.width),
                              static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
    if (image == nullptr) return out;
    out.resize(std::size_t(a.width) * std::size_t(a.height));
    for (int y = 0; y < a.height; ++y) {
      for (int x = 0; x < a.width; ++x) {
        out[std::size_t(y) * std::size_t(a.width) + std::size_t(x)] =
            static_cast<std::uint32_t>(XGetPixel(image, x, y) & 0xffffff);
      }
    }
    XDestroyImage(image);
    if (width) *width = a.width;
    if (height) *height = a.height;
    return out;
  }

  // What a window manager does when the user closes a window.
  void SendDeleteWindow(Window w) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(dpy_, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy_, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy_, w, False, NoEventMask, &ev);
    XSync(dpy_, False);
  }

 private:
  Display* dpy_ = nullptr;
};

// Runs xdotool with the given arguments on display; returns its exit status.
inline int Xdotool(const std::string& display, const std::string& args) {
  const std::string cmd = "DISPLAY=" + display + " xdotool " + args + " >/dev/null 2>&1";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

}  // namespace xtest

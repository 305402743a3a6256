// Windows on X11 (Linux): Xlib, with images handed over through MIT-SHM shared memory where the
// X server can reach our memory, and sent in the request stream (XPutImage) where it cannot (a
// remote display, no extension, shared memory refused).
//
// Each window has a display connection of its own. Every Xlib call on it is made with the
// window's mutex held, by the caller's thread or by the window's event thread (when
// "use_window_thread" was on at opening), so the two never interleave.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "detail/error.h"
#include "platform/environment.h"
#include "vision/HErrorCodes.h"
#include "window/window.h"

namespace vision::detail {

namespace {

class X11Window;

// Xlib reports protocol errors (a request on a window someone else destroyed, a refused
// shared-memory attach) and a lost connection through process-wide handlers whose defaults end
// the process. Ours record the error on the window whose connection it came from and let the
// operation fail with an HException; errors on connections that are not ours go to the handler
// that was installed before.
std::mutex g_registry_mutex;
std::vector<X11Window*> g_registry;  // guarded by g_registry_mutex
XErrorHandler g_previous_error_handler = nullptr;
XIOErrorHandler g_previous_io_handler = nullptr;
std::once_flag g_handlers_once;

int OnXError(Display* display, XErrorEvent* event);
int OnXIOError(Display* display);
void OnXIOErrorExit(Display* display, void* window);

std::uint32_t ButtonMaskOf(unsigned int x_button) {
  switch (x_button) {
    case Button1:
      return 1;
    case Button2:
      return 2;
    case Button3:
      return 4;
    default:
      return 0;  // wheel and extra buttons
  }
}

class X11Window final : public WindowBackend {
 public:
  explicit X11Window(const WindowSpec& setup) : spec_(setup) {
    const std::string env = platform::Environment("DISPLAY").value_or("");
    if (env.empty()) {
      Fail(err::kNoDisplay, "OpenWindow",
           "no display to open a window on: the DISPLAY environment variable is not set");
    }
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) {
      Fail(err::kNoDisplay, "OpenWindow",
           "cannot connect to the X display '" + env +
               "' (DISPLAY): no X server answers there or it refused the connection");
    }
    std::call_once(g_handlers_once, [] {
      g_previous_error_handler = XSetErrorHandler(OnXError);
      g_previous_io_handler = XSetIOErrorHandler(OnXIOError);
    });
    {
      std::lock_guard lock(g_registry_mutex);
      g_registry.push_back(this);
    }
    XSetIOErrorExitHandler(display_, OnXIOErrorExit, this);
    try {
      CreateWindow();
      CreateImage();
    } catch (...) {
      Release();
      throw;
    }
    if (spec_.use_thread) {
      if (pipe(wake_) != 0) {
        Release();
        Fail(err::kWindowSystem, "OpenWindow", "cannot create the window thread's wake-up pipe");
      }
      fcntl(wake_[0], F_SETFD, FD_CLOEXEC);
      fcntl(wake_[1], F_SETFD, FD_CLOEXEC);
      thread_ = std::thread([this] { EventLoop(); });
    }
  }

  ~X11Window() override {
    if (thread_.joinable()) {
      const char stop = 1;
      [[maybe_unused]] const ssize_t n = write(wake_[1], &stop, 1);
      thread_.join();
    }
    if (wake_[0] >= 0) close(wake_[0]), close(wake_[1]);
    Release();
  }

  void Present(const std::function<void(const Canvas&)>& draw) override {
    std::lock_guard lock(mutex_);
    Drain();
    CheckOpen("DispImage");
    if (direct_) {
      draw(Canvas{reinterpret_cast<std::uint32_t*>(image_->data), spec_.width, spec_.height,
                  image_->bytes_per_line / 4});
    } else {
      draw(Canvas{staging_.data(), spec_.width, spec_.height, spec_.width});
      for (int y = 0; y < spec_.height; ++y) {
        for (int x = 0; x < spec_.width; ++x) {
          XPutPixel(image_, x, y, PixelOf(staging_[std::size_t(y) * spec_.width + x]));
        }
      }
    }
    has_image_ = true;
    PutImage(0, 0, spec_.width, spec_.height);
    // Wait until the server has the pixels: the next frame may then reuse the buffer, and a
    // fast producer cannot queue up frames faster than the server shows them.
    XSync(display_, False);
    Drain();
    CheckOpen("DispImage");
  }

  PointerState Pointer() override {
    std::lock_guard lock(mutex_);
    Drain();
    CheckOpen("GetMposition");
    PointerState state;
    if (latched_ != 0) {
      // A press is reported once, where it happened, even if the button is up again or the
      // pointer has left the window since.
      state = PointerState{press_row_, press_column_, Hlong{latched_}};
      latched_ = 0;
      return state;
    }
    Window root = 0, child = 0;
    int root_x = 0, root_y = 0, x = 0, y = 0;
    unsigned int mask = 0;
    const Bool same_screen =
        XQueryPointer(display_, window_, &root, &child, &root_x, &root_y, &x, &y, &mask);
    Drain();
    CheckOpen("GetMposition");
    if (latched_ != 0) {
      // The press arrived before the server's answer, so it came first.
      state = PointerState{press_row_, press_column_, Hlong{latched_}};
      latched_ = 0;
      return state;
    }
    if (!same_screen || x < 0 || y < 0 || x >= spec_.width || y >= spec_.height) {
      Fail(err::kPointerOutside, "GetMposition",
           same_screen ? "the pointer is outside the window (at row " + std::to_string(y) +
                             ", column " + std::to_string(x) + " in window coordinates)"
                       : std::string("the pointer is on another screen than the window"));
    }
    state.row = y;
    state.column = x;
    state.button = ((mask & Button1Mask) ? 1 : 0) | ((mask & Button2Mask) ? 2 : 0) |
                   ((mask & Button3Mask) ? 4 : 0);
    return state;
  }

  bool IsOpen() override {
    std::lock_guard lock(mutex_);
    Drain();
    return !closed_ && !dead_;
  }

  bool UsesSharedMemory() const override { return shm_attached_; }

  // Called from the process-wide handlers.
  Display* display() const { return display_; }
  void RecordError(int code) { last_error_ = code; }
  void MarkDead() { dead_ = true; }

 private:
  void CreateWindow() {
    const int screen = DefaultScreen(display_);
    visual_ = DefaultVisual(display_, screen);
    depth_ = DefaultDepth(display_, screen);
    if (visual_->c_class != TrueColor && visual_->c_class != DirectColor) {
      Fail(err::kWindowSystem, "OpenWindow",
           "the X display's default visual is not a true-colour visual (depth " +
               std::to_string(depth_) + "); only true-colour displays are supported");
    }
    shift_r_ = std::countr_zero(visual_->red_mask);
    shift_g_ = std::countr_zero(visual_->green_mask);
    shift_b_ = std::countr_zero(visual_->blue_mask);
    bits_r_ = std::popcount(visual_->red_mask);
    bits_g_ = std::popcount(visual_->green_mask);
    bits_b_ = std::popcount(visual_->blue_mask);

    XSetWindowAttributes attributes{};
    attributes.background_pixel = PixelOf(spec_.background);
    attributes.border_pixel = 0;
    attributes.bit_gravity = NorthWestGravity;
    attributes.event_mask = ExposureMask | ButtonPressMask | StructureNotifyMask;
    window_ = XCreateWindow(display_, RootWindow(display_, screen), spec_.column, spec_.row,
                            static_cast<unsigned>(spec_.width), static_cast<unsigned>(spec_.height),
                            0, depth_, InputOutput, visual_,
                            CWBackPixel | CWBorderPixel | CWBitGravity | CWEventMask, &attributes);

    // The window manager must keep the drawable area exactly this size and place it as asked.
    XSizeHints* hints = XAllocSizeHints();
    if (hints != nullptr) {
      hints->flags = USPosition | PPosition | USSize | PSize | PMinSize | PMaxSize;
      hints->x = spec_.column;
      hints->y = spec_.row;
      hints->width = hints->min_width = hints->max_width = spec_.width;
      hints->height = hints->min_height = hints->max_height = spec_.height;
      XSetWMNormalHints(display_, window_, hints);
      XFree(hints);
    }
    XClassHint class_hint{const_cast<char*>("vision"), const_cast<char*>("Vision")};
    XSetClassHint(display_, window_, &class_hint);
    SetTitle();
    wm_protocols_ = XInternAtom(display_, "WM_PROTOCOLS", False);
    wm_delete_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display_, window_, &wm_delete_, 1);

    XGCValues gc_values{};
    gc_values.graphics_exposures = False;
    gc_ = XCreateGC(display_, window_, GCGraphicsExposures, &gc_values);

    XMapRaised(display_, window_);
    WaitMapped();
    if (dead_ || closed_) {
      Fail(err::kWindowSystem, "OpenWindow", "the X server refused to create the window");
    }
  }

  void SetTitle() {
    // WM_NAME is Latin-1 by convention; _NET_WM_NAME carries the title in UTF-8.
    const std::string utf8 = TitleAsUtf8(spec_);
    std::string latin1;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(utf8[i]);
      if (c < 0x80) {
        latin1 += static_cast<char>(c);
      } else if ((c == 0xc2 || c == 0xc3) && i + 1 < utf8.size()) {
        latin1 += static_cast<char>(((c & 0x03) << 6) | (utf8[++i] & 0x3f));
      } else if (c >= 0xc0) {
        latin1 += '?';
      }
    }
    XChangeProperty(display_, window_, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(latin1.data()),
                    static_cast<int>(latin1.size()));
    XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_NAME", False),
                    XInternAtom(display_, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()),
                    static_cast<int>(utf8.size()));
  }

  // Waits (up to two seconds) until the window is on screen, so that the first image shown
  // right after opening is not lost and the window can be found by others at once.
  void WaitMapped() {
    XFlush(display_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    XEvent event;
    while (!dead_) {
      if (XCheckTypedWindowEvent(display_, window_, MapNotify, &event)) return;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      pollfd fd{ConnectionNumber(display_), POLLIN, 0};
      poll(&fd, 1, static_cast<int>(left.count()));
      XPending(display_);  // reads what arrived into the queue
    }
  }

  bool DirectFormat() const {
    const bool little = std::endian::native == std::endian::little;
    return visual_->red_mask == 0xff0000 && visual_->green_mask == 0x00ff00 &&
           visual_->blue_mask == 0x0000ff && image_->bits_per_pixel == 32 &&
           image_->byte_order == (little ? LSBFirst : MSBFirst) && image_->bytes_per_line % 4 == 0;
  }

  void CreateImage() {
    const auto w = static_cast<unsigned>(spec_.width), h = static_cast<unsigned>(spec_.height);
    // Shared memory only works with a server on this machine: a display name without a host
    // (":0", "unix:0", a socket path). Over TCP, even "localhost:10" of an ssh tunnel, the server
    // may be elsewhere and could attach an unrelated segment with the same id.
    const char* name = DisplayString(display_);
    const bool local = name != nullptr &&
                       (name[0] == ':' || name[0] == '/' || std::strncmp(name, "unix:", 5) == 0);
    if (spec_.use_shared_memory && local && XShmQueryExtension(display_)) TryShmImage(w, h);
    if (image_ == nullptr) {
      image_ = XCreateImage(display_, visual_, static_cast<unsigned>(depth_), ZPixmap, 0, nullptr,
                            w, h, 32, 0);
      if (image_ == nullptr) {
        Fail(err::kWindowSystem, "OpenWindow", "cannot create an X image for the window");
      }
      image_->data =
          static_cast<char*>(std::calloc(std::size_t(image_->bytes_per_line) * std::size_t(h), 1));
      if (image_->data == nullptr) {
        Fail(err::kOutOfMemory, "OpenWindow", "not enough memory for the window's image");
      }
    }
    direct_ = DirectFormat();
    if (!direct_) staging_.assign(std::size_t(w) * h, spec_.background);
    // Start from the background so that drawing without an image shows it around the drawing.
    for (int y = 0; y < spec_.height; ++y) {
      for (int x = 0; x < spec_.width; ++x) XPutPixel(image_, x, y, PixelOf(spec_.background));
    }
  }

  // Shared memory needs the X server on this machine; a refused attach (a remote display) is
  // noticed here and the window falls back to XPutImage.
  void TryShmImage(unsigned w, unsigned h) {
    XImage* image = XShmCreateImage(display_, visual_, static_cast<unsigned>(depth_), ZPixmap,
                                    nullptr, &shm_, w, h);
    if (image == nullptr) return;
    const std::size_t bytes = std::size_t(image->bytes_per_line) * h;
    shm_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shm_.shmid < 0) {
      XDestroyImage(image);
      return;
    }
    shm_.shmaddr = image->data = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
    if (shm_.shmaddr == reinterpret_cast<char*>(-1)) {
      shmctl(shm_.shmid, IPC_RMID, nullptr);
      image->data = nullptr;
      XDestroyImage(image);
      return;
    }
    shm_.readOnly = False;
    last_error_ = 0;
    const bool attached = XShmAttach(display_, &shm_) != 0;
    XSync(display_, False);
    // Marked for removal now: it goes away with the last detach, even if we crash.
    shmctl(shm_.shmid, IPC_RMID, nullptr);
    if (!attached || last_error_ != 0) {
      last_error_ = 0;
      shmdt(shm_.shmaddr);
      image->data = nullptr;
      XDestroyImage(image);
      return;
    }
    image_ = image;
    shm_attached_ = true;
  }

  unsigned long PixelOf(std::uint32_t rgb) const {
    auto channel = [](std::uint32_t v, int bits, int shift) {
      return (bits >= 8 ? (static_cast<unsigned long>(v) << (bits - 8))
                        : static_cast<unsigned long>(v >> (8 - bits)))
             << shift;
    };
    return channel((rgb >> 16) & 0xff, bits_r_, shift_r_) |
           channel((rgb >> 8) & 0xff, bits_g_, shift_g_) | channel(rgb & 0xff, bits_b_, shift_b_);
  }

  void PutImage(int x, int y, int w, int h) {
    if (shm_attached_) {
      XShmPutImage(display_, window_, gc_, image_, x, y, x, y, static_cast<unsigned>(w),
                   static_cast<unsigned>(h), False);
    } else {
      XPutImage(display_, window_, gc_, image_, x, y, x, y, static_cast<unsigned>(w),
                static_cast<unsigned>(h));
    }
  }

  // Handles every event that has arrived. Called with mutex_ held.
  void Drain() {
    if (dead_ || display_ == nullptr) return;
    bool painted = false;
    while (!dead_ && XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.xany.window != window_) continue;
      switch (event.type) {
        case Expose:
          if (has_image_ && !closed_) {
            PutImage(event.xexpose.x, event.xexpose.y, event.xexpose.width, event.xexpose.height);
            painted = true;
          }
          break;
        case ButtonPress: {
          const std::uint32_t mask = ButtonMaskOf(event.xbutton.button);
          if (mask != 0) {
            latched_ |= mask;
            press_row_ = event.xbutton.y;
            press_column_ = event.xbutton.x;
          }
          break;
        }
        case ClientMessage:
          if (event.xclient.message_type == wm_protocols_ &&
              static_cast<Atom>(event.xclient.data.l[0]) == wm_delete_ && !closed_) {
            // Closed from the window manager: the window goes, the handle stays valid and
            // reports the closed window on its next use.
            XDestroyWindow(display_, window_);
            closed_ = true;
            painted = true;
          }
          break;
        case DestroyNotify:
          closed_ = true;
          break;
        default:
          break;
      }
    }
    if (painted && !dead_) XFlush(display_);
  }

  void CheckOpen(const char* proc) const {
    if (dead_) {
      Fail(err::kWindowClosed, proc, "the connection to the X display was lost");
    }
    if (closed_) Fail(err::kWindowClosed, proc, "the window has been closed");
  }

  void EventLoop() {
    pollfd fds[2] = {{ConnectionNumber(display_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
      const int n = poll(fds, 2, -1);
      if (n < 0) continue;  // interrupted by a signal
      if (fds[1].revents != 0) return;
      std::lock_guard lock(mutex_);
      if (dead_) return;
      Drain();
      if (fds[0].revents & (POLLHUP | POLLERR)) {
        // The server hung up; Xlib notices on the next read.
        XPending(display_);
        if (dead_) return;
      }
    }
  }

  void Release() {
    {
      std::lock_guard lock(mutex_);
      if (display_ != nullptr && !dead_) {
        if (shm_attached_) XShmDetach(display_, &shm_);
        if (image_ != nullptr) XDestroyImage(image_);  // frees our memory too (not shm)
        if (gc_ != nullptr) XFreeGC(display_, gc_);
        if (window_ != 0 && !closed_) XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
      } else if (image_ != nullptr) {
        XDestroyImage(image_);  // client memory only, no request
      }
      // After a lost connection Xlib's state for it (display, GC) is unusable and left alone:
      // freeing it would mean requests on a dead connection.
      if (shm_attached_) shmdt(shm_.shmaddr);
      image_ = nullptr;
      shm_attached_ = false;
    }
    std::lock_guard lock(g_registry_mutex);
    g_registry.erase(std::remove(g_registry.begin(), g_registry.end(), this), g_registry.end());
  }

  WindowSpec spec_;
  std::mutex mutex_;
  Display* display_ = nullptr;
  Visual* visual_ = nullptr;
  int depth_ = 0;
  int shift_r_ = 0, shift_g_ = 0, shift_b_ = 0, bits_r_ = 8, bits_g_ = 8, bits_b_ = 8;
  Window window_ = 0;
  GC gc_ = nullptr;
  Atom wm_protocols_ = 0, wm_delete_ = 0;
  XImage* image_ = nullptr;
  XShmSegmentInfo shm_{};
  bool shm_attached_ = false;
  bool direct_ = false;                 // image_ holds 0x00RRGGBB pixels as they are
  std::vector<std::uint32_t> staging_;  // for other pixel layouts
  bool has_image_ = false;
  bool closed_ = false;
  std::atomic<bool> dead_{false};
  std::atomic<int> last_error_{0};
  std::uint32_t latched_ = 0;
  Hlong press_row_ = 0, press_column_ = 0;
  std::thread thread_;
  int wake_[2] = {-1, -1};
};

X11Window* FindWindow(Display* display) {
  for (X11Window* w : g_registry) {
    if (w->display() == display) return w;
  }
  return nullptr;
}

int OnXError(Display* display, XErrorEvent* event) {
  {
    std::lock_guard lock(g_registry_mutex);
    if (X11Window* w = FindWindow(display)) {
      w->RecordError(event->error_code);
      return 0;
    }
  }
  return g_previous_error_handler ? g_previous_error_handler(display, event) : 0;
}

int OnXIOError(Display* display) {
  {
    std::lock_guard lock(g_registry_mutex);
    if (X11Window* w = FindWindow(display)) {
      w->MarkDead();
      return 0;
    }
  }
  return g_previous_io_handler ? g_previous_io_handler(display) : 0;
}

void OnXIOErrorExit(Display*, void* window) {
  // Instead of ending the process: the window is marked dead and its next use raises.
  static_cast<X11Window*>(window)->MarkDead();
}

}  // namespace

std::unique_ptr<WindowBackend> CreateWindowBackend(const WindowSpec& setup) {
  return std::make_unique<X11Window>(setup);
}

}  // namespace vision::detail

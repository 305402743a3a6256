// Internal parts of the window area. Not installed.
//
// The platform-independent half (attributes, turning images into screen pixels, the public
// HWindow operations) talks to the window system only through WindowBackend; each platform has
// one implementation of it (x11_backend.cpp on Linux, win32_backend.cpp on Windows) and provides
// CreateWindowBackend.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vision/HTuple.h"
#include "vision/HWindow.h"
#include "window/canvas.h"

namespace vision::detail {

// Everything a backend needs to open one window; taken from the window attributes and the
// settings at the moment the window is opened.
struct WindowSpec {
  int row = 0;
  int column = 0;
  int width = 0;
  int height = 0;
  std::string title;              // as handed to SetWindowAttr
  bool title_is_utf8 = true;      // false: local 8-bit text
  std::uint32_t background = 0;   // 0x00RRGGBB
  bool use_thread = false;        // handle the window's events in a thread of its own
  bool use_shared_memory = true;  // use shared memory for images where the display allows
};

// Pointer state in window coordinates; button is a mask: 1 left, 2 middle, 4 right.
struct PointerState {
  Hlong row = 0;
  Hlong column = 0;
  Hlong button = 0;
};

// One open window of the platform's window system.
//
// Thread safety: the methods may be called from any one caller thread while the backend's own
// event thread (if any) runs; the backend serialises both.
class WindowBackend {
 public:
  virtual ~WindowBackend() = default;

  // Lets draw fill the window's canvas (it starts with what was shown last), then shows it. Raises
  // HException (kWindowClosed) when the window is gone.
  virtual void Present(const std::function<void(const Canvas&)>& draw) = 0;
  // The pointer and the buttons. A button press seen since the last call is reported once even
  // if the button has been released since, with the position where it was pressed. Raises
  // HException: kPointerOutside when the pointer is not over the window, kWindowClosed when the
  // window is gone.
  virtual PointerState Pointer() = 0;
  // False once the window has been closed by the user or the window system.
  virtual bool IsOpen() = 0;
  // Whether images reach the display through shared memory (for diagnostics and benchmarks).
  virtual bool UsesSharedMemory() const = 0;
};

// Opens a window; raises HException (kNoDisplay, kWindowSystem) on failure.
std::unique_ptr<WindowBackend> CreateWindowBackend(const WindowSpec& setup);

// Parses a colour: a name ("black", "white", "gray", "red", ...) or "#rrggbb". Returns false
// for anything else.
bool ParseColor(const std::string& text, std::uint32_t* rgb);

// Title text converted for window systems that want UTF-8: unchanged when the library's texts
// are UTF-8, otherwise read as Latin-1.
std::string TitleAsUtf8(const WindowSpec& setup);

class WindowImpl {
 public:
  explicit WindowImpl(std::unique_ptr<WindowBackend> backend) : backend_(std::move(backend)) {}
  WindowBackend& Backend() const { return *backend_; }
  // Size of the image shown last (for drawing contours over it); 0 before the first image.
  int image_width = 0;
  int image_height = 0;

 private:
  std::unique_ptr<WindowBackend> backend_;
};

// The internals of an HWindow, for the library's own tests (which transport a window's images
// take, for instance). Null when the window is not open.
struct WindowAccess {
  static WindowImpl* Impl(const HWindow& window) noexcept { return window.impl_.get(); }
};

}  // namespace vision::detail

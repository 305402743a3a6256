// Windows on Win32 with GDI. The window's pixels live in a top-down 32-bit DIB in our memory
// (0x00RRGGBB is exactly GDI's BGRX byte order) and are copied to the screen with
// SetDIBitsToDevice, both when a new image is shown and on WM_PAINT.
//
// Win32 delivers a window's messages to the thread that created it. Without the window thread
// the caller's thread creates the window and its messages are handled whenever the library is
// called; with it a library thread creates the window and runs its message loop, so the window
// repaints and can be moved while the caller waits for a frame. The window's state is behind a
// recursive mutex (the window procedure can run inside a call that already holds it when the
// caller's thread pumps messages).
#include "platform/win32.h"
// clang-format off
#include <windowsx.h>
// clang-format on

#include <exception>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "detail/error.h"
#include "platform/text.h"
#include "vision/HErrorCodes.h"
#include "window/window.h"

namespace vision::detail {

namespace {

constexpr const wchar_t* kClassName = L"VisionImageWindow";
constexpr UINT kStopMessage = WM_APP + 1;  // thread message: destroy the window and quit
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

std::string LastErrorText() {
  const DWORD code = GetLastError();
  // A refusal without a reason: seen when the session has no display driver (a service or a
  // Wine session started without an X display); "Success" would only confuse.
  if (code == 0) return "the window system gave no reason (is there a desktop to show it on?)";
  char buffer[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                 buffer, sizeof buffer, nullptr);
  std::string text(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text + " (Windows error " + std::to_string(code) + ")";
}

class Win32Window final : public WindowBackend {
 public:
  explicit Win32Window(const WindowSpec& setup)
      : spec_(setup),
        pixels_(std::size_t(setup.width) * std::size_t(setup.height), setup.background) {
    info_.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info_.bmiHeader.biWidth = setup.width;
    info_.bmiHeader.biHeight = -setup.height;  // top-down rows
    info_.bmiHeader.biPlanes = 1;
    info_.bmiHeader.biBitCount = 32;
    info_.bmiHeader.biCompression = BI_RGB;
    const std::uint32_t bg = setup.background;
    brush_ = CreateSolidBrush(RGB((bg >> 16) & 0xff, (bg >> 8) & 0xff, bg & 0xff));
    if (!setup.use_thread) {
      Create();
      return;
    }
    // A failure on the window thread reaches the caller as it was raised, code and all.
    std::promise<std::exception_ptr> created;
    auto result = created.get_future();
    thread_ = std::thread([this, &created] {
      std::exception_ptr failure;
      try {
        Create();
      } catch (...) {
        failure = std::current_exception();
      }
      thread_id_ = GetCurrentThreadId();
      created.set_value(failure);
      if (!failure) MessageLoop();
    });
    if (const std::exception_ptr failure = result.get()) {
      thread_.join();
      DeleteObject(brush_);
      std::rethrow_exception(failure);
    }
  }

  ~Win32Window() override {
    if (thread_.joinable()) {
      PostThreadMessageW(thread_id_, kStopMessage, 0, 0);
      thread_.join();
    } else if (hwnd_ != nullptr) {
      DestroyWindow(hwnd_);
    }
    DeleteObject(brush_);
  }

  void Present(const std::function<void(const Canvas&)>& draw) override {
    Pump();
    std::lock_guard lock(mutex_);
    CheckOpen("DispImage");
    draw(Canvas{pixels_.data(), spec_.width, spec_.height, spec_.width});
    has_image_ = true;
    // GDI may draw on a window from any thread.
    if (HDC dc = GetDC(hwnd_)) {
      Blit(dc);
      ReleaseDC(hwnd_, dc);
    }
    GdiFlush();
  }

  PointerState Pointer() override {
    Pump();
    std::lock_guard lock(mutex_);
    CheckOpen("GetMposition");
    if (latched_ != 0) {
      PointerState state{press_row_, press_column_, Hlong{latched_}};
      latched_ = 0;
      return state;
    }
    POINT p{};
    if (!GetCursorPos(&p) || !ScreenToClient(hwnd_, &p) || p.x < 0 || p.y < 0 ||
        p.x >= spec_.width || p.y >= spec_.height) {
      Fail(err::kPointerOutside, "GetMposition",
           "the pointer is outside the window (at row " + std::to_string(p.y) + ", column " +
               std::to_string(p.x) + " in window coordinates)");
    }
    auto down = [](int key) { return (GetAsyncKeyState(key) & 0x8000) != 0; };
    PointerState state;
    state.row = p.y;
    state.column = p.x;
    state.button =
        (down(VK_LBUTTON) ? 1 : 0) | (down(VK_MBUTTON) ? 2 : 0) | (down(VK_RBUTTON) ? 4 : 0);
    return state;
  }

  bool IsOpen() override {
    Pump();
    std::lock_guard lock(mutex_);
    return !closed_;
  }

  bool UsesSharedMemory() const override { return false; }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr) {
      LRESULT result = 0;
      if (self->Handle(hwnd, message, wparam, lparam, &result)) return result;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }

  bool Handle(HWND hwnd, UINT message, WPARAM, LPARAM lparam, LRESULT* result) {
    std::lock_guard lock(mutex_);
    switch (message) {
      case WM_ERASEBKGND:
        *result = 1;  // WM_PAINT covers every pixel
        return true;
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        if (has_image_) {
          Blit(dc);
        } else {
          FillRect(dc, &ps.rcPaint, brush_);
        }
        EndPaint(hwnd, &ps);
        return true;
      }
      case WM_LBUTTONDOWN:
      case WM_MBUTTONDOWN:
      case WM_RBUTTONDOWN:
        latched_ |= message == WM_LBUTTONDOWN ? 1u : message == WM_MBUTTONDOWN ? 2u : 4u;
        press_row_ = GET_Y_LPARAM(lparam);
        press_column_ = GET_X_LPARAM(lparam);
        return true;
      case WM_DESTROY:
        // Closed by the user (WM_CLOSE's default destroys the window) or by us.
        closed_ = true;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        return true;
      default:
        return false;
    }
  }

  void Create() {
    static std::once_flag registered;
    static ATOM atom = 0;
    std::call_once(registered, [] {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.style = CS_HREDRAW | CS_VREDRAW;
      wc.lpfnWndProc = WindowProc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
      wc.lpszClassName = kClassName;
      atom = RegisterClassExW(&wc);
    });
    if (atom == 0) {
      Fail(err::kWindowSystem, "OpenWindow",
           "cannot register the window class: " + LastErrorText());
    }
    // The outer size that gives a client area of exactly width x height.
    RECT rect{0, 0, spec_.width, spec_.height};
    AdjustWindowRectEx(&rect, kStyle, FALSE, 0);
    const std::wstring title = platform::Widen(
        spec_.title, spec_.title_is_utf8 ? platform::Encoding::kUtf8 : platform::Encoding::kLocal);
    hwnd_ = CreateWindowExW(0, kClassName, title.c_str(), kStyle, spec_.column, spec_.row,
                            rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                            GetModuleHandleW(nullptr), this);
    if (hwnd_ == nullptr) {
      Fail(err::kNoDisplay, "OpenWindow", "cannot create a window: " + LastErrorText());
    }
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    UpdateWindow(hwnd_);
  }

  void MessageLoop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (msg.hwnd == nullptr && msg.message == kStopMessage) {
        bool alive;
        {
          std::lock_guard lock(mutex_);
          alive = !closed_;
        }
        if (alive) DestroyWindow(hwnd_);
        return;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  // Handles the messages of windows made on the caller's thread.
  void Pump() {
    if (thread_.joinable()) return;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  void Blit(HDC dc) {
    SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(spec_.width), static_cast<DWORD>(spec_.height),
                      0, 0, 0, static_cast<UINT>(spec_.height), pixels_.data(), &info_,
                      DIB_RGB_COLORS);
  }

  void CheckOpen(const char* proc) const {
    if (closed_) Fail(err::kWindowClosed, proc, "the window has been closed");
  }

  WindowSpec spec_;
  std::recursive_mutex mutex_;
  std::vector<std::uint32_t> pixels_;
  BITMAPINFO info_{};
  HBRUSH brush_ = nullptr;
  HWND hwnd_ = nullptr;
  std::thread thread_;
  DWORD thread_id_ = 0;
  bool has_image_ = false;
  bool closed_ = false;
  std::uint32_t latched_ = 0;
  Hlong press_row_ = 0, press_column_ = 0;
};

}  // namespace

std::unique_ptr<WindowBackend> CreateWindowBackend(const WindowSpec& setup) {
  return std::make_unique<Win32Window>(setup);
}

}  // namespace vision::detail

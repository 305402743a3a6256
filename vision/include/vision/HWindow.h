// Graphics windows for showing images.
#pragma once

#include <memory>

#include "vision/Export.h"
#include "vision/HObject.h"
#include "vision/HTuple.h"

namespace vision {

namespace detail {
class WindowImpl;
struct WindowAccess;
}  // namespace detail

// Sets an attribute for windows opened afterwards: "background_color" (a colour name such as
// "black", "white", "gray", or "#rrggbb") and "window_title" (text).
VISION_API void SetWindowAttr(const HTuple& name, const HTuple& value);
VISION_API HTuple GetWindowAttr(const HTuple& name);

class VISION_API HWindow {
 public:
  HWindow();  // not open
  // Opens a window whose drawable area is width x height pixels at (row, column) on the screen.
  HWindow(Hlong row, Hlong column, Hlong width, Hlong height);
  ~HWindow();
  HWindow(const HWindow&) = delete;
  HWindow& operator=(const HWindow&) = delete;

  void OpenWindow(Hlong row, Hlong column, Hlong width, Hlong height);
  void CloseWindow();
  bool IsOpen() const noexcept;

  // Shows an image (1-channel grey or 3-channel colour "byte"), scaled to the window.
  void DispImage(const HObject& image) const;
  void DispObj(const HObject& object) const;
  // Pointer position in window coordinates and button state (0 none, 1 left, 2 middle,
  // 4 right). Any output passed as null is skipped. Raises HException when the pointer is
  // outside the window. A press is latched until it has been read once.
  void GetMposition(Hlong* row, Hlong* column, Hlong* button) const;

 private:
  friend struct detail::WindowAccess;  // the library's internal view of a window
  std::unique_ptr<detail::WindowImpl> impl_;
};

}  // namespace vision

// Window attributes and the HWindow operations; the window system itself is behind
// WindowBackend (window.h), drawing onto its pixels in canvas.cpp.
#include <algorithm>
#include <cctype>
#include <mutex>
#include <string>
#include <variant>

#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/param.h"
#include "detail/system.h"
#include "vision/HErrorCodes.h"
#include "vision/HWindow.h"
#include "window/window.h"

namespace vision {

namespace detail {

bool ParseColor(const std::string& text, std::uint32_t* rgb) {
  static const struct {
    const char* name;
    std::uint32_t rgb;
  } kNames[] = {
      {"black", 0x000000},  {"white", 0xffffff},    {"gray", 0xbebebe},
      {"grey", 0xbebebe},   {"dim gray", 0x696969}, {"dim grey", 0x696969},
      {"red", 0xff0000},    {"green", 0x00ff00},    {"blue", 0x0000ff},
      {"yellow", 0xffff00}, {"cyan", 0x00ffff},     {"magenta", 0xff00ff},
      {"orange", 0xffa500}, {"navy", 0x000080},     {"forest green", 0x228b22},
  };
  for (const auto& n : kNames) {
    if (text == n.name) {
      *rgb = n.rgb;
      return true;
    }
  }
  if (text.size() == 7 && text[0] == '#' && std::all_of(text.begin() + 1, text.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c));
      })) {
    *rgb = static_cast<std::uint32_t>(std::stoul(text.substr(1), nullptr, 16));
    return true;
  }
  return false;
}

std::string TitleAsUtf8(const WindowSpec& setup) {
  if (setup.title_is_utf8) return setup.title;
  std::string out;
  out.reserve(setup.title.size());
  for (unsigned char c : setup.title) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

}  // namespace detail

namespace {

// Attributes for windows opened afterwards; process-wide like the other settings.
struct Attributes {
  std::string background_name = "black";
  std::uint32_t background = 0x000000;
  std::string title = "vision";
  bool shared_memory = true;
};

std::mutex g_attr_mutex;
Attributes g_attr;  // guarded by g_attr_mutex

constexpr std::uint32_t kContourColor = 0xffffff;

constexpr const char* kSetProc = "SetWindowAttr";

// One window attribute: its name, how a text sets it and how it reads back. Every attribute
// takes one text; set raises HException for a text the attribute does not take.
struct Attribute {
  const char* name;
  void (*set)(Attributes& a, const std::string& text);
  HTuple (*get)(const Attributes& a);
};

constexpr Attribute kAttributes[] = {
    {"background_color",
     [](Attributes& a, const std::string& text) {
       std::uint32_t rgb = 0;
       if (!detail::ParseColor(text, &rgb)) {
         detail::Fail(err::kWindowAttr, kSetProc,
                      "unknown colour '" + text +
                          "' for attribute 'background_color': expected a name such as 'black', "
                          "'white', 'gray', 'red', or '#rrggbb'");
       }
       a.background_name = text;
       a.background = rgb;
     },
     [](const Attributes& a) { return HTuple(a.background_name); }},
    {"window_title", [](Attributes& a, const std::string& text) { a.title = text; },
     [](const Attributes& a) { return HTuple(a.title); }},
    {"shared_memory",
     [](Attributes& a, const std::string& text) {
       if (text != "true" && text != "false") {
         detail::Fail(
             err::kWindowAttr, kSetProc,
             "bad value '" + text + "' for attribute 'shared_memory': expected 'true' or 'false'");
       }
       a.shared_memory = text == "true";
     },
     [](const Attributes& a) { return HTuple(a.shared_memory ? "true" : "false"); }},
};

// The attribute a name tuple names, or null; raises for a name that is not one text.
const Attribute* FindAttribute(const HTuple& name_tuple, const char* proc, std::string* name) {
  if (!detail::ReadText(name_tuple, name)) {
    detail::Fail(err::kWindowAttr, proc,
                 "the attribute name must be one text, got " + detail::Describe(name_tuple));
  }
  for (const Attribute& a : kAttributes)
    if (*name == a.name) return &a;
  return nullptr;
}

detail::WindowImpl& OpenImpl(const std::unique_ptr<detail::WindowImpl>& impl, const char* proc) {
  if (!impl) detail::Fail(err::kWindowClosed, proc, "the window is not open");
  if (!impl->Backend().IsOpen()) {
    detail::Fail(err::kWindowClosed, proc, "the window has been closed by the window system");
  }
  return *impl;
}

}  // namespace

void SetWindowAttr(const HTuple& name_tuple, const HTuple& value) {
  std::string name;
  const Attribute* attribute = FindAttribute(name_tuple, kSetProc, &name);
  if (!attribute) {
    std::string known;
    for (const Attribute& a : kAttributes)
      known += (known.empty() ? "" : ", ") + std::string(a.name);
    detail::Fail(err::kWindowAttr, kSetProc,
                 "unknown window attribute '" + name + "' (value " + detail::Describe(value) +
                     "); known: " + known);
  }
  std::string text;
  if (!detail::ReadText(value, &text)) {
    detail::Fail(err::kWindowAttr, kSetProc,
                 "attribute '" + name + "' takes one text, got " + detail::Describe(value));
  }
  std::lock_guard lock(g_attr_mutex);
  attribute->set(g_attr, text);
}

HTuple GetWindowAttr(const HTuple& name_tuple) {
  constexpr const char* proc = "GetWindowAttr";
  std::string name;
  const Attribute* attribute = FindAttribute(name_tuple, proc, &name);
  if (!attribute) detail::Fail(err::kWindowAttr, proc, "unknown window attribute '" + name + "'");
  std::lock_guard lock(g_attr_mutex);
  return attribute->get(g_attr);
}

HWindow::HWindow() = default;

HWindow::HWindow(Hlong row, Hlong column, Hlong width, Hlong height) {
  OpenWindow(row, column, width, height);
}

HWindow::~HWindow() = default;

void HWindow::OpenWindow(Hlong row, Hlong column, Hlong width, Hlong height) {
  constexpr const char* proc = "OpenWindow";
  // X11 and Win32 both keep window sizes and positions in 16-bit signed fields.
  constexpr Hlong kMaxSide = 32767;
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
    detail::Fail(err::kWrongParamValue, proc,
                 "window size " + std::to_string(width) + " x " + std::to_string(height) +
                     " is outside 1.." + std::to_string(kMaxSide) + " per side");
  }
  if (row < -kMaxSide || row > kMaxSide || column < -kMaxSide || column > kMaxSide) {
    detail::Fail(err::kWrongParamValue, proc,
                 "window position row " + std::to_string(row) + ", column " +
                     std::to_string(column) + " is outside -32767..32767");
  }
  detail::WindowSpec setup;
  setup.row = static_cast<int>(row);
  setup.column = static_cast<int>(column);
  setup.width = static_cast<int>(width);
  setup.height = static_cast<int>(height);
  {
    std::lock_guard lock(g_attr_mutex);
    setup.title = g_attr.title;
    setup.background = g_attr.background;
    setup.use_shared_memory = g_attr.shared_memory;
  }
  setup.title_is_utf8 = detail::StringEncodingIsUtf8();
  setup.use_thread = detail::UseWindowThread();
  // Close a window this handle already shows only once the new one exists.
  auto impl = std::make_unique<detail::WindowImpl>(detail::CreateWindowBackend(setup));
  impl_ = std::move(impl);
}

void HWindow::CloseWindow() { impl_.reset(); }

bool HWindow::IsOpen() const noexcept {
  try {
    return impl_ && impl_->Backend().IsOpen();
  } catch (...) {
    return false;
  }
}

void HWindow::DispImage(const HObject& image) const {
  constexpr const char* proc = "DispImage";
  const auto& data = detail::SingleImage(image, proc);
  auto& impl = OpenImpl(impl_, proc);
  // RenderImage checks the image before it writes a pixel: a bad one leaves the window as it was.
  impl.Backend().Present(
      [&](const detail::Canvas& canvas) { detail::RenderImage(data, canvas, proc); });
  impl.image_width = data.width;
  impl.image_height = data.height;
}

void HWindow::DispObj(const HObject& object) const {
  constexpr const char* proc = "DispObj";
  if (!object.IsInitialized()) detail::Fail(err::kObjectEmpty, proc, "the object is empty");
  auto& impl = OpenImpl(impl_, proc);
  for (const auto& part : object.Parts()) {
    if (std::holds_alternative<detail::ImageData>(part->value)) {
      DispImage(HObject({part}));
      continue;
    }
    const auto& contour = std::get<detail::ContourData>(part->value);
    // Without an image shown yet, contour coordinates are window pixels.
    int w = impl.image_width, h = impl.image_height;
    impl.Backend().Present([&](const detail::Canvas& canvas) {
      if (w == 0) w = canvas.width, h = canvas.height;
      detail::RenderContour(contour, w, h, kContourColor, canvas);
    });
  }
}

void HWindow::GetMposition(Hlong* row, Hlong* column, Hlong* button) const {
  auto& impl = OpenImpl(impl_, "GetMposition");
  const detail::PointerState state = impl.Backend().Pointer();
  if (row) *row = state.row;
  if (column) *column = state.column;
  if (button) *button = state.button;
}

void HImage::DispImage(const HWindow& window) const { window.DispImage(*this); }

}  // namespace vision

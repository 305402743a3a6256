// Drawing onto a window canvas, and window attributes: no display needed.
#include <gtest/gtest.h>

#include <vector>

#include "detail/iconic.h"
#include "raises.h"
#include "vision/HErrorCodes.h"
#include "vision/HException.h"
#include "vision/HWindow.h"
#include "window/canvas.h"
#include "window/window.h"

using namespace vision;
using visiontest::Raises;

namespace {

detail::ImageData MakeImage(int w, int h, int channels, detail::PixelType type,
                            std::uint8_t (*value)(int c, int x, int y)) {
  auto image = detail::AllocateImage(type, w, h, channels, "test");
  for (int c = 0; c < channels; ++c) {
    std::uint8_t* p = detail::MutablePlane(image, c);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) p[y * w + x] = value(c, x, y);
  }
  return image;
}

struct TestCanvas {
  TestCanvas(int w, int h, int stride) : pixels(std::size_t(stride) * h, 0xdeadbeef) {
    view = detail::Canvas{pixels.data(), w, h, stride};
  }
  std::uint32_t At(int x, int y) const { return pixels[std::size_t(y) * view.stride + x]; }
  std::vector<std::uint32_t> pixels;
  detail::Canvas view;
};

}  // namespace

TEST(RenderImage, GreyAndColourSameSizeKeepEveryPixelAndLeaveRowPaddingAlone) {
  auto grey = MakeImage(5, 3, 1, detail::PixelType::Byte,
                        [](int, int x, int y) { return std::uint8_t(x * 50 + y); });
  TestCanvas f(5, 3, 7);
  detail::RenderImage(grey, f.view, "test");
  EXPECT_EQ(f.At(0, 0), 0x000000u);
  EXPECT_EQ(f.At(4, 2), 0xcacacau);  // 202
  EXPECT_EQ(f.At(5, 0), 0xdeadbeefu) << "stride padding written";

  auto colour = MakeImage(4, 2, 3, detail::PixelType::Byte,
                          [](int c, int x, int y) { return std::uint8_t(c * 100 + x * 10 + y); });
  TestCanvas g(4, 2, 4);
  detail::RenderImage(colour, g.view, "test");
  EXPECT_EQ(g.At(3, 1), (31u << 16) | (131u << 8) | 231u);
}

TEST(RenderImage, ScalesByNearestNeighbourBothWays) {
  // 2 x 2 into 4 x 4: every source pixel becomes a 2 x 2 block.
  auto small = MakeImage(2, 2, 1, detail::PixelType::Byte,
                         [](int, int x, int y) { return std::uint8_t(10 + x + 2 * y); });
  TestCanvas up(4, 4, 4);
  detail::RenderImage(small, up.view, "test");
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x)
      EXPECT_EQ(up.At(x, y), std::uint32_t(10 + x / 2 + 2 * (y / 2)) * 0x010101u) << x << "," << y;

  // 6 x 3 into 3 x 1: samples the centre of each 2 x 3 block.
  auto wide = MakeImage(6, 3, 3, detail::PixelType::Byte,
                        [](int c, int x, int y) { return std::uint8_t(c == 0 ? x : y); });
  TestCanvas down(3, 1, 3);
  detail::RenderImage(wide, down.view, "test");
  EXPECT_EQ(down.At(0, 0), (1u << 16) | (1u << 8) | 1u);
  EXPECT_EQ(down.At(2, 0), (5u << 16) | (1u << 8) | 1u);
}

TEST(RenderImage, RejectsImagesThatCannotBeShown) {
  auto two =
      MakeImage(2, 2, 2, detail::PixelType::Byte, [](int, int, int) { return std::uint8_t(0); });
  auto deep =
      MakeImage(2, 2, 1, detail::PixelType::UInt2, [](int, int, int) { return std::uint8_t(0); });
  TestCanvas f(2, 2, 2);
  Raises(err::kImageType, [&] { detail::RenderImage(two, f.view, "DispImage"); });
  Raises(err::kImageType, [&] { detail::RenderImage(deep, f.view, "DispImage"); });
}

TEST(RenderContour, DrawsClippedLinesInImageCoordinates) {
  detail::ContourData line;
  line.rows = {1, 1, -5};
  line.cols = {0, 3, 3};
  TestCanvas f(4, 4, 4);
  std::fill(f.pixels.begin(), f.pixels.end(), 0u);
  detail::RenderContour(line, 4, 4, 0xffffff, f.view);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(f.At(x, 1), 0xffffffu) << x;
  EXPECT_EQ(f.At(3, 0), 0xffffffu);
  EXPECT_EQ(f.At(0, 2), 0u);
}

// Lines leaving through the right and bottom edges: the last column and row are drawn, nothing
// beyond them (neither the row padding, nor the next row's first pixel, nor a guard row after the
// frame's last row).
TEST(RenderContour, ClipsAtTheRightAndBottomEdges) {
  for (const int stride : {4, 6}) {
    SCOPED_TRACE("stride " + std::to_string(stride));
    std::vector<std::uint32_t> buffer(std::size_t(stride) * 5, 0u);  // 4 rows and a guard row
    const detail::Canvas frame{buffer.data(), 4, 4, stride};
    auto at = [&](int x, int y) { return buffer[std::size_t(y) * std::size_t(stride) + x]; };
    detail::ContourData right;
    right.rows = {1, 1};
    right.cols = {0, 9};
    detail::RenderContour(right, 4, 4, 0xffffff, frame);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(at(x, 1), 0xffffffu) << x;
    for (int x = 4; x < stride; ++x) EXPECT_EQ(at(x, 1), 0u) << "padding " << x;
    EXPECT_EQ(at(0, 2), 0u) << "the next row's first pixel";

    detail::ContourData down;
    down.rows = {0, 9};
    down.cols = {2, 2};
    detail::RenderContour(down, 4, 4, 0xffffff, frame);
    for (int y = 0; y < 4; ++y) EXPECT_EQ(at(2, y), 0xffffffu) << y;
    for (int x = 0; x < stride; ++x) EXPECT_EQ(at(x, 4), 0u) << "guard row " << x;
  }
}

// Points far outside the frame are clipped before they become window pixels: the visible part is
// drawn, and a coordinate beyond any integer never turns into a line somewhere else.
TEST(RenderContour, FarAwayPointsAreClippedFirst) {
  TestCanvas f(4, 4, 4);
  std::fill(f.pixels.begin(), f.pixels.end(), 0u);
  detail::ContourData line;
  line.rows = {1, 1, 1e300, -1e300};
  line.cols = {0, 1e12, 2, 2};
  detail::RenderContour(line, 4, 4, 0xffffff, f.view);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(f.At(x, 1), 0xffffffu) << x;
  // The segment from (1, 1e12) to (1e300, 2) runs outside the frame; the last one crosses it down
  // column 2.
  for (int y = 0; y < 4; ++y) EXPECT_EQ(f.At(2, y), 0xffffffu) << y;
  EXPECT_EQ(f.At(0, 0), 0u);
  EXPECT_EQ(f.At(3, 3), 0u);
  detail::ContourData point;
  point.rows = {-1e300};
  point.cols = {1e300};
  detail::RenderContour(point, 4, 4, 0x123456, f.view);
  for (std::uint32_t v : f.pixels) EXPECT_NE(v, 0x123456u);
}

TEST(WindowAttr, KnownAttributesAreKeptAndBadOnesRaise) {
  SetWindowAttr("background_color", "#102030");
  EXPECT_EQ(GetWindowAttr("background_color").S().Str(), "#102030");
  SetWindowAttr("window_title", "a title");
  EXPECT_EQ(GetWindowAttr("window_title").S().Str(), "a title");
  Raises(err::kWindowAttr, [] { SetWindowAttr("window_colour", "black"); });
  Raises(err::kWindowAttr, [] { SetWindowAttr("background_color", "blackish"); });
  Raises(err::kWindowAttr, [] { SetWindowAttr("background_color", "#12345"); });
  Raises(err::kWindowAttr, [] { SetWindowAttr("window_title", 5); });
  Raises(err::kWindowAttr, [] { SetWindowAttr("shared_memory", "yes"); });
  // A rejected value leaves the attribute as it was.
  EXPECT_EQ(GetWindowAttr("background_color").S().Str(), "#102030");

  std::uint32_t rgb = 0;
  EXPECT_TRUE(detail::ParseColor("gray", &rgb));
  EXPECT_EQ(rgb, 0xbebebeu);
  EXPECT_FALSE(detail::ParseColor("#12345g", &rgb));
}

TEST(HWindow, OperationsOnAWindowThatIsNotOpenRaise) {
  HWindow w;
  EXPECT_FALSE(w.IsOpen());
  HImage image("byte", 4, 4);
  Hlong button = 0;
  Raises(err::kWindowClosed, [&] { w.DispImage(image); });
  Raises(err::kWindowClosed, [&] { w.GetMposition(nullptr, nullptr, &button); });
  Raises(err::kWrongParamValue, [&] { w.OpenWindow(0, 0, 0, 10); });
  Raises(err::kWrongParamValue, [&] { w.OpenWindow(0, 0, 10, 40000); });
}

TEST(WindowAttr, UnknownNameListsEveryAttributeAndEachOfThemReadsBack) {
  const std::string message =
      Raises(err::kWindowAttr, [] { SetWindowAttr("window_colour", "black"); });
  const std::string known = "; known: ";
  ASSERT_NE(message.find(known), std::string::npos) << message;
  const std::string list = message.substr(message.find(known) + known.size());
  EXPECT_EQ(list, "background_color, window_title, shared_memory");
  for (const char* name : {"background_color", "window_title", "shared_memory"}) {
    const HTuple before = GetWindowAttr(name);
    SetWindowAttr(name, before);  // what an attribute reads back, it takes
    EXPECT_EQ(GetWindowAttr(name).S().Str(), before.S().Str()) << name;
  }
  Raises(err::kWindowAttr, [] { (void)GetWindowAttr("window_colour"); });
  Raises(err::kWindowAttr, [] { (void)GetWindowAttr(5); });
}

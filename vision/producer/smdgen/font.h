// A small stroke font for silk-screen print: each glyph is a few polylines on a 4 x 6 grid.
#pragma once

#include <string>
#include <vector>

namespace smdgen {

struct Stroke {
  double row0, col0, row1, col1;
};

// The strokes of `text` set with its top-left corner at (row, col), glyphs `height` pixels tall.
// vertical: the text runs upwards (turned a quarter turn counter-clockwise), starting at the
// bottom-left corner (row, col).
std::vector<Stroke> TextStrokes(const std::string& text, double row, double col, double height,
                                bool vertical);
// Length of the text along its reading direction, in pixels.
double TextLength(const std::string& text, double height);

}  // namespace smdgen

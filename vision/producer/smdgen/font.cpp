#include "font.h"

#include <cstring>

namespace smdgen {
namespace {

constexpr double kAdvance = 5.6;  // grid units per character (4 wide plus spacing)

// Polylines as runs of (x, y) digit pairs, x 0..4 to the right, y 0..6 downwards; runs are
// separated by blanks.
const char* GlyphStrokes(char ch) {
  switch (ch) {
    case '0':
    case 'O':
      return "103041453616050110";
    case '1':
      return "112026 1636";
    case '2':
      return "01103041420646";
    case '3':
      return "004023334445361605";
    case '4':
      return "300343 3036";
    case '5':
      return "4000033344453606";
    case '6':
      return "30100105163645443303";
    case '7':
      return "00404116";
    case '8':
      return "10304142331304051636454433 13020110";
    case '9':
      return "43130201103041453616";
    case 'A':
      return "0602204246 0444";
    case 'B':
      return "003041423303 334445360600";
    case 'C':
      return "4130100105163645";
    case 'D':
      return "00063645413000";
    case 'E':
      return "40000646 0333";
    case 'F':
      return "400006 0323";
    case 'G':
      return "41301001051636454323";
    case 'H':
      return "0006 4046 0343";
    case 'I':
      return "1030 2026 1636";
    case 'J':
      return "4045361605";
    case 'K':
      return "0006 400346";
    case 'L':
      return "000646";
    case 'M':
      return "0600234046";
    case 'N':
      return "06004640";
    case 'P':
      return "06003041423303";
    case 'Q':
      return "103041453616050110 3346";
    case 'R':
      return "06003041423303 2346";
    case 'S':
      return "413010010213334445361605";
    case 'T':
      return "0040 2026";
    case 'U':
      return "000516364540";
    case 'V':
      return "002640";
    case 'W':
      return "0016233640";
    case 'X':
      return "0046 4006";
    case 'Y':
      return "002340 2326";
    case 'Z':
      return "00400646";
    case '+':
      return "2125 0343";
    case '-':
      return "0343";
    case '.':
      return "2526";
    case '/':
      return "0640";
    default:
      return "";
  }
}

}  // namespace

double TextLength(const std::string& text, double height) {
  if (text.empty()) return 0.0;
  const double unit = height / 6.0;
  return (static_cast<double>(text.size()) * kAdvance - (kAdvance - 4.0)) * unit;
}

std::vector<Stroke> TextStrokes(const std::string& text, double row, double col, double height,
                                bool vertical) {
  std::vector<Stroke> strokes;
  const double unit = height / 6.0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* s = GlyphStrokes(text[i]);
    const double base = static_cast<double>(i) * kAdvance;
    // Grid (x, y) of this glyph to image (row, col).
    auto map = [&](int x, int y, double* r, double* c) {
      const double gx = (base + x) * unit;
      const double gy = y * unit;
      if (vertical) {  // reading upwards: x runs to -row, y (down the glyph) runs to +col
        *r = row - gx;
        *c = col + gy;
      } else {
        *r = row + gy;
        *c = col + gx;
      }
    };
    const std::size_t n = std::strlen(s);
    std::size_t k = 0;
    while (k < n) {
      std::size_t end = k;
      while (end < n && s[end] != ' ') ++end;
      for (std::size_t p = k; p + 3 < end; p += 2) {
        Stroke st{};
        map(s[p] - '0', s[p + 1] - '0', &st.row0, &st.col0);
        map(s[p + 2] - '0', s[p + 3] - '0', &st.row1, &st.col1);
        strokes.push_back(st);
      }
      k = end + 1;
    }
  }
  return strokes;
}

}  // namespace smdgen

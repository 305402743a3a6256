// Layout of the four sample scenes: where the capacitors, the distractors, the tracks and the
// print go, and the primitives that draw them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>

#include "detmath.h"
#include "font.h"
#include "smdgen.h"

namespace smdgen {

// --- Geometry helpers ---------------------------------------------------------------------------

void PoseApply(const Pose& pose, double p_row, double p_col, double* row, double* col) {
  const double ca = Cos(pose.angle);
  const double sa = Sin(pose.angle);
  const double sr = pose.row_scale * p_row;
  const double sc = pose.col_scale * p_col;
  *row = pose.row + ca * sr - sa * sc;
  *col = pose.col + sa * sr + ca * sc;
}

namespace {
// Projection radius of a box onto a unit axis (ar, ac).
double Radius(const Box& b, double ar, double ac) {
  // The box's row axis is (cos, sin), its column axis (-sin, cos).
  return b.half_rows * std::fabs(ar * b.cosa + ac * b.sina) +
         b.half_cols * std::fabs(-ar * b.sina + ac * b.cosa);
}
}  // namespace

bool BoxesOverlap(const Box& a, const Box& b) {
  const double dr = b.row - a.row;
  const double dc = b.col - a.col;
  const double axes[4][2] = {
      {a.cosa, a.sina}, {-a.sina, a.cosa}, {b.cosa, b.sina}, {-b.sina, b.cosa}};
  for (const auto& ax : axes) {
    const double d = std::fabs(dr * ax[0] + dc * ax[1]);
    if (d > Radius(a, ax[0], ax[1]) + Radius(b, ax[0], ax[1])) return false;
  }
  return true;
}

double BoxMarginToImage(const Box& box) {
  const double er = Radius(box, 1.0, 0.0);
  const double ec = Radius(box, 0.0, 1.0);
  const double m1 = std::min(box.row - er, (kHeight - 1) - (box.row + er));
  const double m2 = std::min(box.col - ec, (kWidth - 1) - (box.col + ec));
  return std::min(m1, m2);
}

const char* PartKindName(PartKind kind) {
  switch (kind) {
    case PartKind::Capacitor:
      return "capacitor";
    case PartKind::SmallPart:
      return "small part";
    case PartKind::LargePart:
      return "large part";
    case PartKind::DarkPartOnPatch:
      return "dark part on bright patch";
    case PartKind::EmptyFootprint:
      return "empty footprint";
    case PartKind::Trace:
      return "trace";
    case PartKind::Via:
      return "via";
    case PartKind::SilkText:
      return "silk-screen text";
    case PartKind::SilkMark:
      return "silk-screen mark";
    case PartKind::Fiducial:
      return "fiducial";
    case PartKind::MountingHole:
      return "mounting hole";
    case PartKind::Occluder:
      return "occluder";
  }
  return "?";
}

std::vector<std::pair<double, double>> CapacitorOutline(const Pose& pose, double spacing) {
  // Walk the model outline (straight edges and quarter arcs) in model pixels; the step is
  // divided by the larger scale, so the spacing in the image is at most `spacing`.
  const double step = spacing / std::max(pose.row_scale, pose.col_scale);
  const double r = kCapRadius;
  const double er = kCapHalfRows - r;
  const double ec = kCapHalfCols - r;
  std::vector<std::pair<double, double>> model;
  auto edge = [&](double r0, double c0, double r1, double c1) {
    const double len = std::sqrt((r1 - r0) * (r1 - r0) + (c1 - c0) * (c1 - c0));
    const int n = std::max(1, static_cast<int>(std::ceil(len / step)));
    for (int i = 0; i < n; ++i) {
      const double t = static_cast<double>(i) / n;
      model.emplace_back(r0 + t * (r1 - r0), c0 + t * (c1 - c0));
    }
  };
  auto arc = [&](double cr, double cc, double a0) {
    const int n = std::max(1, static_cast<int>(std::ceil(r * kPi / 2.0 / step)));
    for (int i = 0; i < n; ++i) {
      const double a = a0 + (kPi / 2.0) * static_cast<double>(i) / n;
      model.emplace_back(cr - r * Sin(a), cc + r * Cos(a));
    }
  };
  // Clockwise on screen starting at the top edge's left end.
  // Arc points are (cr - r sin a, cc + r cos a): a = 0 points right, a = pi/2 up.
  edge(-kCapHalfRows, -ec, -kCapHalfRows, ec);
  arc(-er, ec, 0.0);
  edge(-er, kCapHalfCols, er, kCapHalfCols);
  arc(er, ec, -kPi / 2.0);
  edge(kCapHalfRows, ec, kCapHalfRows, -ec);
  arc(er, -ec, -kPi);
  edge(er, -kCapHalfCols, -er, -kCapHalfCols);
  arc(-er, -ec, kPi / 2.0);
  std::vector<std::pair<double, double>> out;
  out.reserve(model.size());
  for (const auto& [mr, mc] : model) {
    double ir = 0, ic = 0;
    PoseApply(pose, mr, mc, &ir, &ic);
    out.emplace_back(ir, ic);
  }
  return out;
}

bool ShapeContains(const Shape& s, double row, double col, double grow) {
  switch (s.geometry) {
    case Geometry::RoundRect: {
      const Pose& p = s.pose;
      const double ca = Cos(p.angle);
      const double sa = Sin(p.angle);
      const double dr = row - p.row;
      const double dc = col - p.col;
      const double g = grow / std::min(p.row_scale, p.col_scale);
      const double mv = (ca * dr + sa * dc) / p.row_scale;
      const double mu = (-sa * dr + ca * dc) / p.col_scale;
      const double rad = s.radius + g;
      const double qr = std::fabs(mv) - (s.half_rows - s.radius);
      const double qc = std::fabs(mu) - (s.half_cols - s.radius);
      if (qr > 0.0 && qc > 0.0) return qr * qr + qc * qc <= rad * rad;
      return qr <= rad && qc <= rad;
    }
    case Geometry::Capsule: {
      const double er = s.row1 - s.row0;
      const double ec = s.col1 - s.col0;
      const double len2 = er * er + ec * ec;
      double t = 0.0;
      if (len2 > 0.0) t = std::clamp(((row - s.row0) * er + (col - s.col0) * ec) / len2, 0.0, 1.0);
      const double dr = row - (s.row0 + t * er);
      const double dc = col - (s.col0 + t * ec);
      const double rad = s.radius + grow;
      return dr * dr + dc * dc <= rad * rad;
    }
    case Geometry::Disc: {
      const double dr = row - s.row0;
      const double dc = col - s.col0;
      const double rad = s.radius + grow;
      return dr * dr + dc * dc <= rad * rad;
    }
  }
  return false;
}

// --- Layout -------------------------------------------------------------------------------------

namespace {

// Painting layers, bottom to top.
enum Layer : int {
  kPour = 0,
  kTrack = 1,
  kVia = 2,
  kSilk = 3,
  kPad = 4,
  kUnder = 5,  // solder fillets, leads, bases
  kBody = 6,
  kMarking = 7,
  kOccluder = 8,
};

// Values of the board's materials (before lighting).
struct Palette {
  double pad = 182;    // tinned copper
  double fillet = 26;  // solder fillet and shadow around a part
  double silk = 178;   // white print
  double track = 18;   // copper under the mask: board + this
  double ic = 30;      // black moulding
  double lead = 200;
};

Box MakeBox(double row, double col, double half_rows, double half_cols, double angle) {
  return Box{row, col, half_rows, half_cols, Cos(angle), Sin(angle)};
}

Box Grow(Box b, double by) {
  b.half_rows += by;
  b.half_cols += by;
  return b;
}

// A segment with the given half width as a box.
Box SegmentBox(double r0, double c0, double r1, double c1, double half_width) {
  const double dr = r1 - r0;
  const double dc = c1 - c0;
  const double len = std::sqrt(dr * dr + dc * dc);
  Box b;
  b.row = 0.5 * (r0 + r1);
  b.col = 0.5 * (c0 + c1);
  b.half_rows = half_width;
  b.half_cols = 0.5 * len + half_width;
  // The column axis (-sin, cos) runs along the segment.
  b.cosa = len > 0.0 ? dc / len : 1.0;
  b.sina = len > 0.0 ? -dr / len : 0.0;
  return b;
}

Shape RoundRectShape(int layer, const Pose& pose, double half_rows, double half_cols, double radius,
                     Shader shader, double a, double b = 0, double c = 0) {
  Shape s;
  s.layer = layer;
  s.geometry = Geometry::RoundRect;
  s.shader = shader;
  s.pose = pose;
  s.half_rows = half_rows;
  s.half_cols = half_cols;
  s.radius = radius;
  s.a = a;
  s.b = b;
  s.c = c;
  return s;
}

Shape CapsuleShape(int layer, double r0, double c0, double r1, double c1, double radius,
                   Shader shader, double a, double b = 0) {
  Shape s;
  s.layer = layer;
  s.geometry = Geometry::Capsule;
  s.shader = shader;
  s.row0 = r0;
  s.col0 = c0;
  s.row1 = r1;
  s.col1 = c1;
  s.radius = radius;
  s.a = a;
  s.b = b;
  return s;
}

Shape DiscShape(int layer, double row, double col, double radius, double inner, Shader shader,
                double a, double b = 0, double c = 0) {
  Shape s;
  s.layer = layer;
  s.geometry = Geometry::Disc;
  s.shader = shader;
  s.row0 = row;
  s.col0 = col;
  s.radius = radius;
  s.inner_radius = inner;
  s.a = a;
  s.b = b;
  s.c = c;
  return s;
}

Pose Offset(const Pose& pose, double p_row, double p_col) {
  Pose p = pose;
  PoseApply(pose, p_row, p_col, &p.row, &p.col);
  return p;
}

// A two-terminal chip part (capacitor, resistor) on its pads. The model has half sizes
// (half_rows, half_cols) and is placed with the pose (scales included); the pads reach
// pad_ext pixels beyond the ends, the dark fillet is `fillet` pixels wide all round.
struct Chip {
  double half_rows, half_cols, radius, cap_len;
  double body, cap;
  double pad_ext, fillet;
};

Box ChipFootprint(const Pose& pose, const Chip& chip) {
  return MakeBox(pose.row, pose.col, chip.half_rows * pose.row_scale + chip.fillet,
                 chip.half_cols * pose.col_scale + chip.pad_ext, pose.angle);
}

void DrawChip(std::vector<Shape>& shapes, const Pose& pose, const Chip& chip, const Palette& pal) {
  const double rs = pose.row_scale;
  const double cs = pose.col_scale;
  // Pads: a little narrower than the body, from under the end cap to pad_ext past the end.
  const double pad_from = chip.half_cols - chip.cap_len - 1.0;
  const double pad_to = chip.half_cols + chip.pad_ext / cs;
  const double pad_half_rows = chip.half_rows - 0.16 * chip.half_rows / rs;
  const double pad_radius = std::min(1.5, 0.3 * pad_half_rows);
  for (int side = -1; side <= 1; side += 2) {
    const Pose pp = Offset(pose, 0.0, side * 0.5 * (pad_from + pad_to));
    shapes.push_back(RoundRectShape(kPad, pp, pad_half_rows, 0.5 * (pad_to - pad_from), pad_radius,
                                    Shader::Flat, pal.pad, 6.0));
  }
  const double f = chip.fillet;
  shapes.push_back(RoundRectShape(kUnder, pose, chip.half_rows + f / rs, chip.half_cols + f / cs,
                                  chip.radius + f / std::max(rs, cs), Shader::Flat, pal.fillet,
                                  2.0));
  shapes.push_back(RoundRectShape(kBody, pose, chip.half_rows, chip.half_cols, chip.radius,
                                  Shader::Capacitor, chip.body, chip.cap, chip.cap_len));
}

struct Config {
  std::uint64_t seed;
  int capacitors;
  int occluded;
  double board;
  bool qfp;           // the IC: a square QFP or a long SOIC
  bool electrolytic;  // the big passive: an electrolytic can or a big chip
  Optics optics;
};

Config ConfigFor(int index) {
  Config c{};
  switch (index) {
    case 1:
      c = {0x51D0C0DE0001ULL, 5, 1, 58, true, false, {}};
      c.optics.illumination = 0.25;
      c.optics.light_row = 200;
      c.optics.light_col = 300;
      c.optics.tilt_col = 0.4;
      c.optics.blur_sigma = 0.9;
      c.optics.read_noise = 2.0;
      c.optics.shot_noise = 0.02;
      break;
    case 2:
      c = {0x51D0C0DE0002ULL, 6, 1, 62, false, true, {}};
      c.optics.illumination = 0.35;
      c.optics.light_row = 300;
      c.optics.light_col = 380;
      c.optics.tilt_row = -0.4;
      c.optics.blur_sigma = 1.0;
      c.optics.read_noise = 2.5;
      c.optics.shot_noise = 0.03;
      break;
    case 3:
      c = {0x51D0C0DE0003ULL, 7, 2, 55, true, false, {}};
      c.optics.illumination = 0.35;
      c.optics.light_row = 220;
      c.optics.light_col = 260;
      c.optics.tilt_col = -0.5;
      c.optics.blur_sigma = 1.1;
      c.optics.read_noise = 3.0;
      c.optics.shot_noise = 0.03;
      break;
    case 4:
      c = {0x51D0C0DE0004ULL, 6, 2, 60, false, true, {}};
      c.optics.contrast = 0.5;
      c.optics.offset = 38;
      c.optics.illumination = 0.5;
      c.optics.light_row = 150;
      c.optics.light_col = 450;
      c.optics.tilt_row = 0.3;
      c.optics.tilt_col = -0.4;
      c.optics.blur_sigma = 1.4;
      c.optics.read_noise = 6.5;
      c.optics.shot_noise = 0.05;
      break;
    default:
      throw std::invalid_argument("smdgen: no sample image " + std::to_string(index) +
                                  " (there are images 1 to 4)");
  }
  c.optics.noise_seed = c.seed ^ 0xA5A5A5A5ULL;
  return c;
}

// Where a track may leave a part: a point on a pad and the outward direction (unit vector).
struct Terminal {
  double row, col, dr, dc;
  int own;            // the part's index among the occupied areas
  double half_width;  // of the track
  double chance;      // that a track leaves here
};

class Layout {
 public:
  std::vector<Terminal>& terminals() { return terminals_; }

  // A designator such as "C12" not printed yet on this board (the number counts up if needed).
  std::string Name(char prefix, int number) {
    for (;; ++number) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%c%d", prefix, number);
      if (names_.insert(buf).second) return buf;
    }
  }

  Layout(Scene& scene, std::uint64_t seed) : scene_(scene), rng_(seed) {}

  Rng& rng() { return rng_; }
  Palette& palette() { return pal_; }

  // Whether box is clear of every occupied area whose kind `blocks` accepts, each grown by its
  // own clearance (or by `clearance` when that is not negative).
  template <class Pred>
  bool Free(const Box& box, Pred blocks, int ignore = -1, double clearance = -1.0) const {
    for (std::size_t i = 0; i < occupied_.size(); ++i) {
      if (static_cast<int>(i) == ignore) continue;
      const Entry& e = occupied_[i];
      if (!blocks(e.kind)) continue;
      if (BoxesOverlap(box, Grow(e.footprint, clearance < 0.0 ? e.clearance : clearance))) {
        return false;
      }
    }
    return true;
  }
  // For print: clear of everything but tracks by a few pixels.
  bool FreeForPrint(const Box& box) const {
    return Free(
        box, [](PartKind kind) { return kind != PartKind::Trace; }, -1, 3.0);
  }
  bool FreeAll(const Box& box, int ignore = -1) const {
    return Free(
        box, [](PartKind) { return true; }, ignore);
  }
  // Records a part; `clearance` is kept free around it for what is placed later.
  int Add(PartKind kind, const Box& footprint, double clearance) {
    scene_.parts.push_back(Part{kind, footprint});
    occupied_.push_back(Entry{footprint, kind, clearance});
    return static_cast<int>(occupied_.size()) - 1;
  }
  void Draw(const Shape& s) { scene_.shapes.push_back(s); }

  // A position for a box of the given half sizes and angle, at least `margin` inside the image
  // and clear of everything placed (grown by `clearance`). False after `tries` attempts.
  bool FindSpot(double half_rows, double half_cols, double angle, double margin, double clearance,
                int tries, Box* out) {
    for (int t = 0; t < tries; ++t) {
      // Two statements: the order in which function arguments are evaluated is unspecified.
      const double row = rng_.Uniform(0, kHeight - 1);
      const double col = rng_.Uniform(0, kWidth - 1);
      Box b = MakeBox(row, col, half_rows, half_cols, angle);
      if (BoxMarginToImage(b) < margin) continue;
      if (!FreeAll(Grow(b, clearance))) continue;
      *out = b;
      return true;
    }
    return false;
  }

  void Text(const std::string& text, double row, double col, double height, bool vertical,
            double value, int layer = kSilk) {
    const double radius = std::max(0.75, 0.085 * height);
    for (const Stroke& st : TextStrokes(text, row, col, height, vertical)) {
      Draw(CapsuleShape(layer, st.row0, st.col0, st.row1, st.col1, radius, Shader::Flat, value,
                        3.0));
    }
  }

  // Prints `text` next to the box (above, below, left or right of it), if there is room.
  bool Label(const std::string& text, const Box& near, double height) {
    const double len = TextLength(text, height);
    const double er = Radius(near, 1.0, 0.0);
    const double ec = Radius(near, 0.0, 1.0);
    const int first = rng_.Below(4);
    for (int k = 0; k < 4; ++k) {
      double row = 0, col = 0;
      const double gap = 5.0;
      switch ((first + k) % 4) {
        case 0:  // above
          row = near.row - er - gap - height;
          col = near.col - 0.5 * len;
          break;
        case 1:  // below
          row = near.row + er + gap;
          col = near.col - 0.5 * len;
          break;
        case 2:  // left
          row = near.row - 0.5 * height;
          col = near.col - ec - gap - len;
          break;
        default:  // right
          row = near.row - 0.5 * height;
          col = near.col + ec + gap;
          break;
      }
      const Box box =
          MakeBox(row + 0.5 * height, col + 0.5 * len, 0.5 * height + 1.0, 0.5 * len + 1.0, 0.0);
      if (BoxMarginToImage(box) < 3.0) continue;
      if (!FreeForPrint(box)) continue;
      Text(text, row, col, height, false, pal_.silk);
      Add(PartKind::SilkText, box, 2.0);
      return true;
    }
    return false;
  }

  Scene& scene() { return scene_; }

 private:
  Scene& scene_;
  Rng rng_;
  Palette pal_;
  struct Entry {
    Box footprint;
    PartKind kind;
    double clearance;
  };
  std::vector<Entry> occupied_;
  std::vector<Terminal> terminals_;
  std::set<std::string> names_;
};

// Terminals at both ends of a chip placed with `pose` (its pads end `reach` pixels from the
// centre along the column axis).
void ChipTerminals(Layout& lay, const Pose& pose, double reach, int own, double half_width,
                   double chance) {
  const double ca = Cos(pose.angle);
  const double sa = Sin(pose.angle);
  for (int side = -1; side <= 1; side += 2) {
    const double dr = -side * sa;
    const double dc = side * ca;
    lay.terminals().push_back(
        Terminal{pose.row + reach * dr, pose.col + reach * dc, dr, dc, own, half_width, chance});
  }
}

// --- The parts ----------------------------------------------------------------------------------

void PlaceIc(Layout& lay, bool qfp) {
  Rng& rng = lay.rng();
  const Palette& pal = lay.palette();
  const double body_r = qfp ? 52.0 : 38.0;
  const double body_c = qfp ? 52.0 : 78.0;
  const double lead_len = 11.0;
  const double angle = rng.Uniform(-0.015, 0.015);
  Box spot;
  if (!lay.FindSpot(body_r + lead_len + 3, body_c + (qfp ? lead_len + 3 : 0.0), angle, 6.0, 8.0,
                    4000, &spot)) {
    throw std::runtime_error("smdgen: no room for the IC");
  }
  Pose pose{spot.row, spot.col, angle, 1.0, 1.0};
  const double pitch = qfp ? 8.0 : 12.7;
  std::vector<Terminal> ends;
  // Leads on the long sides (SOIC) or all four (QFP): a pad under each, the bright lead on it.
  auto leads = [&](bool horizontal_side) {
    const double span = horizontal_side ? body_c : body_r;
    const double edge = horizontal_side ? body_r : body_c;
    const int n = static_cast<int>(std::floor((2.0 * span - 12.0) / pitch)) + 1;
    const double first = -0.5 * (n - 1) * pitch;
    for (int side = -1; side <= 1; side += 2) {
      for (int i = 0; i < n; ++i) {
        const double along = first + i * pitch;
        const double out = side * (edge + 0.5 * lead_len);
        const double pr = horizontal_side ? out : along;
        const double pc = horizontal_side ? along : out;
        const Pose lp = Offset(pose, pr, pc);
        const double lhr = horizontal_side ? lead_len * 0.5 + 1.5 : 2.6;
        const double lhc = horizontal_side ? 2.6 : lead_len * 0.5 + 1.5;
        lay.Draw(RoundRectShape(kPad, lp, lhr, lhc, 0.8, Shader::Flat, pal.pad - 15, 5.0));
        Terminal t{};
        const double reach = side * (edge + lead_len - 1.0);
        PoseApply(pose, horizontal_side ? reach : along, horizontal_side ? along : reach, &t.row,
                  &t.col);
        PoseApply(pose, horizontal_side ? side : 0.0, horizontal_side ? 0.0 : side, &t.dr, &t.dc);
        t.dr -= pose.row;
        t.dc -= pose.col;
        t.half_width = 1.4;
        t.chance = 0.3;
        ends.push_back(t);
        lay.Draw(RoundRectShape(kUnder,
                                Offset(pose, horizontal_side ? side * (edge + 4.0) : along,
                                       horizontal_side ? along : side * (edge + 4.0)),
                                horizontal_side ? 5.5 : 1.7, horizontal_side ? 1.7 : 5.5, 0.6,
                                Shader::Flat, pal.lead, 4.0));
      }
    }
  };
  leads(true);
  if (qfp) leads(false);
  lay.Draw(RoundRectShape(kBody, pose, body_r, body_c, 3.0, Shader::Flat, pal.ic, 2.5));
  // Pin-1 dimple and laser marking.
  lay.Draw(DiscShape(kMarking, pose.row - body_r + 10, pose.col - body_c + 10, 4.0, 0.0,
                     Shader::Flat, pal.ic + 14, 1.0));
  const std::string l1 = qfp ? "MCU32F4" : "LM2596S";
  const std::string l2 = qfp ? "QT2217" : "ADJ 24V";
  const double h = 9.0;
  lay.Text(l1, pose.row - 12, pose.col - 0.5 * TextLength(l1, h), h, false, pal.ic + 42, kMarking);
  lay.Text(l2, pose.row + 5, pose.col - 0.5 * TextLength(l2, h), h, false, pal.ic + 42, kMarking);
  const Box fp = MakeBox(pose.row, pose.col, body_r + lead_len + 1.5,
                         body_c + (qfp ? lead_len + 1.5 : 0.0), angle);
  const int own = lay.Add(PartKind::LargePart, fp, 6.0);
  for (Terminal& t : ends) {
    t.own = own;
    lay.terminals().push_back(t);
  }
  // Silk outline corners around the IC.
  const double gr = fp.half_rows + 5;
  const double gc = fp.half_cols + 5;
  for (int sr = -1; sr <= 1; sr += 2) {
    for (int sc = -1; sc <= 1; sc += 2) {
      const double r = pose.row + sr * gr;
      const double c = pose.col + sc * gc;
      if (r < 2 || r > kHeight - 3 || c < 2 || c > kWidth - 3) continue;
      lay.Draw(CapsuleShape(kSilk, r, c, r, c - sc * 14, 1.0, Shader::Flat, pal.silk, 3.0));
      lay.Draw(CapsuleShape(kSilk, r, c, r - sr * 14, c, 1.0, Shader::Flat, pal.silk, 3.0));
    }
  }
  lay.scene().parts.push_back(Part{PartKind::SilkMark, Grow(fp, 5)});
  lay.Label("U1", Grow(fp, 6), 11);
}

bool PlaceBigPassive(Layout& lay, bool electrolytic) {
  Rng& rng = lay.rng();
  const Palette& pal = lay.palette();
  if (electrolytic) {
    const double half = 46;
    Box spot;
    if (!lay.FindSpot(half + 8, half, 0.0, 4.0, 8.0, 4000, &spot)) return false;
    const Pose base{spot.row, spot.col, 0.0, 1.0, 1.0};
    // Pads sticking out above and below the plastic base, the base, the can.
    for (int side = -1; side <= 1; side += 2) {
      lay.Draw(RoundRectShape(kPad, Offset(base, side * (half + 1), 0), 8, 10, 1.5, Shader::Flat,
                              pal.pad, 6.0));
    }
    // The black plastic base: darker than the board, so its square outline has the opposite
    // polarity to a capacitor's.
    lay.Draw(RoundRectShape(kUnder, base, half, half, 9.0, Shader::Flat, 28, 2.5));
    lay.Draw(DiscShape(kBody, base.row, base.col, half - 5, 0.0, Shader::Can, 188, 70, 95));
    lay.Add(PartKind::LargePart, spot, 6.0);
    // Polarity mark on the print beside the negative side.
    lay.Text("+", spot.row - half - 2, spot.col - half - 14, 10, false, pal.silk);
    lay.Label(lay.Name('C', 20 + rng.Below(30)), Grow(spot, 4), 11);
    return true;
  }
  // A big ceramic chip, twice the capacitor's size: far outside the searched scale range.
  const Chip chip{45.0, 98.0, 6.0, 20.0, rng.Uniform(150, 170), rng.Uniform(205, 222), 10.0, 3.5};
  const double angle = rng.Uniform(-0.08, 0.08);
  Box spot;
  if (!lay.FindSpot(chip.half_rows + chip.fillet, chip.half_cols + chip.pad_ext, angle, 8.0, 10.0,
                    4000, &spot)) {
    return false;
  }
  const Pose pose{spot.row, spot.col, angle, 1.0, 1.0};
  DrawChip(lay.scene().shapes, pose, chip, pal);
  lay.Add(PartKind::LargePart, spot, 8.0);
  lay.Label(lay.Name('C', 40 + rng.Below(20)), Grow(spot, 4), 11);
  return true;
}

bool PlaceDarkPart(Layout& lay) {
  Rng& rng = lay.rng();
  const Palette& pal = lay.palette();
  // A dark moulded part with the capacitor's outline, in the capacitors' scale range, on a
  // bright patch: the same shape with the opposite contrast. The patch is far larger than any
  // capacitor (about 2.5 times in rows, 1.9 times in columns), so its own bright outline fits
  // no pose of the searched range.
  Pose pose{0, 0, rng.Uniform(-0.12, 0.12), rng.Uniform(1.0, 1.4), rng.Uniform(0.95, 1.05)};
  const double hr = kCapHalfRows * pose.row_scale + 38.0;
  const double hc = kCapHalfCols * pose.col_scale + 45.0;
  Box spot;
  if (!lay.FindSpot(hr, hc, 0.0, 6.0, 10.0, 4000, &spot)) return false;
  pose.row = spot.row;
  pose.col = spot.col;
  lay.Draw(RoundRectShape(kPad, Pose{spot.row, spot.col, 0.0, 1.0, 1.0}, hr, hc, 4.0, Shader::Flat,
                          pal.pad + 5, 5.0));
  lay.Draw(RoundRectShape(kBody, pose, kCapHalfRows, kCapHalfCols, kCapRadius, Shader::DarkBody, 34,
                          62, 14));
  lay.Add(PartKind::DarkPartOnPatch, spot, 8.0);
  lay.Label(lay.Name('D', 1 + rng.Below(9)), Grow(spot, 4), 11);
  return true;
}

int PlaceSmallParts(Layout& lay, int count) {
  Rng& rng = lay.rng();
  const Palette& pal = lay.palette();
  int placed = 0;
  for (int k = 0; k < count * 4 && placed < count; ++k) {
    const int type = rng.Below(4);
    const bool turned = rng.Chance(0.4);
    const double angle = rng.Uniform(-0.05, 0.05);
    if (type == 3) {  // SOT-23: dark body, one lead on one side, two on the other
      const double br = turned ? 14 : 9;
      const double bc = turned ? 9 : 14;
      Box spot;
      if (!lay.FindSpot(br + (turned ? 0 : 9), bc + (turned ? 9 : 0), angle, 6.0, 6.0, 200,
                        &spot)) {
        continue;
      }
      const Pose pose{spot.row, spot.col, angle, 1.0, 1.0};
      const double off[3][2] = {{-1, -9}, {-1, 9}, {1, 0}};
      for (const auto& o : off) {
        const double pr = turned ? o[1] : o[0] * 14.0;
        const double pc = turned ? o[0] * 14.0 : o[1];
        lay.Draw(RoundRectShape(kPad, Offset(pose, pr, pc), turned ? 4 : 6, turned ? 6 : 4, 1.0,
                                Shader::Flat, pal.pad, 5.0));
      }
      lay.Draw(RoundRectShape(kBody, pose, br, bc, 1.5, Shader::Flat, pal.ic + 6, 2.0));
      lay.Add(PartKind::SmallPart, spot, 6.0);
      lay.Label(lay.Name('Q', 1 + rng.Below(9)), Grow(spot, 2), 9);
      ++placed;
      continue;
    }
    // 0402 or 0603 chip capacitor (bright) or resistor (black body).
    const bool big = type == 1;
    Chip chip{big ? 8.0 : 5.0, big ? 16.0 : 10.0, 1.2, big ? 4.0 : 2.8, 0, 0, big ? 5.0 : 3.5, 1.5};
    const bool resistor = type == 2;
    chip.body = resistor ? pal.ic + 8 : rng.Uniform(150, 170);
    chip.cap = rng.Uniform(200, 220);
    const double a = turned ? angle + kPi / 2.0 : angle;
    // A quarter turn is exact in the pose; its footprint box is the chip's box turned.
    Pose pose{0, 0, a, 1.0, 1.0};
    Box spot;
    if (!lay.FindSpot(chip.half_rows + chip.fillet, chip.half_cols + chip.pad_ext, a, 6.0, 6.0, 200,
                      &spot)) {
      continue;
    }
    pose.row = spot.row;
    pose.col = spot.col;
    DrawChip(lay.scene().shapes, pose, chip, pal);
    const int own = lay.Add(PartKind::SmallPart, spot, 6.0);
    ChipTerminals(lay, pose, chip.half_cols + chip.pad_ext - 2.0, own, big ? 2.0 : 1.5, 0.6);
    lay.Label(lay.Name(resistor ? 'R' : 'C', 10 + rng.Below(60)), Grow(spot, 2), 9);
    ++placed;
  }
  return placed;
}

int PlaceEmptyFootprints(Layout& lay, int count) {
  Rng& rng = lay.rng();
  const Palette& pal = lay.palette();
  int placed = 0;
  for (int k = 0; k < count * 4 && placed < count; ++k) {
    const double pr = rng.Uniform(6, 14);
    const double pc = rng.Uniform(5, 10);
    const double gap = rng.Uniform(8, 30);
    const bool turned = rng.Chance(0.5);
    const double hr = turned ? gap + 2 * pc : pr;
    const double hc = turned ? pr : gap + 2 * pc;
    Box spot;
    if (!lay.FindSpot(hr, hc, 0.0, 6.0, 6.0, 200, &spot)) continue;
    for (int side = -1; side <= 1; side += 2) {
      const double r = spot.row + (turned ? side * (gap + pc) : 0.0);
      const double c = spot.col + (turned ? 0.0 : side * (gap + pc));
      lay.Draw(RoundRectShape(kPad, Pose{r, c, 0.0, 1.0, 1.0}, turned ? pc : pr, turned ? pr : pc,
                              1.2, Shader::Flat, pal.pad, 6.0));
    }
    const int own = lay.Add(PartKind::EmptyFootprint, spot, 5.0);
    ChipTerminals(lay, Pose{spot.row, spot.col, turned ? kPi / 2.0 : 0.0, 1.0, 1.0},
                  gap + 2 * pc - 2.0, own, std::min(pr, pc) * 0.3, 0.4);
    if (rng.Chance(0.6)) lay.Label(lay.Name('C', 70 + rng.Below(30)), Grow(spot, 2), 9);
    ++placed;
  }
  return placed;
}

void PlaceVia(Layout& lay, double row, double col) {
  lay.Draw(DiscShape(kVia, row, col, 5.5, 0.0, Shader::Board, lay.palette().track + 12));
  lay.Draw(DiscShape(kVia, row, col, 2.3, 0.0, Shader::Flat, 12, 1.0));
  lay.Add(PartKind::Via, MakeBox(row, col, 5.5, 5.5, 0.0), 3.0);
}

// A track along the polyline (points in order), if it is clear of everything but the part `own`
// it leaves from; ends in a via when `via` is set.
bool Track(Layout& lay, const std::vector<std::pair<double, double>>& pts, double half_width,
           int own, bool via) {
  auto blocks = [](PartKind) { return true; };
  for (std::size_t i = 0; i + 1 < pts.size(); ++i) {
    const Box b = SegmentBox(pts[i].first, pts[i].second, pts[i + 1].first, pts[i + 1].second,
                             half_width + 3.0);
    if (!lay.Free(b, blocks, own)) return false;
  }
  const auto& end = pts.back();
  if (via) {
    const Box vb = MakeBox(end.first, end.second, 9.0, 9.0, 0.0);
    if (BoxMarginToImage(vb) < 2.0 || !lay.FreeAll(vb, own)) return false;
  }
  for (std::size_t i = 0; i + 1 < pts.size(); ++i) {
    lay.Draw(CapsuleShape(kTrack, pts[i].first, pts[i].second, pts[i + 1].first, pts[i + 1].second,
                          half_width, Shader::Board, lay.palette().track));
  }
  // Record the segments after drawing, so a track does not block itself.
  for (std::size_t i = 0; i + 1 < pts.size(); ++i) {
    lay.Add(
        PartKind::Trace,
        SegmentBox(pts[i].first, pts[i].second, pts[i + 1].first, pts[i + 1].second, half_width),
        3.0);
  }
  if (via) PlaceVia(lay, end.first, end.second);
  return true;
}

// A track leaving a terminal: out along the part, then along the nearest board axis, a 45-degree
// bend, perhaps a straight run, and a via.
void RouteFrom(Layout& lay, const Terminal& t) {
  Rng& rng = lay.rng();
  if (!rng.Chance(t.chance)) return;
  // The board axis nearest to the terminal's direction.
  const bool along_cols = std::fabs(t.dc) >= std::fabs(t.dr);
  const double ar = along_cols ? 0.0 : (t.dr < 0 ? -1.0 : 1.0);
  const double ac = along_cols ? (t.dc < 0 ? -1.0 : 1.0) : 0.0;
  const double scale = t.half_width < 2.5 ? 0.6 : 1.0;
  for (int attempt = 0; attempt < 6; ++attempt) {
    std::vector<std::pair<double, double>> pts;
    pts.emplace_back(t.row, t.col);
    const double l1 = rng.Uniform(8, 26) * scale;
    pts.emplace_back(t.row + l1 * t.dr, t.col + l1 * t.dc);
    const double l2 = rng.Uniform(0, 40) * scale;
    if (l2 > 6) pts.emplace_back(pts.back().first + l2 * ar, pts.back().second + l2 * ac);
    const double turn = rng.Chance(0.5) ? -1.0 : 1.0;
    const double l3 = rng.Uniform(12, 60) * scale / std::sqrt(2.0);
    pts.emplace_back(pts.back().first + l3 * (ar - turn * ac),
                     pts.back().second + l3 * (ac + turn * ar));
    if (rng.Chance(0.5)) {
      // Straight on along the turned direction's board axis.
      const double l4 = rng.Uniform(10, 60) * scale;
      pts.emplace_back(pts.back().first - turn * ac * l4, pts.back().second + turn * ar * l4);
    }
    if (Track(lay, pts, t.half_width, t.own, true)) return;
  }
}

// Tracks coming in from the board edge and ending in a via.
void EdgeTracks(Layout& lay, int count) {
  Rng& rng = lay.rng();
  for (int k = 0; k < count * 6 && count > 0; ++k) {
    std::vector<std::pair<double, double>> pts;
    const int edge = rng.Below(4);
    const double hw = rng.Uniform(2.5, 5.0);
    double r = 0, c = 0, dr = 0, dc = 0;
    switch (edge) {
      case 0:
        r = -10;
        c = rng.Uniform(20, kWidth - 20);
        dr = 1;
        break;
      case 1:
        r = kHeight + 9;
        c = rng.Uniform(20, kWidth - 20);
        dr = -1;
        break;
      case 2:
        c = -10;
        r = rng.Uniform(20, kHeight - 20);
        dc = 1;
        break;
      default:
        c = kWidth + 9;
        r = rng.Uniform(20, kHeight - 20);
        dc = -1;
        break;
    }
    pts.emplace_back(r, c);
    const double l1 = rng.Uniform(40, 160);
    pts.emplace_back(r + dr * l1, c + dc * l1);
    const double turn = rng.Chance(0.5) ? -1.0 : 1.0;
    const double l2 = rng.Uniform(15, 70) / std::sqrt(2.0);
    // 45 degrees off the incoming direction.
    pts.emplace_back(pts.back().first + dr * l2 + turn * dc * l2,
                     pts.back().second + dc * l2 + turn * dr * l2);
    if (rng.Chance(0.6)) {
      const double l3 = rng.Uniform(10, 80);
      pts.emplace_back(pts.back().first + dr * l3, pts.back().second + dc * l3);
    }
    if (Track(lay, pts, hw, -1, true)) --count;
  }
}

void PlaceFiducials(Layout& lay, int count) {
  int placed = 0;
  for (int k = 0; k < 20 && placed < count; ++k) {
    Box spot;
    if (!lay.FindSpot(12, 12, 0.0, 4.0, 6.0, 200, &spot)) continue;
    lay.Draw(DiscShape(kPad, spot.row, spot.col, 12, 0.0, Shader::Flat, 36, 2.0));
    lay.Draw(DiscShape(kUnder, spot.row, spot.col, 5.5, 0.0, Shader::Flat, 205, 4.0));
    lay.Add(PartKind::Fiducial, spot, 4.0);
    ++placed;
  }
}

void PlaceMountingHole(Layout& lay) {
  Rng& rng = lay.rng();
  // In one corner, partly outside the view.
  const int corner = rng.Below(4);
  const double r = (corner & 1) ? kHeight - 1 - rng.Uniform(8, 22) : rng.Uniform(8, 22);
  const double c = (corner & 2) ? kWidth - 1 - rng.Uniform(8, 22) : rng.Uniform(8, 22);
  const Box box = MakeBox(r, c, 34, 34, 0.0);
  if (!lay.FreeAll(box)) return;
  lay.Draw(DiscShape(kSilk, r, c, 33, 31.4, Shader::Flat, lay.palette().silk, 3.0));
  lay.Draw(DiscShape(kPad, r, c, 26, 0.0, Shader::Flat, lay.palette().pad - 10, 6.0));
  lay.Draw(DiscShape(kUnder, r, c, 17, 0.0, Shader::Flat, 8, 1.0));
  lay.Add(PartKind::MountingHole, box, 4.0);
}

void PlacePour(Layout& lay) {
  Rng& rng = lay.rng();
  // A copper area under the solder mask along one edge: slightly lighter board.
  const bool horizontal = rng.Chance(0.5);
  const double depth = rng.Uniform(60, 110);
  const double row = horizontal ? (rng.Chance(0.5) ? -10 + depth / 2 : kHeight + 10 - depth / 2)
                                : rng.Uniform(150, 330);
  const double col = horizontal ? rng.Uniform(200, 440)
                                : (rng.Chance(0.5) ? -10 + depth / 2 : kWidth + 10 - depth / 2);
  const double hr = horizontal ? depth / 2 : rng.Uniform(120, 200);
  const double hc = horizontal ? rng.Uniform(160, 260) : depth / 2;
  lay.Draw(RoundRectShape(kPour, Pose{row, col, 0.0, 1.0, 1.0}, hr, hc, 8.0, Shader::Board, 7.0));
}

// Distance-limited search for an occluder over a capacitor: a label stuck over a corner or a wire
// lying across one. Returns the hidden fraction of the outline (0 if none could be placed).
double PlaceOccluder(Layout& lay, const Capacitor& cap, int own, bool wire) {
  Rng& rng = lay.rng();
  const Pose& pose = cap.pose;
  const auto outline = CapacitorOutline(pose, 1.0);
  auto other_caps = [&](const Box& b) {
    return lay.Free(
        b, [](PartKind k) { return k == PartKind::Capacitor || k == PartKind::DarkPartOnPatch; },
        own);
  };
  for (int attempt = 0; attempt < 400; ++attempt) {
    const double sr = rng.Chance(0.5) ? -1.0 : 1.0;
    const double sc = rng.Chance(0.5) ? -1.0 : 1.0;
    const double way = rng.Chance(0.5) ? -1.0 : 1.0;
    double cr = 0, cc = 0;
    PoseApply(pose, sr * kCapHalfRows, sc * kCapHalfCols, &cr, &cc);
    // Outward diagonal at that corner.
    double dr = cr - pose.row;
    double dc = cc - pose.col;
    const double len = std::sqrt(dr * dr + dc * dc);
    dr /= len;
    dc /= len;
    const double push = rng.Uniform(wire ? -16.0 : -4.0, wire ? 0.0 : 10.0);
    const double qr = cr + push * dr;
    const double qc = cc + push * dc;
    Shape s;
    Box fp;
    if (wire) {
      // Across the corner, roughly perpendicular to the diagonal.
      const double tilt = rng.Uniform(-0.35, 0.35);
      const double ct = Cos(tilt);
      const double st = Sin(tilt);
      const double wr = way * (-dc * ct - dr * st);
      const double wc = way * (dr * ct - dc * st);
      const double l_plus = rng.Uniform(60, 140);
      // The other end leaves the view.
      double l_minus = 0;
      while (l_minus < 1200) {
        const double r = qr - l_minus * wr;
        const double c = qc - l_minus * wc;
        if (r < -12 || r > kHeight + 11 || c < -12 || c > kWidth + 11) break;
        l_minus += 4.0;
      }
      s = CapsuleShape(kOccluder, qr + l_plus * wr, qc + l_plus * wc, qr - l_minus * wr,
                       qc - l_minus * wc, 6.0, Shader::Wire, 125, 45);
      // Check the part of the wire inside the image against the other parts.
      bool clear = true;
      for (double t = -l_minus; t <= l_plus && clear; t += 4.0) {
        const double r = qr + t * wr;
        const double c = qc + t * wc;
        if (r < -10 || r > kHeight + 10 || c < -10 || c > kWidth + 10) continue;
        clear = other_caps(MakeBox(r, c, 10, 10, 0.0));
      }
      if (!clear) continue;
      const double er = qr + l_plus * wr;
      const double ec = qc + l_plus * wc;
      if (er < 8 || er > kHeight - 9 || ec < 8 || ec > kWidth - 9) continue;
      fp =
          SegmentBox(qr + l_plus * wr, qc + l_plus * wc, qr - l_minus * wr, qc - l_minus * wc, 6.0);
    } else {
      const double angle = rng.Uniform(-0.5, 0.5);
      const Pose lp{qr, qc, angle, 1.0, 1.0};
      const double hr = rng.Uniform(10, 14);
      const double hc = rng.Uniform(15, 20);
      s = RoundRectShape(kOccluder, lp, hr, hc, 1.5, Shader::Label, 222, 45,
                         static_cast<double>(rng.Below(1 << 20)));
      fp = MakeBox(qr, qc, hr, hc, angle);
      if (BoxMarginToImage(fp) < 2.0 || !other_caps(Grow(fp, 4.0))) continue;
    }
    int hidden = 0;
    for (const auto& [r, c] : outline) {
      if (ShapeContains(s, r, c, 1.5)) ++hidden;
    }
    const double fraction = static_cast<double>(hidden) / static_cast<double>(outline.size());
    if (fraction < 0.05 || fraction > 0.18) continue;
    lay.Draw(s);
    if (wire) {
      // Soldered end of the wire.
      lay.Draw(DiscShape(kOccluder, s.row0, s.col0, 6.5, 0.0, Shader::Flat, 190, 8.0));
    }
    lay.Add(PartKind::Occluder, fp, 2.0);
    return fraction;
  }
  return 0.0;
}

constexpr Chip kNominalCapacitor{kCapHalfRows, kCapHalfCols, kCapRadius, 16.0,
                                 165.0,        215.0,        10.0,       3.5};

}  // namespace

// --- Scenes -------------------------------------------------------------------------------------

void AddCapacitor(Scene& scene, const Pose& pose) {
  DrawChip(scene.shapes, pose, kNominalCapacitor, Palette{});
  scene.capacitors.push_back(Capacitor{pose, false, 0.0});
  scene.parts.push_back(Part{PartKind::Capacitor, ChipFootprint(pose, kNominalCapacitor)});
}

Scene MakeEmptyScene(std::uint64_t seed) {
  Scene scene;
  scene.index = 0;
  scene.seed = seed;
  scene.texture_seed = seed * 7 + 3;
  scene.board_level = 58;
  scene.optics = ConfigFor(1).optics;
  scene.optics.noise_seed = seed ^ 0x5A5AULL;
  return scene;
}

namespace {

Scene BuildScene(int index, const Config& cfg, std::uint64_t layout_seed) {
  Scene scene;
  scene.index = index;
  scene.seed = layout_seed;
  scene.texture_seed = cfg.seed * 7 + 3;
  scene.board_level = cfg.board;
  scene.optics = cfg.optics;
  Layout lay(scene, layout_seed);
  Rng& rng = lay.rng();
  const Palette& pal = lay.palette();

  PlacePour(lay);
  PlaceMountingHole(lay);
  PlaceIc(lay, cfg.qfp);
  if (!PlaceDarkPart(lay)) {
    throw std::runtime_error("smdgen: no room for the dark part in image " + std::to_string(index));
  }

  // Capacitors: row scales spread evenly over the range (stratified, then shuffled), largest
  // placed first so they fit.
  const int n = cfg.capacitors;
  std::vector<double> row_scales(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    row_scales[std::size_t(i)] =
        Quantize(kMinRowScale + (kMaxRowScale - kMinRowScale) * (i + rng.Uniform()) / n, 10000.0);
  }
  std::sort(row_scales.begin(), row_scales.end(), [](double a, double b) { return a > b; });
  std::vector<int> cap_ids;
  for (int i = 0; i < n; ++i) {
    Chip chip = kNominalCapacitor;
    chip.body = rng.Uniform(150, 176);
    chip.cap = rng.Uniform(203, 226);
    chip.cap_len = rng.Uniform(14, 18);
    Pose pose;
    pose.angle = Quantize(rng.Uniform(-kMaxAngle, kMaxAngle), 1e6);
    pose.row_scale = row_scales[std::size_t(i)];
    pose.col_scale = Quantize(rng.Uniform(kMinColScale, kMaxColScale), 10000.0);
    bool ok = false;
    for (int t = 0; t < 6000 && !ok; ++t) {
      pose.row = Quantize(rng.Uniform(0, kHeight - 1), 1000.0);
      pose.col = Quantize(rng.Uniform(0, kWidth - 1), 1000.0);
      const Box fp = ChipFootprint(pose, chip);
      if (BoxMarginToImage(fp) < 8.0) continue;
      if (!lay.FreeAll(Grow(fp, 14.0))) continue;
      ok = true;
      DrawChip(scene.shapes, pose, chip, pal);
      cap_ids.push_back(lay.Add(PartKind::Capacitor, fp, 14.0));
      ChipTerminals(lay, pose, kCapHalfCols * pose.col_scale + 6.0, cap_ids.back(),
                    rng.Uniform(3.0, 4.5), 0.8);
      scene.capacitors.push_back(Capacitor{pose, false, 0.0});
    }
    if (!ok) {
      throw std::runtime_error("smdgen: no room for capacitor " + std::to_string(i + 1) +
                               " in image " + std::to_string(index));
    }
  }

  if (!PlaceBigPassive(lay, cfg.electrolytic)) PlaceBigPassive(lay, !cfg.electrolytic);

  // Occluders first (they need room next to their capacitor), then the designators.
  for (int k = 0; k < cfg.occluded; ++k) {
    const std::size_t i = std::size_t(k * 3 % n);
    Capacitor& cap = scene.capacitors[i];
    const bool wire = (index + k) % 2 == 0;
    cap.occluded_fraction = PlaceOccluder(lay, cap, cap_ids[i], wire);
    if (cap.occluded_fraction <= 0.0) {
      throw std::runtime_error("smdgen: could not occlude capacitor " + std::to_string(i + 1) +
                               " in image " + std::to_string(index));
    }
    cap.occluded = true;
  }
  for (std::size_t i = 0; i < scene.capacitors.size(); ++i) {
    const Pose& p = scene.capacitors[i].pose;
    lay.Label(lay.Name('C', static_cast<int>(i) + 1),
              Grow(ChipFootprint(p, kNominalCapacitor), 3.0), 11);
  }

  PlaceSmallParts(lay, 5 + rng.Below(4));
  PlaceEmptyFootprints(lay, 2 + rng.Below(2));
  PlaceFiducials(lay, 2);
  for (const Terminal& t : lay.terminals()) RouteFrom(lay, t);
  EdgeTracks(lay, 4 + rng.Below(4));

  // Board marking somewhere free.
  const std::string marks[4] = {"PWR CTRL REV B", "SENSOR IF V1.2", "DRIVE 24V REV C",
                                "IO BOARD 3.1"};
  const std::string& text = marks[index - 1];
  const double h = 12;
  const double len = TextLength(text, h);
  for (int t = 0; t < 300; ++t) {
    const bool vertical = rng.Chance(0.3);
    const double r = rng.Uniform(4, kHeight - 5);
    const double c = rng.Uniform(4, kWidth - 5);
    const Box box = vertical ? MakeBox(r - 0.5 * len, c + 0.5 * h, 0.5 * len + 2, 0.5 * h + 2, 0)
                             : MakeBox(r + 0.5 * h, c + 0.5 * len, 0.5 * h + 2, 0.5 * len + 2, 0);
    if (BoxMarginToImage(box) < 3.0) continue;
    if (!lay.FreeForPrint(box)) continue;
    lay.Text(text, r, c, h, vertical, pal.silk);
    lay.Add(PartKind::SilkText, box, 2.0);
    break;
  }

  std::stable_sort(scene.shapes.begin(), scene.shapes.end(),
                   [](const Shape& a, const Shape& b) { return a.layer < b.layer; });
  return scene;
}

}  // namespace

Scene MakeScene(int index) {
  const Config cfg = ConfigFor(index);
  // Random layouts do not always fit; the next seed of a fixed sequence is tried then, so the
  // result is still fixed.
  std::string last_error;
  for (std::uint64_t attempt = 0; attempt < 32; ++attempt) {
    try {
      return BuildScene(index, cfg, cfg.seed + attempt * 0x1000193ULL);
    } catch (const std::runtime_error& e) {
      last_error = e.what();
    }
  }
  throw std::runtime_error(last_error);
}

std::string ImageName(int index) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "smd_capacitors_%02d", index);
  return buf;
}

std::string GroundTruthCsv(const std::vector<Scene>& scenes) {
  std::string out = kGroundTruthHeader;
  out += '\n';
  for (const Scene& s : scenes) {
    for (const Capacitor& c : s.capacitors) {
      char line[160];
      std::snprintf(line, sizeof line, "%s,%.3f,%.3f,%.6f,%.4f,%.4f,%d\n",
                    ImageName(s.index).c_str(), c.pose.row, c.pose.col, c.pose.angle,
                    c.pose.row_scale, c.pose.col_scale, c.occluded ? 1 : 0);
      out += line;
    }
  }
  return out;
}

}  // namespace smdgen

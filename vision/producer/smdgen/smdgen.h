// smdgen: renders the bundled SMD sample images, smd_capacitors_01 .. 04, and their ground truth.
//
// Each image is a 640 x 480 8-bit grey view of a populated circuit board under an industrial
// camera: a dark textured board with traces, vias, solder pads and silk-screen print, several
// bright SMD capacitors at random poses, and distractors (tiny and huge parts, an IC, a dark part
// on a bright patch, empty footprints, a wire or a label lying over a capacitor). The scene is
// drawn at 4 x 4 supersampling, then lit unevenly, blurred and given sensor noise. Everything is
// deterministic: a fixed seed per image, our own random generator and our own transcendental
// functions (detmath.h), so the pixels are identical on every run and platform.
//
// Pose convention (shared with the shape matcher). A pose is (row, col, angle, row_scale,
// col_scale). A point p of the model, given relative to the model's reference point in
// (row, col) order, lands in the image at
//     (row, col) + R(angle) * diag(row_scale, col_scale) * p,
//     R(angle) = [[cos(angle), -sin(angle)], [sin(angle), cos(angle)]],
// which turns counter-clockwise on screen (rows grow downwards). Pixel centres are at integer
// coordinates. The capacitor model is a rectangle 50 rows by 100 columns with corner radius 6
// (before scaling); the ground truth gives as (row, col) the centre of that rectangle.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace smdgen {

inline constexpr int kWidth = 640;
inline constexpr int kHeight = 480;
inline constexpr int kImageCount = 4;

// The nominal capacitor: half height and half width in model pixels, and the corner radius.
inline constexpr double kCapHalfRows = 25.0;
inline constexpr double kCapHalfCols = 50.0;
inline constexpr double kCapRadius = 6.0;

// The pose ranges the capacitors are drawn from (the matcher searches -10..10 degrees, rows
// 0.9..1.7, columns 0.9..1.1; the generator keeps a little inside those limits).
inline constexpr double kMaxAngle = 9.5 * 3.14159265358979323846 / 180.0;
inline constexpr double kMinRowScale = 0.92;
inline constexpr double kMaxRowScale = 1.68;
inline constexpr double kMinColScale = 0.92;
inline constexpr double kMaxColScale = 1.08;

struct Pose {
  double row = 0;
  double col = 0;
  double angle = 0;  // radians
  double row_scale = 1;
  double col_scale = 1;
};

// Maps a model point (relative to the pose's reference point, row/col order) into the image.
void PoseApply(const Pose& pose, double p_row, double p_col, double* row, double* col);

// An oriented box: centre, half extents along its own row and column axes, rotation angle.
struct Box {
  double row = 0;
  double col = 0;
  double half_rows = 0;
  double half_cols = 0;
  double cosa = 1;
  double sina = 0;
};
bool BoxesOverlap(const Box& a, const Box& b);
// Smallest distance from the box's corners to the image border (negative when it sticks out).
double BoxMarginToImage(const Box& box);

// What a placed object is; every object of the scene is listed with its kind and footprint.
enum class PartKind : std::uint8_t {
  Capacitor,        // the parts the matcher is to find
  SmallPart,        // 0402 / 0603 chips and SOT-23 transistors, far below the scale range
  LargePart,        // ICs and big passives (1812 chip, electrolytic can), far above it
  DarkPartOnPatch,  // a capacitor-sized dark part on a bright patch: the opposite polarity
  EmptyFootprint,   // bare solder pads without a part
  Trace,            // copper tracks under the solder mask
  Via,
  SilkText,  // printed designators and board text
  SilkMark,  // printed outlines, polarity marks
  Fiducial,
  MountingHole,
  Occluder,  // a wire or a label lying over a capacitor's outline
};
const char* PartKindName(PartKind kind);

struct Part {
  PartKind kind;
  Box footprint;
};

// Geometry and shading of one drawn primitive. Primitives are painted in order (later ones on
// top) into the supersampled canvas.
enum class Geometry : std::uint8_t {
  RoundRect,  // a rounded rectangle in model coordinates, placed with a Pose
  Capsule,    // a segment of given radius (stroke, trace, wire)
  Disc,       // a disc or ring around (row, col)
};
enum class Shader : std::uint8_t {
  Flat,       // a + b * fine speckle
  Board,      // the board texture + a
  Capacitor,  // ceramic body a, metal end caps b, cap length c (model px)
  DarkBody,   // dark moulded body a with a lighter band b at the left end, band length c
  Label,      // paper a with a bar code of value b; c seeds the bars
  Wire,       // insulation a with a highlight b along the middle
  Can,        // electrolytic can top: metal a, dark marking b on one side, vent cross c
};

struct Shape {
  int layer = 0;  // painting order: lower layers first, in insertion order within a layer
  Geometry geometry = Geometry::RoundRect;
  Shader shader = Shader::Flat;
  double a = 0, b = 0, c = 0;
  // RoundRect: pose and half sizes / corner radius in model pixels.
  Pose pose;
  double half_rows = 0, half_cols = 0, radius = 0;
  // Capsule: end points and radius (radius above). Disc: centre (row0, col0), radius and
  // inner radius (hole).
  double row0 = 0, col0 = 0, row1 = 0, col1 = 0;
  double inner_radius = 0;
};

// Whether the image point lies inside the shape grown by `grow` pixels (approximately, for
// rounded rectangles the growth is applied in model units scaled by the smaller scale).
bool ShapeContains(const Shape& shape, double row, double col, double grow);
// Points along the outline of the capacitor model placed with the pose, about `spacing` pixels
// apart (image coordinates, row/col pairs).
std::vector<std::pair<double, double>> CapacitorOutline(const Pose& pose, double spacing);

// A capacitor of the ground truth.
struct Capacitor {
  Pose pose;
  bool occluded = false;
  double occluded_fraction = 0;  // part of the outline hidden by the occluder
};

// How an image is lit, blurred and quantised.
struct Optics {
  double contrast = 1.0;  // out = offset + contrast * scene value, before illumination
  double offset = 0.0;
  double illumination = 0.3;                // strength of the uneven lighting
  double light_row = 240, light_col = 320;  // brightest spot of the lighting
  double tilt_row = 0, tilt_col = 0;        // linear lighting gradient (per image height/width)
  double blur_sigma = 1.0;                  // optical blur, output pixels
  double read_noise = 2.0;                  // grey values, standard deviation
  double shot_noise = 0.02;                 // variance per grey value
  std::uint64_t noise_seed = 1;
};

struct Scene {
  int index = 0;  // 1..4
  std::uint64_t seed = 0;
  double board_level = 60;
  std::uint64_t texture_seed = 0;
  std::vector<Capacitor> capacitors;
  std::vector<Part> parts;    // every placed object, capacitors included
  std::vector<Shape> shapes;  // the drawing, bottom to top
  Optics optics;
};

// The scene of sample image `index` (1..4). Throws std::invalid_argument for other indices and
// std::runtime_error if the layout cannot be completed (it always can for the fixed seeds).
Scene MakeScene(int index);
// An empty board (texture only) with the optics of image 1, for tests that draw their own parts.
Scene MakeEmptyScene(std::uint64_t seed);
// Adds a capacitor (pads, solder fillet, body) at the pose to a scene, without layout checks.
void AddCapacitor(Scene& scene, const Pose& pose);

// Renders a scene: kWidth * kHeight grey values, row-major.
std::vector<std::uint8_t> Render(const Scene& scene);
// The same before lighting, blur and noise (scene values, downsampled), for tests.
std::vector<double> RenderClean(const Scene& scene);

// "smd_capacitors_01" etc.
std::string ImageName(int index);
// Ground truth of the scenes: the header line, then one line per capacitor.
std::string GroundTruthCsv(const std::vector<Scene>& scenes);
inline constexpr const char* kGroundTruthHeader =
    "image,row,col,angle_rad,row_scale,col_scale,occluded";

}  // namespace smdgen

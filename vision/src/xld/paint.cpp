// PaintXld: fills closed contours into a copy of an image with exact area coverage.
//
// Coverage is computed analytically (the signed-area accumulation used by outline font
// rasterisers): every contour segment is cut at the pixel grid, and each piece adds its signed
// height to the pixel cell it crosses (weighted by the part of the cell to its right) and to
// every cell to the right of it. A running sum along each row then gives the exact fraction of
// every pixel inside the contour. Pixel centres lie at integer coordinates, so pixel (r, c)
// covers rows r-0.5..r+0.5 and columns c-0.5..c+0.5.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/param.h"
#include "vision/HContourOps.h"
#include "vision/HErrorCodes.h"

namespace vision {

namespace {

constexpr const char* kProc = "PaintXld";

// The most coverage values held at once: taller images are painted in bands of rows, so the
// working memory stays bounded whatever the image's size.
constexpr std::size_t kBandValues = std::size_t{1} << 22;

// a + (b - a) * t without overflow for far-apart a and b (halving is exact).
double Lerp(double a, double b, double t) { return 2.0 * (0.5 * a + (0.5 * b - 0.5 * a) * t); }
// The parameter where the segment from a to b reaches v (a != b).
double Param(double a, double b, double v) { return (0.5 * v - 0.5 * a) / (0.5 * b - 0.5 * a); }

// Coverage of the pixels in rows [row0, row0 + rows) of a width-wide image.
class Coverage {
 public:
  explicit Coverage(int width) : width_(width) {}

  // Starts the band of rows [row0, row0 + rows), all coverage zero.
  void Reset(int row0, int rows) {
    row0_ = row0;
    rows_ = rows;
    acc_.assign(std::size_t(rows) * std::size_t(width_ + 1), 0.0);
  }

  // Adds the segment (r0, c0)-(r1, c1), in image coordinates. The segment is first clipped to
  // the band: its work depends on the band's size, never on how far the segment reaches.
  void Segment(double r0, double c0, double r1, double c1) {
    // Grid coordinates: pixel (r, c) is the unit square [c, c+1] x [r, r+1].
    double x0 = c0 + 0.5, y0 = r0 + 0.5, x1 = c1 + 0.5, y1 = r1 + 0.5;
    if (y0 == y1) return;  // horizontal pieces change no coverage
    const double top = row0_, bottom = double(row0_) + rows_;
    if (std::max(y0, y1) <= top || std::min(y0, y1) >= bottom) return;  // above or below
    if (std::min(x0, x1) >= width_) return;  // right of the image: adds to no pixel
    // Only the part within the band's rows adds coverage.
    const double ya = std::clamp(y0, top, bottom), yb = std::clamp(y1, top, bottom);
    const double xa = ya == y0 ? x0 : Lerp(x0, x1, Param(y0, y1, ya));
    const double xb = yb == y1 ? x1 : Lerp(x0, x1, Param(y0, y1, yb));
    // Split where it crosses the image's left and right edges. A part left of the image adds its
    // full height to column 0, exactly as a vertical edge just left of it; a part right of it
    // adds nothing.
    double ts[4] = {0.0, 1.0, 0.0, 0.0};
    int n = 2;
    for (const double edge : {0.0, double(width_)}) {
      if (xa != xb && (xa - edge) * (xb - edge) < 0) ts[n++] = Param(xa, xb, edge);
    }
    // At most four values: sorted by insertion (std::sort's introsort here makes GCC 12 warn
    // of a bound it cannot overrun in the sanitizer build).
    for (int i = 1; i < n; ++i)
      for (int k = i; k > 0 && ts[k] < ts[k - 1]; --k) std::swap(ts[k], ts[k - 1]);
    // Points along the clipped segment; its ends exactly as they are.
    auto x_at = [&](double t) { return t == 0.0 ? xa : (t == 1.0 ? xb : Lerp(xa, xb, t)); };
    auto y_at = [&](double t) { return t == 0.0 ? ya : (t == 1.0 ? yb : ya + (yb - ya) * t); };
    for (int k = 0; k + 1 < n; ++k) {
      const double xm = Lerp(xa, xb, 0.5 * (ts[k] + ts[k + 1]));
      if (xm >= width_) continue;
      if (xm < 0) {
        Piece(-0.5, y_at(ts[k]), -0.5, y_at(ts[k + 1]));
      } else {
        const double w = width_;
        Piece(std::clamp(x_at(ts[k]), 0.0, w), y_at(ts[k]), std::clamp(x_at(ts[k + 1]), 0.0, w),
              y_at(ts[k + 1]));
      }
    }
  }

  // Turns the accumulated contributions into coverage in [0, 1], in place (first width values
  // of every row).
  void Resolve() {
    for (int r = 0; r < rows_; ++r) {
      double* line = &acc_[std::size_t(r) * std::size_t(width_ + 1)];
      double sum = 0.0;
      for (int c = 0; c < width_; ++c) {
        sum += line[c];
        line[c] = std::min(1.0, std::fabs(sum));
      }
    }
  }

  double At(int row, int col) const {
    return acc_[std::size_t(row - row0_) * std::size_t(width_ + 1) + std::size_t(col)];
  }

 private:
  // Adds a piece lying within the band's rows and within x -0.5 .. width (grid coordinates): it
  // is cut at the pixel grid, so its work is bounded by the band's size.
  void Piece(double x0, double y0, double x1, double y1) {
    if (y0 == y1) return;
    ts_.clear();
    ts_.push_back(0.0);
    ts_.push_back(1.0);
    Crossings(x0, x1, ts_);
    Crossings(y0, y1, ts_);
    std::sort(ts_.begin(), ts_.end());
    for (std::size_t k = 0; k + 1 < ts_.size(); ++k) {
      const double ta = ts_[k], tb = ts_[k + 1];
      if (tb <= ta) continue;
      const double ya = y0 + (y1 - y0) * ta, yb = y0 + (y1 - y0) * tb;
      const double dy = yb - ya;
      if (dy == 0.0) continue;
      const double xm = x0 + (x1 - x0) * (0.5 * (ta + tb));
      const double ym = 0.5 * (ya + yb);
      const long row = static_cast<long>(std::floor(ym)) - row0_;
      if (row < 0 || row >= rows_) continue;
      double* line = &acc_[std::size_t(row) * std::size_t(width_ + 1)];
      const double col = std::floor(xm);
      if (col < 0) {
        line[0] += dy;
      } else if (col < width_) {
        const auto j = static_cast<std::size_t>(col);
        const double inside = dy * (col + 1.0 - xm);
        line[j] += inside;
        line[j + 1] += dy - inside;
      }
    }
  }

  // Parameters in (0, 1) where the segment from a to b crosses an integer.
  static void Crossings(double a, double b, std::vector<double>& ts) {
    if (a == b) return;
    const double lo = std::min(a, b), hi = std::max(a, b);
    for (double k = std::floor(lo) + 1.0; k < hi; k += 1.0) ts.push_back((k - a) / (b - a));
  }

  int width_;
  int row0_ = 0, rows_ = 0;
  std::vector<double> acc_;
  std::vector<double> ts_;
};

template <class T>
void Blend(std::uint8_t* plane_bytes, const Coverage& cov, int width, int row0, int rows,
           double grey, double lo, double hi) {
  T* plane = reinterpret_cast<T*>(plane_bytes);
  for (int r = row0; r < row0 + rows; ++r) {
    for (int c = 0; c < width; ++c) {
      const double a = cov.At(r, c);
      if (a <= 0.0) continue;
      T& px = plane[std::size_t(r) * std::size_t(width) + std::size_t(c)];
      const double v = double(px) + (grey - double(px)) * a;
      if constexpr (std::is_floating_point_v<T>) {
        px = static_cast<T>(v);
      } else {
        px = static_cast<T>(std::clamp(std::floor(v + 0.5), lo, hi));
      }
    }
  }
}

}  // namespace

static void PaintXldImpl(const HObject& contour, const HObject& image, HObject* result,
                         const HTuple& grey_value) {
  if (result == nullptr) detail::Fail(err::kNullOutput, kProc, "no output object given");
  const detail::ImageData& src = detail::SingleImage(image, kProc);
  if (!contour.IsInitialized())
    detail::Fail(err::kObjectEmpty, kProc, "the contour object is empty");
  std::vector<const detail::ContourData*> contours;
  for (const auto& part : contour.Parts()) {
    const auto* c = std::get_if<detail::ContourData>(&part->value);
    if (c == nullptr) detail::Fail(err::kObjectKind, kProc, "a contour was expected, got an image");
    if (!c->IsClosed()) {
      detail::Fail(err::kContourNotClosed, kProc,
                   "contour of " + std::to_string(c->rows.size()) +
                       " points is not closed (its first and last points differ)");
    }
    contours.push_back(c);
  }
  const int channels = src.Channels();
  if (grey_value.Length() != 1 && grey_value.Length() != channels) {
    detail::BadParam(err::kWrongParamCount, kProc, "Grayval", grey_value,
                     "one value or one per channel (" + std::to_string(channels) + ") expected");
  }
  std::vector<double> grey;
  if (!detail::ReadFiniteNumbers(grey_value, &grey)) {
    detail::BadParam(err::kWrongParamType, kProc, "Grayval", grey_value, "numbers expected");
  }

  // A deep copy: the input keeps its pixels.
  detail::ImageData out = detail::AllocateImage(src.type, src.width, src.height, channels, kProc);
  for (int c = 0; c < channels; ++c) {
    std::memcpy(detail::MutablePlane(out, c), src.planes[std::size_t(c)]->data(), src.PlaneBytes());
  }

  // Rows of coverage per band: as many as fit in kBandValues, at least one.
  const int band = static_cast<int>(std::clamp<std::size_t>(
      kBandValues / (std::size_t(src.width) + 1), 1, std::size_t(src.height)));
  Coverage cov(src.width);
  for (const detail::ContourData* c : contours) {
    const auto [rmin, rmax] = std::minmax_element(c->rows.begin(), c->rows.end());
    const int row0 = static_cast<int>(std::clamp(std::floor(*rmin + 0.5), 0.0, double(src.height)));
    const int row1 =
        static_cast<int>(std::clamp(std::floor(*rmax + 0.5) + 1.0, 0.0, double(src.height)));
    for (int b0 = row0; b0 < row1; b0 += band) {
      const int rows = std::min(band, row1 - b0);
      cov.Reset(b0, rows);
      for (std::size_t i = 0; i + 1 < c->rows.size(); ++i) {
        cov.Segment(c->rows[i], c->cols[i], c->rows[i + 1], c->cols[i + 1]);
      }
      cov.Resolve();
      for (int ch = 0; ch < channels; ++ch) {
        const double g = grey.size() == 1 ? grey[0] : grey[std::size_t(ch)];
        std::uint8_t* plane = detail::MutablePlane(out, ch);
        switch (src.type) {
          case detail::PixelType::Byte:
            Blend<std::uint8_t>(plane, cov, src.width, b0, rows, g, 0, 255);
            break;
          case detail::PixelType::UInt2:
            Blend<std::uint16_t>(plane, cov, src.width, b0, rows, g, 0, 65535);
            break;
          case detail::PixelType::Real:
            Blend<float>(plane, cov, src.width, b0, rows, g, 0, 0);
            break;
        }
      }
    }
  }
  *result = detail::MakeObject(std::move(out));
}

void PaintXld(const HObject& contour, const HObject& image, HObject* result,
              const HTuple& grey_value) {
  detail::GuardMemory(kProc, [&] { PaintXldImpl(contour, image, result, grey_value); });
}

}  // namespace vision

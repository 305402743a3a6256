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

// Coverage of the pixels in rows [row0, row0 + rows) of a width-wide image.
class Coverage {
 public:
  Coverage(int width, int row0, int rows)
      : width_(width), row0_(row0), rows_(rows), acc_(std::size_t(rows) * std::size_t(width + 1)) {}

  // Adds the segment (r0, c0)-(r1, c1), in image coordinates.
  void Segment(double r0, double c0, double r1, double c1) {
    // Grid coordinates: pixel (r, c) is the unit square [c, c+1] x [r, r+1].
    const double x0 = c0 + 0.5, y0 = r0 + 0.5, x1 = c1 + 0.5, y1 = r1 + 0.5;
    if (y0 == y1) return;  // horizontal pieces change no coverage
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
  // Parameters in (0, 1) where the segment from a to b crosses an integer.
  static void Crossings(double a, double b, std::vector<double>& ts) {
    if (a == b) return;
    const double lo = std::min(a, b), hi = std::max(a, b);
    for (double k = std::floor(lo) + 1.0; k < hi; k += 1.0) ts.push_back((k - a) / (b - a));
  }

  int width_, row0_, rows_;
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

void PaintXld(const HObject& contour, const HObject& image, HObject* result,
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

  for (const detail::ContourData* c : contours) {
    const auto [rmin, rmax] = std::minmax_element(c->rows.begin(), c->rows.end());
    const int row0 = static_cast<int>(std::clamp(std::floor(*rmin + 0.5), 0.0, double(src.height)));
    const int row1 =
        static_cast<int>(std::clamp(std::floor(*rmax + 0.5) + 1.0, 0.0, double(src.height)));
    if (row1 <= row0) continue;
    Coverage cov(src.width, row0, row1 - row0);
    for (std::size_t i = 0; i + 1 < c->rows.size(); ++i) {
      cov.Segment(c->rows[i], c->cols[i], c->rows[i + 1], c->cols[i + 1]);
    }
    cov.Resolve();
    for (int ch = 0; ch < channels; ++ch) {
      const double g = grey.size() == 1 ? grey[0] : grey[std::size_t(ch)];
      std::uint8_t* plane = detail::MutablePlane(out, ch);
      switch (src.type) {
        case detail::PixelType::Byte:
          Blend<std::uint8_t>(plane, cov, src.width, row0, row1 - row0, g, 0, 255);
          break;
        case detail::PixelType::UInt2:
          Blend<std::uint16_t>(plane, cov, src.width, row0, row1 - row0, g, 0, 65535);
          break;
        case detail::PixelType::Real:
          Blend<float>(plane, cov, src.width, row0, row1 - row0, g, 0, 0);
          break;
      }
    }
  }
  *result = detail::MakeObject(std::move(out));
}

}  // namespace vision

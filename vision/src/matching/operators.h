// What CreateAnisoShapeModel and FindAnisoShapeModel share: reading the pose range and
// reporting a lack of memory. Not installed.
#pragma once

#include <new>
#include <string>
#include <utility>

#include "detail/error.h"
#include "detail/iconic.h"
#include "matching/shape_model.h"
#include "vision/HErrorCodes.h"
#include "vision/HTuple.h"

namespace vision::detail {

// AngleStart in [-100, 100] and AngleExtent in [0, 2 pi]: sets range->a0 and a1.
void ReadAngleRange(const HTuple& start, const HTuple& extent, const char* proc, PoseRange* range);
// ScaleRMin/ScaleRMax (rows) or ScaleCMin/ScaleCMax (columns), each in [0.01, 100], the right
// way round: returns (min, max).
enum class ScaleAxis { kRow, kColumn };
std::pair<double, double> ReadScaleRange(const HTuple& min, const HTuple& max, ScaleAxis axis,
                                         const char* proc);

// The one image an operator works on: an empty object, a contour or an object holding several
// images is refused (the operators take one image; several are passed one at a time).
const ImageData& OneImage(const HObject& object, const char* proc);

// The size of the top-level scan over a range: the pose grid (as Grid in the search makes it)
// and its entries, poses times model points, as doubles so that absurd ranges can be checked
// before they overflow anything. A scan of more than kMaxScanEntries (about 512 MB of tables)
// is refused.
double GridSize(double lo, double hi, double step);
struct ScanSize {
  double angles, row_scales, col_scales, poses, entries;
  bool TooLarge() const;
  std::string Describe(std::size_t points) const;  // "... poses ... (A angles x ...) of N points"
};
ScanSize ScanSizeOf(const ModelLevel& top, const PoseRange& range);
inline constexpr double kMaxScanEntries = 1 << 25;

// Runs an operator's body; memory running out (which only very large inputs make happen) is
// reported as error kOutOfMemory naming the operator and what needed it, like any other failure.
template <class Body>
void ReportOutOfMemory(const char* proc, const char* what, Body&& body) {
  try {
    std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    Fail(err::kOutOfMemory, proc, std::string("not enough memory for ") + what);
  }
}

}  // namespace vision::detail

#include "matching/operators.h"

#include <numbers>

#include "matching/params.h"

namespace vision::detail {

void ReadAngleRange(const HTuple& start, const HTuple& extent, const char* proc, PoseRange* range) {
  range->a0 = NumberInRange(start, proc, "AngleStart", -100.0, 100.0);
  const double ext = NumberParam(extent, proc, "AngleExtent");
  if (ext < 0) {
    Fail(err::kWrongParamRange, proc,
         ParamText("AngleExtent", extent) + ": the extent must not be negative");
  }
  if (ext > 2 * std::numbers::pi + 1e-9) {
    Fail(err::kWrongParamValue, proc,
         ParamText("AngleExtent", extent) + ": at most one full turn (2 pi)");
  }
  range->a1 = range->a0 + ext;
}

std::pair<double, double> ReadScaleRange(const HTuple& min, const HTuple& max, ScaleAxis axis,
                                         const char* proc) {
  const bool rows = axis == ScaleAxis::kRow;
  const char* min_name = rows ? "ScaleRMin" : "ScaleCMin";
  const char* max_name = rows ? "ScaleRMax" : "ScaleCMax";
  const double lo = NumberInRange(min, proc, min_name, 0.01, 100.0);
  const double hi = NumberInRange(max, proc, max_name, 0.01, 100.0);
  CheckRange(lo, hi, proc, min_name, max_name);
  return {lo, hi};
}

}  // namespace vision::detail

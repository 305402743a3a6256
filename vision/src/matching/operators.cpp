#include "matching/operators.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "detail/param.h"

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

const ImageData& OneImage(const HObject& object, const char* proc) {
  if (object.CountObj() > 1) {
    Fail(err::kWrongParamCount, proc,
         "the image object holds " + std::to_string(object.CountObj()) +
             " images; the operator takes one (pass them one at a time)");
  }
  return SingleImage(object, proc);
}

double GridSize(double lo, double hi, double step) {
  return hi - lo <= 1e-12 || step <= 0 ? 1.0 : std::ceil((hi - lo) / step - 1e-9) + 1;
}

bool ScanSize::TooLarge() const { return entries > kMaxScanEntries; }

std::string ScanSize::Describe(std::size_t points) const {
  char text[256];
  std::snprintf(text, sizeof text,
                "%.3g poses on the top pyramid level (%.0f angles x %.0f row scales x %.0f column "
                "scales) of %zu points each, more than %.0f in all",
                poses, angles, row_scales, col_scales, points, kMaxScanEntries);
  return text;
}

ScanSize ScanSizeOf(const ModelLevel& top, const PoseRange& range) {
  ScanSize s{};
  s.angles = GridSize(range.a0, range.a1, top.angle_step);
  s.row_scales = GridSize(range.sr0, range.sr1, top.scale_r_step);
  s.col_scales = GridSize(range.sc0, range.sc1, top.scale_c_step);
  s.poses = s.angles * s.row_scales * s.col_scales;
  s.entries = s.poses * double(std::max<std::size_t>(top.Size(), 1));
  return s;
}

}  // namespace vision::detail

// The shape search's exhaustive scan of its top pyramid level, prepared and run: the grid of
// poses over the range with the model points of each, the scan's thresholds, the scan image
// of unit gradients, the scan of every position and pose (the kernels in scan.h), and the
// candidates it gives. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "matching/pose.h"
#include "matching/pyramid.h"
#include "matching/scan.h"
#include "matching/shape_model.h"

namespace vision::detail {

// n values from lo to hi, both included, equally spaced (n = GridSize(lo, hi, step), so at most
// step apart); the middle of the range alone where the range is (nearly) empty.
std::vector<double> Grid(double lo, double hi, double step);

struct ComboPose {
  double angle, sr, sc;
};

// Every pose of the top level's grid with its model points transformed: rounded offsets in the
// level's pixels and directions times 256, and the padding the offsets need.
struct ScanTables {
  std::vector<ComboPose> combos;
  std::vector<ScanPose> poses;  // offsets set by PrepareScan once the stride is known
  std::vector<std::vector<int>> drs, dcs;
  int pad = 1;
  std::vector<std::int32_t> thresholds;  // per checkpoint, in the scan's units
  std::int32_t final_threshold = 0;
  int offsets_stride = -1;  // the ScanImage stride the poses' offsets are for
};

// What the tables' poses depend on (the thresholds are set by every search).
struct ScanTablesKey {
  std::uint64_t model = 0;  // ShapeModel::serial
  int top = -1;
  PoseRange range;
  bool operator==(const ScanTablesKey&) const = default;
};

inline constexpr double kScanUnit = 256.0 * 256.0;  // a perfect point's product in the scan

// The grid over range with the model points of the top level tm.
ScanTables MakeScanTables(const ModelLevel& tm, const PoseRange& range);

// The scan's thresholds for a search of a model of np top-level points that needs a score of
// need at the top level, with greediness greed.
void SetScanThresholds(std::size_t np, double need, double greed, ScanTables* t);

// The scan image of the top level, and per pixel the best score above the final threshold and
// the index of its pose in the tables (kScanDead and -1 where none reached it).
struct TopScan {
  ScanImage image;
  std::int32_t* best = nullptr;
  std::int32_t* best_combo = nullptr;
};

// Where a top scan lies in one piece of memory (the pyramid's extra bytes): the scan image of a
// width x height top level with the tables' padding, then the best scores and their poses.
struct ScanLayout {
  ScanImage image;
  std::size_t image_elements = 0, pixels = 0;

  ScanLayout(int width, int height, int pad);
  std::size_t Bytes() const;
  // Points scan's image, best and best_combo into bytes (Bytes() of them, 64-byte aligned).
  void Place(std::uint8_t* bytes, TopScan* scan) const;
};

// The top level's unit gradients into the scan image (laid out for the tables' padding), and
// the tables' offsets for its stride.
void PrepareScan(const PyramidLevel& tl, float min_contrast, ScanTables* t, TopScan* scan);

// Every position and pose of the top level into the scan's best scores (in parallel by rows).
void ScanTopLevel(const ScanTables& t, MatchMetric metric, TopScan* scan);

// Local maxima of the best scores over the pose grid (scores as fractions of np points), best
// first, nearby maxima merged into one, at most a few times max_count of them (0: no limit);
// maxima is scratch.
void TopCandidates(const ScanTables& t, const TopScan& scan, std::size_t np, long long max_count,
                   std::vector<Pose>* maxima, std::vector<Pose>* out);

}  // namespace vision::detail

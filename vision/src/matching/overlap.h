// Overlap of matches: the area two matches' boxes share, and the thinning of a search's
// matches by it. Not installed.
#pragma once

#include <vector>

#include "matching/pose.h"
#include "matching/shape_model.h"

namespace vision::detail {

// The area of the intersection of the model's box under pose a and under pose b, over the
// smaller of the two areas: 0 for boxes apart (or of no area), 1 for one inside the other.
double Overlap(const ShapeModel& model, const Pose& a, const Pose& b);

// The matches of cands (best first) that overlap no better match kept before them by more than
// max_overlap (an overlap of exactly max_overlap is allowed), at most max_count of them (0: all).
void SelectByOverlap(const std::vector<Pose>& cands, const ShapeModel& model, double max_overlap,
                     long long max_count, std::vector<Pose>* out);

}  // namespace vision::detail

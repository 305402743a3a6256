// Least-squares refinement of a pose on one pyramid level, and the search of each side of the
// model's box that undoes a fit held by clutter on one side. Not installed.
#pragma once

#include <cstddef>

#include "matching/pose.h"
#include "matching/score.h"
#include "matching/shape_model.h"

namespace vision::detail {

// One least-squares step: every one of the first n model points looks along its normal, within
// +-reach pixels (reach at most 6), for the strongest edge of matching direction and locates it
// to subpixel precision; the pose is then moved to minimise the squared distances along the
// normals, weighted down with the distance, and clamped to the range. Returns false (the pose
// possibly moved) when too few points found an edge or the equations are singular. Every path
// of v gives the reference's pose bit for bit.
bool RefineStep(const LevelView& v, Pose* pose, int reach, const PoseRange& range, std::size_t n);

// Searches each side of the model's bounding box separately over +-reach pixels for a better
// score (ScorePose with greediness greed). Clutter right next to a part (solder pads beyond its
// ends) can hold the least-squares fit on one side while the other side is right; moving one
// side at a time undoes that. Returns whether the pose changed. Only clear gains count: the
// score is flat within a pixel or two of an edge.
bool SideSearch(const LevelView& v, Pose* pose, int reach, const PoseRange& range, double greed);

}  // namespace vision::detail

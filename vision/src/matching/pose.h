// Poses of the shape search and what every part of it computes from one. Not installed.
#pragma once

#include <cmath>

namespace vision::detail {

// A pose (see the pose convention of the matcher: position, angle, row and column scale) and
// its score.
struct Pose {
  double row = 0, col = 0, angle = 0, sr = 1, sc = 1;
  double score = 0;
};

// The linear part of a pose: A = R(angle) diag(sr, sc), and the matrix that maps model
// directions (normals) to image directions, R(angle) diag(1/sr, 1/sc); and the angle's cosine
// and sine.
struct PoseMatrix {
  double a00, a01, a10, a11;
  double n00, n01, n10, n11;
  double cs, sn;
  explicit PoseMatrix(const Pose& p) : cs(std::cos(p.angle)), sn(std::sin(p.angle)) {
    a00 = cs * p.sr, a01 = -sn * p.sc, a10 = sn * p.sr, a11 = cs * p.sc;
    n00 = cs / p.sr, n01 = -sn / p.sc, n10 = sn / p.sr, n11 = cs / p.sc;
  }
};

// Corners of the box [r0, r1] x [c0, c1] (relative to the reference point) under a pose.
inline void BoxCorners(double r0, double r1, double c0, double c1, const Pose& p, double r[4],
                       double c[4]) {
  const PoseMatrix a(p);
  const double br[4] = {r0, r0, r1, r1};
  const double bc[4] = {c0, c1, c1, c0};
  for (int i = 0; i < 4; ++i) {
    r[i] = p.row + a.a00 * br[i] + a.a01 * bc[i];
    c[i] = p.col + a.a10 * br[i] + a.a11 * bc[i];
  }
}

// Best first; ties by position.
inline bool ByScore(const Pose& a, const Pose& b) {
  if (a.score != b.score) return a.score > b.score;
  if (a.row != b.row) return a.row < b.row;
  return a.col < b.col;
}

}  // namespace vision::detail

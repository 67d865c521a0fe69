// Where a frame lies in the scene (its pose), and the focal length of a
// turning camera found from its frames.
#ifndef ZEMB_SWEEP_POSES_H
#define ZEMB_SWEEP_POSES_H

#include <vector>

#include <opencv2/core.hpp>

#include "zemb/options.h"

namespace zemb {

// A frame's pose maps its working-frame pixels into the scene:
// - a turning camera: pixel -> ray, `to_world` = R * K^-1 with R the
//   camera-to-world rotation (the world is the first frame's camera) and K
//   the intrinsics (focal length `focal`, principal point at the centre);
// - a flat scene: pixel -> point of the plane, a similarity, in the first
//   frame's working pixels.
// Either way, a view's pixel p lies in another view at (to_world_b^-1 *
// to_world_a) p, which is all that tracking, links and keyframes need.
struct Pose {
  cv::Matx33d to_world = cv::Matx33d::eye();
  double focal = 0;  // a turning camera's, in working pixels; 0 over a flat scene

  cv::Matx33d rotation(cv::Size working) const;  // R of a turning camera
};

cv::Matx33d intrinsics(double focal, cv::Size size);

// The pose of the first frame.
Pose first_pose(Scene scene, double focal, cv::Size working);

// The pose of a frame from its view's pose and `relative` (frame working
// pixel -> view working pixel). A turning camera's rotation is made a true
// rotation again, so that fitting noise cannot shear it, and its focal
// length follows a zoom that `relative` shows.
Pose pose_from(Scene scene, const Pose& view, const cv::Matx33d& relative, cv::Size view_size, cv::Size frame_size);

// Working pixel of `from` -> working pixel of `to`.
cv::Matx33d relative_between(const Pose& to, const Pose& from);

// The focal length of a camera turning about its centre, from homographies
// between its frames of `size` (frame pixel -> frame pixel): the one that
// makes them rotations, searched from a third to four times `hint`; 0 when
// they do not tell it clearly (too little turn, or not a turning camera).
double estimate_focal(const std::vector<cv::Matx33d>& homographies, cv::Size size, double hint);

}  // namespace zemb

#endif  // ZEMB_SWEEP_POSES_H

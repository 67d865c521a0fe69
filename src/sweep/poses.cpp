// Where frames lie in the scene, and the focal length of a turning camera
// found from its frames.
#include <cmath>
#include <vector>

#include "sweep/poses.h"

namespace zemb {

namespace {

// The rotation that turns the camera's axis where `m` (camera direction ->
// world direction, known only up to scale and noise) turns it, and its
// x axis as close as that allows. Where the fitted transform is not a pure
// rotation (a camera that also moved, a scene that is not far away), the
// frame's centre still lands where the transform put it; the rotation
// nearest to `m` as a whole would move it only half as far as a shift does.
cv::Matx33d rotation_through_centre(const cv::Matx33d& m) {
  const cv::Vec3d z = cv::normalize(cv::Vec3d(m(0, 2), m(1, 2), m(2, 2)));
  cv::Vec3d x(m(0, 0), m(1, 0), m(2, 0));
  x = cv::normalize(x - z * x.dot(z));
  const cv::Vec3d y = z.cross(x);
  return {x[0], y[0], z[0], x[1], y[1], z[1], x[2], y[2], z[2]};
}

// A camera's zoom from one frame to the next, read off their homography H
// (frame pixel -> view pixel): K_view^-1 H K_frame is a rotation up to
// scale, so its three columns have one length, which gives the frame's
// focal length. Changes below kLeastZoom are fitting noise, which would
// otherwise wander the focal length along a long sweep.
double zoom_of(const cv::Matx33d& relative, double focal, cv::Size view_size, cv::Size frame_size) {
  constexpr double kLeastZoom = 0.02;
  const cv::Matx33d a = intrinsics(focal, view_size).inv() * relative;
  const cv::Vec3d c0(a(0, 0), a(1, 0), a(2, 0)), c1(a(0, 1), a(1, 1), a(2, 1)), c2(a(0, 2), a(1, 2), a(2, 2));
  const cv::Vec3d centre = c0 * (frame_size.width / 2.0) + c1 * (frame_size.height / 2.0) + c2;
  const double frame_focal = cv::norm(centre) / ((cv::norm(c0) + cv::norm(c1)) / 2.0);
  const double zoom = frame_focal / focal;
  return std::isfinite(zoom) && std::abs(zoom - 1.0) >= kLeastZoom && zoom > 0.5 && zoom < 2.0 ? zoom : 1.0;
}

}  // namespace

cv::Matx33d intrinsics(double focal, cv::Size size) {
  return {focal, 0, size.width / 2.0, 0, focal, size.height / 2.0, 0, 0, 1};
}

cv::Matx33d Pose::rotation(cv::Size working) const { return to_world * intrinsics(focal, working); }

Pose first_pose(Scene scene, double focal, cv::Size working) {
  Pose pose;
  if (scene == Scene::kTurning) {
    pose.focal = focal;
    pose.to_world = intrinsics(focal, working).inv();
  }
  return pose;
}

Pose pose_from(Scene scene, const Pose& view, const cv::Matx33d& relative, cv::Size view_size, cv::Size frame_size) {
  Pose pose = view;
  pose.to_world = view.to_world * relative;
  if (scene == Scene::kTurning) {
    pose.focal = view.focal * zoom_of(relative, view.focal, view_size, frame_size);
    const cv::Matx33d k = intrinsics(pose.focal, frame_size);
    pose.to_world = rotation_through_centre(pose.to_world * k) * k.inv();
  }
  return pose;
}

cv::Matx33d relative_between(const Pose& to, const Pose& from) { return to.to_world.inv() * from.to_world; }

namespace {

// How far K^-1 H K is from a rotation (up to scale), for each homography
// of a camera turning about its centre: zero at its true focal length.
double rotation_misfit(const std::vector<cv::Matx33d>& homographies, double focal, cv::Size size) {
  const cv::Matx33d k = intrinsics(focal, size), k_inv = k.inv();
  double misfit = 0;
  for (const cv::Matx33d& h : homographies) {
    const cv::Matx33d m = k_inv * h * k;
    const cv::Matx33d product = m * m.t();
    const double scale = cv::trace(product) / 3.0;
    misfit += cv::norm(product * (1.0 / scale) - cv::Matx33d::eye(), cv::NORM_L2SQR);
  }
  return misfit;
}

}  // namespace

double estimate_focal(const std::vector<cv::Matx33d>& homographies, cv::Size size, double hint) {
  // Focal lengths from a third to four times the hint, a grid in log steps,
  // then the best step refined.
  constexpr int kSteps = 64;
  constexpr double kLow = 1.0 / 3.0, kHigh = 4.0;
  std::vector<double> misfits;
  double best = 0, best_misfit = 1e300;
  for (int i = 0; i <= kSteps; ++i) {
    const double focal = hint * kLow * std::pow(kHigh / kLow, static_cast<double>(i) / kSteps);
    misfits.push_back(rotation_misfit(homographies, focal, size));
    if (misfits.back() < best_misfit) best_misfit = misfits.back(), best = focal;
  }
  // A clear minimum inside the range: a focal length well off it fits clearly worse.
  const double ratio = std::pow(kHigh / kLow, 8.0 / kSteps);
  if (best <= hint * kLow * ratio || best >= hint * kHigh / ratio) return 0;
  if (rotation_misfit(homographies, best / ratio, size) < 4 * best_misfit ||
      rotation_misfit(homographies, best * ratio, size) < 4 * best_misfit)
    return 0;
  return best;
}

}  // namespace zemb

// The pieces of the sweep maker that its cameras share; not for use outside
// tools/.
#ifndef ZEMB_CAMERA_PARTS_H
#define ZEMB_CAMERA_PARTS_H

#include <vector>

#include <opencv2/core.hpp>

#include "synthetic_sweep.h"

namespace zemb_tools {

// A frame from the image a camera sees in photo orientation (`window`) and
// the homography that made it from the photo: the window turned into camera
// orientation, with its ground truth.
SweepFrame frame_from_window(const cv::Mat& window, const cv::Matx33d& photo_to_window);

inline double radians(double degrees) { return degrees * CV_PI / 180.0; }

// A pinhole camera's matrix with the optical axis through the middle of the
// pixel grid, so that a quarter turn of the image keeps it there.
cv::Matx33d intrinsics(double focal, cv::Size size);

// A camera's axes (x right, y down, z along the optical axis) in those of a
// reference camera: pan about the vertical axis (positive looks right), then
// pitch about the horizontal axis (positive looks up), then roll about the
// optical axis.
cv::Matx33d camera_turn(double pan_deg, double pitch_deg, double roll_deg);

// The turning and sphere cameras' frames, before camera effects and
// disturbances.
std::vector<SweepFrame> turning_frames(const cv::Mat& photo, const SweepSettings& settings);
std::vector<SweepFrame> sphere_frames(const cv::Mat& equirect, const SweepSettings& settings);

}  // namespace zemb_tools

#endif  // ZEMB_CAMERA_PARTS_H

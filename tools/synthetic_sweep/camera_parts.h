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

// The turning camera's frames, before camera effects and disturbances.
std::vector<SweepFrame> turning_frames(const cv::Mat& photo, const SweepSettings& settings);

}  // namespace zemb_tools

#endif  // ZEMB_CAMERA_PARTS_H

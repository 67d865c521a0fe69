// The geometry both front doors share: a frame's corners, points through a
// homography, and whether a homography can be used at all.
#include <opencv2/core.hpp>

#include "shared/steps.h"

namespace zemb {

std::vector<cv::Point2f> frame_corners(cv::Size size) {
  const float w = static_cast<float>(size.width), h = static_cast<float>(size.height);
  return {{0.0f, 0.0f}, {w, 0.0f}, {w, h}, {0.0f, h}};
}

std::vector<cv::Point2f> project(const std::vector<cv::Point2f>& points, const cv::Mat& homography) {
  std::vector<cv::Point2f> projected;
  // OpenCV takes an empty list for a one-channel image and refuses it; a view
  // may have no points left (an overlay took them all).
  if (points.empty()) return projected;
  cv::perspectiveTransform(points, projected, homography);
  return projected;
}

bool usable_homography(const cv::Mat& homography) {
  return homography.rows == 3 && homography.cols == 3 && homography.type() == CV_64F &&
         cv::checkRange(homography);
}

}  // namespace zemb

// The views frames are tracked against, and how far two of them lie apart.
#include "sweep/view.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace zemb {

View make_view(const PreparedFrame& frame, const std::vector<cv::KeyPoint>& keypoints, const Pose& pose,
               const cv::Matx33d& chain, int frame_index) {
  View view;
  view.gray = frame.gray;
  cv::cvtColor(frame.working, view.detail, cv::COLOR_BGR2GRAY);
  cv::KeyPoint::convert(keypoints, view.points);
  view.scale = frame.scale;
  view.pose = pose;
  view.chain = chain;
  view.working_size = frame.working.size();
  view.frame_index = frame_index;
  return view;
}

cv::Point2d camera_motion(const cv::Matx33d& relative, cv::Size frame_size) {
  const cv::Vec3d centre(frame_size.width / 2.0, frame_size.height / 2.0, 1.0);
  const cv::Vec3d seen = relative * centre;
  return {seen[0] / seen[2] - centre[0], seen[1] / seen[2] - centre[1]};
}

cv::Matx33d later_to_earlier(const View& earlier, const View& later, bool nearby) {
  return nearby ? earlier.chain.inv() * later.chain : relative_between(earlier.pose, later.pose);
}

double progress(const View& earlier, const View& later, bool nearby) {
  cv::Matx33d relative = later_to_earlier(earlier, later, nearby);
  const cv::Point2d moved = camera_motion(relative, later.working_size);
  relative *= 1.0 / relative(2, 2);
  const double zoom = std::sqrt(std::abs(relative(0, 0) * relative(1, 1) - relative(0, 1) * relative(1, 0)));
  return std::max({std::abs(moved.x) / earlier.working_size.width, std::abs(moved.y) / earlier.working_size.height,
                   std::abs(std::log(zoom))});
}

}  // namespace zemb

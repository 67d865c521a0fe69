#include "outline_tracker.h"


#include <opencv2/imgproc.hpp>

namespace zemb_pano {

namespace {

using Outline = std::vector<cv::Point2f>;

Outline project(cv::Size size, const cv::Mat& homography) {
  const float w = static_cast<float>(size.width), h = static_cast<float>(size.height);
  const Outline corners = {{0, 0}, {w, 0}, {w, h}, {0, h}};
  Outline placed;
  cv::perspectiveTransform(corners, placed, homography);
  return placed;
}

}  // namespace

void OutlineTracker::add_placed(const zemb::FrameStatus& status, const cv::Mat& panorama) {
  // The first frame becomes the panorama as it is, at the size of every frame.
  if (outlines_.empty()) working_size_ = panorama.size();
  for (Outline& outline : outlines_)
    for (cv::Point2f& corner : outline) corner += status.canvas_shift;
  outlines_.push_back(project(working_size_, status.placement));
}

cv::Mat OutlineTracker::draw(const cv::Mat& panorama) const {
  // Neighbouring frames overlap most of their width; changing colours tell
  // their edges apart.
  static const cv::Scalar kPalette[] = {{0, 255, 255}, {255, 0, 255}, {255, 255, 0}, {0, 128, 255}, {0, 255, 0}};
  constexpr size_t kColours = sizeof kPalette / sizeof kPalette[0];
  cv::Mat drawn = panorama.clone();
  for (size_t i = 0; i < outlines_.size(); ++i) {
    std::vector<cv::Point> corners;
    for (const cv::Point2f& corner : outlines_[i]) corners.emplace_back(cvRound(corner.x), cvRound(corner.y));
    cv::polylines(drawn, corners, true, kPalette[i % kColours], 2, cv::LINE_AA);
  }
  return drawn;
}

}  // namespace zemb_pano

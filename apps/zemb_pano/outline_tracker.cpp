#include "outline_tracker.h"

#include <climits>

#include <opencv2/imgproc.hpp>

namespace zemb_pano {

namespace {

using Outline = std::vector<cv::Point2f>;

// Pixels the stitcher may change around a placed frame, beyond the outline's
// bounding box: the paste and the seam repair stay within it, and this margin
// absorbs their whole-pixel rounding.
constexpr int kPatchMargin = 2;

Outline project(cv::Size size, const cv::Mat& homography) {
  const float w = static_cast<float>(size.width), h = static_cast<float>(size.height);
  const Outline corners = {{0, 0}, {w, 0}, {w, h}, {0, h}};
  Outline placed;
  cv::perspectiveTransform(corners, placed, homography);
  return placed;
}

int differing_pixels(const cv::Mat& previous, const cv::Mat& panorama, cv::Point at, const cv::Rect& patch) {
  cv::Mat difference;
  cv::absdiff(panorama(cv::Rect(at, previous.size())), previous, difference);
  difference((patch - at) & cv::Rect(cv::Point(), previous.size())).setTo(cv::Scalar::all(0));
  return cv::countNonZero(difference.reshape(1));
}

// Where the previous panorama lies in the new one. The stitcher copies it in
// whole at a whole-pixel offset and then changes only the new frame's area,
// so outside that area the right offset reproduces it exactly. The canvas
// grows left or up only to make room for the new frame, so an offset along
// an axis is possible only when the frame touches the canvas edge there.
cv::Point previous_panorama_offset(const cv::Mat& previous, const cv::Mat& panorama, const Outline& placed) {
  const cv::Rect box = cv::boundingRect(placed);
  const int max_dx = box.x <= 0 ? panorama.cols - previous.cols : 0;
  const int max_dy = box.y <= 0 ? panorama.rows - previous.rows : 0;
  const cv::Rect patch(box.x - kPatchMargin, box.y - kPatchMargin, box.width + 2 * kPatchMargin,
                       box.height + 2 * kPatchMargin);
  cv::Point best;
  int fewest = INT_MAX;
  for (int dy = 0; dy <= max_dy && fewest > 0; ++dy)
    for (int dx = 0; dx <= max_dx && fewest > 0; ++dx) {
      const int differing = differing_pixels(previous, panorama, {dx, dy}, patch);
      if (differing < fewest) {
        fewest = differing;
        best = {dx, dy};
      }
    }
  return best;
}

}  // namespace

void OutlineTracker::add_accepted(const cv::Mat& previous_panorama, const ZembStitcher& stitcher) {
  // The first frame becomes the panorama as it is, at the size of every frame.
  if (previous_panorama.empty()) working_size_ = stitcher.panorama.size();
  const Outline placed = project(working_size_, stitcher.reference.homography);
  if (!previous_panorama.empty()) {
    const cv::Point2f shift = previous_panorama_offset(previous_panorama, stitcher.panorama, placed);
    for (Outline& outline : outlines_)
      for (cv::Point2f& corner : outline) corner += shift;
  }
  outlines_.push_back(placed);
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

// How a render placed the keyframes of a sweep whose ground truth is known:
// points of every keyframe carried to the photo by the truth and to the
// panorama by the render's placement, joined by one homography. Unlike
// registering a panorama to its photo by features, this cannot pair twins on
// a repeating texture.
#ifndef ZEMB_TRUTH_FIT_H
#define ZEMB_TRUTH_FIT_H

#include <vector>

#include <opencv2/core.hpp>

namespace zemb_tools {

// Where each keyframe belongs and where the render put it: kept-image pixel
// -> photo pixel (from the sweep maker's ground truth) and kept-image pixel
// -> panorama pixel (the render's report), 3x3 CV_64F; keyframes the render
// left out have an empty placement.
struct KeyframePlaces {
  std::vector<cv::Mat> to_photo, to_panorama;
  std::vector<cv::Size> sizes;  // of the kept images
};

struct TruthFit {
  cv::Mat photo_to_panorama;  // 3x3 CV_64F; empty when fewer than two keyframes are placed
  int points = 0;             // carried, a 7x7 grid a placed keyframe
  double within = 0;          // share of them the homography carries within the tolerance
  // The panorama's length between its first and last placed keyframes over
  // the scene's, at the placed keyframes' median scale: 1 when the scale
  // holds along the sweep.
  double length = 0;
};

// One RANSAC homography, `tolerance` panorama pixels.
TruthFit fit_to_truth(const KeyframePlaces& places, double tolerance);

// Kept pixel -> photo pixel of a keyframe kept at `kept_size` from a camera
// frame `frame_columns` wide whose truth is `photo_to_frame` (the kept image
// is the frame resized by cv::resize).
cv::Mat kept_to_photo(const cv::Matx33d& photo_to_frame, cv::Size kept_size, int frame_columns);

}  // namespace zemb_tools

#endif  // ZEMB_TRUTH_FIT_H

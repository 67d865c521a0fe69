// What a sweep records for its finished render: the keyframes, where each
// lies, the point correspondences between them, and a way to read each
// keyframe's kept image. zemb::render() takes nothing else, so a record can
// be made by other means (tests, tools) and rendered all the same.
#ifndef ZEMB_RECORD_H
#define ZEMB_RECORD_H

#include <functional>
#include <vector>

#include <opencv2/core.hpp>

#include "zemb/options.h"

namespace zemb {

// A keyframe as the finished render needs it.
struct Keyframe {
  int frame_index = 0;   // the add() call (0-based) that gave it
  cv::Size image_size;   // of the kept image (turned like the working frame)
  // Kept-image pixel -> live canvas pixel (the canvas as it is now: kept up
  // to date when the canvas grows left or up). 3x3 CV_64F.
  cv::Mat placement;
};

// Point correspondences between two keyframes, in their kept-image pixels.
struct KeyframeLink {
  int from = 0;  // earlier keyframe
  int to = 0;    // later keyframe
  std::vector<cv::Point2f> from_points;
  std::vector<cv::Point2f> to_points;
};

struct SweepRecord {
  Scene scene = Scene::kTurning;  // what the camera did, as the sweep modelled it
  std::vector<Keyframe> keyframes;
  std::vector<KeyframeLink> links;
  // The kept image of keyframe i (CV_8UC3 of its image_size). A sweep's
  // record reads it from the sweep, so it is valid while the sweep lives.
  std::function<cv::Mat(int)> image;
};

}  // namespace zemb

#endif  // ZEMB_RECORD_H

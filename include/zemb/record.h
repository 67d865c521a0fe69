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

// A keyframe as the finished render needs it: where the sweep put it live.
struct Keyframe {
  int frame_index = 0;   // the add() call (0-based) that gave it
  cv::Size image_size;   // of the kept image
  // Kept-image pixel -> pixel of the live plane (a flat scene), 3x3 CV_64F.
  // Empty for a turning camera, whose keyframes are placed by rotation.
  cv::Mat placement;
  // A turning camera: the camera-to-world rotation (3x3 CV_64F) and the focal
  // length in kept-image pixels (principal point at the image centre), as
  // the sweep estimated them. Empty and 0 for a flat scene.
  cv::Mat rotation;
  double focal = 0;
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
  // Content fixed in the frame while the scene moved (a logo, a timestamp):
  // 255 there, CV_8U, in the first keyframe's kept-image pixels (scaled to
  // a keyframe of another size). The render treats it as uncovered in every
  // keyframe. Empty when the sweep found none.
  cv::Mat overlay;
  // The way the camera travelled, as the sweep found it. A turning camera
  // swept up or down is projected onto a cylinder lying across the sweep,
  // as one swept sideways is onto a standing one; kAuto: sideways.
  Direction direction = Direction::kAuto;
};

}  // namespace zemb

#endif  // ZEMB_RECORD_H

// A frame something can be tracked against (the last placed frame or a
// keyframe), what describes it for recovery, and how far two views lie
// apart.
#ifndef ZEMB_SWEEP_VIEW_H
#define ZEMB_SWEEP_VIEW_H

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "shared/steps.h"
#include "sweep/poses.h"

namespace zemb {

// Keypoints of a working frame and their descriptors.
struct Description {
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  bool made = false;
};

// The two ways recovery describes frames: binary descriptors, cheap enough
// for a video's lost frame, and float ones that match where the binary ones
// find too little (foliage, grass, a photo set's long jumps), at ten times
// the cost.
enum class Describer { kBinary, kThorough };

struct Descriptions {
  Description binary, thorough;
  Description& of(Describer describer) { return describer == Describer::kBinary ? binary : thorough; }
};

// A frame something can be tracked against: its tracking image, its points
// there, and its pose.
struct View {
  cv::Mat gray;
  std::vector<cv::Point2f> points;  // tracking-image positions
  float scale = 1.0f;               // tracking-image pixels per working-frame pixel
  Pose pose;
  // Working pixel -> the first frame's working pixels, through the fitted
  // relative transforms as they came: what a rotation cannot say (a moving
  // camera's parallax, a lens's distortion) stays in it, so between nearby
  // frames it predicts better than the poses.
  cv::Matx33d chain = cv::Matx33d::eye();
  // Working pixel -> working pixel of the frame placed before it, when it
  // was tracked from that frame; else the identity.
  cv::Matx33d step = cv::Matx33d::eye();
  cv::Size working_size;
  int frame_index = 0;              // the add() call that gave the frame
  cv::Mat detail;                   // the working frame in gray, for descriptors
  // Described once by each describer, when recovery first needs it, on `detail`.
  Descriptions descriptions;
};

View make_view(const PreparedFrame& frame, const std::vector<cv::KeyPoint>& keypoints, const Pose& pose,
               const cv::Matx33d& chain, int frame_index);

// A tracking-image position carried to working-frame pixels.
inline cv::Point2f scaled(cv::Point2f p, float scale) { return {p.x / scale, p.y / scale}; }

// Which way the camera moved from a view to a frame: where the frame's
// centre lies in the view, less the centre (view working pixels), from
// their relative transform (frame pixel -> view pixel).
cv::Point2d camera_motion(const cv::Matx33d& relative, cv::Size frame_size);

// Later working pixel -> earlier working pixel: through the chain of fitted
// transforms between `nearby` views, else through their poses (a turn that
// came round, whose chain has drifted).
cv::Matx33d later_to_earlier(const View& earlier, const View& later, bool nearby);

// How far `later` has moved on from `earlier`: the larger share of a frame
// its centre moved along either axis, or the share by which a zoom changed
// its scale.
double progress(const View& earlier, const View& later, bool nearby = true);

}  // namespace zemb

#endif  // ZEMB_SWEEP_VIEW_H

// Content fixed in the frame while the scene moves: a logo, a timestamp, a
// drone's or dash camera's display, dirt on the lens. Tracked, its points
// say the camera stands still, and where the scene has little texture they
// outvote it; rendered, it smears along the whole panorama. The sweep learns
// where it lies from its first frames and keeps it out of tracking, out of
// the links and out of the finished render.
#ifndef ZEMB_SWEEP_OVERLAY_H
#define ZEMB_SWEEP_OVERLAY_H

#include <vector>

#include <opencv2/core.hpp>

#include "zemb/options.h"

namespace zemb {

// Learns the overlay from the tracking images of the first frames: the
// corners (pixels textured in two directions, so that any motion changes
// them) that keep the grey level they had in the first frame while the
// corners elsewhere change. Edges are left out: a horizon panned along its length
// keeps its level as an overlay would. Each still region found is taken
// whole, as the box around it: overlays are badges and lines of text.
class OverlayFinder {
 public:
  explicit OverlayFinder(const OverlayOptions& options);

  // One more frame's tracking image (CV_8U, every frame the same size).
  // True on the frame the overlay is found; after that, or once the finder
  // has given up (options.learn_frames seen without an answer, or an answer
  // that would cover more than options.max_share of the frame), it learns
  // nothing more.
  bool learn(const cv::Mat& gray);
  bool learning() const { return learning_; }
  // 255 on the overlay, of the tracking images' size; empty while none is known.
  const cv::Mat& mask() const { return mask_; }

 private:
  const cv::Mat& corner_strength(const cv::Mat& gray);
  void count_frame(const cv::Mat& gray);
  bool decide();
  void release_counts();

  OverlayOptions options_;
  bool learning_ = true;
  int frames_ = 0;
  int moving_frames_ = 0;  // frames in which the scene visibly moved
  cv::Mat first_;
  cv::Mat still_;  // CV_32F: moving frames in which a corner pixel kept its level
  cv::Mat seen_;   // CV_32F: moving frames in which the pixel was a corner
  cv::Mat sum_;    // CV_32F: the sum of the moving frames
  cv::Mat strength_sum_;  // CV_32F: the sum of their corner strengths
  cv::Mat mask_;
  // Float images of the tracking image's size, kept from frame to frame:
  // made anew each frame, their pages would cost more than the arithmetic.
  struct Scratch {
    cv::Mat dx, dy, xx, yy, xy, strength, share_of_seen;
  } scratch_;
};

// The boxes around the still regions of `still` (CV_8U, 255 where still),
// grown by `margin` pixels and kept within its size, as a mask of its size.
cv::Mat boxes_around(const cv::Mat& still, int margin);

// The points of `points` outside `mask`'s non-zero pixels (points in its pixels).
std::vector<cv::Point2f> outside(const std::vector<cv::Point2f>& points, const cv::Mat& mask);

}  // namespace zemb

#endif  // ZEMB_SWEEP_OVERLAY_H

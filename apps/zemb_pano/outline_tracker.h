// Keeps the outline of every accepted frame in the coordinates of the current
// panorama, so that all of them can be drawn on the final one.
#ifndef ZEMB_PANO_OUTLINE_TRACKER_H
#define ZEMB_PANO_OUTLINE_TRACKER_H

#include <vector>

#include <opencv2/core.hpp>

#include "zemb/status.h"

namespace zemb_pano {

class OutlineTracker {
 public:
  // After a frame was placed: `status` tells where it went and how far the
  // canvas grew left or up; `panorama` is the canvas after it (the first
  // frame's tells the size every frame goes onto the canvas at).
  void add_placed(const zemb::FrameStatus& status, const cv::Mat& panorama);

  // A copy of `panorama` with every outline drawn on it.
  cv::Mat draw(const cv::Mat& panorama) const;

 private:
  cv::Size working_size_;  // the frames as they go onto the canvas
  std::vector<std::vector<cv::Point2f>> outlines_;
};

}  // namespace zemb_pano

#endif  // ZEMB_PANO_OUTLINE_TRACKER_H

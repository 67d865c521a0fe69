// Keeps the outline of every accepted frame in the coordinates of the current
// panorama, so that all of them can be drawn on the final one.
#ifndef ZEMB_PANO_OUTLINE_TRACKER_H
#define ZEMB_PANO_OUTLINE_TRACKER_H

#include <vector>

#include <opencv2/core.hpp>

#include "zemb_stitcher.h"

namespace zemb_pano {

class OutlineTracker {
 public:
  // After a call of ofcheck_stitch that accepted a frame; `previous_panorama`
  // is the panorama before that call (empty for the first frame).
  void add_accepted(const cv::Mat& previous_panorama, const ZembStitcher& stitcher);

  // A copy of `panorama` with every outline drawn on it.
  cv::Mat draw(const cv::Mat& panorama) const;

 private:
  cv::Size working_size_;  // the frames as they go onto the canvas
  std::vector<std::vector<cv::Point2f>> outlines_;
};

}  // namespace zemb_pano

#endif  // ZEMB_PANO_OUTLINE_TRACKER_H

// The road of one frame through the stitcher's steps, in the order
// ZembStitcher::ofcheck_stitch takes them, with each step timed. Optical flow,
// homography fit, patch warp and seam repair happen inside the steps; they
// are timed by replaying the same calls on the same data next to the real
// step, which alone decides the outcome.
#ifndef ZEMB_STAGE_DRIVER_H
#define ZEMB_STAGE_DRIVER_H

#include <vector>

#include <opencv2/core.hpp>

#include "stitch_steps.h"
#include "zemb_stitcher.h"

namespace zemb_bench {

// Milliseconds of one frame; steps that did not run stay 0.
struct FrameStages {
  int result = 0;       // what ofcheck_stitch returns for this frame
  int keypoints = 0;    // FAST keypoints of the frame: the optical flow's load next frame
  bool placed = false;  // the frame went onto a new canvas
  int canvas_cols = 0;  // panorama after the frame
  cv::Size patch;       // the warped frame's box on the canvas
  // The real steps; their sum is the frame's cost.
  double prepare = 0, detect = 0, track = 0, place = 0, commit = 0;
  // Replays: track = flow + fit; place = canvas composition + warp + seam.
  double flow = 0, fit = 0, warp = 0, seam = 0;
  bool fit_agrees = true;  // the replayed fit found track_reference's homography
  // memcpy of the panorama the frame was placed on, into memory already mapped.
  double panorama_copy = 0;

  double steps() const { return prepare + detect + track + place + commit; }
};

class StageDriver {
 public:
  // Takes `frame` like ofcheck_stitch does, releasing it.
  FrameStages add(cv::Mat& frame);
  const cv::Mat& panorama() const { return stitcher_.panorama; }

 private:
  void track_and_place(const zemb::PreparedFrame& prepared, std::vector<cv::KeyPoint> keypoints,
                       FrameStages& stages);
  void place(const zemb::PreparedFrame& prepared, std::vector<cv::KeyPoint> keypoints,
             const zemb::Tracking& tracking, FrameStages& stages);
  double time_copy(const cv::Mat& panorama);

  ZembStitcher stitcher_{std::string()};  // holds the panorama, band and reference
  zemb::CanvasBuffers buffers_;
  std::vector<unsigned char> copy_target_;
};

}  // namespace zemb_bench

#endif  // ZEMB_STAGE_DRIVER_H

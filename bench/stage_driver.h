// The road of one frame through ZembStitcher::ofcheck_stitch, taken by
// calling the library's own steps in the same order with the fixed path's
// settings (kFixedPath), with track_reference (flow, fit) and place_frame
// (plan, compose, warp, lay) opened into their steps, and each step timed.
// The steps decide everything; nothing here stitches.
#ifndef ZEMB_STAGE_DRIVER_H
#define ZEMB_STAGE_DRIVER_H

#include <array>
#include <vector>

#include <opencv2/core.hpp>

#include "fixed/fixed_path.h"

namespace zemb_bench {

// The timed steps, in the order a frame takes them.
enum Step { kPrepare, kDetect, kFlow, kFit, kPlan, kCompose, kWarp, kLay, kCommit, kSteps };

// The library function behind each step, in the same order.
inline constexpr const char* kStepNames[kSteps] = {
    "prepare_frame (reduce, turn, gray)", "detect_keypoints (FAST)", "track_points (optical flow)",
    "fit_homography (RANSAC)", "plan_placement (geometry)", "compose_canvas (old panorama on the new canvas)",
    "warp_patch", "lay_patch (seam rule)", "commit_placement"};

// One frame; steps that did not run take 0 ms.
struct FrameStages {
  std::array<double, kSteps> ms{};
  int keypoints = 0;    // FAST keypoints of the frame: the optical flow's load next frame
  bool placed = false;  // the frame went onto a new canvas
  int canvas_cols = 0;  // panorama after the frame
  cv::Size patch;       // the warped frame's box on the canvas
  double panorama_copy = 0;  // memcpy of the panorama the frame was placed on

  double total() const;  // the frame's cost: the sum of its steps
  double placement() const { return ms[kPlan] + ms[kCompose] + ms[kWarp] + ms[kLay]; }
};

class StageDriver {
 public:
  // Takes `frame` like ofcheck_stitch does, releasing it.
  FrameStages add(cv::Mat& frame);
  const cv::Mat& panorama() const { return stitcher_.panorama; }

 private:
  cv::Mat track(const zemb::PreparedFrame& prepared, FrameStages& stages);
  bool place(const zemb::PreparedFrame& prepared, std::vector<cv::KeyPoint> keypoints, const cv::Mat& homography,
             FrameStages& stages);
  double time_copy(const cv::Mat& panorama);

  ZembStitcher stitcher_{std::string()};  // holds the panorama, band and reference
  zemb::CanvasBuffers buffers_;
  std::vector<unsigned char> copy_target_;
};

}  // namespace zemb_bench

#endif  // ZEMB_STAGE_DRIVER_H

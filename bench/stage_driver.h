// The road of one frame through ZembStitcher::ofcheck_stitch, timed step by
// step: the driver calls ofcheck_stitch itself and watches the path's steps
// (zemb::StepObserver), each step's time running from the end of the step
// before. Nothing here stitches; the figures are those of the real path.
#ifndef ZEMB_STAGE_DRIVER_H
#define ZEMB_STAGE_DRIVER_H

#include <array>
#include <vector>

#include <opencv2/core.hpp>

#include "bench_support.h"
#include "fixed/fixed_path.h"

namespace zemb_bench {

using zemb::FixedStep;
constexpr int kSteps = zemb::kFixedSteps;

// The library function behind each step, in the order of FixedStep.
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

  double& at(FixedStep step) { return ms[static_cast<int>(step)]; }
  double at(FixedStep step) const { return ms[static_cast<int>(step)]; }
  double total() const;  // the frame's cost: the sum of its steps
  double placement() const;  // plan, compose, warp and lay
};

class StageDriver : private zemb::StepObserver {
 public:
  // ofcheck_stitch on `frame` (which it releases), every step timed.
  FrameStages add(cv::Mat& frame);
  const cv::Mat& panorama() const { return stitcher_.panorama; }

 private:
  void ended(FixedStep step) override;
  void planned(const zemb::Geometry& geometry) override;
  double time_copy(const cv::Mat& panorama);

  ZembStitcher stitcher_{std::string()};
  FrameStages* frame_ = nullptr;  // the frame under way
  Stopwatch since_;               // since the last step ended, or the frame began
  std::vector<unsigned char> copy_target_;
};

}  // namespace zemb_bench

#endif  // ZEMB_STAGE_DRIVER_H

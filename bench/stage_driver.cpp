#include "stage_driver.h"

#include <numeric>

namespace zemb_bench {

double FrameStages::total() const { return std::accumulate(ms.begin(), ms.end(), 0.0); }

double FrameStages::placement() const {
  return at(FixedStep::kPlan) + at(FixedStep::kCompose) + at(FixedStep::kWarp) + at(FixedStep::kLay);
}

FrameStages StageDriver::add(cv::Mat& frame) {
  FrameStages stages;
  frame_ = &stages;
  {
    const zemb::ObservedSteps watching(*this);
    since_ = Stopwatch();
    stitcher_.ofcheck_stitch(frame);
  }
  frame_ = nullptr;
  const zemb::FrameStatus status = zemb::last_status(stitcher_);
  stages.keypoints = status.keypoints;
  stages.placed = status.placed() && !stages.patch.empty();  // planned: not the frame that starts the panorama
  stages.canvas_cols = stitcher_.panorama.cols;
  return stages;
}

void StageDriver::ended(FixedStep step) {
  frame_->at(step) = since_.ms();
  since_ = Stopwatch();
}

// Between the plan and the canvas: what the frame will cover, and the
// driver's own yardstick, a memcpy of the old panorama, kept out of the
// steps' times.
void StageDriver::planned(const zemb::Geometry& geometry) {
  frame_->patch = geometry.patch_rect.size();
  frame_->panorama_copy = time_copy(stitcher_.panorama);
  since_ = Stopwatch();
}

// The panorama's bytes copied once, row by row, into memory already mapped:
// the least that copying the panorama onto a new canvas would cost.
double StageDriver::time_copy(const cv::Mat& panorama) {
  const size_t bytes = panorama.total() * panorama.elemSize();
  if (copy_target_.size() < bytes) copy_target_.resize(bytes + bytes / 4);
  cv::Mat target(panorama.size(), panorama.type(), copy_target_.data());
  return time_of([&] { panorama.copyTo(target); });
}

}  // namespace zemb_bench

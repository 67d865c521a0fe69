#include "stage_driver.h"

#include <numeric>

#include "bench_support.h"

namespace zemb_bench {

namespace {

constexpr const zemb::FixedPathSettings& kSettings = zemb::kFixedPath;

// Runs `step`, writes its time into `ms` and hands back what it returned.
template <typename Step>
auto timed(double& ms, Step&& step) {
  const Stopwatch watch;
  auto value = step();
  ms = watch.ms();
  return value;
}

}  // namespace

double FrameStages::total() const { return std::accumulate(ms.begin(), ms.end(), 0.0); }

FrameStages StageDriver::add(cv::Mat& frame) {
  FrameStages stages;
  const zemb::PreparedFrame prepared =
      timed(stages.ms[kPrepare], [&] { return zemb::prepare_frame(frame, kSettings.preparation); });
  frame.release();
  std::vector<cv::KeyPoint> keypoints =
      timed(stages.ms[kDetect], [&] { return zemb::detect_keypoints(prepared.gray, *detector); });
  stages.keypoints = zemb::count_of(keypoints);
  if (stages.keypoints >= stitcher_.min_keypoints) {
    if (stitcher_.panorama.empty()) {
      zemb::start_panorama(stitcher_, prepared, std::move(keypoints));
    } else {
      const cv::Mat homography = track(prepared, stages);
      stages.placed = !homography.empty() && place(prepared, std::move(keypoints), homography, stages);
    }
  }
  stages.canvas_cols = stitcher_.panorama.cols;
  return stages;
}

// track_reference, one step at a time; empty when the frame is refused.
cv::Mat StageDriver::track(const zemb::PreparedFrame& prepared, FrameStages& stages) {
  const stitch_data& reference = stitcher_.reference;
  std::vector<cv::Point2f> points;
  KeyPointsToPoints(reference.keypoints, points);
  const zemb::Flow flow = timed(stages.ms[kFlow], [&] {
    return zemb::track_points(reference.gray, prepared.gray, std::move(points), kSettings.flow);
  });
  const size_t count = flow.found.size();
  if (static_cast<int>(count) < stitcher_.min_keypoints) return cv::Mat();
  const std::vector<cv::Point2f> current = zemb::divided(flow.to, count, prepared.scale);
  const std::vector<cv::Point2f> on_canvas =
      zemb::project(zemb::divided(flow.from, count, prepared.scale), reference.homography);
  return timed(stages.ms[kFit], [&] { return zemb::fit_homography(current, on_canvas, kSettings.fit); });
}

// place_frame, one step at a time, then commit_placement; false when the
// frame is refused.
bool StageDriver::place(const zemb::PreparedFrame& prepared, std::vector<cv::KeyPoint> keypoints,
                        const cv::Mat& homography, FrameStages& stages) {
  const cv::Mat& panorama = stitcher_.panorama;
  const zemb::Band band{stitcher_.crop_top, stitcher_.crop_bottom, stitcher_.crop_right};
  zemb::Geometry geometry;
  int refusal = 0;
  if (!timed(stages.ms[kPlan], [&] {
        return zemb::plan_placement(panorama, band, prepared.working.size(), homography,
                                    kSettings.placement, kSettings.fit, geometry, refusal);
      }))
    return false;
  stages.patch = geometry.patch_rect.size();
  stages.panorama_copy = time_copy(panorama);
  zemb::Placement placement;
  placement.canvas = timed(stages.ms[kCompose], [&] {
    return zemb::compose_canvas(panorama, geometry, &buffers_, kSettings.placement.max_canvas_side);
  });
  const cv::Mat patch = timed(stages.ms[kWarp], [&] { return zemb::warp_patch(prepared.working, geometry); });
  stages.ms[kLay] =
      time_of([&] { zemb::lay_patch(placement.canvas, patch, geometry, kSettings.placement.seam_band); });
  placement.cropped = placement.canvas(geometry.band_rect);
  placement.band = geometry.band;
  placement.homography = geometry.homography;
  stages.ms[kCommit] =
      time_of([&] { zemb::commit_placement(stitcher_, placement, prepared, std::move(keypoints)); });
  return true;
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

#include "stage_driver.h"

#include <algorithm>
#include <cstring>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "bench_support.h"
#include "seam_repair.h"

namespace zemb_bench {

namespace {

using zemb::count_of;
using zemb::divided;
using zemb::frame_corners;
using zemb::project;
using zemb::translation;
using Outline = std::vector<cv::Point2f>;

// track_reference's optical flow and fit, called with its parameters on its
// data; returns the fitted homography (empty when too few points).
cv::Mat replay_tracking(const stitch_data& reference, const zemb::PreparedFrame& frame, int min_tracked,
                        FrameStages& stages) {
  Outline reference_points, next_points;
  KeyPointsToPoints(reference.keypoints, reference_points);
  std::vector<uchar> status;
  std::vector<float> error;
  Stopwatch flow;
  cv::calcOpticalFlowPyrLK(reference.gray, frame.gray, reference_points, next_points, status, error,
                           cv::Size(21, 21), 3,
                           cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 0.01), 0,
                           1e-4);
  stages.flow = flow.ms();
  if (static_cast<int>(status.size()) < min_tracked) return cv::Mat();
  const Outline current = divided(next_points, status.size(), frame.scale);
  const Outline on_canvas = project(divided(reference_points, status.size(), frame.scale), reference.homography);
  Stopwatch fit;
  cv::Mat homography = cv::findHomography(current, on_canvas, cv::RANSAC, 3.0, cv::noArray(), 2000, 0.995);
  stages.fit = fit.ms();
  return homography;
}

bool same_matrix(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0.0);
}

// Where place_frame put the patch: the placed outline, its bounding box on
// the new canvas and the patch's top-left corner.
struct PatchBox {
  Outline placed;
  cv::Point2f origin;
  cv::Size size;
  cv::Rect on_canvas;
};

PatchBox patch_box(const zemb::Placement& placement, cv::Size working_size) {
  PatchBox box;
  box.placed = project(frame_corners(working_size), placement.homography);
  const Outline& q = box.placed;
  box.origin = {std::min(q[0].x, q[3].x), std::min(q[0].y, q[1].y)};
  const cv::Point2f far_corner{std::min(q[1].x, q[2].x), std::max(q[2].y, q[3].y)};
  box.size = cv::Size(static_cast<int>(far_corner.x - box.origin.x), static_cast<int>(far_corner.y - box.origin.y));
  box.on_canvas = cv::Rect(cv::Point(static_cast<int>(box.origin.x), static_cast<int>(box.origin.y)), box.size) &
                  cv::Rect(cv::Point(0, 0), placement.canvas.size());
  return box;
}

// What the canvas held under the patch before it was laid: the old panorama,
// moved right and down so that no corner of the frame is negative, and zeros.
cv::Mat covered_pixels(const cv::Mat& panorama, const cv::Mat& tracking_homography, cv::Size working_size,
                           const cv::Rect& patch) {
  const Outline q = project(frame_corners(working_size), tracking_homography);
  const float min_x = std::min({q[0].x, q[1].x, q[2].x, q[3].x});
  const float min_y = std::min({q[0].y, q[1].y, q[2].y, q[3].y});
  const cv::Rect old_rect(static_cast<int>(min_x < 0 ? -min_x : 0.0f), static_cast<int>(min_y < 0 ? -min_y : 0.0f),
                          panorama.cols, panorama.rows);
  cv::Mat pixels = cv::Mat::zeros(patch.size(), CV_8UC3);
  const cv::Rect shared = patch & old_rect;
  panorama(shared - old_rect.tl()).copyTo(pixels(shared - patch.tl()));
  return pixels;
}

// The warp and the seam repair of place_frame, replayed on copies of the
// same data: the patch laid onto the pixels it covers on the canvas.
void replay_placement(const cv::Mat& panorama, const cv::Mat& working, const cv::Mat& tracking_homography,
                      const zemb::Placement& placement, FrameStages& stages) {
  const PatchBox box = patch_box(placement, working.size());
  stages.patch = box.on_canvas.size();
  cv::Mat patch;
  Stopwatch warp;
  cv::warpPerspective(working, patch, translation(-box.origin.x, -box.origin.y) * placement.homography, box.size,
                      cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  stages.warp = warp.ms();
  const cv::Mat covered = covered_pixels(panorama, tracking_homography, working.size(), box.on_canvas);
  const cv::Rect seam = zemb::seam_box(box.placed, box.on_canvas);
  const cv::Point patch_origin(static_cast<int>(box.origin.x), static_cast<int>(box.origin.y));
  Stopwatch seam_watch;
  zemb::apply_seam_rule(covered(seam - box.on_canvas.tl()), patch(seam - patch_origin),
                        covered(seam - box.on_canvas.tl()), box.placed, seam);
  stages.seam = seam_watch.ms();
}

}  // namespace

FrameStages StageDriver::add(cv::Mat& frame) {
  FrameStages stages;
  Stopwatch prepare;
  const zemb::PreparedFrame prepared = zemb::prepare_frame(frame);
  frame.release();
  stages.prepare = prepare.ms();
  Stopwatch detect;
  std::vector<cv::KeyPoint> keypoints = zemb::detect_keypoints(prepared.gray);
  stages.detect = detect.ms();
  stages.keypoints = count_of(keypoints);
  stages.result = stages.keypoints;
  if (stages.result < stitcher_.min_keypoints) return stages;
  if (stitcher_.panorama.empty())
    zemb::start_panorama(stitcher_, prepared, std::move(keypoints));
  else
    track_and_place(prepared, std::move(keypoints), stages);
  stages.canvas_cols = stitcher_.panorama.cols;
  return stages;
}

void StageDriver::track_and_place(const zemb::PreparedFrame& prepared, std::vector<cv::KeyPoint> keypoints,
                                  FrameStages& stages) {
  const cv::Mat replayed_fit = replay_tracking(stitcher_.reference, prepared, stitcher_.min_keypoints, stages);
  Stopwatch track;
  const zemb::Tracking tracking = zemb::track_reference(stitcher_.reference, prepared, stitcher_.min_keypoints);
  stages.track = track.ms();
  stages.fit_agrees = same_matrix(replayed_fit, tracking.homography);
  stages.result = tracking.tracked_count;
  if (tracking.tracked_count < stitcher_.min_keypoints) return;
  stages.result = zemb::kNotPlaceable;
  if (tracking.homography.empty()) return;
  place(prepared, std::move(keypoints), tracking, stages);
}

void StageDriver::place(const zemb::PreparedFrame& prepared, std::vector<cv::KeyPoint> keypoints,
                        const zemb::Tracking& tracking, FrameStages& stages) {
  // The placement may grow the panorama in place; the replays need it as it was.
  const cv::Mat old_panorama = stitcher_.panorama.clone();
  Stopwatch place;
  zemb::Placement placement =
      zemb::place_frame(stitcher_.panorama, {stitcher_.crop_top, stitcher_.crop_bottom, stitcher_.crop_right},
                        prepared.working, tracking.homography, &buffers_);
  stages.place = place.ms();
  stages.result = placement.result;
  if (placement.result < 0) return;
  replay_placement(old_panorama, prepared.working, tracking.homography, placement, stages);
  stages.panorama_copy = time_copy(old_panorama);
  stages.result = std::min(count_of(keypoints), tracking.tracked_count);
  stages.placed = true;
  Stopwatch commit;
  zemb::commit_placement(stitcher_, placement, prepared, std::move(keypoints));
  stages.commit = commit.ms();
}

double StageDriver::time_copy(const cv::Mat& panorama) {
  CV_Assert(panorama.isContinuous());
  const size_t bytes = panorama.total() * panorama.elemSize();
  if (copy_target_.size() < bytes) copy_target_.resize(bytes + bytes / 4);
  Stopwatch copy;
  std::memcpy(copy_target_.data(), panorama.data, bytes);
  return copy.ms();
}

}  // namespace zemb_bench

// The stitcher object: construction, the road of one frame, and removal of
// the working directory.
#include <unistd.h>

#include <opencv2/calib3d.hpp>

#include "fixed/fixed_path.h"

namespace {

// Sets the stitcher back to "not busy" on every way out of a call, exceptions
// included, so that a failing frame can never wedge it.
class BusyScope {
 public:
  explicit BusyScope(int& state) : state_(state) { state_ = 1; }
  ~BusyScope() { state_ = 3; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  int& state_;
};

zemb::FrameStatus refused(zemb::FrameOutcome outcome, int result, int keypoints, int tracked) {
  zemb::FrameStatus status;
  status.outcome = outcome;
  status.count = result;
  status.keypoints = keypoints;
  status.fast_threshold = zemb::kFixedPath.fast_threshold;
  status.tracked = tracked;
  return status;
}

// What ofcheck_stitch returns for a placement refused with `outcome`.
int refusal_result(zemb::FrameOutcome outcome) {
  return outcome == zemb::FrameOutcome::kNotExtended ? zemb::kNotExtended : zemb::kNotPlaceable;
}

zemb::FrameStatus placed(int result, int keypoints, int tracked, cv::Point2f shift, const cv::Mat& placement) {
  zemb::FrameStatus status = refused(zemb::FrameOutcome::kAccepted, result, keypoints, tracked);
  status.on_preview = true;
  status.canvas_shift = shift;
  status.placement = placement.clone();
  return status;
}

}  // namespace

stitch_data::stitch_data() : scale(1.0f), homography(cv::Mat::eye(3, 3, CV_64F)) {}

ZembStitcher::ZembStitcher(std::string path)
    : name(),
      local_path(std::move(path)),
      state(0),
      setting_a(0.1f),
      setting_b(30.0f),
      min_keypoints(zemb::kFixedPath.min_keypoints),
      setting_c(0.2f),
      frame_count(0),
      setting_d(0),
      crop_top(0.0f),
      crop_bottom(0.0f),
      crop_right(0.0f) {
  if (isFloderexit(local_path.c_str())) deleteFile(local_path.c_str());
}

void ZembStitcher::remove_local_path() {
  if (!isFloderexit(local_path.c_str())) return;
  deleteFile(local_path.c_str());
  ::rmdir(local_path.c_str());
}

int ZembStitcher::ofcheck_stitch(cv::Mat& frame) {
  using zemb::FrameOutcome;
  ++frame_count;
  if (state == 1) return zemb::kBusy;
  BusyScope busy(state);
  zemb::check_frame(frame, first_frame_size_, "ofcheck_stitch");
  const cv::Size frame_size = frame.size();
  zemb::PreparedFrame prepared = zemb::prepare_frame(frame, zemb::kFixedPath.preparation);
  frame.release();
  zemb::step_ended(zemb::FixedStep::kPrepare);
  std::vector<cv::KeyPoint> keypoints = zemb::detect_keypoints(prepared.gray, *detector);
  zemb::step_ended(zemb::FixedStep::kDetect);
  const int keypoint_count = zemb::count_of(keypoints);
  if (keypoint_count < min_keypoints) {
    last_status_ = refused(FrameOutcome::kTooFewKeypoints, keypoint_count, keypoint_count, 0);
    return keypoint_count;
  }
  if (panorama.empty()) {
    first_frame_size_ = frame_size;
    zemb::start_panorama(*this, prepared, std::move(keypoints));
    zemb::step_ended(zemb::FixedStep::kCommit);
    last_status_ = placed(keypoint_count, keypoint_count, 0, cv::Point2f(), reference.homography);
    return keypoint_count;
  }
  const zemb::Tracking tracking = zemb::track_reference(reference, prepared, min_keypoints);
  const int tracked = tracking.tracked_count;
  if (tracked < min_keypoints) {
    last_status_ = refused(FrameOutcome::kTooFewTracked, tracked, keypoint_count, tracked);
    return tracked;
  }
  zemb::Placement placement;  // not placeable without a homography
  if (!tracking.homography.empty())
    placement = zemb::place_frame(panorama, {crop_top, crop_bottom, crop_right}, prepared.working,
                                  tracking.homography, &canvas_buffers_, zemb::kFixedPath.placement,
                                  zemb::kFixedPath.fit);
  if (!placement.placed()) {
    const int result = refusal_result(placement.outcome);
    last_status_ = refused(placement.outcome, result, keypoint_count, tracked);
    return result;
  }
  const int result = std::min(keypoint_count, tracked);
  zemb::commit_placement(*this, placement, prepared, std::move(keypoints));
  zemb::step_ended(zemb::FixedStep::kCommit);
  last_status_ = placed(result, keypoint_count, tracked, placement.shift, placement.homography);
  return result;
}

namespace zemb {

namespace {

void set_reference(stitch_data& reference, const PreparedFrame& prepared, std::vector<cv::KeyPoint> keypoints,
                   const cv::Mat& homography) {
  reference.gray = prepared.gray;
  reference.keypoints = std::move(keypoints);
  reference.scale = prepared.scale;
  reference.homography = homography;
}

}  // namespace

FrameStatus last_status(const ZembStitcher& stitcher) { return stitcher.last_status_; }

Tracking track_reference(const stitch_data& reference, const PreparedFrame& frame, int min_tracked) {
  std::vector<cv::Point2f> reference_points;
  KeyPointsToPoints(reference.keypoints, reference_points);
  const Flow flow = track_points(reference.gray, frame.gray, std::move(reference_points), kFixedPath.flow);
  step_ended(FixedStep::kFlow);
  // Every pair goes on, found or not: RANSAC is the only filter of bad pairs.
  const std::vector<cv::Point2f> previous = divided(flow.from, flow.found.size(), frame.scale);
  const std::vector<cv::Point2f> current = divided(flow.to, flow.found.size(), frame.scale);
  Tracking tracking;
  tracking.tracked_count = static_cast<int>(current.size());
  if (tracking.tracked_count < min_tracked) return tracking;
  std::vector<cv::Point2f> previous_on_canvas;
  cv::perspectiveTransform(previous, previous_on_canvas, reference.homography);
  tracking.homography = fit_homography(current, previous_on_canvas, kFixedPath.fit);
  step_ended(FixedStep::kFit);
  return tracking;
}

void start_panorama(ZembStitcher& stitcher, const PreparedFrame& prepared, std::vector<cv::KeyPoint> keypoints) {
  const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
  stitcher.panorama = prepared.working;
  stitcher.cropped = prepared.working;
  stitcher.crop_top = 0.0f;
  stitcher.crop_bottom = static_cast<float>(prepared.working.rows);
  stitcher.crop_right = static_cast<float>(prepared.working.cols);
  set_reference(stitcher.reference, prepared, std::move(keypoints), identity);
}

void commit_placement(ZembStitcher& stitcher, const Placement& placement, const PreparedFrame& prepared,
                      std::vector<cv::KeyPoint> keypoints) {
  stitcher.crop_top = placement.band.top;
  stitcher.crop_bottom = placement.band.bottom;
  stitcher.crop_right = placement.band.right;
  stitcher.cropped = placement.cropped;
  stitcher.panorama = placement.canvas;
  set_reference(stitcher.reference, prepared, std::move(keypoints), placement.homography);
}

}  // namespace zemb

// The stitcher object: construction, the road of one frame, and removal of
// the working directory.
#include <unistd.h>

#include "stitch_steps.h"

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

}  // namespace

stitch_data::stitch_data() : scale(1.0f), homography(cv::Mat::eye(3, 3, CV_64F)) {}

ZembStitcher::ZembStitcher(std::string path)
    : name(),
      local_path(std::move(path)),
      state(0),
      setting_a(0.1f),
      setting_b(30.0f),
      min_keypoints(zemb::fixed_path_options().min_keypoints),
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
  ++frame_count;
  if (state == 1) return 0;
  BusyScope busy(state);
  zemb::check_frame(frame, first_frame_size_);
  const cv::Size frame_size = frame.size();
  zemb::PreparedFrame prepared = zemb::prepare_frame(frame);
  frame.release();
  std::vector<cv::KeyPoint> keypoints = zemb::detect_keypoints(prepared.gray);
  if (zemb::count_of(keypoints) < min_keypoints) return zemb::count_of(keypoints);
  if (panorama.empty()) {
    first_frame_size_ = frame_size;
    const int count = zemb::count_of(keypoints);
    zemb::start_panorama(*this, prepared, std::move(keypoints));
    return count;
  }
  const zemb::Tracking tracking = zemb::track_reference(reference, prepared, min_keypoints);
  if (tracking.tracked_count < min_keypoints) return tracking.tracked_count;
  if (tracking.homography.empty()) return zemb::kNotPlaceable;
  zemb::Placement placement =
      zemb::place_frame(panorama, {crop_top, crop_bottom, crop_right}, prepared.working, tracking.homography,
                        &canvas_buffers_);
  if (placement.result < 0) return placement.result;
  const int result = std::min(zemb::count_of(keypoints), tracking.tracked_count);
  zemb::commit_placement(*this, placement, prepared, std::move(keypoints));
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

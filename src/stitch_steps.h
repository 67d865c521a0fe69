// The named steps of one frame's road through ZembStitcher::ofcheck_stitch,
// each a function that can be called and tested on its own.
#ifndef ZEMB_STITCH_STEPS_H
#define ZEMB_STITCH_STEPS_H

#include <array>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "zemb_stitcher.h"

namespace zemb {

constexpr int kNotExtended = -1;  // the frame does not extend the panorama
constexpr int kNotPlaceable = -2;  // the frame could not be placed
constexpr int kMaxCanvasSide = 32767;

// The frame at the two sizes the stitcher works with.
struct PreparedFrame {
  cv::Mat working;  // at most 500 columns across the camera frame, turned clockwise
  cv::Mat gray;     // working frame at most 300 rows high, gray
  float scale = 1.0f;  // tracking-image pixels per working-frame pixel
};

// The common band: rows [top, bottom) and columns [0, right) of the canvas.
struct Band {
  float top = 0.0f;
  float bottom = 0.0f;
  float right = 0.0f;
};

struct Tracking {
  int tracked_count = 0;
  cv::Mat homography;  // working frame -> current panorama; empty when refused
};

// A frame placed on a new canvas, ready to be committed; `result` < 0 means
// refused, and nothing else is set.
struct Placement {
  int result = 0;
  cv::Mat canvas;
  cv::Mat cropped;
  Band band;
  cv::Mat homography;  // working frame -> new canvas
};

// Throws cv::Exception (StsBadArg) unless `frame` is a non-empty CV_8UC3
// image of `expected_size` (any size while `expected_size` is empty).
void check_frame(const cv::Mat& frame, cv::Size expected_size);

PreparedFrame prepare_frame(cv::Mat& frame);

std::vector<cv::KeyPoint> detect_keypoints(const cv::Mat& gray);

// Tracks the reference's keypoints into `frame` and fits the frame homography
// onto the current panorama. The homography is left empty when the tracked
// count is below `min_tracked` or the fit gives no finite model.
Tracking track_reference(const stitch_data& reference, const PreparedFrame& frame, int min_tracked);

using CanvasBuffers = std::array<cv::Mat, 2>;

// Views the owner of a CanvasBuffers keeps of its current panorama's memory:
// the panorama and its band.
constexpr int kOwnerViews = 2;

// A CV_8UC3 canvas of `size` on which `panorama` is to sit at `old_origin`:
// a view into one of `buffers`. When `panorama` lies in one of them and only
// that buffer and the owner's kOwnerViews views refer to it, and the buffer
// has room, the canvas is `panorama`'s view grown in place, so the old pixels
// already sit at `old_origin`. Otherwise it lies in a buffer that nothing
// else refers to, growing or replacing one when none fits (never the one
// under `panorama`). A fresh image when `buffers` is null.
cv::Mat acquire_canvas(CanvasBuffers* buffers, cv::Size size, const cv::Mat& panorama = cv::Mat(),
                       cv::Point old_origin = cv::Point());

// Places `working` on a new canvas through `homography` and composes it with
// `panorama`. The canvas memory comes from `buffers` when given; there the
// canvas may be `panorama` grown in place (see acquire_canvas), whose pixels
// then change. A refused frame or an exception leaves `panorama` as it was.
Placement place_frame(const cv::Mat& panorama, const Band& band, const cv::Mat& working,
                      const cv::Mat& homography, CanvasBuffers* buffers = nullptr);

// The first frame with enough keypoints starts the panorama, the band and the
// reference (identity homography).
void start_panorama(ZembStitcher& stitcher, const PreparedFrame& prepared, std::vector<cv::KeyPoint> keypoints);

// Makes a placed frame the stitcher's panorama, band and reference at once;
// nothing in it can throw, so the stitcher is never left half-updated.
void commit_placement(ZembStitcher& stitcher, const Placement& placement, const PreparedFrame& prepared,
                      std::vector<cv::KeyPoint> keypoints);

// The corners (0, 0), (W, 0), (W, R), (0, R) of a frame of `size`.
std::vector<cv::Point2f> frame_corners(cv::Size size);

// `points` mapped through `homography`, perspective division included.
std::vector<cv::Point2f> project(const std::vector<cv::Point2f>& points, const cv::Mat& homography);

// The first `count` points, each coordinate divided by `scale`: tracking-image
// positions carried back to the working frame.
std::vector<cv::Point2f> divided(const std::vector<cv::Point2f>& points, size_t count, float scale);

// The 3x3 CV_64F translation by (tx, ty).
cv::Mat translation(double tx, double ty);

int count_of(const std::vector<cv::KeyPoint>& keypoints);

// True for a non-empty 3x3 matrix whose entries are all finite.
bool usable_homography(const cv::Mat& homography);

}  // namespace zemb

#endif  // ZEMB_STITCH_STEPS_H

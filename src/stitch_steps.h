// The named steps of one frame's road through ZembStitcher::ofcheck_stitch,
// each a function that can be called and tested on its own.
#ifndef ZEMB_STITCH_STEPS_H
#define ZEMB_STITCH_STEPS_H

#include <array>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "zemb/options.h"
#include "zemb/results.h"
#include "zemb_stitcher.h"

namespace zemb {

// The frame at the two sizes the stitcher works with.
struct PreparedFrame {
  cv::Mat working;  // at most working_columns across the camera frame, turned clockwise
  cv::Mat gray;     // working frame at most tracking_rows high, gray
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

// Optical flow of `points` from one tracking image into the next: where each
// point went, and whether the flow found it.
struct Flow {
  std::vector<cv::Point2f> from;
  std::vector<cv::Point2f> to;
  std::vector<uchar> found;
};

// Everything about a placement that is known before pixels are touched.
struct Geometry {
  float dx = 0.0f, dy = 0.0f;  // canvas offset of the old panorama
  float left = 0.0f, top = 0.0f, right = 0.0f, bottom = 0.0f;  // the placed frame's bounds
  cv::Mat homography;                // refitted: working frame -> new canvas
  std::vector<cv::Point2f> placed;   // frame corners through `homography`
  cv::Size canvas_size;
  cv::Rect patch_rect;  // where the patch goes, clipped to the canvas
  cv::Size patch_size;
  Band band;
  cv::Rect band_rect;  // the new band, clipped to the canvas
};

// A frame placed on a new canvas, ready to be committed; `result` < 0 means
// refused, and nothing else is set.
struct Placement {
  int result = 0;
  cv::Mat canvas;
  cv::Mat cropped;
  Band band;
  cv::Mat homography;  // working frame -> new canvas
  cv::Point2f shift;   // where the old panorama's origin lies on the new canvas
};

// Throws cv::Exception (StsBadArg) unless `frame` is a non-empty CV_8UC3
// image of `expected_size` (any size while `expected_size` is empty).
void check_frame(const cv::Mat& frame, cv::Size expected_size);

PreparedFrame prepare_frame(const cv::Mat& frame, const SweepOptions& options = fixed_path_options());

// FAST keypoints of the tracking image with the module-wide `detector`.
std::vector<cv::KeyPoint> detect_keypoints(const cv::Mat& gray);

// Pyramidal Lucas-Kanade flow of `points` from `previous` into `next`. With
// `initial` (one guess per point) the search starts from the guesses.
Flow track_points(const cv::Mat& previous, const cv::Mat& next, std::vector<cv::Point2f> points,
                  const SweepOptions& options = fixed_path_options(),
                  const std::vector<cv::Point2f>* initial = nullptr);

// The RANSAC homography taking `from` onto `to`; empty unless finite. When
// `inliers` is given it receives the number of pairs the model explains, and
// `inlier_mask` which ones.
cv::Mat fit_homography(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to,
                       const SweepOptions& options = fixed_path_options(), int* inliers = nullptr,
                       std::vector<uchar>* inlier_mask = nullptr);

// Tracks the reference's keypoints into `frame` and fits the frame homography
// onto the current panorama. Every pair goes into the fit, found or not. The
// homography is left empty when the tracked count is below `min_tracked` or
// the fit gives no finite model.
Tracking track_reference(const stitch_data& reference, const PreparedFrame& frame, int min_tracked,
                         const SweepOptions& options = fixed_path_options());

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
// under `panorama`). A fresh image when `buffers` is null. Buffers never get
// a side beyond `max_side` (unless the canvas itself has one).
cv::Mat acquire_canvas(CanvasBuffers* buffers, cv::Size size, const cv::Mat& panorama = cv::Mat(),
                       cv::Point old_origin = cv::Point(), int max_side = fixed_path_options().max_canvas_side);

// The steps of a placement, in their order. plan_placement decides all the
// geometry, or the refusal (kNotExtended, kNotPlaceable) when it returns
// false; compose_canvas makes the new canvas with the old panorama on it;
// warp_patch warps the frame into its patch; lay_patch lays the patch onto
// the canvas through the seam rule.
bool plan_placement(const cv::Mat& panorama, const Band& band, cv::Size frame_size, const cv::Mat& homography,
                    const SweepOptions& options, Geometry& geometry, int& refusal);
cv::Mat compose_canvas(const cv::Mat& panorama, const Geometry& geometry, CanvasBuffers* buffers,
                       const SweepOptions& options = fixed_path_options());
cv::Mat warp_patch(const cv::Mat& working, const Geometry& geometry);
void lay_patch(cv::Mat& canvas, const cv::Mat& patch, const Geometry& geometry,
               const SweepOptions& options = fixed_path_options());

// Places `working` on a new canvas through `homography` and composes it with
// `panorama`: the four steps above. The canvas memory comes from `buffers`
// when given; there the canvas may be `panorama` grown in place (see
// acquire_canvas), whose pixels then change. A refused frame or an exception
// leaves `panorama` as it was.
Placement place_frame(const cv::Mat& panorama, const Band& band, const cv::Mat& working,
                      const cv::Mat& homography, CanvasBuffers* buffers = nullptr,
                      const SweepOptions& options = fixed_path_options());

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

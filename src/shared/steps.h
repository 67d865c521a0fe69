// The shared steps of a frame's road, used by both front doors (the fixed
// path and the sweep): checking, preparation, detection, tracking, placement,
// canvas and seam rule. Each is a function that can be called and tested on
// its own, and each takes its settings explicitly.
#ifndef ZEMB_SHARED_STEPS_H
#define ZEMB_SHARED_STEPS_H

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
  cv::Point2f shift;   // where the old panorama lies on the new canvas: whole pixels, as it is copied
};

// Throws cv::Exception (StsBadArg), naming `call` (the caller's entry
// point), unless `frame` is a non-empty CV_8UC3 image of `expected_size`
// (any size while `expected_size` is empty).
void check_frame(const cv::Mat& frame, cv::Size expected_size, const char* call);

PreparedFrame prepare_frame(const cv::Mat& frame, const PreparationOptions& options);

// A descriptor finder: SURF (Hessian threshold 1000, 4 octaves, 3 layers,
// upright, 64 elements) where OpenCV has it, else an upright KAZE with
// 64-element float descriptors; empty only when neither can be made.
cv::Ptr<cv::Feature2D> make_feature_finder() noexcept;

// Keypoints of the tracking image found by `detector`.
std::vector<cv::KeyPoint> detect_keypoints(const cv::Mat& gray, cv::FeatureDetector& detector);

// Pyramidal Lucas-Kanade flow of `points` from `previous` into `next`. With
// `initial` (one guess per point) the search starts from the guesses.
Flow track_points(const cv::Mat& previous, const cv::Mat& next, std::vector<cv::Point2f> points,
                  const FlowOptions& options, const std::vector<cv::Point2f>* initial = nullptr);

// The RANSAC homography taking `from` onto `to`; empty unless finite. When
// `inliers` is given it receives the number of pairs the model explains, and
// `inlier_mask` which ones.
cv::Mat fit_homography(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to,
                       const FitOptions& options, int* inliers = nullptr,
                       std::vector<uchar>* inlier_mask = nullptr);

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
cv::Mat acquire_canvas(CanvasBuffers* buffers, cv::Size size, const cv::Mat& panorama, cv::Point old_origin,
                       int max_side);

// The steps of a placement, in their order. plan_placement decides all the
// geometry, or the refusal (kNotExtended, kNotPlaceable) when it returns
// false; compose_canvas makes the new canvas with the old panorama on it;
// warp_patch warps the frame into its patch; lay_patch lays the patch onto
// the canvas through the seam rule.
bool plan_placement(const cv::Mat& panorama, const Band& band, cv::Size frame_size, const cv::Mat& homography,
                    const PlacementOptions& placement, const FitOptions& fit, Geometry& geometry, int& refusal);
cv::Mat compose_canvas(const cv::Mat& panorama, const Geometry& geometry, CanvasBuffers* buffers, int max_side);
cv::Mat warp_patch(const cv::Mat& working, const Geometry& geometry);
void lay_patch(cv::Mat& canvas, const cv::Mat& patch, const Geometry& geometry, float seam_band);

// Places `working` on a new canvas through `homography` and composes it with
// `panorama`: the four steps above. The canvas memory comes from `buffers`
// when given; there the canvas may be `panorama` grown in place (see
// acquire_canvas), whose pixels then change. A refused frame or an exception
// leaves `panorama` as it was.
Placement place_frame(const cv::Mat& panorama, const Band& band, const cv::Mat& working,
                      const cv::Mat& homography, CanvasBuffers* buffers, const PlacementOptions& placement,
                      const FitOptions& fit);

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

#endif  // ZEMB_SHARED_STEPS_H

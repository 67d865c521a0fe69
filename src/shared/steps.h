// The core both front doors (the fixed path and the sweep) build on: the
// frame check, optical flow, the homography fit and the geometry helpers
// around them. Each is a function that can be called and tested on its own,
// and each takes its settings explicitly. Nothing here knows either path's
// settings or objects; the fixed path's own steps are in fixed/steps.h.
#ifndef ZEMB_SHARED_STEPS_H
#define ZEMB_SHARED_STEPS_H

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "zemb/options.h"

namespace zemb {

// A camera frame at the two sizes a front door works with.
struct PreparedFrame {
  // The working frame, what goes onto the canvas. The fixed path's
  // (prepare_frame) is the camera frame at most working_columns across,
  // turned clockwise; the sweep's (prepare_upright) is upright, never
  // turned, its longer side at most working_columns.
  cv::Mat working;
  cv::Mat gray;        // the working frame reduced by `scale` to the tracking_rows bound, gray
  float scale = 1.0f;  // tracking-image pixels per working-frame pixel
};

// Optical flow of `points` from one tracking image into the next: where each
// point went, and whether the flow found it.
struct Flow {
  std::vector<cv::Point2f> from;
  std::vector<cv::Point2f> to;
  std::vector<uchar> found;
};

// Throws cv::Exception (StsBadArg), naming `call` (the caller's entry
// point), unless `frame` is a non-empty CV_8UC3 image of `expected_size`
// (any size while `expected_size` is empty).
void check_frame(const cv::Mat& frame, cv::Size expected_size, const char* call);

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

// The corners (0, 0), (W, 0), (W, R), (0, R) of a frame of `size`.
std::vector<cv::Point2f> frame_corners(cv::Size size);

// `points` mapped through `homography`, perspective division included.
std::vector<cv::Point2f> project(const std::vector<cv::Point2f>& points, const cv::Mat& homography);

int count_of(const std::vector<cv::KeyPoint>& keypoints);

// True for a non-empty 3x3 matrix whose entries are all finite.
bool usable_homography(const cv::Mat& homography);

}  // namespace zemb

#endif  // ZEMB_SHARED_STEPS_H

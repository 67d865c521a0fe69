// How the sweep finds where a frame goes: upright preparation, adaptive
// detection, tracking against a view with the pairs the flow found, and the
// checks a fit must pass.
#ifndef ZEMB_SWEEP_TRACKING_H
#define ZEMB_SWEEP_TRACKING_H

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "shared/steps.h"
#include "sweep/view.h"
#include "zemb/options.h"

namespace zemb {

// The working frame of the sweep: the camera frame reduced so that its
// longer side is at most working_columns, upright (never turned), and its
// gray tracking image with the longer side at most tracking_rows.
PreparedFrame prepare_upright(const cv::Mat& frame, const PreparationOptions& options);

// FAST keypoints of `gray` at options.fast_threshold; with adaptive
// detection and too few of them, again at lower thresholds down to the
// floor, until enough are found. `threshold` receives the threshold that
// found them. Only where `mask` is non-zero, when it is not empty.
std::vector<cv::KeyPoint> detect_adaptive(const cv::Mat& gray, const DetectionOptions& options,
                                          cv::FastFeatureDetector& fast, int& threshold,
                                          const cv::Mat& mask = cv::Mat());

// Where a frame lies against a view.
struct Candidate {
  cv::Matx33d relative;  // frame working pixel -> view working pixel
  bool found = false;
  int tracked = 0;       // pairs that went into the fit
  int inliers = 0;
  int keyframe = -1;     // the keyframe it was found against, -1 for the last accepted frame
  bool recovered = false;  // found by recovery, not by tracking
  // How far the inliers spread across their narrower axis (twice the
  // standard deviation, frame working pixels): a clump or a line of them
  // leaves most of a homography to noise.
  double spread = 0;
  bool kept = false;  // not fitted: the motion the last frames had, kept
  // What recovery described of the frame on its way to the candidate: the
  // frame's view keeps it, so that a next lost frame need not describe it.
  Descriptions frame_descriptions;
};

// A guess of where the frame lies against a view: the shift of its content,
// in tracking pixels. A precise guess (from phase correlation) lands within
// a few pixels of the truth or nowhere near it; a coarse one (from the
// sweep's direction) needs the whole pyramid to close in.
struct Seed {
  cv::Point2f shift;
  bool precise = true;
};

// Fits `relative` from pairs in working-frame pixels: `in_view` of the view,
// `in_frame` of the frame; a homography for a turning camera, a similarity
// over a flat scene (the four degrees of freedom a camera moving over it
// has: a homography's small perspective errors would bend a long strip).
// The homography is what RANSAC with options.fit finds wherever most pairs
// are right; pairs mostly wrong are fitted by USAC, at a tenth of the cost.
Candidate fit_relative(const std::vector<cv::Point2f>& in_view, const std::vector<cv::Point2f>& in_frame, Scene scene,
                       const TrackingOptions& options);

// Tracks the view's points into the frame, from where the view's own last
// step predicts them (a camera keeps its pace from frame to frame), and
// fits `relative` from the pairs the flow found.
Candidate track_moving(const View& view, const PreparedFrame& frame, Scene scene, const TrackingOptions& options);

// The same from a seed: an even spread of at most `points` of the view's
// points, tracked from the seed's shift on: enough to tell whether it is
// right.
Candidate track_seeded(const View& view, const PreparedFrame& frame, const Seed& seed, int points, Scene scene,
                       const TrackingOptions& options);

// True when the candidate has enough inliers, and they are a fair share of
// the pairs, and it moves the frame against its view by something a camera
// could do between two frames (no large change of scale, no fold).
bool trustworthy(const Candidate& candidate, const View& view, const TrackingOptions& options);

// False when no camera makes `relative` (frame working pixel -> view working
// pixel, frames of `size`) in one frame step: a change of scale, a shear or
// a perspective beyond the options' limits, or a fold. Scale and shear are
// those of the transform's local linear part at the frame's centre.
bool plausible_step(const cv::Matx33d& relative, cv::Size size, const TrackingOptions& options);

// The shift of a plain frame against its view by phase correlation of
// their tracking images (of one size), the overlay (where `scene_mask` is
// zero, when it is not empty) evened out first: a pure translation, found
// when the correlation's response reaches options.min_correlation. It needs
// no keypoints: open sea and sky have texture enough for it.
Candidate correlate_shift(const View& view, const PreparedFrame& frame, const cv::Mat& scene_mask,
                          const TrackingOptions& options);

// True when the candidate's inliers spread far enough across the frame to
// pin the fit down (options.min_spread of the frame's shorter side).
bool well_conditioned(const Candidate& candidate, cv::Size size, const TrackingOptions& options);

}  // namespace zemb

#endif  // ZEMB_SWEEP_TRACKING_H

// How a sweep finds where a frame goes: adaptive detection, tracking against
// a view with the pairs the flow found, and the checks a fit must pass.
#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "sweep/sweep_internal.h"


namespace zemb {

namespace {

// At most `limit` of `points`, evenly spread over the list.
std::vector<cv::Point2f> spread(const std::vector<cv::Point2f>& points, int limit) {
  if (static_cast<int>(points.size()) <= limit) return points;
  std::vector<cv::Point2f> chosen;
  for (int i = 0; i < limit; ++i) chosen.push_back(points[points.size() * i / limit]);
  return chosen;
}

std::vector<cv::Point2f> shifted(const std::vector<cv::Point2f>& points, cv::Point2f shift) {
  std::vector<cv::Point2f> result;
  result.reserve(points.size());
  for (const cv::Point2f& p : points) result.push_back(p + shift);
  return result;
}

// The frame against the view as a rotation, a uniform scale and a shift,
// with the number of pairs it explains; empty when it fits nothing.
cv::Mat fit_similarity(const std::vector<cv::Point2f>& in_frame, const std::vector<cv::Point2f>& in_view,
                       const SweepOptions& options, int& inliers) {
  std::vector<uchar> mask;
  const cv::Mat affine = cv::estimateAffinePartial2D(in_frame, in_view, mask, cv::RANSAC, options.tracking.fit.ransac_threshold,
                                                     options.tracking.fit.ransac_iterations, options.tracking.fit.ransac_confidence);
  if (affine.empty()) return cv::Mat();
  inliers = cv::countNonZero(mask);
  cv::Mat homography = cv::Mat::eye(3, 3, CV_64F);
  affine.copyTo(homography.rowRange(0, 2));
  return homography;
}

}  // namespace

// Fits the frame homography onto the canvas from pairs in working-frame
// pixels: `in_view` of the view, `in_frame` of the frame. Over a flat scene
// the frame is fitted with the four degrees of freedom a camera moving over
// it has: the small perspective errors of chained homographies add up to a
// bent, swelling strip, and a frame recovered across a gap overlaps its view
// only in a narrow strip, which pins a homography's scale poorly.
Candidate fit_onto_canvas(const View& view, const std::vector<cv::Point2f>& in_view,
                          const std::vector<cv::Point2f>& in_frame, const SweepOptions& options) {
  Candidate candidate;
  candidate.tracked = static_cast<int>(in_view.size());
  if (candidate.tracked < options.tracking.min_inliers) return candidate;
  if (options.scene == Scene::kFlat) {
    const cv::Mat relative = fit_similarity(in_frame, in_view, options, candidate.inliers);
    if (!relative.empty()) candidate.homography = view.to_canvas * relative;
    return candidate;
  }
  candidate.homography = fit_homography(in_frame, project(in_view, view.to_canvas), options.tracking.fit, &candidate.inliers);
  return candidate;
}


View make_view(const PreparedFrame& frame, const std::vector<cv::KeyPoint>& keypoints, const cv::Mat& to_canvas,
               int frame_index) {
  View view;
  view.gray = frame.gray;
  KeyPointsToPoints(keypoints, view.points);
  view.scale = frame.scale;
  view.to_canvas = to_canvas.clone();
  view.working_size = frame.working.size();
  view.frame_index = frame_index;
  return view;
}

std::vector<cv::KeyPoint> detect_adaptive(const cv::Mat& gray, const SweepOptions& options,
                                          cv::FastFeatureDetector& fast, int& threshold) {
  std::vector<cv::KeyPoint> keypoints;
  threshold = options.detection.fast_threshold;
  for (;;) {
    fast.setThreshold(threshold);
    fast.detect(gray, keypoints);
    const bool enough = count_of(keypoints) >= options.detection.adaptive_target;
    if (!options.detection.adaptive || enough || threshold <= options.detection.threshold_floor) return keypoints;
    threshold = std::max(options.detection.threshold_floor, threshold - options.detection.threshold_step);
  }
}

Candidate track_view(const View& view, const PreparedFrame& frame, const SweepOptions& options, const Seed* seed) {
  if (view.points.empty()) return Candidate();
  const std::vector<cv::Point2f> points = seed != nullptr ? spread(view.points, options.recovery.points) : view.points;
  const std::vector<cv::Point2f> guesses = shifted(points, seed != nullptr ? seed->shift : cv::Point2f());
  // A precise seed lands within a few pixels of the truth or nowhere near
  // it: one pyramid level above the image is enough to tell which.
  FlowOptions flow_options = options.tracking.flow;
  if (seed != nullptr && seed->precise) flow_options.levels = std::min(flow_options.levels, 1);
  const Flow flow = track_points(view.gray, frame.gray, points, flow_options, seed != nullptr ? &guesses : nullptr);
  std::vector<cv::Point2f> in_view, in_frame;
  for (size_t i = 0; i < flow.found.size(); ++i) {
    if (!flow.found[i]) continue;
    in_view.push_back(scaled(flow.from[i], view.scale));
    in_frame.push_back(scaled(flow.to[i], frame.scale));
  }
  return fit_onto_canvas(view, in_view, in_frame, options);
}

bool trustworthy(const Candidate& candidate, const View& view, const SweepOptions& options) {
  if (candidate.homography.empty() || candidate.inliers < options.tracking.min_inliers ||
      candidate.inliers < options.tracking.min_inlier_share * candidate.tracked)
    return false;
  // The frame against its view: between two frames of a sweep the scale
  // changes little and the view never folds or turns far into perspective.
  cv::Mat relative = view.to_canvas.inv() * candidate.homography;
  if (!usable_homography(relative) || std::abs(relative.at<double>(2, 2)) < 1e-12) return false;
  relative /= relative.at<double>(2, 2);
  const cv::Mat_<double> r = relative;
  const double area_change = r(0, 0) * r(1, 1) - r(0, 1) * r(1, 0);
  const double perspective = std::abs(r(2, 0)) * view.working_size.width + std::abs(r(2, 1)) * view.working_size.height;
  return area_change > 0.5 && area_change < 2.0 && perspective < 0.5;
}

}  // namespace zemb

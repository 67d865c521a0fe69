// How a sweep finds where a frame goes: adaptive detection, tracking against
// a view with the pairs the flow found, the checks a fit must pass, and the
// two ways of recovering a lost frame (flow seeded by phase correlation, and
// descriptor matching).
#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "sweep_internal.h"

namespace zemb {

namespace {

// Tracking pixels a link's point may end from where the placements put it.
constexpr float kLinkSlack = 6.0f;

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

cv::Point2f scaled(cv::Point2f p, float scale) { return {p.x / scale, p.y / scale}; }

// The frame against the view as a rotation, a uniform scale and a shift,
// with the number of pairs it explains; empty when it fits nothing.
cv::Mat fit_similarity(const std::vector<cv::Point2f>& in_frame, const std::vector<cv::Point2f>& in_view,
                       const SweepOptions& options, int& inliers) {
  std::vector<uchar> mask;
  const cv::Mat affine = cv::estimateAffinePartial2D(in_frame, in_view, mask, cv::RANSAC, options.ransac_threshold,
                                                     options.ransac_iterations, options.ransac_confidence);
  if (affine.empty()) return cv::Mat();
  inliers = cv::countNonZero(mask);
  cv::Mat homography = cv::Mat::eye(3, 3, CV_64F);
  affine.copyTo(homography.rowRange(0, 2));
  return homography;
}

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
  if (candidate.tracked < options.min_inliers) return candidate;
  if (options.scene == Scene::kFlat) {
    const cv::Mat relative = fit_similarity(in_frame, in_view, options, candidate.inliers);
    if (!relative.empty()) candidate.homography = view.to_canvas * relative;
    return candidate;
  }
  candidate.homography = fit_homography(in_frame, project(in_view, view.to_canvas), options, &candidate.inliers);
  return candidate;
}

}  // namespace

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
  threshold = options.fast_threshold;
  for (;;) {
    fast.setThreshold(threshold);
    fast.detect(gray, keypoints);
    const bool enough = count_of(keypoints) >= options.adaptive_target;
    if (!options.adaptive_detection || enough || threshold <= options.fast_threshold_floor) return keypoints;
    threshold = std::max(options.fast_threshold_floor, threshold - options.fast_threshold_step);
  }
}

Candidate track_view(const View& view, const PreparedFrame& frame, const SweepOptions& options, const Seed* seed) {
  if (view.points.empty()) return Candidate();
  const std::vector<cv::Point2f> points = seed != nullptr ? spread(view.points, options.recovery_points) : view.points;
  const std::vector<cv::Point2f> guesses = shifted(points, seed != nullptr ? seed->shift : cv::Point2f());
  // A precise seed lands within a few pixels of the truth or nowhere near
  // it: one pyramid level above the image is enough to tell which.
  SweepOptions flow_options = options;
  if (seed != nullptr && seed->precise) flow_options.flow_levels = std::min(options.flow_levels, 1);
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
  if (candidate.homography.empty() || candidate.inliers < options.min_inliers ||
      candidate.inliers < options.min_inlier_share * candidate.tracked)
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

std::vector<Seed> candidate_shifts(const View& view, const PreparedFrame& frame) {
  if (view.gray.size() != frame.gray.size() || view.gray.empty()) return {};
  cv::Mat from, to, window;
  view.gray.convertTo(from, CV_32F);
  frame.gray.convertTo(to, CV_32F);
  cv::createHanningWindow(window, from.size(), CV_32F);
  const cv::Point2d found = cv::phaseCorrelate(from, to, window);
  if (!std::isfinite(found.x) || !std::isfinite(found.y)) return {};
  const float width = static_cast<float>(from.cols);
  const cv::Point2f shift(static_cast<float>(found.x), static_cast<float>(found.y));
  std::vector<Seed> shifts{{shift, true}};
  for (const float wrap : {-width, width})
    if (std::abs(shift.x + wrap) < width) shifts.push_back({{shift.x + wrap, shift.y}, true});
  // A sweep moves the scene left across the frames, by up to a frame, and
  // hardly ever back: such shifts come first.
  const auto forward = [width](const Seed& s) { return s.shift.x <= 0.1f * width; };
  std::stable_partition(shifts.begin(), shifts.end(), forward);
  for (const float share : {0.3f, 0.55f, 0.8f}) shifts.push_back({{-share * width, 0.0f}, false});
  return shifts;
}

Candidate match_view(View& view, const PreparedFrame& frame, FrameDescription& description,
                     const SweepOptions& options) {
  if (!feature_finder) return Candidate();
  if (!view.is_described) {
    feature_finder->detectAndCompute(view.gray, cv::noArray(), view.described, view.descriptors);
    view.is_described = true;
  }
  if (!description.made) {
    feature_finder->detectAndCompute(frame.gray, cv::noArray(), description.keypoints, description.descriptors);
    description.made = true;
  }
  if (view.descriptors.rows < 2 || description.descriptors.rows < 2) return Candidate();
  std::vector<cv::DMatch> matches;
  double_match(view.descriptors, description.descriptors, matches, options.match_ratio);
  std::vector<cv::Point2f> in_view, in_frame;
  for (const cv::DMatch& match : matches) {
    in_view.push_back(scaled(view.described[match.queryIdx].pt, view.scale));
    in_frame.push_back(scaled(description.keypoints[match.trainIdx].pt, frame.scale));
  }
  return fit_onto_canvas(view, in_view, in_frame, options);
}

Recovery::Recovery(View& reference, std::vector<View>& keyframes, const PreparedFrame& frame,
                   const SweepOptions& options, bool thorough)
    : reference_(reference), keyframes_(keyframes), frame_(frame), options_(options) {
  const size_t newest = thorough ? static_cast<size_t>(options.recovery_keyframes) : 1;
  views_ = 1 + std::min(keyframes.size(), newest);
  stages_ = thorough ? 2 : 1;
}

View& Recovery::view_at(size_t index, int& keyframe) {
  if (index == 0) {
    keyframe = -1;
    return reference_;
  }
  keyframe = static_cast<int>(keyframes_.size() - index);
  return keyframes_[keyframe];
}

Candidate Recovery::try_view(View& view, int keyframe, int stage) {
  Candidate found;
  if (stage == 0) {
    for (const Seed& seed : candidate_shifts(view, frame_)) {
      found = track_view(view, frame_, options_, &seed);
      if (trustworthy(found, view, options_)) break;
    }
  } else {
    found = match_view(view, frame_, description_, options_);
  }
  found.keyframe = keyframe;
  return found;
}

Candidate Recovery::next() {
  while (position_ < stages_ * views_) {
    const int stage = static_cast<int>(position_ / views_);
    int keyframe = -1;
    View& view = view_at(position_ % views_, keyframe);
    ++position_;
    // The last accepted frame is often the newest keyframe too: try it once.
    if (keyframe >= 0 && view.frame_index == reference_.frame_index) continue;
    Candidate candidate = try_view(view, keyframe, stage);
    if (trustworthy(candidate, view, options_)) return candidate;
  }
  return Candidate();
}

KeyframeLink link_views(const View& earlier, int earlier_index, const View& later, int later_index,
                        cv::Point2d earlier_kept_scale, cv::Point2d later_kept_scale, const SweepOptions& options) {
  KeyframeLink link;
  link.from = earlier_index;
  link.to = later_index;
  // Where the later keyframe's points lie in the earlier one, by placement.
  const cv::Mat later_to_earlier = earlier.to_canvas.inv() * later.to_canvas;
  std::vector<cv::Point2f> later_working;
  for (const cv::Point2f& p : later.points) later_working.push_back(scaled(p, later.scale));
  const std::vector<cv::Point2f> predicted = project(later_working, later_to_earlier);
  const cv::Rect2f inside(0, 0, static_cast<float>(earlier.working_size.width),
                          static_cast<float>(earlier.working_size.height));
  std::vector<cv::Point2f> from, guesses;
  for (size_t i = 0; i < predicted.size(); ++i)
    if (inside.contains(predicted[i])) {
      from.push_back(later.points[i]);
      guesses.push_back(predicted[i] * earlier.scale);
    }
  if (static_cast<int>(from.size()) < options.min_inliers) return link;
  // The placements put each point within a few pixels of its partner. On a
  // repeating pattern (the windows of a facade) the flow can let whole groups
  // of points slide a period along, which a homography explains all too
  // well: a point that ends further from its prediction than kLinkSlack goes.
  const Flow flow = track_points(later.gray, earlier.gray, from, options, &guesses);
  std::vector<cv::Point2f> in_later, in_earlier;
  for (size_t i = 0; i < flow.found.size(); ++i) {
    const cv::Point2f moved = flow.to[i] - guesses[i];
    if (!flow.found[i] || moved.dot(moved) > kLinkSlack * kLinkSlack) continue;
    in_later.push_back(scaled(flow.from[i], later.scale));
    in_earlier.push_back(scaled(flow.to[i], earlier.scale));
  }
  if (static_cast<int>(in_later.size()) < options.min_inliers) return link;
  int inliers = 0;
  std::vector<uchar> mask;
  if (fit_homography(in_later, in_earlier, options, &inliers, &mask).empty() || inliers < options.min_inliers)
    return link;
  // An even spread of the inliers, at most max_links_per_pair of them.
  const double step = std::max(1.0, static_cast<double>(inliers) / options.max_links_per_pair);
  double next = 0.0;
  int seen = 0;
  for (size_t i = 0; i < mask.size(); ++i) {
    if (!mask[i]) continue;
    if (seen++ < next) continue;
    next += step;
    link.from_points.emplace_back(static_cast<float>(in_earlier[i].x * earlier_kept_scale.x),
                                  static_cast<float>(in_earlier[i].y * earlier_kept_scale.y));
    link.to_points.emplace_back(static_cast<float>(in_later[i].x * later_kept_scale.x),
                                static_cast<float>(in_later[i].y * later_kept_scale.y));
  }
  return link;
}

}  // namespace zemb

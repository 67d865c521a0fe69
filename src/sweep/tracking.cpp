// How a sweep finds where a frame goes: upright preparation, adaptive
// detection, tracking against a view with the pairs the flow found, and the
// checks a fit must pass.
#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "sweep/tracking.h"

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

// `image` reduced so that its longer side is at most `bound`; the factor.
float reduce_longer_side(const cv::Mat& image, int bound, cv::Mat& reduced) {
  const int longer = std::max(image.cols, image.rows);
  if (longer <= bound) {
    reduced = image;
    return 1.0f;
  }
  const float factor = static_cast<float>(bound) / static_cast<float>(longer);
  cv::resize(image, reduced, cv::Size(), factor, factor, cv::INTER_LINEAR_EXACT);
  return factor;
}

// Twice the standard deviation of the chosen points across their narrower
// principal axis.
double narrower_spread(const std::vector<cv::Point2f>& points, const std::vector<uchar>& chosen) {
  std::vector<cv::Point2f> inliers;
  for (std::size_t i = 0; i < points.size() && i < chosen.size(); ++i)
    if (chosen[i]) inliers.push_back(points[i]);
  if (inliers.size() < 3) return 0;
  cv::Mat covariance, mean;
  cv::calcCovarMatrix(cv::Mat(inliers).reshape(1), covariance, mean,
                      cv::COVAR_NORMAL | cv::COVAR_ROWS | cv::COVAR_SCALE, CV_64F);
  cv::Mat eigenvalues;
  cv::eigen(covariance, eigenvalues);
  return 2.0 * std::sqrt(std::max(0.0, eigenvalues.at<double>(1)));
}

// The iterations after which RANSAC stops once it has found a fit with
// `inliers` of `pairs`: enough for a sample of four inliers with the
// confidence.
double iterations_to_stop(int inliers, int pairs, double confidence) {
  const double all_inliers = std::pow(static_cast<double>(inliers) / pairs, 4);
  if (all_inliers >= 1) return 1;
  if (all_inliers <= 0) return std::numeric_limits<double>::infinity();
  return std::log(1 - confidence) / std::log(1 - all_inliers);
}

// A homography (in_frame -> in_view) by a short RANSAC first: where most
// pairs are right, as the flow gives them from frame to frame, RANSAC stops
// within a few dozen iterations, drawing what it would with its whole
// budget, and the fit is the same. When the short run stops short of a fit
// that good, the pairs are mostly wrong (a lost frame, a rolling camera),
// and RANSAC would score every pair for every iteration of its budget, ten
// times what a good fit costs: USAC fits them instead, whose sequential test
// drops a wrong hypothesis after a few pairs.
cv::Mat homography_of_pairs(const std::vector<cv::Point2f>& in_frame, const std::vector<cv::Point2f>& in_view,
                            const FitOptions& fit, std::vector<uchar>& mask) {
  constexpr int kShortIterations = 200;
  const cv::Mat quick = cv::findHomography(in_frame, in_view, cv::RANSAC, fit.ransac_threshold, mask,
                                           std::min(fit.ransac_iterations, kShortIterations), fit.ransac_confidence);
  // Half the short budget: room for the inliers the refinement counts to
  // differ from the best sample's.
  const bool stopped = !quick.empty() && iterations_to_stop(cv::countNonZero(mask), static_cast<int>(in_frame.size()),
                                                            fit.ransac_confidence) <= kShortIterations / 2;
  if (stopped || fit.ransac_iterations <= kShortIterations) return quick;
  return cv::findHomography(in_frame, in_view, cv::USAC_FAST, fit.ransac_threshold, mask, fit.ransac_iterations,
                            fit.ransac_confidence);
}

}  // namespace

PreparedFrame prepare_upright(const cv::Mat& frame, const PreparationOptions& options) {
  PreparedFrame prepared;
  reduce_longer_side(frame, options.working_columns, prepared.working);
  cv::Mat tracking_colour;
  prepared.scale = reduce_longer_side(prepared.working, options.tracking_rows, tracking_colour);
  cv::cvtColor(tracking_colour, prepared.gray, cv::COLOR_BGR2GRAY);
  return prepared;
}

Candidate fit_relative(const std::vector<cv::Point2f>& in_view, const std::vector<cv::Point2f>& in_frame, Scene scene,
                       const TrackingOptions& options) {
  Candidate candidate;
  candidate.tracked = static_cast<int>(in_view.size());
  if (candidate.tracked < options.min_inliers) return candidate;
  const FitOptions& fit = options.fit;
  std::vector<uchar> mask;
  cv::Mat relative;
  if (scene == Scene::kFlat) {
    const cv::Mat affine = cv::estimateAffinePartial2D(in_frame, in_view, mask, cv::RANSAC, fit.ransac_threshold,
                                                       fit.ransac_iterations, fit.ransac_confidence);
    if (!affine.empty()) {
      relative = cv::Mat::eye(3, 3, CV_64F);
      affine.copyTo(relative.rowRange(0, 2));
    }
  } else {
    relative = homography_of_pairs(in_frame, in_view, fit, mask);
  }
  if (!usable_homography(relative)) return candidate;
  candidate.relative = cv::Matx33d(relative);
  candidate.inliers = cv::countNonZero(mask);
  candidate.spread = narrower_spread(in_frame, mask);
  candidate.found = true;
  return candidate;
}

std::vector<cv::KeyPoint> detect_adaptive(const cv::Mat& gray, const DetectionOptions& options,
                                          cv::FastFeatureDetector& fast, int& threshold, const cv::Mat& mask) {
  std::vector<cv::KeyPoint> keypoints;
  threshold = options.fast_threshold;
  for (;;) {
    fast.setThreshold(threshold);
    fast.detect(gray, keypoints, mask);
    const bool enough = count_of(keypoints) >= options.adaptive_target;
    if (!options.adaptive || enough || threshold <= options.threshold_floor) return keypoints;
    threshold = std::max(options.threshold_floor, threshold - options.threshold_step);
  }
}

namespace {

// Flow of the view's `points` into the frame from `guesses`, and the fit.
Candidate fit_flow(const View& view, const PreparedFrame& frame, const std::vector<cv::Point2f>& points,
                   const std::vector<cv::Point2f>& guesses, const FlowOptions& flow_options, Scene scene,
                   const TrackingOptions& options) {
  const Flow flow = track_points(view.gray, frame.gray, points, flow_options, &guesses);
  std::vector<cv::Point2f> in_view, in_frame;
  for (size_t i = 0; i < flow.found.size(); ++i) {
    if (!flow.found[i]) continue;
    in_view.push_back(scaled(flow.from[i], view.scale));
    in_frame.push_back(scaled(flow.to[i], frame.scale));
  }
  return fit_relative(in_view, in_frame, scene, options);
}

}  // namespace

Candidate track_seeded(const View& view, const PreparedFrame& frame, const Seed& seed, int points, Scene scene,
                       const TrackingOptions& options) {
  if (view.points.empty()) return Candidate();
  const std::vector<cv::Point2f> chosen = spread(view.points, points);
  // A precise seed lands within a few pixels of the truth or nowhere near
  // it: one pyramid level above the image is enough to tell which.
  FlowOptions flow_options = options.flow;
  if (seed.precise) flow_options.levels = std::min(flow_options.levels, 1);
  return fit_flow(view, frame, chosen, shifted(chosen, seed.shift), flow_options, scene, options);
}

Candidate track_moving(const View& view, const PreparedFrame& frame, Scene scene, const TrackingOptions& options) {
  if (view.points.empty()) return Candidate();
  const cv::Matx33d to_tracking(frame.scale, 0, 0, 0, frame.scale, 0, 0, 0, 1);
  const cv::Matx33d from_tracking(1.0 / view.scale, 0, 0, 0, 1.0 / view.scale, 0, 0, 0, 1);
  const cv::Mat predicted(to_tracking * view.step.inv() * from_tracking);
  return fit_flow(view, frame, view.points, project(view.points, predicted), options.flow, scene, options);
}

bool trustworthy(const Candidate& candidate, const View& view, const TrackingOptions& options) {
  // Many inliers are convincing whatever share of the pairs they are: a
  // rolling or fast camera loses many points to the flow.
  const bool many = candidate.inliers >= 3 * options.min_inliers;
  if (!candidate.found || candidate.inliers < options.min_inliers ||
      (!many && candidate.inliers < options.min_inlier_share * candidate.tracked))
    return false;
  return plausible_step(candidate.relative, view.working_size, options);
}

bool plausible_step(const cv::Matx33d& relative, cv::Size size, const TrackingOptions& options) {
  cv::Matx33d r = relative;
  if (std::abs(r(2, 2)) < 1e-12) return false;
  r *= 1.0 / r(2, 2);
  const double perspective = std::abs(r(2, 0)) * size.width + std::abs(r(2, 1)) * size.height;
  // The local linear part at the centre c: d(H c) / dc, with H c = q / w.
  const cv::Vec3d centre(size.width / 2.0, size.height / 2.0, 1.0);
  const cv::Vec3d mapped = r * centre;
  if (mapped[2] <= 1e-12) return false;
  const cv::Point2d q(mapped[0] / mapped[2], mapped[1] / mapped[2]);
  const cv::Matx22d local((r(0, 0) - q.x * r(2, 0)) / mapped[2], (r(0, 1) - q.x * r(2, 1)) / mapped[2],
                          (r(1, 0) - q.y * r(2, 0)) / mapped[2], (r(1, 1) - q.y * r(2, 1)) / mapped[2]);
  const double area_change = cv::determinant(local);
  if (area_change <= 0) return false;  // a fold
  cv::Vec2d singular;
  cv::SVD::compute(local, singular, cv::SVD::NO_UV);
  const double most_area = options.max_step_scale * options.max_step_scale;
  return area_change >= 1.0 / most_area && area_change <= most_area &&
         1.0 - singular[1] / singular[0] <= options.max_step_shear && perspective <= options.max_step_perspective;
}

namespace {

// `gray` as floats, with the pixels off the scene (where `scene_mask` is
// zero) set to the scene's mean, so that they add nothing to a correlation.
cv::Mat scene_only(const cv::Mat& gray, const cv::Mat& scene_mask) {
  cv::Mat image;
  gray.convertTo(image, CV_32F);
  if (!scene_mask.empty()) image.setTo(cv::mean(gray, scene_mask)[0], scene_mask == 0);
  return image;
}

}  // namespace

Candidate correlate_shift(const View& view, const PreparedFrame& frame, const cv::Mat& scene_mask,
                          const TrackingOptions& options) {
  Candidate candidate;
  if (view.gray.size() != frame.gray.size()) return candidate;
  const cv::Mat from = scene_only(view.gray, scene_mask), to = scene_only(frame.gray, scene_mask);
  cv::Mat window;
  cv::createHanningWindow(window, from.size(), CV_32F);
  double response = 0;
  const cv::Point2d shift = cv::phaseCorrelate(from, to, window, &response);
  if (!(response >= options.min_correlation) || !std::isfinite(shift.x) || !std::isfinite(shift.y)) return candidate;
  // The view's content at p lies at p + shift in the frame (tracking pixels).
  candidate.relative = cv::Matx33d(1, 0, -shift.x / frame.scale, 0, 1, -shift.y / frame.scale, 0, 0, 1);
  candidate.found = true;
  return candidate;
}

bool well_conditioned(const Candidate& candidate, cv::Size size, const TrackingOptions& options) {
  return candidate.spread >= options.min_spread * std::min(size.width, size.height);
}

}  // namespace zemb

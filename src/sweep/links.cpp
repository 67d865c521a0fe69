// Correspondences between keyframes, recorded for the finished render.
#include <algorithm>

#include "sweep/sweep_internal.h"

namespace zemb {

namespace {

// Points tracked per point a link keeps, and the most RANSAC iterations of a
// link's fit: a pair of keyframes that share their view has most of its
// points right, and one that does not is not worth a long search.
constexpr std::size_t kPointsPerLink = 4;
constexpr int kLinkIterations = 500;

// The farthest a corner of the later frame may lie, by the fitted link, from
// where the prediction put it (working pixels).
double largest_disagreement(const cv::Mat& fitted, const cv::Matx33d& predicted, cv::Size size) {
  const std::vector<cv::Point2f> corners = frame_corners(size);
  const std::vector<cv::Point2f> by_fit = project(corners, fitted), by_prediction = project(corners, cv::Mat(predicted));
  double largest = 0;
  for (std::size_t i = 0; i < corners.size(); ++i) largest = std::max(largest, cv::norm(by_fit[i] - by_prediction[i]));
  return largest;
}

}  // namespace

KeyframeLink link_views(const View& earlier, int earlier_index, const View& later, int later_index,
                        const cv::Matx33d& later_to_earlier, double slack, cv::Point2d earlier_kept_scale,
                        cv::Point2d later_kept_scale, const SweepOptions& options) {
  KeyframeLink link;
  link.from = earlier_index;
  link.to = later_index;
  std::vector<cv::Point2f> later_working;
  for (const cv::Point2f& p : later.points) later_working.push_back(scaled(p, later.scale));
  const std::vector<cv::Point2f> predicted = project(later_working, cv::Mat(later_to_earlier));
  const cv::Rect2f inside(0, 0, static_cast<float>(earlier.working_size.width),
                          static_cast<float>(earlier.working_size.height));
  // A few times the points a link keeps are plenty to find them among.
  const std::size_t stride =
      std::max<std::size_t>(1, predicted.size() / (kPointsPerLink * options.keyframes.max_links_per_pair));
  std::vector<cv::Point2f> from, guesses;
  for (size_t i = 0; i < predicted.size(); i += stride)
    if (inside.contains(predicted[i])) {
      from.push_back(later.points[i]);
      guesses.push_back(predicted[i] * earlier.scale);
    }
  if (static_cast<int>(from.size()) < options.tracking.min_inliers) return link;
  const Flow flow = track_points(later.gray, earlier.gray, from, options.tracking.flow, &guesses);
  std::vector<cv::Point2f> in_later, in_earlier;
  for (size_t i = 0; i < flow.found.size(); ++i) {
    if (!flow.found[i]) continue;
    in_later.push_back(scaled(flow.from[i], later.scale));
    in_earlier.push_back(scaled(flow.to[i], earlier.scale));
  }
  if (static_cast<int>(in_later.size()) < options.tracking.min_inliers) return link;
  int inliers = 0;
  std::vector<uchar> mask;
  FitOptions fit = options.tracking.fit;
  fit.ransac_iterations = std::min(fit.ransac_iterations, kLinkIterations);
  const cv::Mat fitted = fit_homography(in_later, in_earlier, fit, &inliers, &mask);
  // On a repeating pattern (the windows of a facade) the flow can let the
  // points slide a period along, which a homography explains all too well:
  // a link that puts the frame further from its prediction than `slack` goes.
  if (fitted.empty() || inliers < options.tracking.min_inliers ||
      largest_disagreement(fitted, later_to_earlier, later.working_size) > slack)
    return link;
  // An even spread of the inliers, at most max_links_per_pair of them.
  const double step = std::max(1.0, static_cast<double>(inliers) / options.keyframes.max_links_per_pair);
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

// Correspondences between keyframes, recorded for the finished render.
#include <algorithm>

#include "sweep/sweep_internal.h"

namespace zemb {

namespace {

// Tracking pixels a link's point may end from where the placements put it.
constexpr float kLinkSlack = 6.0f;

}  // namespace

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
  if (static_cast<int>(from.size()) < options.tracking.min_inliers) return link;
  // The placements put each point within a few pixels of its partner. On a
  // repeating pattern (the windows of a facade) the flow can let whole groups
  // of points slide a period along, which a homography explains all too
  // well: a point that ends further from its prediction than kLinkSlack goes.
  const Flow flow = track_points(later.gray, earlier.gray, from, options.tracking.flow, &guesses);
  std::vector<cv::Point2f> in_later, in_earlier;
  for (size_t i = 0; i < flow.found.size(); ++i) {
    const cv::Point2f moved = flow.to[i] - guesses[i];
    if (!flow.found[i] || moved.dot(moved) > kLinkSlack * kLinkSlack) continue;
    in_later.push_back(scaled(flow.from[i], later.scale));
    in_earlier.push_back(scaled(flow.to[i], earlier.scale));
  }
  if (static_cast<int>(in_later.size()) < options.tracking.min_inliers) return link;
  int inliers = 0;
  std::vector<uchar> mask;
  if (fit_homography(in_later, in_earlier, options.tracking.fit, &inliers, &mask).empty() || inliers < options.tracking.min_inliers)
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

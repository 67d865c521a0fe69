// Correspondences between keyframes, recorded for the finished render.
#include "sweep/links.h"

#include <algorithm>
#include <utility>

#include "shared/steps.h"
#include "sweep/keyframes.h"

namespace zemb {

namespace {

// Points tracked per point a link keeps, and the most RANSAC iterations of a
// link's fit: a pair of keyframes that share their view has most of its
// points right, and one that does not is not worth a long search.
constexpr std::size_t kPointsPerLink = 4;
constexpr int kLinkIterations = 500;

// A keyframe is linked with earlier keyframes whose view it still shares:
// their centres less than this share of a frame apart.
constexpr double kLinkReach = 0.85;
// Keyframes this close to the newest are related through the chain of
// fitted transforms; further back (a turn that came round), through poses.
constexpr std::size_t kChainKeyframes = 8;
// How far, as a share of a frame, a link may put a keyframe from where the
// chain predicts it; through poses, a loop that comes round may have
// drifted further.
constexpr double kNearbySlack = 0.1;
constexpr double kFarSlack = 0.4;

// The farthest a corner of the later frame may lie, by the fitted link, from
// where the prediction put it (working pixels).
double largest_disagreement(const cv::Mat& fitted, const cv::Matx33d& predicted, cv::Size size) {
  const std::vector<cv::Point2f> corners = frame_corners(size);
  const std::vector<cv::Point2f> by_fit = project(corners, fitted);
  const std::vector<cv::Point2f> by_prediction = project(corners, cv::Mat(predicted));
  double largest = 0;
  for (std::size_t i = 0; i < corners.size(); ++i) largest = std::max(largest, cv::norm(by_fit[i] - by_prediction[i]));
  return largest;
}

// Pairs the flow finds from the later view into the earlier (working
// pixels), from a few times the points a link keeps, each seeded where the
// prediction puts it inside the earlier frame.
void flow_pairs(const View& earlier, const View& later, const cv::Matx33d& prediction, const TrackingOptions& tracking,
                const KeyframeOptions& options, std::vector<cv::Point2f>& in_earlier,
                std::vector<cv::Point2f>& in_later) {
  std::vector<cv::Point2f> later_working;
  for (const cv::Point2f& p : later.points) later_working.push_back(scaled(p, later.scale));
  const std::vector<cv::Point2f> predicted = project(later_working, cv::Mat(prediction));
  const cv::Rect2f inside(0, 0, static_cast<float>(earlier.working_size.width),
                          static_cast<float>(earlier.working_size.height));
  const std::size_t stride =
      std::max<std::size_t>(1, predicted.size() / (kPointsPerLink * options.max_links_per_pair));
  std::vector<cv::Point2f> from, guesses;
  for (size_t i = 0; i < predicted.size(); i += stride)
    if (inside.contains(predicted[i])) {
      from.push_back(later.points[i]);
      guesses.push_back(predicted[i] * earlier.scale);
    }
  if (static_cast<int>(from.size()) < tracking.min_inliers) return;
  const Flow flow = track_points(later.gray, earlier.gray, from, tracking.flow, &guesses);
  for (size_t i = 0; i < flow.found.size(); ++i) {
    if (!flow.found[i]) continue;
    in_later.push_back(scaled(flow.from[i], later.scale));
    in_earlier.push_back(scaled(flow.to[i], earlier.scale));
  }
}

// The correspondences of one pair of keyframes, `prediction` taking later
// working pixels to earlier ones; none when the two do not overlap enough,
// or when the fit puts the later frame's corners further than `slack`
// working pixels from where the prediction does.
KeyframeLink link_views(const LinkEnd& earlier, const LinkEnd& later, const cv::Matx33d& prediction, double slack,
                        const TrackingOptions& tracking, const KeyframeOptions& options) {
  KeyframeLink link;
  link.from = earlier.index;
  link.to = later.index;
  std::vector<cv::Point2f> in_earlier, in_later;
  flow_pairs(earlier.view, later.view, prediction, tracking, options, in_earlier, in_later);
  if (static_cast<int>(in_later.size()) < tracking.min_inliers) return link;
  int inliers = 0;
  std::vector<uchar> mask;
  FitOptions fit = tracking.fit;
  fit.ransac_iterations = std::min(fit.ransac_iterations, kLinkIterations);
  const cv::Mat fitted = fit_homography(in_later, in_earlier, fit, &inliers, &mask);
  // On a repeating pattern (the windows of a facade) the flow can let the
  // points slide a period along, which a homography explains all too well:
  // a link that puts the frame further from its prediction than `slack` goes.
  if (fitted.empty() || inliers < tracking.min_inliers ||
      largest_disagreement(fitted, prediction, later.view.working_size) > slack)
    return link;
  // An even spread of the inliers, at most max_links_per_pair of them.
  const double step = std::max(1.0, static_cast<double>(inliers) / options.max_links_per_pair);
  double next = 0.0;
  int seen = 0;
  for (size_t i = 0; i < mask.size(); ++i) {
    if (!mask[i]) continue;
    if (seen++ < next) continue;
    next += step;
    link.from_points.emplace_back(static_cast<float>(in_earlier[i].x * earlier.kept_scale.x),
                                  static_cast<float>(in_earlier[i].y * earlier.kept_scale.y));
    link.to_points.emplace_back(static_cast<float>(in_later[i].x * later.kept_scale.x),
                                static_cast<float>(in_later[i].y * later.kept_scale.y));
  }
  return link;
}

}  // namespace

LinkEnd link_end(const std::vector<View>& views, const std::vector<Keyframe>& keyframes, std::size_t index) {
  const View& view = views[index];
  LinkEnd end{view, static_cast<int>(index), kept_scale_of(keyframes[index].image_size, view.working_size)};
  // What a link does not read: a copy waiting its turn holds no more than it needs.
  end.view.detail.release();
  end.view.descriptions = Descriptions();
  return end;
}

std::vector<LinkEnd> ends_to_link(const std::vector<View>& views, const std::vector<Keyframe>& keyframes,
                                  std::size_t earlier, const View& later, const KeyframeOptions& options) {
  std::vector<std::pair<double, std::size_t>> near;
  for (std::size_t i = 0; i < earlier; ++i) {
    const double apart = progress(views[i], later, earlier - i <= kChainKeyframes);
    if (apart < kLinkReach) near.emplace_back(apart, i);
  }
  std::sort(near.begin(), near.end());
  if (near.size() > static_cast<std::size_t>(options.link_keyframes))
    near.resize(static_cast<std::size_t>(options.link_keyframes));
  std::vector<LinkEnd> ends;
  for (const auto& pair : near) ends.push_back(link_end(views, keyframes, pair.second));
  return ends;
}

KeyframeLink link_with(const LinkEnd& earlier, const LinkEnd& later, const TrackingOptions& tracking,
                       const KeyframeOptions& options) {
  const bool nearby = later.index - earlier.index <= static_cast<int>(kChainKeyframes);
  const cv::Size size = later.view.working_size;
  const double slack = (nearby ? kNearbySlack : kFarSlack) * std::max(size.width, size.height);
  return link_views(earlier, later, later_to_earlier(earlier.view, later.view, nearby), slack, tracking, options);
}

std::vector<KeyframeLink> links_with_earlier(const std::vector<View>& views, const std::vector<Keyframe>& keyframes,
                                             std::size_t earlier, const LinkEnd& later,
                                             const TrackingOptions& tracking, const KeyframeOptions& options) {
  std::vector<KeyframeLink> found;
  for (const LinkEnd& end : ends_to_link(views, keyframes, earlier, later.view, options)) {
    KeyframeLink link = link_with(end, later, tracking, options);
    if (!link.from_points.empty()) found.push_back(std::move(link));
  }
  return found;
}

}  // namespace zemb

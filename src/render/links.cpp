// What joins the keyframes: the recorded correspondences, measured again on
// the kept images and fitted pair by pair with one homography (the most
// general plane model, so every model is judged on the same points); where
// they leave keyframes outside the biggest group, the kept images are
// matched by their descriptors against their neighbours in the record.
#include <algorithm>
#include <map>
#include <numeric>
#include <set>
#include <utility>

#include <opencv2/calib3d.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

// A pair needs this many correspondences consistent with one homography,
// and at least half of its correspondences so, to join its keyframes.
constexpr int kMinPairInliers = 8;
// How far in the record a keyframe's neighbours reach, either side.
constexpr int kNeighbourReach = 2;

using PointPairs = std::pair<std::vector<cv::Point2f>, std::vector<cv::Point2f>>;

void check_links(const SweepRecord& record) {
  const int n = static_cast<int>(record.keyframes.size());
  for (const KeyframeLink& link : record.links)
    if (link.from < 0 || link.to < 0 || link.from >= n || link.to >= n || link.from == link.to ||
        link.from_points.size() != link.to_points.size())
      CV_Error(cv::Error::StsBadArg, "render: a keyframe link names no pair of keyframes or has unpaired points");
}

// The correspondences of each pair of keyframes, earlier keyframe first.
std::map<std::pair<int, int>, PointPairs> gathered(const std::vector<KeyframeLink>& links) {
  std::map<std::pair<int, int>, PointPairs> pairs;
  for (const KeyframeLink& link : links) {
    const bool forward = link.from < link.to;
    PointPairs& points = pairs[std::minmax(link.from, link.to)];
    const auto& first = forward ? link.from_points : link.to_points;
    const auto& second = forward ? link.to_points : link.from_points;
    points.first.insert(points.first.end(), first.begin(), first.end());
    points.second.insert(points.second.end(), second.begin(), second.end());
  }
  return pairs;
}

// The pair with the correspondences one homography explains, or no
// homography when too few do.
LinkedPair fitted_pair(int from, int to, const PointPairs& points, double threshold) {
  LinkedPair pair{from, to, {}, {}, cv::Mat()};
  if (points.first.size() < std::size_t(kMinPairInliers)) return pair;
  std::vector<uchar> inliers;
  const cv::Mat h = cv::findHomography(points.first, points.second, cv::RANSAC, threshold, inliers);
  const int count = h.empty() ? 0 : cv::countNonZero(inliers);
  if (count < kMinPairInliers || 2 * count < static_cast<int>(inliers.size()) || !cv::checkRange(h)) return pair;
  for (std::size_t k = 0; k < inliers.size(); ++k)
    if (inliers[k]) {
      pair.from_points.push_back(points.first[k]);
      pair.to_points.push_back(points.second[k]);
    }
  pair.homography = h;
  return pair;
}

void add_pairs(const std::vector<KeyframeLink>& links, double threshold, std::vector<LinkedPair>& pairs) {
  for (const auto& [keyframes, points] : gathered(links)) {
    LinkedPair pair = fitted_pair(keyframes.first, keyframes.second, points, threshold);
    if (!pair.homography.empty()) pairs.push_back(std::move(pair));
  }
}

// Groups of keyframes the pairs join.
class Groups {
 public:
  Groups(int n, const std::vector<LinkedPair>& pairs) : parent_(std::size_t(n)) {
    std::iota(parent_.begin(), parent_.end(), 0);
    for (const LinkedPair& pair : pairs) join(pair.from, pair.to);
  }
  int root(int i) const {
    while (parent_[std::size_t(i)] != i) i = parent_[std::size_t(i)];
    return i;
  }
  void join(int a, int b) { parent_[std::size_t(root(b))] = root(a); }
  // The root of the biggest group (the earliest keyframe's on a tie).
  int biggest() const {
    std::vector<int> sizes(parent_.size(), 0);
    for (std::size_t i = 0; i < parent_.size(); ++i) ++sizes[std::size_t(root(int(i)))];
    return static_cast<int>(std::max_element(sizes.begin(), sizes.end()) - sizes.begin());
  }

 private:
  std::vector<int> parent_;
};

// Matches each keyframe outside the biggest group against its neighbours in
// other groups, nearest first, until a usable pair joins it; again while that
// joins any, since a group that grows may become the biggest.
void join_by_matching(const SweepRecord& record, const RenderOptions& options, std::vector<LinkedPair>& pairs) {
  const int n = static_cast<int>(record.keyframes.size());
  Groups groups(n, pairs);
  ImageMatcher matcher(record, options);
  std::set<std::pair<int, int>> tried;
  for (bool joined_any = true; joined_any;) {
    joined_any = false;
    for (int i = 0; i < n; ++i)
      for (int distance = 1; distance <= kNeighbourReach && groups.root(i) != groups.biggest(); ++distance)
        for (int j : {i - distance, i + distance}) {
          if (j < 0 || j >= n || groups.root(j) == groups.root(i) || !tried.insert(std::minmax(i, j)).second)
            continue;
          const std::size_t before = pairs.size();
          add_pairs(sharpened_links(record, {matcher.link(std::min(i, j), std::max(i, j))}), options.link_threshold,
                    pairs);
          if (pairs.size() == before) continue;
          groups.join(i, j);
          joined_any = true;
        }
  }
}

// Splits the keyframes into the biggest group the pairs join and the rest,
// and keeps the pairs within the biggest.
void group(LinkGraph& graph) {
  const int n = static_cast<int>(graph.sizes.size());
  const Groups groups(n, graph.pairs);
  const int biggest = groups.biggest();
  graph.joined.clear();
  graph.left_out.clear();
  for (int i = 0; i < n; ++i) (groups.root(i) == biggest ? graph.joined : graph.left_out).push_back(i);
  graph.pairs.erase(std::remove_if(graph.pairs.begin(), graph.pairs.end(),
                                   [&](const LinkedPair& pair) { return groups.root(pair.from) != biggest; }),
                    graph.pairs.end());
}

}  // namespace

LinkGraph link_graph(const SweepRecord& record, const RenderOptions& options) {
  check_links(record);
  LinkGraph graph;
  for (const Keyframe& keyframe : record.keyframes) graph.sizes.push_back(keyframe.image_size);
  add_pairs(sharpened_links(record, record.links), options.link_threshold, graph.pairs);
  if (options.match_unlinked) join_by_matching(record, options, graph.pairs);
  group(graph);
  return graph;
}

LinkGraph subgraph(const LinkGraph& graph, const std::vector<int>& keyframes) {
  std::vector<int> local(graph.sizes.size(), -1);
  LinkGraph sub;
  for (int keyframe : keyframes) {
    local[std::size_t(keyframe)] = static_cast<int>(sub.sizes.size());
    sub.sizes.push_back(graph.sizes[std::size_t(keyframe)]);
  }
  for (const LinkedPair& pair : graph.pairs) {
    const int from = local[std::size_t(pair.from)], to = local[std::size_t(pair.to)];
    if (from < 0 || to < 0) continue;
    sub.pairs.push_back(pair);
    sub.pairs.back().from = from;
    sub.pairs.back().to = to;
  }
  group(sub);
  return sub;
}

cv::Mat centred_homography(const LinkedPair& pair, const std::vector<cv::Size>& sizes) {
  const auto shift = [](cv::Size size, double sign) -> cv::Mat {
    return (cv::Mat_<double>(3, 3) << 1, 0, sign * size.width * 0.5, 0, 1, sign * size.height * 0.5, 0, 0, 1);
  };
  return shift(sizes[std::size_t(pair.to)], -1) * pair.homography * shift(sizes[std::size_t(pair.from)], 1);
}

}  // namespace rendering
}  // namespace zemb

// What joins the keyframes: the recorded correspondences, measured again on
// the kept images and fitted pair by pair with one homography (the most
// general plane model, so every model is judged on the same points); where
// they leave keyframes outside the biggest group, the kept images are
// matched by their descriptors against their neighbours in the record.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>

#include <opencv2/calib3d.hpp>
#include <opencv2/stitching/detail/util.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

// A pair needs this many correspondences consistent with one homography,
// and at least half of its correspondences so, to join its keyframes.
constexpr int kMinPairInliers = 8;
// How far in the record a keyframe's neighbours reach, either side.
constexpr int kNeighbourReach = 2;
// Points across and down the grid a live link carries from one keyframe to
// the next.
constexpr int kLiveGrid = 12;

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
LinkedPair fitted(int from, int to, const PointPairs& points, double threshold) {
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

// What the live placements say of the keyframes, and what a link must do to
// be taken against them.
class LivePrior {
 public:
  LivePrior(const SweepRecord& record, const RenderOptions& options, const Placements& live)
      : record_(record), options_(options), live_(live) {}

  // Kept pixels of `from` -> kept pixels of `to` as the live placements put
  // them; empty when they do not place both.
  cv::Mat relative(int from, int to) const {
    const cv::Mat& a = live_.to_world[std::size_t(from)];
    const cv::Mat& b = live_.to_world[std::size_t(to)];
    if (a.empty() || b.empty()) return cv::Mat();
    return b.inv() * a;
  }

  // How far from the live placement a correspondence may lie, kept pixels of
  // `to`: the live chain drifts a little with every step, so keyframes
  // further apart in it (a turn closing on its start) are held less tightly.
  double slack(int from, int to) const {
    const cv::Size size = record_.keyframes[std::size_t(to)].image_size;
    return options_.prior_slack * std::max(size.width, size.height) * std::max(1, std::abs(to - from));
  }

  // The correspondences the live placements carry to within the slack.
  PointPairs agreeing_points(int from, int to, const PointPairs& points) const {
    const cv::Mat live = relative(from, to);
    if (live.empty() || points.first.empty()) return {};
    std::vector<cv::Point2f> carried;
    cv::perspectiveTransform(points.first, carried, live);
    PointPairs kept;
    for (std::size_t k = 0; k < carried.size(); ++k)
      if (cv::norm(carried[k] - points.second[k]) <= slack(from, to)) {
        kept.first.push_back(points.first[k]);
        kept.second.push_back(points.second[k]);
      }
    return kept;
  }

  // Half the pair's correspondences or more within the slack of where the
  // live placements put them.
  bool agrees(const LinkedPair& pair) const { return agreeing_share({pair}) >= 0.5; }

  // The live placements are a prior worth keeping when they agree with the
  // recorded links as a whole; a live focal length far off (a wrong hint)
  // leaves every link further apart, and then no link is judged by them.
  void judge_credibility(const std::vector<LinkedPair>& recorded) {
    credible_ = recorded.empty() || agreeing_share(recorded) >= 0.5;
  }

  // The pair fitted to all its correspondences when the fit agrees with the
  // live placements (a live focal length a little off leaves the edges
  // further apart, not the middle); else fitted to those that agree, unless
  // many more agree on another transform (the live chain was wrong there).
  // On a repeating texture a group of correspondences may pair twins, which
  // one transform explains all too well, where the live chain followed the
  // motion and knows which is which.
  LinkedPair fitted_pair(int from, int to, const PointPairs& points) const {
    LinkedPair all = fitted(from, to, points, options_.link_threshold);
    if (!credible_ || relative(from, to).empty() || (!all.homography.empty() && agrees(all))) return all;
    LinkedPair agreeing = fitted(from, to, agreeing_points(from, to, points), options_.link_threshold);
    const std::size_t many = static_cast<std::size_t>(options_.prior_overrule);
    if (all.from_points.size() >= many && all.from_points.size() > 2 * agreeing.from_points.size()) return all;
    return agreeing;
  }

  // The share of the pairs' correspondences that agree with the live
  // placements.
  double agreeing_share(const std::vector<LinkedPair>& pairs) const {
    std::size_t near = 0, all = 0;
    for (const LinkedPair& pair : pairs) {
      near += agreeing_points(pair.from, pair.to, {pair.from_points, pair.to_points}).first.size();
      all += pair.from_points.size();
    }
    return all == 0 ? 0.0 : double(near) / double(all);
  }

  // Points of a grid over `from` that the live placements carry inside `to`,
  // paired with where they land: the live link.
  KeyframeLink live_link(int from, int to) const {
    KeyframeLink link{from, to, {}, {}};
    const cv::Mat live = relative(from, to);
    if (live.empty()) return link;
    const cv::Size a = record_.keyframes[std::size_t(from)].image_size;
    const cv::Size b = record_.keyframes[std::size_t(to)].image_size;
    std::vector<cv::Point2f> grid, carried;
    for (int y = 0; y < kLiveGrid; ++y)
      for (int x = 0; x < kLiveGrid; ++x)
        grid.emplace_back(float(a.width * (x + 0.5) / kLiveGrid), float(a.height * (y + 0.5) / kLiveGrid));
    cv::perspectiveTransform(grid, carried, live);
    const cv::Rect2f inside(0, 0, float(b.width), float(b.height));
    for (std::size_t k = 0; k < grid.size(); ++k)
      if (inside.contains(carried[k])) {
        link.from_points.push_back(grid[k]);
        link.to_points.push_back(carried[k]);
      }
    return link;
  }

  // The live link measured again on the kept images: each point followed by
  // flow from where the live placements put it, up to the slack away.
  std::vector<KeyframeLink> measured_live_link(int from, int to) const {
    const KeyframeLink link = live_link(from, to);
    if (link.from_points.size() < std::size_t(kMinPairInliers)) return {};
    return sharpened_links(record_, {link}, slack(to, from));
  }

 private:
  const SweepRecord& record_;
  const RenderOptions& options_;
  const Placements& live_;
  bool credible_ = true;
};

void add_pairs(const std::vector<KeyframeLink>& links, const LivePrior& prior, std::vector<LinkedPair>& pairs) {
  for (const auto& [keyframes, points] : gathered(links)) {
    LinkedPair pair = prior.fitted_pair(keyframes.first, keyframes.second, points);
    if (!pair.homography.empty()) pairs.push_back(std::move(pair));
  }
}

// Groups of keyframes the pairs join (cv::detail's union-find).
class Groups {
 public:
  Groups(int n, const std::vector<LinkedPair>& pairs) : sets_(n) {
    for (const LinkedPair& pair : pairs) join(pair.from, pair.to);
  }
  int root(int i) { return sets_.findSetByElem(i); }
  // cv::detail's merge of a set with itself would count the set twice.
  void join(int a, int b) {
    if (root(a) != root(b)) sets_.mergeSets(root(a), root(b));
  }
  // The root of the biggest group (the earliest keyframe's on a tie).
  int biggest() {
    int best = 0;
    for (int i = 1; i < static_cast<int>(sets_.parent.size()); ++i)
      if (sets_.size[std::size_t(root(i))] > sets_.size[std::size_t(root(best))]) best = i;
    return root(best);
  }

 private:
  cv::detail::DisjointSets sets_;
};

bool has_pair(const std::vector<LinkedPair>& pairs, int from, int to) {
  return std::any_of(pairs.begin(), pairs.end(),
                     [&](const LinkedPair& pair) { return pair.from == from && pair.to == to; });
}

// Neighbours in the record that no recorded link joins, linked around the
// live placements.
void link_neighbours_around_live(int n, const LivePrior& prior, std::vector<LinkedPair>& pairs) {
  for (int i = 0; i + 1 < n; ++i)
    if (!has_pair(pairs, i, i + 1)) add_pairs(prior.measured_live_link(i, i + 1), prior, pairs);
}

// Matches each keyframe outside the biggest group against its neighbours in
// other groups, nearest first, until a usable pair joins it; again while that
// joins any, since a group that grows may become the biggest.
void join_by_matching(const SweepRecord& record, const RenderOptions& options, const LivePrior& prior,
                      std::vector<LinkedPair>& pairs) {
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
          add_pairs(sharpened_links(record, {matcher.link(std::min(i, j), std::max(i, j))}), prior, pairs);
          if (pairs.size() == before) continue;
          groups.join(i, j);
          joined_any = true;
        }
  }
}

// Neighbours in the record left in different groups are joined by their
// live link: where nothing measured agrees with the live placements, the
// render keeps them there, pair by pair.
void join_by_live_links(int n, const LivePrior& prior, std::vector<LinkedPair>& pairs) {
  Groups groups(n, pairs);
  for (int i = 0; i + 1 < n; ++i) {
    if (groups.root(i) == groups.root(i + 1)) continue;
    const KeyframeLink link = prior.live_link(i, i + 1);
    LinkedPair pair = fitted(i, i + 1, {link.from_points, link.to_points}, 1.0);
    if (pair.homography.empty()) continue;
    pairs.push_back(std::move(pair));
    groups.join(i, i + 1);
  }
}

// Splits the keyframes into the biggest group the pairs join and the rest,
// and keeps the pairs within the biggest.
void group(LinkGraph& graph) {
  const int n = static_cast<int>(graph.sizes.size());
  Groups groups(n, graph.pairs);
  const int biggest = groups.biggest();
  graph.joined.clear();
  graph.left_out.clear();
  for (int i = 0; i < n; ++i) (groups.root(i) == biggest ? graph.joined : graph.left_out).push_back(i);
  graph.pairs.erase(std::remove_if(graph.pairs.begin(), graph.pairs.end(),
                                   [&](const LinkedPair& pair) { return groups.root(pair.from) != biggest; }),
                    graph.pairs.end());
}

}  // namespace

LinkGraph link_graph(const SweepRecord& record, const RenderOptions& options, const Placements& live) {
  check_links(record);
  const int n = static_cast<int>(record.keyframes.size());
  LivePrior prior(record, options, live);
  LinkGraph graph;
  for (const Keyframe& keyframe : record.keyframes) graph.sizes.push_back(keyframe.image_size);
  const std::vector<KeyframeLink> recorded = sharpened_links(record, record.links);
  std::vector<LinkedPair> unjudged;
  for (const auto& [keyframes, points] : gathered(recorded))
    unjudged.push_back(fitted(keyframes.first, keyframes.second, points, options.link_threshold));
  prior.judge_credibility(unjudged);
  add_pairs(recorded, prior, graph.pairs);
  if (options.match_unlinked) {
    link_neighbours_around_live(n, prior, graph.pairs);
    join_by_matching(record, options, prior, graph.pairs);
    join_by_live_links(n, prior, graph.pairs);
  }
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

// The pairs matched with cv::detail's matcher, and the photos the confident
// ones join.
#include <algorithm>
#include <queue>
#include <tuple>

#include <opencv2/stitching/detail/matchers.hpp>
#include <opencv2/stitching/detail/util.hpp>

#include "photos/photos_internal.h"

namespace zemb {
namespace photos {

namespace {

cv::Point2f in_photo(const cv::KeyPoint& keypoint, double scale) {
  const float s = static_cast<float>(scale);
  return (keypoint.pt + cv::Point2f(0.5f, 0.5f)) / s - cv::Point2f(0.5f, 0.5f);
}

MatchedPair matched_pair(const std::vector<Described>& photos, const cv::detail::MatchesInfo& info, int i, int j) {
  MatchedPair pair;
  pair.i = i;
  pair.j = j;
  pair.matches = static_cast<int>(info.matches.size());
  pair.inliers = info.inliers_mask.size() == info.matches.size() ? info.num_inliers : 0;
  // The matcher zeroes a confidence above 3 to drop duplicate photos; a set
  // may hold two shots of one view, and the render takes them.
  pair.confidence = pair.inliers / (8.0 + 0.3 * pair.matches);
  if (pair.inliers == 0) return pair;
  const Described& a = photos[std::size_t(i)];
  const Described& b = photos[std::size_t(j)];
  for (std::size_t k = 0; k < info.matches.size(); ++k) {
    if (!info.inliers_mask[k]) continue;
    const cv::DMatch& match = info.matches[k];
    pair.i_points.push_back(in_photo(a.features.keypoints[std::size_t(match.queryIdx)], a.scale));
    pair.j_points.push_back(in_photo(b.features.keypoints[std::size_t(match.trainIdx)], b.scale));
  }
  return pair;
}

// The photos the kept pairs join, one set a group (cv::detail's union-find,
// whose merge of a set with itself would count the set twice).
cv::detail::DisjointSets joined_groups(int count, const std::vector<MatchedPair>& kept) {
  cv::detail::DisjointSets groups(count);
  for (const MatchedPair& pair : kept) {
    const int a = groups.findSetByElem(pair.i), b = groups.findSetByElem(pair.j);
    if (a != b) groups.mergeSets(a, b);
  }
  return groups;
}

// The photo of the largest group (on a tie, the group its pairs join most
// confidently) with the most confidence in its pairs.
int tree_root(int count, const std::vector<MatchedPair>& kept, cv::detail::DisjointSets& groups) {
  std::vector<int> size(std::size_t(count), 0);
  std::vector<double> group_confidence(std::size_t(count), 0), photo_confidence(std::size_t(count), 0);
  for (int i = 0; i < count; ++i) ++size[std::size_t(groups.findSetByElem(i))];
  for (const MatchedPair& pair : kept) {
    group_confidence[std::size_t(groups.findSetByElem(pair.i))] += pair.confidence;
    photo_confidence[std::size_t(pair.i)] += pair.confidence;
    photo_confidence[std::size_t(pair.j)] += pair.confidence;
  }
  int best = 0;
  for (int i = 1; i < count; ++i) {
    const int a = groups.findSetByElem(i), b = groups.findSetByElem(best);
    const auto rank = [&](int photo, int group) {
      return std::make_tuple(size[std::size_t(group)], group_confidence[std::size_t(group)],
                             photo_confidence[std::size_t(photo)]);
    };
    if (rank(i, a) > rank(best, b)) best = i;
  }
  return best;
}

}  // namespace

std::vector<MatchedPair> match_pairs(const std::vector<Described>& photos, const cv::Mat& mask,
                                     const PhotoMatchOptions& options) {
  std::vector<cv::detail::ImageFeatures> features;
  for (const Described& photo : photos) features.push_back(photo.features);
  std::vector<cv::detail::MatchesInfo> table;
  cv::detail::BestOf2NearestMatcher matcher(false, options.match_conf);
  matcher(features, table, mask.getUMat(cv::ACCESS_READ));
  matcher.collectGarbage();
  const int n = static_cast<int>(photos.size());
  std::vector<MatchedPair> pairs;
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      if (mask.at<uchar>(i, j)) pairs.push_back(matched_pair(photos, table[std::size_t(i * n + j)], i, j));
  return pairs;
}

bool confident(const MatchedPair& pair, const PhotoMatchOptions& options) {
  return pair.inliers >= options.min_inliers && pair.confidence >= options.min_confidence;
}

std::vector<int> largest_group_in_tree_order(int count, const std::vector<MatchedPair>& kept) {
  if (kept.empty()) return {};
  cv::detail::DisjointSets groups = joined_groups(count, kept);
  std::vector<std::vector<const MatchedPair*>> pairs_of(static_cast<std::size_t>(count));
  for (const MatchedPair& pair : kept) {
    pairs_of[std::size_t(pair.i)].push_back(&pair);
    pairs_of[std::size_t(pair.j)].push_back(&pair);
  }
  // Prim's maximum spanning tree: the most confident pair out of the tree next.
  std::vector<int> order;
  std::vector<bool> reached(std::size_t(count), false);
  std::priority_queue<std::pair<double, int>> next;
  next.emplace(0.0, tree_root(count, kept, groups));
  while (!next.empty()) {
    const int photo = next.top().second;
    next.pop();
    if (reached[std::size_t(photo)]) continue;
    reached[std::size_t(photo)] = true;
    order.push_back(photo);
    for (const MatchedPair* pair : pairs_of[std::size_t(photo)]) {
      const int other = pair->i == photo ? pair->j : pair->i;
      if (!reached[std::size_t(other)]) next.emplace(pair->confidence, other);
    }
  }
  return order;
}

}  // namespace photos
}  // namespace zemb

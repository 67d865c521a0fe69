// The pairs matched as cv::detail::BestOf2NearestMatcher matches them, and
// the photos the confident ones join. That matcher indexes a photo's SIFT
// descriptors (FLANN k-d trees) anew for every pair it matches, twice a pair;
// here each photo's index is built once and every photo matched against it
// asks it, which halves the time matching takes.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <queue>
#include <set>
#include <tuple>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/stitching/detail/util.hpp>

#include "photos/photos_internal.h"

namespace zemb {
namespace photos {

namespace {

cv::Point2f in_photo(const cv::KeyPoint& keypoint, double scale) {
  const float s = static_cast<float>(scale);
  return (keypoint.pt + cv::Point2f(0.5f, 0.5f)) / s - cv::Point2f(0.5f, 0.5f);
}

// A photo's two nearest descriptors in another photo, for each of its own.
using Nearest = std::vector<std::vector<cv::DMatch>>;

// Matches fewer than this fit no homography worth counting (cv::detail's
// matchers do not try one).
constexpr std::size_t kFewestMatches = 6;

bool indexable(const Described& photo) { return photo.features.descriptors.rows >= 2; }

// Photo j's descriptors indexed (FLANN k-d trees for float descriptors, as
// cv::detail's matchers use), or none when it has too few. The trees are
// drawn at random, from std::rand and OpenCV's generator of the calling
// thread: both are seeded afresh for each index, built one after another,
// so that a photo's index, and what it answers, do not depend on the run,
// on the threads, or on where the photo stands in the set.
std::vector<cv::Ptr<cv::FlannBasedMatcher>> indexes_of(const std::vector<Described>& photos) {
  constexpr unsigned kTreeSeed = 7;
  std::vector<cv::Ptr<cv::FlannBasedMatcher>> indexes;
  for (const Described& photo : photos) {
    indexes.emplace_back();
    if (!indexable(photo)) continue;
    std::srand(kTreeSeed);
    cv::theRNG().state = kTreeSeed;
    indexes.back() = cv::makePtr<cv::FlannBasedMatcher>();
    indexes.back()->add(std::vector<cv::Mat>{photo.features.descriptors.getMat(cv::ACCESS_READ)});
    indexes.back()->train();
  }
  return indexes;
}

// nearest[j][i]: photo i's descriptors in photo j's index, for every pair
// (i, j) the mask names, both ways; each index asked in one task, so no
// index is shared between threads.
std::vector<std::vector<Nearest>> nearest_both_ways(const std::vector<Described>& photos, const cv::Mat& mask) {
  const int n = static_cast<int>(photos.size());
  const std::vector<cv::Ptr<cv::FlannBasedMatcher>> indexes = indexes_of(photos);
  std::vector<std::vector<Nearest>> nearest(std::size_t(n), std::vector<Nearest>{std::size_t(n)});
  cv::parallel_for_(cv::Range(0, n), [&](const cv::Range& range) {
    for (int j = range.start; j < range.end; ++j) {
      if (!indexes[std::size_t(j)]) continue;
      for (int i = 0; i < n; ++i)
        if (i != j && mask.at<uchar>(std::min(i, j), std::max(i, j)) && indexable(photos[std::size_t(i)]))
          indexes[std::size_t(j)]->knnMatch(photos[std::size_t(i)].features.descriptors.getMat(cv::ACCESS_READ),
                                            nearest[std::size_t(j)][std::size_t(i)], 2);
    }
  });
  return nearest;
}

// The matches of i (query) to j (train) that pass the ratio test one way or
// the other, each once: cv::detail's CpuMatcher's rule.
std::vector<cv::DMatch> ratio_matches(const Nearest& i_in_j, const Nearest& j_in_i, float match_conf) {
  const auto distinct = [match_conf](const std::vector<cv::DMatch>& two) {
    return two.size() >= 2 && two[0].distance < (1.f - match_conf) * two[1].distance;
  };
  std::vector<cv::DMatch> matches;
  std::set<std::pair<int, int>> found;
  for (const std::vector<cv::DMatch>& two : i_in_j)
    if (distinct(two)) {
      matches.push_back(two[0]);
      found.emplace(two[0].queryIdx, two[0].trainIdx);
    }
  for (const std::vector<cv::DMatch>& two : j_in_i)
    if (distinct(two) && !found.count({two[0].trainIdx, two[0].queryIdx}))
      matches.emplace_back(two[0].trainIdx, two[0].queryIdx, two[0].distance);
  return matches;
}

// The matches one homography explains (RANSAC on points about the copies'
// centres, as BestOf2NearestMatcher fits them); none when it folds.
std::vector<uchar> homography_inliers(const Described& a, const Described& b, const std::vector<cv::DMatch>& matches) {
  std::vector<cv::Point2f> a_points, b_points;
  const cv::Point2f a_centre(a.features.img_size.width * 0.5f, a.features.img_size.height * 0.5f);
  const cv::Point2f b_centre(b.features.img_size.width * 0.5f, b.features.img_size.height * 0.5f);
  for (const cv::DMatch& match : matches) {
    a_points.push_back(a.features.keypoints[std::size_t(match.queryIdx)].pt - a_centre);
    b_points.push_back(b.features.keypoints[std::size_t(match.trainIdx)].pt - b_centre);
  }
  std::vector<uchar> inliers;
  const cv::Mat h = cv::findHomography(a_points, b_points, inliers, cv::RANSAC);
  if (h.empty() || std::abs(cv::determinant(h)) < std::numeric_limits<double>::epsilon()) return {};
  return inliers;
}

MatchedPair matched_pair(const std::vector<Described>& photos, const std::vector<cv::DMatch>& matches, int i, int j) {
  MatchedPair pair;
  pair.i = i;
  pair.j = j;
  pair.matches = static_cast<int>(matches.size());
  if (matches.size() < kFewestMatches) return pair;
  const Described& a = photos[std::size_t(i)];
  const Described& b = photos[std::size_t(j)];
  const std::vector<uchar> inliers = homography_inliers(a, b, matches);
  for (std::size_t k = 0; k < inliers.size(); ++k) {
    if (!inliers[k]) continue;
    pair.i_points.push_back(in_photo(a.features.keypoints[std::size_t(matches[k].queryIdx)], a.scale));
    pair.j_points.push_back(in_photo(b.features.keypoints[std::size_t(matches[k].trainIdx)], b.scale));
  }
  pair.inliers = static_cast<int>(pair.i_points.size());
  // cv::detail's matchers zero a confidence above 3 to drop duplicate
  // photos; a set may hold two shots of one view, and the render takes them.
  pair.confidence = pair.inliers / (8.0 + 0.3 * pair.matches);
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
  const std::vector<std::vector<Nearest>> nearest = nearest_both_ways(photos, mask);
  const int n = static_cast<int>(photos.size());
  std::vector<MatchedPair> pairs;
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      if (mask.at<uchar>(i, j)) {
        pairs.emplace_back();
        pairs.back().i = i;
        pairs.back().j = j;
      }
  cv::parallel_for_(cv::Range(0, static_cast<int>(pairs.size())), [&](const cv::Range& range) {
    for (int k = range.start; k < range.end; ++k) {
      const int i = pairs[std::size_t(k)].i, j = pairs[std::size_t(k)].j;
      const std::vector<cv::DMatch> matches = ratio_matches(nearest[std::size_t(j)][std::size_t(i)],
                                                            nearest[std::size_t(i)][std::size_t(j)], options.match_conf);
      pairs[std::size_t(k)] = matched_pair(photos, matches, i, j);
    }
  });
  return pairs;
}

bool confident(const MatchedPair& pair, const PhotoMatchOptions& options) {
  return pair.inliers >= options.min_inliers && pair.confidence >= options.min_confidence;
}

const MatchedPair* best_pair_of(int photo, const std::vector<MatchedPair>& pairs) {
  const MatchedPair* best = nullptr;
  for (const MatchedPair& pair : pairs)
    if ((pair.i == photo || pair.j == photo) &&
        (!best || std::tie(pair.confidence, pair.matches) > std::tie(best->confidence, best->matches)))
      best = &pair;
  return best;
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

#include "zemb_stitcher.h"

#include <optional>
#include <set>
#include <utility>

namespace {

using CandidateLists = std::vector<std::vector<cv::DMatch>>;

// (descriptors1 row, descriptors2 row)
using RowPair = std::pair<int, int>;

// The two nearest train rows of every query row, nearest first.
CandidateLists two_nearest(const cv::BFMatcher& matcher, const cv::Mat& query,
                           const cv::Mat& train) {
  CandidateLists candidates;
  matcher.knnMatch(query, train, candidates, 2);
  return candidates;
}

// The nearest candidate, when it is strictly closer than (1 - ratio) times the
// second-nearest; a lone candidate has nothing to be distinctive against.
std::optional<cv::DMatch> distinctive_nearest(const std::vector<cv::DMatch>& candidates,
                                              float ratio) {
  if (candidates.size() < 2) return std::nullopt;
  const float margin = 1.0f - ratio;
  if (margin * candidates[1].distance > candidates[0].distance) return candidates[0];
  return std::nullopt;
}

void append_forward(const cv::BFMatcher& matcher, const cv::Mat& descriptors1,
                    const cv::Mat& descriptors2, std::vector<cv::DMatch>& matches,
                    float ratio) {
  for (const auto& candidates : two_nearest(matcher, descriptors1, descriptors2)) {
    if (const auto best = distinctive_nearest(candidates, ratio)) matches.push_back(*best);
  }
}

// Matches from descriptors2's side, turned round so that queryIdx is the
// descriptors1 row, skipping pairs the forward pass already gave. imgIdx -1
// tells these records from the matcher's own.
void append_reverse_only(const cv::BFMatcher& matcher, const cv::Mat& descriptors1,
                         const cv::Mat& descriptors2, const std::set<RowPair>& forward_pairs,
                         std::vector<cv::DMatch>& matches, float ratio) {
  for (const auto& candidates : two_nearest(matcher, descriptors2, descriptors1)) {
    const auto best = distinctive_nearest(candidates, ratio);
    if (best && forward_pairs.count({best->trainIdx, best->queryIdx}) == 0)
      matches.emplace_back(best->trainIdx, best->queryIdx, -1, best->distance);
  }
}

std::set<RowPair> row_pairs(std::vector<cv::DMatch>::const_iterator first,
                            std::vector<cv::DMatch>::const_iterator last) {
  std::set<RowPair> pairs;
  for (; first != last; ++first) pairs.emplace(first->queryIdx, first->trainIdx);
  return pairs;
}

}  // namespace

void single_match(const cv::Mat& descriptors1, const cv::Mat& descriptors2,
                  std::vector<cv::DMatch>& matches, float ratio) {
  const cv::BFMatcher matcher(cv::NORM_L2, /*crossCheck=*/false);
  append_forward(matcher, descriptors1, descriptors2, matches, ratio);
}

void double_match(const cv::Mat& descriptors1, const cv::Mat& descriptors2,
                  std::vector<cv::DMatch>& matches, float ratio) {
  const cv::BFMatcher matcher(cv::NORM_L2, /*crossCheck=*/false);  // serves both passes
  const std::size_t first_forward = matches.size();
  append_forward(matcher, descriptors1, descriptors2, matches, ratio);
  const std::set<RowPair> forward_pairs =
      row_pairs(matches.cbegin() + first_forward, matches.cend());
  append_reverse_only(matcher, descriptors1, descriptors2, forward_pairs, matches, ratio);
}

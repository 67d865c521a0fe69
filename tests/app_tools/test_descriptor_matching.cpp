#include <tuple>

#include <gtest/gtest.h>

#include "zemb_stitcher.h"

namespace {

using Matches = std::vector<cv::DMatch>;
using Record = std::tuple<int, int, int, float>;  // queryIdx, trainIdx, imgIdx, distance

// One-dimensional descriptors: distances are plain differences.
cv::Mat column(std::initializer_list<float> values) {
  return cv::Mat(std::vector<float>(values), true);
}

cv::Mat random_descriptors(int rows, uint64 seed) {
  cv::Mat out(rows, 8, CV_32F);
  cv::RNG(seed).fill(out, cv::RNG::UNIFORM, 0.0f, 1.0f);
  return out;
}

std::vector<Record> records(Matches::const_iterator first, Matches::const_iterator last) {
  std::vector<Record> out;
  for (; first != last; ++first)
    out.emplace_back(first->queryIdx, first->trainIdx, first->imgIdx, first->distance);
  return out;
}

// One query 0 against train sets with nearest 1: accepted only when the
// nearest is strictly closer than ratio times the second nearest.
TEST(DescriptorMatching, RatioTestIsStrict) {
  const struct {
    cv::Mat train;
    float ratio;
    size_t matches;
  } cases[] = {{column({1, 2}), 0.0f, 1},  {column({1, 2}), 0.49f, 1}, {column({1, 2}), 0.5f, 0},
               {column({1, 2}), 1.0f, 0},  {column({1, 1, 5}), 0.0f, 0}, {column({1}), 0.0f, 0}};
  for (const auto& c : cases) {
    Matches matches;
    single_match(column({0}), c.train, matches, c.ratio);
    EXPECT_EQ(matches.size(), c.matches) << c.train.t() << " " << c.ratio;
  }
}

TEST(DescriptorMatching, DoubleMatchAppendsForwardThenReverseOnlyPairs) {
  // Forward: 0->0 and 1->0. Reverse: row 0 finds 1 (already known); row 1
  // finds 1, a pair only descriptors2's side accepts.
  Matches matches{cv::DMatch(7, 7, 7, 7.0f)};
  double_match(column({0, 1}), column({1.5f, 5}), matches, 0.1f);
  const std::vector<Record> expected{
      {7, 7, 7, 7.0f}, {0, 0, 0, 1.5f}, {1, 0, 0, 0.5f}, {1, 1, -1, 4.0f}};
  EXPECT_EQ(records(matches.begin(), matches.end()), expected);

  Matches one_row;  // a one-row set has no second candidate to test against
  double_match(column({0, 3, 10}), column({2.5f}), one_row, 0.0f);
  EXPECT_EQ(records(one_row.begin(), one_row.end()), (std::vector<Record>{{1, 0, -1, 0.5f}}));
}

TEST(DescriptorMatching, IncompatibleDescriptorSetsThrow) {
  const cv::Mat floats = random_descriptors(5, 1);
  Matches matches;
  EXPECT_THROW(single_match(floats, cv::Mat::zeros(5, 8, CV_8U), matches, 0.2f), cv::Exception);
  EXPECT_THROW(double_match(floats, floats.colRange(0, 6), matches, 0.2f), cv::Exception);
}

}  // namespace

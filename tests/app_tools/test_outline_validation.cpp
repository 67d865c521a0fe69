#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "zemb_stitcher.h"

namespace {

using Outline = std::vector<cv::Point2f>;

const cv::Mat kImage(40, 60, CV_8UC3, cv::Scalar::all(0));  // 2400 pixels
const Outline kFullImage{{0, 0}, {60, 0}, {60, 40}, {0, 40}};
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Corners are truncated toward zero to whole pixels, the boundary counts, and
// diagonal edges are 8-connected; only the image's size matters.
TEST(OutlineValidation, AreaCountsEveryCoveredPixel) {
  const struct {
    Outline box;
    cv::Mat image;
    float pixels;
  } cases[] = {
      {kFullImage, kImage, 2400},
      {kFullImage, cv::Mat(40, 60, CV_32FC1, cv::Scalar(7)), 2400},
      {{{0.2f, 0.7f}, {10.9f, -0.5f}, {10.99f, 5.9f}, {-0.9f, 5.3f}}, kImage, 11 * 6},
      {{{10, 0}, {20, 10}, {10, 20}, {0, 10}}, kImage, 221},            // rows of 1, 3, ..., 21, ..., 1
      {{{5, 5}, {15, 5}, {15, 15}, {5, 15}, {0, 10}}, kImage, 121 + 25},  // square and a triangle
      {{{100, 100}, {200, 100}, {200, 200}, {100, 200}}, kImage, 0},
      {kFullImage, cv::Mat(), 0},
      {kFullImage, cv::Mat(0, 60, CV_8UC1), 0},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(is_convex(c.box)) << c.box;
    EXPECT_EQ(calc_area(c.box, c.image), c.pixels / 2400.0f) << c.box;
  }
  EXPECT_TRUE(is_good_green_box(kFullImage, kImage, 1.0f, 0.0f));
  EXPECT_TRUE(is_good_green_box(kFullImage, cv::Mat(), 0.0f, 0.0f)) << "a non-positive minimum passes";
  EXPECT_FALSE(is_good_green_box(kFullImage, cv::Mat(), 0.01f, 0.0f));
}

// Crossing, dented or repeated corners, fewer than four, non-finite ones and
// extents beyond 46340 pixels, where 32-bit convexity arithmetic overflows.
TEST(OutlineValidation, RefusesWhatIsNotConvex) {
  std::vector<Outline> cases = {
      {{0, 0}, {60, 40}, {60, 0}, {0, 40}},
      {{0, 0}, {10.2f, 0.3f}, {10.7f, 0.9f}, {0, 10}},
      {{0, 0}, {10, 0}, {10, 10}, {0, 10}, {5, 5}},
      {},
      {{0, 0}, {60, 0}, {0, 40}},
      {{0, 0}, {46341, 0}, {46341, 10}, {0, 10}},
      {{-2e9f, -2e9f}, {2e9f, -2e9f}, {2e9f, 2e9f}, {-2e9f, 2e9f}},
  };
  for (float bad : {kNaN, kInf, -kInf, 3e9f, -3e9f}) {
    cases.push_back({{0, 0}, {bad, 0}, {60, 40}, {0, 40}});
    cases.push_back({{0, 0}, {60, 0}, {60, 40}, {0, bad}});
  }
  for (const Outline& box : cases) {
    EXPECT_FALSE(is_convex(box)) << box;
    EXPECT_EQ(calc_area(box, kImage), 0.0f) << box;
    EXPECT_FALSE(is_good_green_box(box, kImage, -1.0f, 1000.0f)) << box;
  }
  EXPECT_TRUE(is_convex({{0, 0}, {46340, 0}, {46340, 10}, {0, 10}}));
  EXPECT_THROW(calc_angle({{0, 0}, {60, 0}, {0, 40}}), cv::Exception);
}

// The larger slope of the top and bottom edges, in degrees; NaN when the top
// edge is degenerate.
TEST(OutlineValidation, AngleOfTopAndBottomEdges) {
  const struct {
    Outline box;
    float degrees;
  } cases[] = {
      {kFullImage, 0},
      {{{0, 0}, {10, 10}, {10, 20}, {0, 20}}, 45},
      {{{10, 10}, {0, 0}, {10, 20}, {0, 20}}, 45},
      {{{0, 0}, {10, 0}, {10, 20}, {0, 10}}, 45},
      {{{0, 0}, {0, 10}, {10, 20}, {0, 20}}, 90},
      {{{0, 0}, {10, 0}, {100, 1000}, {-90, 1000}, {0, 5000}}, 0},  // steep sides and a fifth point
      {{{0, 0}, {10, 10}, {kNaN, 20}, {0, 20}}, 45},
      {{{5, 5}, {5, 5}, {10, 20}, {0, 20}}, kNaN},
      {{{kNaN, 0}, {10, 10}, {10, 20}, {0, 20}}, kNaN},
  };
  for (const auto& c : cases) {
    const float angle = calc_angle(c.box);
    EXPECT_TRUE(angle == c.degrees || (std::isnan(angle) && std::isnan(c.degrees))) << c.box << " " << angle;
  }
}

TEST(OutlineValidation, BothLimitsPassAtEqualityOnly) {
  const Outline box{{0, 0}, {10, 10}, {10, 20}, {0, 20}};
  const float ratio = calc_area(box, kImage);
  ASSERT_GT(ratio, 0.0f);
  EXPECT_TRUE(is_good_green_box(box, kImage, ratio, 45.0f));
  EXPECT_FALSE(is_good_green_box(box, kImage, ratio, std::nextafter(45.0f, 0.0f)));
  EXPECT_FALSE(is_good_green_box(box, kImage, std::nextafter(ratio, 1.0f), 45.0f));
}

}  // namespace

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "zemb_stitcher.h"

namespace {

using Outline = std::vector<cv::Point2f>;

const cv::Mat kImage(40, 60, CV_8UC3, cv::Scalar::all(0));  // 40 rows, 60 columns
const Outline kFullImage{{0, 0}, {60, 0}, {60, 40}, {0, 40}};
constexpr float kAnyAngle = 1000.0f;

void expect_refused(const Outline& box) {
  EXPECT_FALSE(is_convex(box));
  EXPECT_EQ(calc_area(box, kImage), 0.0f);
  EXPECT_FALSE(is_good_green_box(box, kImage, -1.0f, kAnyAngle));
}

TEST(OutlineValidation, FullImageOutlineCoversEverythingFlat) {
  EXPECT_TRUE(is_convex(kFullImage));
  EXPECT_EQ(calc_area(kFullImage, kImage), 1.0f);
  EXPECT_EQ(calc_angle(kFullImage), 0.0f);
  EXPECT_TRUE(is_good_green_box(kFullImage, kImage, 1.0f, 0.0f));
  // Only the image's size counts, not its type or content.
  EXPECT_EQ(calc_area(kFullImage, cv::Mat(40, 60, CV_32FC1, cv::Scalar(7))), 1.0f);
}

TEST(OutlineValidation, CornersAreTruncatedTowardZeroAndBoundaryCounts) {
  // Whole pixels (0,0) (10,0) (10,5) (0,5): 11 x 6 pixels, boundary included.
  const Outline box{{0.2f, 0.7f}, {10.9f, -0.5f}, {10.99f, 5.9f}, {-0.9f, 5.3f}};
  EXPECT_EQ(calc_area(box, kImage), 66.0f / 2400.0f);
  // Diagonal edges are 8-connected: rows of 1, 3, ..., 21, ..., 3, 1 pixels.
  EXPECT_EQ(calc_area({{10, 0}, {20, 10}, {10, 20}, {0, 10}}, kImage), 221.0f / 2400.0f);
}

TEST(OutlineValidation, NonConvexOutlinesAreRefused) {
  expect_refused({{0, 0}, {60, 40}, {60, 0}, {0, 40}});               // crossing order
  expect_refused({{0, 0}, {10.2f, 0.3f}, {10.7f, 0.9f}, {0, 10}});   // (10,0) twice
  expect_refused({{0, 0}, {10, 0}, {10, 10}, {0, 10}, {5, 5}});      // fifth point dents it
}

TEST(OutlineValidation, EveryPointOfALongerOutlineIsFilled) {
  // Square of 11 x 11 pixels plus a triangle of 1+3+5+7+9 pixels to its left.
  const Outline box{{5, 5}, {15, 5}, {15, 15}, {5, 15}, {0, 10}};
  EXPECT_TRUE(is_convex(box));
  EXPECT_EQ(calc_area(box, kImage), 146.0f / 2400.0f);
}

TEST(OutlineValidation, AngleMeasuresTopAndBottomEdgesOnly) {
  EXPECT_EQ(calc_angle({{0, 0}, {10, 10}, {10, 20}, {0, 20}}), 45.0f);
  EXPECT_EQ(calc_angle({{10, 10}, {0, 0}, {10, 20}, {0, 20}}), 45.0f);  // ends swapped
  EXPECT_EQ(calc_angle({{0, 0}, {10, 0}, {10, 20}, {0, 10}}), 45.0f);   // bottom larger
  EXPECT_EQ(calc_angle({{0, 0}, {0, 10}, {10, 20}, {0, 20}}), 90.0f);
  // Steep sides, and a steep edge to a fifth point, leave it flat.
  EXPECT_EQ(calc_angle({{0, 0}, {10, 0}, {100, 1000}, {-90, 1000}, {0, 5000}}), 0.0f);
}

TEST(OutlineValidation, BothLimitsPassAtEqualityOnly) {
  const Outline box{{0, 0}, {10, 10}, {10, 20}, {0, 20}};
  const float ratio = calc_area(box, kImage);
  ASSERT_GT(ratio, 0.0f);
  EXPECT_TRUE(is_good_green_box(box, kImage, ratio, 45.0f));
  EXPECT_FALSE(is_good_green_box(box, kImage, ratio, std::nextafter(45.0f, 0.0f)));
  EXPECT_FALSE(is_good_green_box(box, kImage, std::nextafter(ratio, 1.0f), 45.0f));
}

TEST(OutlineValidation, UncoveredImagePassesOnlyANonPositiveMinimum) {
  const Outline outside{{100, 100}, {200, 100}, {200, 200}, {100, 200}};
  const std::vector<std::pair<Outline, cv::Mat>> cases{
      {outside, kImage}, {kFullImage, cv::Mat()}, {kFullImage, cv::Mat(0, 60, CV_8UC1)}};
  for (const auto& [box, image] : cases) {
    EXPECT_TRUE(is_convex(box));
    EXPECT_EQ(calc_area(box, image), 0.0f);
    EXPECT_TRUE(is_good_green_box(box, image, 0.0f, 0.0f));
    EXPECT_FALSE(is_good_green_box(box, image, 0.01f, 0.0f));
  }
}

TEST(OutlineValidation, FewerThanFourPointsAreRefused) {
  const Outline triangle{{0, 0}, {60, 0}, {0, 40}};
  for (std::size_t n = 0; n <= triangle.size(); ++n) {
    const Outline box(triangle.begin(), triangle.begin() + n);
    expect_refused(box);
    EXPECT_THROW(calc_angle(box), cv::Exception);
  }
}

TEST(OutlineValidation, UnrepresentableCornersAreRefused) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (float bad : {nan, inf, -inf, 3e9f, -3e9f}) {
    expect_refused({{0, 0}, {bad, 0}, {60, 40}, {0, 40}});
    expect_refused({{0, 0}, {60, 0}, {60, 40}, {0, bad}});
  }
  // Wider than 46340 pixels: 32-bit convexity arithmetic would overflow.
  EXPECT_TRUE(is_convex({{0, 0}, {46340, 0}, {46340, 10}, {0, 10}}));
  expect_refused({{0, 0}, {46341, 0}, {46341, 10}, {0, 10}});
  expect_refused({{-2e9f, -2e9f}, {2e9f, -2e9f}, {2e9f, 2e9f}, {-2e9f, 2e9f}});
}

TEST(OutlineValidation, DegenerateTopEdgeMeasuresNaN) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(std::isnan(calc_angle({{5, 5}, {5, 5}, {10, 20}, {0, 20}})));
  EXPECT_TRUE(std::isnan(calc_angle({{nan, 0}, {10, 10}, {10, 20}, {0, 20}})));
  EXPECT_EQ(calc_angle({{0, 0}, {10, 10}, {nan, 20}, {0, 20}}), 45.0f);  // top edge wins
}

}  // namespace

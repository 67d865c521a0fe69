#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "zemb_stitcher.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(AxisExtrema, FindsTheExtremesInListOrder) {
  EXPECT_EQ(min_axis({3.0f, -1.0f, 2.0f, -1.0f}), -1.0f);
  EXPECT_EQ(max_axis({3.0f, -1.0f, 7.5f, 2.0f}), 7.5f);
  EXPECT_EQ(min_axis({4.0f}), 4.0f);
}

TEST(AxisExtrema, KeepsTheEarlierOfEqualValues) {
  // -0.0 and 0.0 compare equal: the first one stays.
  EXPECT_TRUE(std::signbit(min_axis({-0.0f, 0.0f})));
  EXPECT_FALSE(std::signbit(max_axis({0.0f, -0.0f})));
}

TEST(AxisExtrema, IgnoresLaterNaNsAndReturnsALeadingNaN) {
  EXPECT_EQ(min_axis({2.0f, kNaN, 1.0f}), 1.0f);
  EXPECT_EQ(max_axis({2.0f, kNaN, 1.0f}), 2.0f);
  EXPECT_TRUE(std::isnan(min_axis({kNaN, 1.0f, -5.0f})));
  EXPECT_TRUE(std::isnan(max_axis({kNaN, 1.0f, 5.0f})));
}

TEST(AxisExtrema, RefusesAnEmptyList) {
  EXPECT_THROW(min_axis({}), cv::Exception);
  EXPECT_THROW(max_axis({}), cv::Exception);
}

}  // namespace

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "zemb_stitcher.h"

namespace {

// Only a strict comparison replaces the running value, so a NaN after the
// first element never wins and a leading NaN stays.
TEST(AxisExtrema, RunningExtremesInListOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    std::vector<float> values;
    float min, max;
  } cases[] = {
      {{3, -1, 7.5f, -1}, -1, 7.5f}, {{4}, 4, 4}, {{2, nan, 1}, 1, 2}, {{nan, 1, -5}, nan, nan},
  };
  for (const auto& c : cases) {
    const float min = min_axis(c.values), max = max_axis(c.values);
    EXPECT_TRUE(min == c.min || (std::isnan(min) && std::isnan(c.min))) << min;
    EXPECT_TRUE(max == c.max || (std::isnan(max) && std::isnan(c.max))) << max;
  }
  EXPECT_THROW(min_axis({}), cv::Exception);
  EXPECT_THROW(max_axis({}), cv::Exception);
}

}  // namespace

// Outline validation with arbitrary points (NaN, infinities and huge values
// included) on images of any size, empty ones too. None of the four
// functions may throw, except calc_angle on fewer than four points; the
// verdicts must agree with each other and with the documented refusals.
#include <cmath>
#include <vector>

#include <opencv2/core.hpp>

#include "fuzz_check.h"
#include "zemb_stitcher.h"

namespace {

using Outline = std::vector<cv::Point_<float>>;

constexpr double kMaxSpan = 46340.0;

Outline read_outline(zemb_fuzz::ByteReader& input) {
  Outline outline(input.byte() % 9);
  for (cv::Point_<float>& point : outline) point = {input.coordinate(-40, 300), input.coordinate(-40, 300)};
  return outline;
}

// Whole-pixel outlines that the convexity test can judge: at least four
// points, every coordinate a finite value that truncates into int, and an
// extent of at most kMaxSpan along each axis.
bool judgeable(const Outline& outline) {
  if (outline.size() < 4) return false;
  double low[2] = {INFINITY, INFINITY}, high[2] = {-INFINITY, -INFINITY};
  for (const cv::Point_<float>& point : outline) {
    const double coordinates[2] = {std::trunc(double{point.x}), std::trunc(double{point.y})};
    for (int axis = 0; axis < 2; ++axis) {
      if (!(coordinates[axis] >= -2147483648.0 && coordinates[axis] <= 2147483647.0)) return false;
      low[axis] = std::min(low[axis], coordinates[axis]);
      high[axis] = std::max(high[axis], coordinates[axis]);
    }
  }
  return high[0] - low[0] <= kMaxSpan && high[1] - low[1] <= kMaxSpan;
}

bool angle_throws(const Outline& outline, float& angle) {
  try {
    angle = calc_angle(outline);
    return false;
  } catch (const cv::Exception& error) {
    FUZZ_CHECK(error.code == cv::Error::StsBadArg);
    return true;
  }
}

float read_limit(zemb_fuzz::ByteReader& input, int low, int high) {
  return input.byte() % 4 == 3 ? input.raw_float() : static_cast<float>(input.in_range(low, high)) / 100.0f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zemb_fuzz::ByteReader input(data, size);
  const int rows = input.byte() % 4 == 0 ? 0 : input.in_range(1, 256);
  const int cols = input.byte() % 4 == 0 ? 0 : input.in_range(1, 256);
  const cv::Mat image(rows, cols, CV_8UC1);
  const float min_area_ratio = read_limit(input, -10, 110);
  const float max_angle = read_limit(input, -100, 9100);
  const Outline outline = read_outline(input);

  const bool convex = is_convex(outline);
  FUZZ_CHECK(!convex || judgeable(outline));
  float angle = 0.0f;
  FUZZ_CHECK(angle_throws(outline, angle) == (outline.size() < 4));
  FUZZ_CHECK(std::isnan(angle) || (angle >= 0.0f && angle <= 90.0f));

  const float area = calc_area(outline, image);
  FUZZ_CHECK(area >= 0.0f && area <= 1.0f);
  if (!convex || image.empty()) FUZZ_CHECK(area == 0.0f);

  const bool good = is_good_green_box(outline, image, min_area_ratio, max_angle);
  FUZZ_CHECK(good == (convex && !(angle > max_angle) && !(min_area_ratio > area)));
  return 0;
}

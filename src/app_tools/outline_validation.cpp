#include "zemb_stitcher.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include <opencv2/imgproc.hpp>

namespace {

using FloatOutline = std::vector<cv::Point_<float>>;
using PixelOutline = std::vector<cv::Point>;

constexpr std::size_t kQuadCorners = 4;

// The value of pi the angle measure has always used; with it a vertical edge
// still comes out as exactly 90 degrees and a diagonal as exactly 45.
constexpr double kPi = 3.141592653;

// cv::isContourConvex multiplies two coordinate differences in 32-bit int;
// 46340 is the largest difference whose square stays below 2^31. The bound
// also keeps cv::fillPoly, whose work grows with the outline's extent, cheap.
constexpr std::int64_t kMaxOutlineSpan = 46340;

// 2^31 as a float: the first value whose truncation no longer fits in int.
constexpr float kIntLimit = 2147483648.0f;

// False for NaN too, since every comparison with NaN fails.
bool truncates_to_int(float value) { return value >= -kIntLimit && value < kIntLimit; }

bool within_span(const PixelOutline& outline) {
  const auto by_x = [](const cv::Point& a, const cv::Point& b) { return a.x < b.x; };
  const auto by_y = [](const cv::Point& a, const cv::Point& b) { return a.y < b.y; };
  const auto [left, right] = std::minmax_element(outline.begin(), outline.end(), by_x);
  const auto [top, bottom] = std::minmax_element(outline.begin(), outline.end(), by_y);
  return std::int64_t{right->x} - left->x <= kMaxOutlineSpan &&
         std::int64_t{bottom->y} - top->y <= kMaxOutlineSpan;
}

// The outline in whole pixels, each coordinate truncated toward zero; nothing
// when the outline cannot be judged safely (see kMaxOutlineSpan).
std::optional<PixelOutline> pixel_outline(const FloatOutline& box) {
  if (box.size() < kQuadCorners) return std::nullopt;
  PixelOutline outline;
  outline.reserve(box.size());
  for (const cv::Point_<float>& corner : box) {
    if (!truncates_to_int(corner.x) || !truncates_to_int(corner.y)) return std::nullopt;
    outline.emplace_back(static_cast<int>(corner.x), static_cast<int>(corner.y));
  }
  if (!within_span(outline)) return std::nullopt;
  return outline;
}

bool judged_convex(const std::optional<PixelOutline>& outline) {
  return outline && cv::isContourConvex(*outline);
}

// Share of the image's pixels inside the outline, boundary included.
float covered_ratio(const PixelOutline& outline, const cv::Mat& image) {
  if (image.empty()) return 0.0f;
  const float pixel_count = static_cast<float>(static_cast<double>(image.rows) * image.cols);
  cv::Mat mask = cv::Mat::zeros(image.rows, image.cols, CV_8UC1);
  const std::vector<PixelOutline> polygons{outline};
  cv::fillPoly(mask, polygons, cv::Scalar(1), cv::LINE_8, 0, cv::Point(0, 0));
  return static_cast<float>(cv::countNonZero(mask)) / pixel_count;
}

// Angle between the edge p-q and the horizontal, 0 to 90 degrees; the same
// whichever end comes first.
float edge_inclination(const cv::Point_<float>& p, const cv::Point_<float>& q) {
  const float slope = (p.y - q.y) / (p.x - q.x);
  const float radians = std::fabs(std::atan(slope));  // float overload: atanf
  return static_cast<float>(static_cast<double>(radians) * 180.0 / kPi);
}

}  // namespace

bool is_convex(const std::vector<cv::Point_<float>>& box) {
  return judged_convex(pixel_outline(box));
}

float calc_angle(const std::vector<cv::Point_<float>>& box) {
  if (box.size() < kQuadCorners)
    CV_Error(cv::Error::StsBadArg, "calc_angle: the outline needs at least four points");
  const float top = edge_inclination(box[0], box[1]);
  const float bottom = edge_inclination(box[2], box[3]);
  return bottom > top ? bottom : top;
}

float calc_area(const std::vector<cv::Point_<float>>& box, const cv::Mat& image) {
  const std::optional<PixelOutline> outline = pixel_outline(box);
  return judged_convex(outline) ? covered_ratio(*outline, image) : 0.0f;
}

bool is_good_green_box(const std::vector<cv::Point_<float>>& box, const cv::Mat& image,
                       float min_area_ratio, float max_angle) {
  // Cheapest test first: the coverage mask is made only for outlines that
  // are convex and flat enough.
  const std::optional<PixelOutline> outline = pixel_outline(box);
  if (!judged_convex(outline)) return false;
  if (calc_angle(box) > max_angle) return false;
  return !(min_area_ratio > covered_ratio(*outline, image));
}

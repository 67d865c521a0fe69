// Frame preparation: reduction to a size bound, gray conversion, the turn of
// the working frame, detection and keypoint positions. The reducing functions
// compute the factor in single precision and hand it to cv::resize for both
// axes with an empty target size, so the bounded side comes out at the bound
// and the other keeps the aspect ratio.
#include <opencv2/imgproc.hpp>

#include "fixed/steps.h"
#include "zemb_stitcher.h"

namespace {

constexpr int kPreparedRows = zemb::kFixedPath.preparation.tracking_rows;

// bound / dimension when the dimension exceeds the bound; 1.0 otherwise.
float reduction_factor(int dimension, int bound) {
  return bound < dimension ? static_cast<float>(bound) / static_cast<float>(dimension) : 1.0f;
}

template <typename Image>
void resize_by_factor(const Image& src, Image& dst, float factor) {
  cv::resize(src, dst, cv::Size(), factor, factor, cv::INTER_LINEAR_EXACT);
}

}  // namespace

float frame_transform(cv::UMat& src, cv::UMat& dst) {
  cv::UMat reduced_input;
  if (src.channels() == 3)
    cv::cvtColor(src, reduced_input, cv::COLOR_RGB2GRAY, 0);
  else
    reduced_input = src;
  const float factor = reduction_factor(src.rows, kPreparedRows);
  resize_by_factor(reduced_input, dst, factor);
  return factor;
}

float frame_resize(cv::Mat& src, cv::Mat& dst) {
  const float factor = reduction_factor(src.rows, kPreparedRows);
  resize_by_factor(src, dst, factor);
  return factor;
}

float image_resize(cv::Mat& src, cv::Mat& dst, int target, int by_cols) {
  const float factor = reduction_factor(by_cols != 0 ? src.cols : src.rows, target);
  resize_by_factor(src, dst, factor);
  return factor;
}

void to_gray(cv::Mat& src, cv::Mat& dst) {
  if (src.channels() == 3)
    cv::cvtColor(src, dst, cv::COLOR_RGB2GRAY, 0);
  else if (src.channels() == 1)
    dst = src.clone();  // its own pixels even when dst shared src's before
}

void KeyPointsToPoints(std::vector<cv::KeyPoint> keypoints, std::vector<cv::Point_<float>>& points) {
  points.reserve(points.size() + keypoints.size());
  for (const cv::KeyPoint& keypoint : keypoints) points.push_back(keypoint.pt);
}

namespace zemb {

PreparedFrame prepare_frame(const cv::Mat& frame, const PreparationOptions& options) {
  PreparedFrame prepared;
  cv::Mat camera_frame = frame, reduced;  // a header: image_resize only reads its source
  image_resize(camera_frame, reduced, options.working_columns, 1);
  cv::rotate(reduced, prepared.working, cv::ROTATE_90_CLOCKWISE);
  cv::Mat tracking_colour;
  prepared.scale = image_resize(prepared.working, tracking_colour, options.tracking_rows, 0);
  to_gray(tracking_colour, prepared.gray);
  return prepared;
}

std::vector<cv::KeyPoint> detect_keypoints(const cv::Mat& gray, cv::FeatureDetector& detector) {
  std::vector<cv::KeyPoint> keypoints;
  detector.detect(gray, keypoints);
  return keypoints;
}

std::vector<cv::Point2f> divided(const std::vector<cv::Point2f>& points, size_t count, float scale) {
  std::vector<cv::Point2f> result;
  result.reserve(count);
  for (size_t i = 0; i < count; ++i) result.emplace_back(points[i].x / scale, points[i].y / scale);
  return result;
}

}  // namespace zemb

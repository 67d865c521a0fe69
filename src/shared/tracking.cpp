// The first half of a frame's road: checking, preparation, detection and
// tracking by optical flow, and the homography fit.
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/video/tracking.hpp>

#include "shared/steps.h"

namespace zemb {

namespace {

std::string describe_image(const cv::Mat& image) {
  return cv::format("%dx%d %s", image.cols, image.rows, cv::typeToString(image.type()).c_str());
}

}  // namespace

std::vector<cv::Point2f> divided(const std::vector<cv::Point2f>& points, size_t count, float scale) {
  std::vector<cv::Point2f> result;
  result.reserve(count);
  for (size_t i = 0; i < count; ++i) result.emplace_back(points[i].x / scale, points[i].y / scale);
  return result;
}

void check_frame(const cv::Mat& frame, cv::Size expected_size, const char* call) {
  if (frame.empty() || frame.type() != CV_8UC3)
    CV_Error(cv::Error::StsBadArg,
             std::string(call) + " expects a non-empty 8-bit 3-channel frame (CV_8UC3), got " +
                 (frame.empty() ? std::string("an empty image") : describe_image(frame)));
  if (!expected_size.empty() && frame.size() != expected_size)
    CV_Error(cv::Error::StsBadArg,
             cv::format("%s expects every frame of a panorama to have the first "
                        "frame's size %dx%d, got %dx%d",
                        call, expected_size.width, expected_size.height, frame.cols, frame.rows));
}

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

int count_of(const std::vector<cv::KeyPoint>& keypoints) { return static_cast<int>(keypoints.size()); }

bool usable_homography(const cv::Mat& homography) {
  return homography.rows == 3 && homography.cols == 3 && homography.type() == CV_64F &&
         cv::checkRange(homography);
}

Flow track_points(const cv::Mat& previous, const cv::Mat& next, std::vector<cv::Point2f> points,
                  const FlowOptions& options, const std::vector<cv::Point2f>* initial) {
  Flow flow;
  flow.from = std::move(points);
  if (initial != nullptr) flow.to = *initial;
  std::vector<float> error;
  const cv::TermCriteria criteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, options.iterations,
                                  options.epsilon);
  cv::calcOpticalFlowPyrLK(previous, next, flow.from, flow.to, flow.found, error,
                           cv::Size(options.window, options.window), options.levels, criteria,
                           initial != nullptr ? cv::OPTFLOW_USE_INITIAL_FLOW : 0, options.min_eigen);
  return flow;
}

cv::Mat fit_homography(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to,
                       const FitOptions& options, int* inliers, std::vector<uchar>* inlier_mask) {
  // The mask is only an output: asking for it leaves the model as it is.
  std::vector<uchar> mask;
  cv::Mat homography = cv::findHomography(from, to, cv::RANSAC, options.ransac_threshold, mask,
                                          options.ransac_iterations, options.ransac_confidence);
  if (!usable_homography(homography)) return cv::Mat();
  if (inliers != nullptr) *inliers = cv::countNonZero(mask);
  if (inlier_mask != nullptr) *inlier_mask = std::move(mask);
  return homography;
}

}  // namespace zemb

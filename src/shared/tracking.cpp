// What both front doors do with a frame before placing it: the check, the
// tracking by optical flow and the homography fit.
#include <opencv2/calib3d.hpp>
#include <opencv2/video/tracking.hpp>

#include "shared/steps.h"

namespace zemb {

namespace {

std::string describe_image(const cv::Mat& image) {
  return cv::format("%dx%d %s", image.cols, image.rows, cv::typeToString(image.type()).c_str());
}

}  // namespace

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

int count_of(const std::vector<cv::KeyPoint>& keypoints) { return static_cast<int>(keypoints.size()); }

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

// The first half of a frame's road: checking, preparation, detection and
// tracking against the reference.
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/video/tracking.hpp>

#include "stitch_steps.h"

namespace zemb {

namespace {

constexpr int kWorkingColumns = 500;
constexpr int kTrackingRows = 300;

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

void check_frame(const cv::Mat& frame, cv::Size expected_size) {
  if (frame.empty() || frame.type() != CV_8UC3)
    CV_Error(cv::Error::StsBadArg,
             "ofcheck_stitch expects a non-empty 8-bit 3-channel frame (CV_8UC3), got " +
                 (frame.empty() ? std::string("an empty image") : describe_image(frame)));
  if (!expected_size.empty() && frame.size() != expected_size)
    CV_Error(cv::Error::StsBadArg,
             cv::format("ofcheck_stitch expects every frame of a panorama to have the first "
                        "frame's size %dx%d, got %dx%d",
                        expected_size.width, expected_size.height, frame.cols, frame.rows));
}

PreparedFrame prepare_frame(cv::Mat& frame) {
  PreparedFrame prepared;
  cv::Mat reduced;
  image_resize(frame, reduced, kWorkingColumns, 1);
  cv::rotate(reduced, prepared.working, cv::ROTATE_90_CLOCKWISE);
  cv::Mat tracking_colour;
  prepared.scale = image_resize(prepared.working, tracking_colour, kTrackingRows, 0);
  to_gray(tracking_colour, prepared.gray);
  return prepared;
}

std::vector<cv::KeyPoint> detect_keypoints(const cv::Mat& gray) {
  std::vector<cv::KeyPoint> keypoints;
  detector->detect(gray, keypoints);
  return keypoints;
}

int count_of(const std::vector<cv::KeyPoint>& keypoints) { return static_cast<int>(keypoints.size()); }

bool usable_homography(const cv::Mat& homography) {
  return homography.rows == 3 && homography.cols == 3 && homography.type() == CV_64F &&
         cv::checkRange(homography);
}

Tracking track_reference(const stitch_data& reference, const PreparedFrame& frame, int min_tracked) {
  std::vector<cv::Point2f> reference_points;
  KeyPointsToPoints(reference.keypoints, reference_points);
  std::vector<cv::Point2f> next_points;
  std::vector<uchar> status;
  std::vector<float> error;
  cv::calcOpticalFlowPyrLK(reference.gray, frame.gray, reference_points, next_points, status, error,
                           cv::Size(21, 21), 3,
                           cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 0.01),
                           0, 1e-4);
  // Every pair goes on, found or not: RANSAC is the only filter of bad pairs.
  const std::vector<cv::Point2f> previous = divided(reference_points, status.size(), frame.scale);
  const std::vector<cv::Point2f> current = divided(next_points, status.size(), frame.scale);
  Tracking tracking;
  tracking.tracked_count = static_cast<int>(current.size());
  if (tracking.tracked_count < min_tracked) return tracking;
  std::vector<cv::Point2f> previous_on_canvas;
  cv::perspectiveTransform(previous, previous_on_canvas, reference.homography);
  cv::Mat homography = cv::findHomography(current, previous_on_canvas, cv::RANSAC, 3.0, cv::noArray(),
                                          2000, 0.995);
  if (usable_homography(homography)) tracking.homography = homography;
  return tracking;
}

}  // namespace zemb

#include "sweep_maker.h"

#include <algorithm>
#include <random>

#include <opencv2/imgproc.hpp>

namespace zemb_tools {

namespace {

// The window at `origin`, turned by `angle` degrees about its own centre; the
// photo around it fills the corners, so no black wedges appear.
cv::Mat cut_window(const cv::Mat& photo, cv::Point2d origin, cv::Size size, double angle) {
  const cv::Point2f centre(static_cast<float>(origin.x + size.width / 2.0),
                           static_cast<float>(origin.y + size.height / 2.0));
  cv::Mat to_window = cv::getRotationMatrix2D(centre, angle, 1.0);
  to_window.at<double>(0, 2) -= origin.x;
  to_window.at<double>(1, 2) -= origin.y;
  cv::Mat window;
  cv::warpAffine(photo, window, to_window, size, cv::INTER_LINEAR, cv::BORDER_REFLECT);
  return window;
}

}  // namespace

std::vector<SweepFrame> make_sweep(const cv::Mat& photo, const SweepSettings& s) {
  CV_Assert(!photo.empty() && s.window.width > 0 && s.window.height > 0 && s.step > 0);
  CV_Assert(s.window.width <= photo.cols && s.window.height + 2 * s.max_jitter <= photo.rows);
  std::mt19937 random(s.seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const int top = s.top >= 0 ? s.top : (photo.rows - s.window.height) / 2;
  std::vector<SweepFrame> sweep;
  for (int i = 0; i < s.frames; ++i) {
    const int x = i * s.step;
    if (x + s.window.width > photo.cols) break;
    SweepFrame frame;
    frame.rotation_deg = s.max_rotation_deg * unit(random);
    const double jitter = s.max_jitter * unit(random);
    const double y = std::clamp(top + jitter, 0.0, double(photo.rows - s.window.height));
    frame.origin = cv::Point2d(x, y);
    cv::rotate(cut_window(photo, frame.origin, s.window, frame.rotation_deg), frame.camera_frame,
               cv::ROTATE_90_COUNTERCLOCKWISE);
    sweep.push_back(frame);
  }
  return sweep;
}

}  // namespace zemb_tools

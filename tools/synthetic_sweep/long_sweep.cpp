#include "long_sweep.h"

#include <opencv2/imgproc.hpp>

#include "synthetic_sweep.h"

namespace zemb_tools {

cv::Mat photo_strip(const std::vector<cv::Mat>& photos, int height) {
  std::vector<cv::Mat> row;
  for (const cv::Mat& photo : photos) row.push_back(scaled_to_height(photo, height));
  cv::Mat joined, mirrored, strip;
  cv::hconcat(row, joined);
  cv::flip(joined, mirrored, 1);
  cv::hconcat(joined, mirrored, strip);
  return strip;
}

cv::Mat scaled_to_height(const cv::Mat& photo, int height) {
  const double factor = double(height) / photo.rows;
  const int width = cvRound(photo.cols * factor);
  cv::Mat scaled;
  cv::resize(photo, scaled, cv::Size(width, height), 0, 0, factor < 1.0 ? cv::INTER_AREA : cv::INTER_CUBIC);
  return scaled;
}

LongSweep::LongSweep(const std::vector<cv::Mat>& photos, const LongSweepSettings& settings)
    : settings_(settings) {
  CV_Assert(!photos.empty() && settings.step > 0);
  CV_Assert(settings.window.width > 0 && settings.window.height > 0);
  CV_Assert(settings.window.height <= settings.strip_height);
  for (const cv::Mat& photo : photos) CV_Assert(!photo.empty());
  strip_ = photo_strip(photos, settings.strip_height);
  CV_Assert(settings.window.width <= strip_.cols);
}

int LongSweep::frame_count() const { return (strip_.cols - settings_.window.width) / settings_.step + 1; }

cv::Mat LongSweep::camera_frame(int index) const {
  CV_Assert(index >= 0 && index < frame_count());
  const int left = index * settings_.step;
  SweepSettings one_window;
  one_window.window = settings_.window;
  one_window.frames = 1;
  const cv::Mat under_window = strip_.colRange(left, left + settings_.window.width);
  return make_sweep(under_window, one_window).front().camera_frame;
}

}  // namespace zemb_tools

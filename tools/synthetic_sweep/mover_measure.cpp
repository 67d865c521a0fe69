#include "mover_measure.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "synthetic_sweep.h"

namespace zemb_tools {

namespace {

// How far each pixel of `image` lies outside the range its expected value
// takes in its 3x3 neighbourhood, in the channel furthest off (CV_32F).
cv::Mat off_range(const cv::Mat& image, const cv::Mat& expected) {
  cv::Mat low, high, value;
  cv::erode(expected, low, cv::Mat());
  cv::dilate(expected, high, cv::Mat());
  image.convertTo(value, CV_32FC3);
  low.convertTo(low, CV_32FC3);
  high.convertTo(high, CV_32FC3);
  const cv::Mat below = low - value, above = value - high;
  const cv::Mat off = cv::max(cv::max(below, above), 0.0);
  std::vector<cv::Mat> channels;
  cv::split(off, channels);
  return cv::max(cv::max(channels[0], channels[1]), channels[2]);
}

cv::Mat photo_on_panorama(const cv::Mat& photo, const cv::Mat& photo_to_panorama, cv::Size size) {
  cv::Mat seen;
  cv::warpPerspective(photo, seen, photo_to_panorama, size, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return seen;
}

// 255 where the figure's shape at `box` falls on the panorama.
cv::Mat figure_area(const cv::Rect2d& box, const cv::Mat& photo_to_panorama, cv::Size size) {
  cv::Mat area;
  cv::warpPerspective(figure_shape(figure_grid(box)), area, cv::Mat(cv::Matx33d(photo_to_panorama) * figure_to_photo(box)),
                      size, cv::INTER_NEAREST, cv::BORDER_CONSTANT);
  return area;
}

}  // namespace

GhostCount count_ghosts(const cv::Mat& panorama, const cv::Mat& covered, const FigureOnPanorama& figure,
                        double tolerance) {
  CV_Assert(panorama.type() == CV_8UC3 && covered.size() == panorama.size() && !figure.seen.empty());
  const cv::Size size = panorama.size();
  const cv::Mat scene = photo_on_panorama(figure.photo, figure.photo_to_panorama, size);
  GhostCount count;
  count.path_mask = cv::Mat::zeros(size, CV_8U);
  for (const cv::Rect2d& box : figure.path) count.path_mask |= figure_area(box, figure.photo_to_panorama, size);
  count.path_mask &= covered != 0;
  const cv::Mat is_scene = (off_range(panorama, scene) <= tolerance) & count.path_mask;
  cv::Mat is_figure = cv::Mat::zeros(size, CV_8U);
  for (const cv::Rect2d& box : figure.seen) {
    cv::Mat seen = scene.clone();
    draw_figure_over(seen, box, cv::Matx33d(figure.photo_to_panorama));
    is_figure |= off_range(panorama, seen) <= tolerance;
  }
  is_figure &= count.path_mask & ~is_scene;
  count.path = cv::countNonZero(count.path_mask);
  count.scene = cv::countNonZero(is_scene);
  count.figure = cv::countNonZero(is_figure);
  count.ghost = count.path - count.scene - count.figure;
  const cv::Rect2d& middle = figure.seen[figure.seen.size() / 2];
  count.copies = double(count.figure) / std::max(1, cv::countNonZero(figure_area(middle, figure.photo_to_panorama, size)));
  return count;
}

double psnr_against_photo(const cv::Mat& panorama, const cv::Mat& covered, const cv::Mat& excluded,
                          const cv::Mat& photo, const cv::Mat& photo_to_panorama) {
  constexpr int kEdge = 4;  // the panorama's outline, where the warp interpolates with nothing
  cv::Mat compared;
  cv::erode(covered != 0, compared, cv::Mat(), cv::Point(-1, -1), kEdge);
  if (!excluded.empty()) compared &= excluded == 0;
  const cv::Mat off = off_range(panorama, photo_on_panorama(photo, photo_to_panorama, panorama.size()));
  const double pixels = cv::countNonZero(compared);
  if (pixels == 0) return std::nan("");
  cv::Mat weight;
  compared.convertTo(weight, CV_32F, 1.0 / 255);
  const double squared = cv::sum(off.mul(off).mul(weight))[0];
  return squared == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 * pixels / squared);
}

}  // namespace zemb_tools

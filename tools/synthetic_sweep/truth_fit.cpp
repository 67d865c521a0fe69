#include "truth_fit.h"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>

namespace zemb_tools {

namespace {

constexpr int kGrid = 7;

std::vector<cv::Point2f> keyframe_grid(cv::Size size) {
  std::vector<cv::Point2f> grid;
  for (int y = 0; y < kGrid; ++y)
    for (int x = 0; x < kGrid; ++x)
      grid.emplace_back(float(size.width * (x + 0.5) / kGrid), float(size.height * (y + 0.5) / kGrid));
  return grid;
}

cv::Point2d carried(const cv::Mat& transform, cv::Point2d p) {
  std::vector<cv::Point2d> out;
  cv::perspectiveTransform(std::vector<cv::Point2d>{p}, out, transform);
  return out.front();
}

// Panorama pixels per photo pixel at keyframe i's centre, by its placement.
double local_scale(const KeyframePlaces& places, std::size_t i) {
  const cv::Mat photo_to_panorama = places.to_panorama[i] * places.to_photo[i].inv();
  const cv::Point2d centre = carried(places.to_photo[i], cv::Point2d(places.sizes[i]) * 0.5);
  const cv::Point2d at = carried(photo_to_panorama, centre);
  const cv::Point2d dx = carried(photo_to_panorama, centre + cv::Point2d(1, 0)) - at;
  const cv::Point2d dy = carried(photo_to_panorama, centre + cv::Point2d(0, 1)) - at;
  return std::sqrt(std::abs(dx.x * dy.y - dx.y * dy.x));
}

double length_ratio(const KeyframePlaces& places, const std::vector<std::size_t>& placed) {
  std::vector<double> scales;
  for (std::size_t i : placed) scales.push_back(local_scale(places, i));
  std::nth_element(scales.begin(), scales.begin() + long(scales.size() / 2), scales.end());
  const auto centre = [&](const std::vector<cv::Mat>& transforms, std::size_t i) {
    return carried(transforms[i], cv::Point2d(places.sizes[i]) * 0.5);
  };
  const std::size_t first = placed.front(), last = placed.back();
  const double on_panorama = cv::norm(centre(places.to_panorama, last) - centre(places.to_panorama, first));
  const double in_scene = cv::norm(centre(places.to_photo, last) - centre(places.to_photo, first));
  return on_panorama / (scales[scales.size() / 2] * in_scene);
}

}  // namespace

TruthFit fit_to_truth(const KeyframePlaces& places, double tolerance) {
  CV_Assert(places.to_photo.size() == places.to_panorama.size() && places.sizes.size() == places.to_photo.size());
  std::vector<cv::Point2f> in_photo, in_panorama;
  std::vector<std::size_t> placed;
  for (std::size_t i = 0; i < places.to_panorama.size(); ++i) {
    if (places.to_panorama[i].empty()) continue;
    placed.push_back(i);
    const std::vector<cv::Point2f> grid = keyframe_grid(places.sizes[i]);
    std::vector<cv::Point2f> photo_points, panorama_points;
    cv::perspectiveTransform(grid, photo_points, places.to_photo[i]);
    cv::perspectiveTransform(grid, panorama_points, places.to_panorama[i]);
    in_photo.insert(in_photo.end(), photo_points.begin(), photo_points.end());
    in_panorama.insert(in_panorama.end(), panorama_points.begin(), panorama_points.end());
  }
  TruthFit fit;
  fit.points = int(in_photo.size());
  if (placed.size() < 2) return fit;
  std::vector<uchar> inliers;
  fit.photo_to_panorama = cv::findHomography(in_photo, in_panorama, cv::RANSAC, tolerance, inliers, 5000, 0.999);
  if (fit.photo_to_panorama.empty()) return fit;
  fit.within = double(cv::countNonZero(inliers)) / double(inliers.size());
  fit.length = length_ratio(places, placed);
  return fit;
}

cv::Mat kept_to_photo(const cv::Matx33d& photo_to_frame, cv::Size kept_size, int frame_columns) {
  // cv::resize lines up pixel centres: x kept = (x + 1/2) * scale - 1/2.
  const double scale = double(kept_size.width) / frame_columns, shift = (scale - 1) / 2;
  const cv::Matx33d frame_to_kept(scale, 0, shift, 0, scale, shift, 0, 0, 1);
  return cv::Mat(photo_to_frame.inv() * frame_to_kept.inv());
}

}  // namespace zemb_tools

// Placements of the keyframes, live or adjusted: how they are warped, how
// far apart they leave the correspondences, and whether they are folded.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/motion_estimators.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

using cv::detail::CameraParams;

// Beyond this many pixels from the origin a placement has left any canvas.
constexpr double kFarAway = 1e7;

double median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

cv::Mat as_double(const cv::Mat& m) {
  cv::Mat out;
  m.convertTo(out, CV_64F);
  return out;
}

// A plane transform can be drawn when it is finite and keeps the kept
// image's outline convex, in front of the camera and within reach.
bool drawable(const cv::Mat& transform, cv::Size size) {
  if (transform.size() != cv::Size(3, 3) || !cv::checkRange(transform)) return false;
  const cv::Mat h = as_double(transform);
  const double w = size.width, ht = size.height;
  std::vector<cv::Point2f> outline;
  for (const cv::Point2d& c : {cv::Point2d(0, 0), cv::Point2d(w, 0), cv::Point2d(w, ht), cv::Point2d(0, ht)}) {
    const cv::Mat p = h * (cv::Mat_<double>(3, 1) << c.x, c.y, 1.0);
    const double z = p.at<double>(2);
    if (!(z > 1e-9)) return false;
    const double x = p.at<double>(0) / z, y = p.at<double>(1) / z;
    if (std::abs(x) > kFarAway || std::abs(y) > kFarAway) return false;
    outline.emplace_back(static_cast<float>(x), static_cast<float>(y));
  }
  return cv::isContourConvex(outline) && cv::contourArea(outline, true) > 0;
}

bool recorded_rotation(const Keyframe& keyframe) {
  return keyframe.rotation.size() == cv::Size(3, 3) && cv::checkRange(keyframe.rotation) && keyframe.focal > 0 &&
         std::isfinite(keyframe.focal);
}

// Straightens the strip about its middle keyframe; a horizontal sweep keeps
// that keyframe about upright, so a correction that tips it over (the up
// direction is ill-defined on short sweeps) is not taken.
void straighten(std::vector<CameraParams>& cameras, bool lying) {
  std::vector<cv::Mat> rotations;
  const cv::Mat middle = cameras[cameras.size() / 2].R.clone();
  // A quarter turn about the middle camera's optical axis: its down becomes
  // the world's left, so that a tilt up runs as a pan to the right. The
  // cameras' rolled axes would mislead the wave correction: a lying sweep is
  // left as the sweep placed it.
  const cv::Mat quarter = (cv::Mat_<float>(3, 3) << 0, -1, 0, 1, 0, 0, 0, 0, 1);
  for (CameraParams& camera : cameras)
    rotations.push_back(lying ? cv::Mat(quarter * middle.t() * camera.R) : cv::Mat(middle.t() * camera.R));
  if (lying) {
    for (std::size_t i = 0; i < cameras.size(); ++i) cameras[i].R = rotations[i];
    return;
  }
  std::vector<cv::Mat> corrected(rotations.size());
  for (std::size_t i = 0; i < rotations.size(); ++i) corrected[i] = rotations[i].clone();
  cv::detail::waveCorrect(corrected, cv::detail::WAVE_CORRECT_HORIZ);
  const bool upright = corrected[corrected.size() / 2].at<float>(1, 1) > std::cos(CV_PI / 9);
  for (std::size_t i = 0; i < cameras.size(); ++i) cameras[i].R = upright ? corrected[i] : rotations[i];
}

// How far the cameras' corner rays reach from the panorama's axis: the
// tangent of the widest angle, infinite past 90 degrees.
double widest_reach(const std::vector<CameraParams>& cameras) {
  double widest = 0;
  for (const CameraParams& camera : cameras) {
    const cv::Mat ray_of = as_double(camera.R) * camera.K().inv();
    const double w = camera.ppx * 2, h = camera.ppy * 2;
    for (const cv::Point2d& corner : {cv::Point2d(0, 0), cv::Point2d(w, 0), cv::Point2d(w, h), cv::Point2d(0, h)}) {
      const cv::Mat ray = ray_of * (cv::Mat_<double>(3, 1) << corner.x, corner.y, 1.0);
      const double z = ray.at<double>(2);
      if (z <= 0) return std::numeric_limits<double>::infinity();
      widest = std::max(widest, std::abs(ray.at<double>(0)) / z);
    }
  }
  return widest;
}

// A plane keeps straight lines straight but stretches rays far from its
// axis; when the sweep reaches past about 50 degrees either side, a cylinder
// (which does not stretch along the sweep) gives the better picture. Past 90
// degrees no plane can show it.
bool on_cylinder(const std::vector<CameraParams>& cameras, PanoramaSurface surface) {
  const double reach = widest_reach(cameras);
  if (surface == PanoramaSurface::kCylinder || !std::isfinite(reach)) return true;
  return surface == PanoramaSurface::kAuto && reach > std::tan(50.0 * CV_PI / 180.0);
}

struct OutlineSizes {
  std::vector<double> areas;  // of each keyframe's footprint
  double median = 0;
  double box = 0;             // of the panorama's bounding box
};

OutlineSizes outline_sizes(const std::vector<cv::Size>& sizes, const Placements& placements) {
  OutlineSizes outlines;
  cv::Rect box;
  for (int index : placements.used) {
    const cv::Rect footprint = placements.warps->footprint(index, sizes[std::size_t(index)], 1.0);
    outlines.areas.push_back(static_cast<double>(footprint.width) * footprint.height);
    box |= footprint;
  }
  outlines.median = median(outlines.areas);
  outlines.box = static_cast<double>(box.width) * box.height;
  return outlines;
}

}  // namespace

bool sweeps_vertically(const SweepRecord& record) {
  return record.direction == Direction::kUp || record.direction == Direction::kDown;
}

Placements placed_by_rotations(RenderModel model, std::vector<CameraParams> cameras, std::vector<int> used,
                               PanoramaSurface surface, bool lying) {
  std::vector<CameraParams> placed;
  for (int index : used) placed.push_back(cameras[std::size_t(index)]);
  straighten(placed, lying);
  std::vector<double> focals;
  Placements placements;
  placements.model = model;
  placements.to_world.resize(cameras.size());
  for (std::size_t k = 0; k < used.size(); ++k) {
    CameraParams& camera = cameras[std::size_t(used[k])] = placed[k];
    placements.to_world[std::size_t(used[k])] = as_double(camera.R) * camera.K().inv();
    focals.push_back(camera.focal);
  }
  placements.focal = median(focals);
  placements.warps = rotation_warps(std::move(cameras), placements.focal, on_cylinder(placed, surface));
  placements.used = std::move(used);
  placements.lying = lying;
  return placements;
}

Placements placed_by_planes(RenderModel model, std::vector<cv::Mat> transforms, std::vector<int> used) {
  Placements placements;
  placements.model = model;
  placements.to_world.resize(transforms.size());
  for (int index : used) placements.to_world[std::size_t(index)] = as_double(transforms[std::size_t(index)]);
  for (cv::Mat& transform : transforms)
    transform = transform.size() == cv::Size(3, 3) ? as_double(transform) : cv::Mat::eye(3, 3, CV_64F);
  placements.warps = homography_warps(std::move(transforms));
  placements.used = std::move(used);
  return placements;
}

Placements live_placements(const SweepRecord& record, PanoramaSurface surface) {
  const std::vector<Keyframe>& keyframes = record.keyframes;
  std::vector<int> all(keyframes.size());
  std::iota(all.begin(), all.end(), 0);
  if (std::all_of(keyframes.begin(), keyframes.end(), recorded_rotation)) {
    std::vector<CameraParams> cameras(keyframes.size());
    for (std::size_t i = 0; i < keyframes.size(); ++i) {
      cameras[i].focal = keyframes[i].focal;
      cameras[i].ppx = keyframes[i].image_size.width * 0.5;
      cameras[i].ppy = keyframes[i].image_size.height * 0.5;
      keyframes[i].rotation.convertTo(cameras[i].R, CV_32F);
    }
    return placed_by_rotations(RenderModel::kLive, std::move(cameras), std::move(all), surface,
                               sweeps_vertically(record));
  }
  std::vector<cv::Mat> transforms;
  std::vector<int> drawn;
  for (const Keyframe& keyframe : keyframes) {
    if (drawable(keyframe.placement, keyframe.image_size)) drawn.push_back(static_cast<int>(transforms.size()));
    transforms.push_back(keyframe.placement);
  }
  return placed_by_planes(RenderModel::kLive, std::move(transforms), std::move(drawn));
}

Residuals residuals(const LinkGraph& graph, const std::vector<cv::Mat>& to_world) {
  std::vector<double> distances;
  for (const LinkedPair& pair : graph.pairs) {
    const cv::Mat& from = to_world[std::size_t(pair.from)];
    const cv::Mat& to = to_world[std::size_t(pair.to)];
    if (from.empty() || to.empty() || pair.from_points.empty()) continue;
    std::vector<cv::Point2f> carried;
    cv::perspectiveTransform(pair.from_points, carried, cv::Mat(to.inv() * from));
    for (std::size_t k = 0; k < carried.size(); ++k) distances.push_back(cv::norm(carried[k] - pair.to_points[k]));
  }
  Residuals result;
  result.count = static_cast<int>(distances.size());
  if (distances.empty()) return result;
  std::sort(distances.begin(), distances.end());
  result.median = distances[distances.size() / 2];
  result.p90 = distances[std::min(distances.size() - 1, distances.size() * 9 / 10)];
  return result;
}

std::optional<Failure> implausibility(const std::vector<cv::Size>& sizes, const Placements& placements,
                                      const Placements& live) {
  const auto implausible = [](std::string message) {
    return std::optional<Failure>(Failure{RenderFallback::kImplausible, std::move(message)});
  };
  for (int index : placements.used) {
    const cv::Mat& transform = placements.to_world[std::size_t(index)];
    if (!cv::checkRange(transform))
      return implausible("the placement of keyframe " + std::to_string(index) + " is not finite");
    if (placements.model != RenderModel::kRotation && !drawable(transform, sizes[std::size_t(index)]))
      return implausible("the placement of keyframe " + std::to_string(index) + " is folded");
  }
  const OutlineSizes mine = outline_sizes(sizes, placements);
  if (!(mine.box > 0 && mine.box < kFarAway * kFarAway)) return implausible("the panorama reaches beyond any canvas");
  for (std::size_t k = 0; k < mine.areas.size(); ++k)
    if (!(mine.areas[k] < 6 * mine.median && mine.areas[k] > mine.median / 6))
      return implausible("the outline of keyframe " + std::to_string(placements.used[k]) + " is " +
                         cv::format("%.2g", mine.areas[k] / mine.median) + " times the median");
  if (live.used.empty()) return std::nullopt;
  // Measured in frames, a panorama much larger than the live one comes from
  // an adjustment gone wrong.
  const OutlineSizes theirs = outline_sizes(sizes, live);
  const double growth = (mine.box / mine.median) / (theirs.box / theirs.median);
  if (growth > 3) return implausible("the panorama is " + std::to_string(cvRound(growth)) + " times the live one");
  return std::nullopt;
}

}  // namespace rendering
}  // namespace zemb

// Placements of the keyframes, live or adjusted: how they are warped, how
// far apart they leave the correspondences, and whether they are folded.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>

#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/motion_estimators.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

using cv::detail::CameraParams;

// Beyond this many pixels from the origin a placement has left any canvas.
constexpr double kFarAway = 1e7;

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

// The turn about the view that lays an up or down sweep round the world's y
// axis: the camera's x axis to the world's up.
const cv::Matx33f kQuarterTurn(0, 1, 0, -1, 0, 0, 0, 0, 1);

// The way the sweep went, when the sweep recorded it; else a camera
// panning keeps its y axis where it was and one tilting keeps its x axis:
// the sweep tilts when the keyframes' x axes agree better.
bool tilts(const std::vector<CameraParams>& cameras, Direction recorded) {
  if (recorded != Direction::kAuto) return recorded == Direction::kUp || recorded == Direction::kDown;
  cv::Mat xs = cv::Mat::zeros(3, 1, CV_64F), ys = cv::Mat::zeros(3, 1, CV_64F);
  for (const CameraParams& camera : cameras) {
    const cv::Mat r = as_double(camera.R);
    xs += r.col(0);
    ys += r.col(1);
  }
  return cv::norm(xs) > cv::norm(ys);
}

// The axis a sweep turned about is the direction along which the keyframes'
// optical axes vary least: they go round it at one angle (a pan at one
// pitch, whatever the camera's roll). It is trusted when the sweep curves
// enough for that direction to stand out from the next: its variance this
// many times smaller.
constexpr double kAxisContrast = 20;

// That axis, pointing along the world's y axis, or none when the sweep is
// too short or too wavy to show it.
std::optional<cv::Vec3d> turning_axis(const std::vector<cv::Mat>& rotations) {
  cv::Mat axes(static_cast<int>(rotations.size()), 3, CV_64F);
  for (std::size_t i = 0; i < rotations.size(); ++i) {
    const cv::Mat axis = as_double(rotations[i]).col(2).t();
    axis.copyTo(axes.row(int(i)));
  }
  cv::Mat covariance, mean, values, vectors;
  cv::calcCovarMatrix(axes, covariance, mean, cv::COVAR_NORMAL | cv::COVAR_ROWS);
  cv::eigen(covariance, values, vectors);
  if (!(values.at<double>(1) > kAxisContrast * values.at<double>(2))) return std::nullopt;
  cv::Vec3d axis(vectors.row(2));
  return axis[1] < 0 ? -axis : axis;
}

// Turns the world so that its y axis is `axis`, keeping straight ahead as
// near ahead as it can.
void turn_world_to(const cv::Vec3d& axis, std::vector<cv::Mat>& rotations) {
  cv::Vec3d ahead = cv::Vec3d(0, 0, 1) - axis[2] * axis;
  ahead /= cv::norm(ahead);
  const cv::Vec3d right = axis.cross(ahead);
  cv::Mat turn(3, 3, CV_64F);
  cv::Mat(right.t()).copyTo(turn.row(0));
  cv::Mat(axis.t()).copyTo(turn.row(1));
  cv::Mat(ahead.t()).copyTo(turn.row(2));
  turn.convertTo(turn, CV_32F);
  for (cv::Mat& rotation : rotations) rotation = turn * rotation;
}

// Lays the strip in the panorama's world, whose y axis the cylinder and the
// sphere turn about: a sideways sweep as the middle keyframe sees it, an up
// or down one turned a quarter about the view so that the middle keyframe's
// x axis points up (the picture is turned back afterwards). Levelling then
// takes the world's vertical (a sideways sweep) or the tilt's axis (an up or
// down one) from all the keyframes: wave correction, which takes the
// keyframes' x axes (y axes, tilting) as level, then the axis the sweep
// turned about where the sweep shows it, which a camera's roll does not
// bias; unless that tips the middle keyframe over by more than 20 degrees
// (on a short sweep the keyframes' axes say little about the vertical).
// Returns whether the sweep tilts.
bool lay_strip(std::vector<CameraParams>& cameras, bool level, Direction recorded) {
  const bool tilting = tilts(cameras, recorded);
  const cv::Mat middle = cameras[cameras.size() / 2].R.clone();
  const cv::Mat lay = tilting ? cv::Mat(kQuarterTurn) : cv::Mat::eye(3, 3, CV_32F);
  std::vector<cv::Mat> rotations, corrected;
  for (CameraParams& camera : cameras) {
    rotations.push_back(lay * middle.t() * camera.R);
    corrected.push_back(rotations.back().clone());
  }
  if (level) {
    cv::detail::waveCorrect(corrected, tilting ? cv::detail::WAVE_CORRECT_VERT : cv::detail::WAVE_CORRECT_HORIZ);
    if (const std::optional<cv::Vec3d> axis = turning_axis(corrected)) turn_world_to(*axis, corrected);
    const cv::Mat& centre = corrected[corrected.size() / 2];
    const float kept_upright = tilting ? -centre.at<float>(1, 0) : centre.at<float>(1, 1);
    if (kept_upright > std::cos(CV_PI / 9)) rotations = corrected;
  }
  for (std::size_t i = 0; i < cameras.size(); ++i) cameras[i].R = rotations[i];
  return tilting;
}

// Each keyframe's heading about the world's y axis, radians, unwrapped along
// the sweep so that it grows (or falls) steadily past half a turn; the
// middle keyframe keeps its own, within half a turn of straight ahead.
std::vector<double> headings(const std::vector<CameraParams>& cameras, const std::vector<int>& used) {
  std::vector<double> result(cameras.size(), 0.0);
  double previous = 0, unwrapped = 0;
  for (std::size_t k = 0; k < used.size(); ++k) {
    const cv::Mat axis = as_double(cameras[std::size_t(used[k])].R).col(2);
    const double heading = std::atan2(axis.at<double>(0), axis.at<double>(2));
    const double step = heading - previous;
    unwrapped = k == 0 ? heading : unwrapped + step - 2 * CV_PI * std::round(step / (2 * CV_PI));
    previous = heading;
    result[std::size_t(used[k])] = unwrapped;
  }
  const std::size_t middle = std::size_t(used[used.size() / 2]);
  const double offset = 2 * CV_PI * std::round(result[middle] / (2 * CV_PI));
  for (int index : used) result[std::size_t(index)] -= offset;
  return result;
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
// degrees no plane can show it. A sphere is taken only when asked for.
PanoramaSurface surface_for(const std::vector<CameraParams>& cameras, PanoramaSurface asked) {
  if (asked == PanoramaSurface::kSphere) return asked;
  const double reach = widest_reach(cameras);
  const bool cylinder = asked == PanoramaSurface::kCylinder || !std::isfinite(reach) ||
                        (asked == PanoramaSurface::kAuto && reach > std::tan(50.0 * CV_PI / 180.0));
  return cylinder ? PanoramaSurface::kCylinder : PanoramaSurface::kPlane;
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

Placements placed_by_rotations(RenderModel model, std::vector<CameraParams> cameras, std::vector<int> used,
                               const RenderOptions& options, Direction recorded) {
  std::vector<CameraParams> placed;
  for (int index : used) placed.push_back(cameras[std::size_t(index)]);
  Placements placements;
  const bool tilting = lay_strip(placed, options.level, recorded);
  placements.projection.surface = surface_for(placed, options.surface);
  // The whole sphere stays upright: an up or down sweep is laid back, its
  // tilt's axis across the sphere, the middle keyframe's up the sphere's
  // (where the horizon lies along a tilt no rotation says).
  placements.projection.turned = tilting && placements.projection.surface != PanoramaSurface::kSphere;
  if (tilting && !placements.projection.turned)
    for (CameraParams& camera : placed) camera.R = cv::Mat(kQuarterTurn.t()) * camera.R;
  std::vector<double> focals;
  placements.model = model;
  placements.to_world.resize(cameras.size());
  for (std::size_t k = 0; k < used.size(); ++k) {
    CameraParams& camera = cameras[std::size_t(used[k])] = placed[k];
    placements.to_world[std::size_t(used[k])] = as_double(camera.R) * camera.K().inv();
    focals.push_back(camera.focal);
  }
  placements.projection.cameras = placements.to_world;
  placements.focal = median(focals);
  std::vector<double> turns = headings(cameras, used);
  placements.warps =
      rotation_warps(std::move(cameras), placements.focal, placements.projection.surface, std::move(turns));
  placements.used = std::move(used);
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

Placements live_placements(const SweepRecord& record, const RenderOptions& options) {
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
    return placed_by_rotations(RenderModel::kLive, std::move(cameras), std::move(all), options, record.direction);
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

// The sphere camera: a pinhole camera at the centre of a full-sphere photo,
// turning along a path. Every frame pixel's ray is carried into the world by
// the frame's rotation, turned into longitude and latitude, and those into a
// pixel of the equirectangular photo, which cv::remap reads. Nothing limits
// the path: the photo's left and right edges meet, and so do its rows across
// a pole.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "camera_parts.h"

namespace zemb_tools {

namespace {

// Pixels the photo is extended by on every side: bilinear interpolation at
// its edges reads one beyond them.
constexpr int kMargin = 2;

// The photo extended with what lies beyond its edges on the sphere: across
// the left and right edges the same rows go on, and over a pole the rows come
// back half a turn round, in the opposite order.
cv::Mat with_margin(const cv::Mat& equirect) {
  const int half = equirect.cols / 2;
  cv::Mat half_turned, over_top, over_bottom, tall, extended;
  cv::hconcat(equirect.colRange(half, equirect.cols), equirect.colRange(0, half), half_turned);
  cv::flip(half_turned.rowRange(0, kMargin), over_top, 0);
  cv::flip(half_turned.rowRange(equirect.rows - kMargin, equirect.rows), over_bottom, 0);
  cv::vconcat(std::vector<cv::Mat>{over_top, equirect, over_bottom}, tall);
  cv::copyMakeBorder(tall, extended, 0, 0, kMargin, kMargin, cv::BORDER_WRAP);
  return extended;
}

// The photo pixel a world direction meets: longitude 0 at the photo's middle
// column (the +z axis), -180 degrees at its left edge; latitude +90 at its top
// edge. Pixel centres sit at whole coordinates.
cv::Point2d equirect_pixel(const cv::Vec3d& direction, cv::Size equirect) {
  const double longitude = std::atan2(direction[0], direction[2]);
  const double latitude = std::atan2(-direction[1], std::hypot(direction[0], direction[2]));
  return {(longitude / (2 * CV_PI) + 0.5) * equirect.width - 0.5, (0.5 - latitude / CV_PI) * equirect.height - 0.5};
}

// For every frame pixel, the pixel of the extended photo its ray meets.
cv::Mat ray_map(const cv::Matx33d& frame_to_world, cv::Size frame, cv::Size equirect) {
  cv::Mat map(frame, CV_32FC2);
  cv::parallel_for_(cv::Range(0, frame.height), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      cv::Vec2f* out = map.ptr<cv::Vec2f>(y);
      for (int x = 0; x < frame.width; ++x) {
        const cv::Point2d p = equirect_pixel(frame_to_world * cv::Vec3d(x, y, 1.0), equirect);
        out[x] = cv::Vec2f(static_cast<float>(p.x + kMargin), static_cast<float>(p.y + kMargin));
      }
    }
  });
  return map;
}

// The yaw and pitch the path reaches after turning `angle` degrees.
cv::Point2d along_path(const SphereCamera& c, double angle) {
  switch (c.direction) {
    case TurnDirection::right: return {c.yaw_deg + angle, c.pitch_deg};
    case TurnDirection::left: return {c.yaw_deg - angle, c.pitch_deg};
    case TurnDirection::up: return {c.yaw_deg, c.pitch_deg + angle};
    case TurnDirection::down: break;
  }
  return {c.yaw_deg, c.pitch_deg - angle};
}

// The hand's unsteadiness, in the camera's own axes: a roll, and a sway
// across the path (a pitch while panning, a yaw while tilting).
cv::Matx33d wobble(TurnDirection direction, double sway_deg, double roll_deg) {
  const bool pans = direction == TurnDirection::right || direction == TurnDirection::left;
  return pans ? camera_turn(0.0, sway_deg, roll_deg) : camera_turn(sway_deg, 0.0, roll_deg);
}

void check(const cv::Mat& equirect, const SphereCamera& c) {
  if (equirect.empty() || equirect.cols != 2 * equirect.rows)
    CV_Error(cv::Error::StsBadArg, "a full-sphere photo is twice as wide as it is high (360 by 180 degrees)");
  CV_Assert(c.frame.width > 0 && c.frame.height > 0 && c.fov_deg > 0 && c.fov_deg < 180);
  CV_Assert(c.pan_step_deg > 0 && c.turn_deg >= 0 && c.max_roll_deg >= 0 && c.max_sway_deg >= 0);
  CV_Assert(std::isfinite(c.turn_deg) && std::isfinite(c.yaw_deg) && std::isfinite(c.pitch_deg));
  CV_Assert(std::isfinite(c.roll_swing_deg));
}

}  // namespace

std::vector<SweepFrame> sphere_frames(const cv::Mat& equirect, const SweepSettings& s) {
  const SphereCamera& c = s.sphere;
  check(equirect, c);
  const double focal = std::max(c.frame.width, c.frame.height) / 2.0 / std::tan(radians(c.fov_deg) / 2);
  const cv::Matx33d to_ray = intrinsics(focal, c.frame).inv();
  const cv::Mat extended = with_margin(equirect);
  // A turn that is a whole number of steps ends on a frame of its own.
  const int count = static_cast<int>(std::floor(c.turn_deg / c.pan_step_deg + 1e-9)) + 1;
  std::mt19937 random(s.seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<SweepFrame> sweep;
  for (int i = 0; i < count; ++i) {
    const double share = count > 1 ? double(i) / (count - 1) : 0.0;  // of the path behind this frame
    const cv::Point2d place = along_path(c, i * c.pan_step_deg);
    const double roll = c.roll_swing_deg * std::sin(2 * CV_PI * share) + c.max_roll_deg * unit(random);
    const double sway = c.max_sway_deg * unit(random);
    SweepFrame frame;
    frame.rotation = camera_turn(place.x, place.y, 0.0) * wobble(c.direction, sway, roll);
    frame.focal = focal;
    frame.pan_deg = place.x;
    frame.pitch_deg = place.y;
    frame.rotation_deg = roll;
    frame.origin = equirect_pixel(frame.rotation * cv::Vec3d(0, 0, 1), equirect.size());
    const cv::Mat map = ray_map(frame.rotation * to_ray, c.frame, equirect.size());
    cv::remap(extended, frame.camera_frame, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    sweep.push_back(frame);
  }
  return sweep;
}

}  // namespace zemb_tools

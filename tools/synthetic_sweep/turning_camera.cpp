// The turning camera: a pinhole camera turning about its centre, seeing the
// photo as the image of a reference camera with the same focal length and
// centre. Everything is worked out in photo orientation (the window, before
// it is turned into camera orientation): the camera pans toward the photo's
// right edge, pitches across the sweep and rolls about its optical axis.
#include <cmath>
#include <random>

#include <opencv2/imgproc.hpp>

#include "camera_parts.h"

namespace zemb_tools {

cv::Matx33d intrinsics(double focal, cv::Size size) {
  return {focal, 0, (size.width - 1) / 2.0, 0, focal, (size.height - 1) / 2.0, 0, 0, 1};
}

cv::Matx33d camera_turn(double pan_deg, double pitch_deg, double roll_deg) {
  const double p = radians(pan_deg), t = radians(pitch_deg), r = radians(roll_deg);
  const cv::Matx33d pan(std::cos(p), 0, std::sin(p), 0, 1, 0, -std::sin(p), 0, std::cos(p));
  const cv::Matx33d pitch(1, 0, 0, 0, std::cos(t), -std::sin(t), 0, std::sin(t), std::cos(t));
  const cv::Matx33d roll(std::cos(r), -std::sin(r), 0, std::sin(r), std::cos(r), 0, 0, 0, 1);
  return pan * pitch * roll;
}

namespace {

class TurningView {
 public:
  TurningView(cv::Size photo, cv::Size window, double fov_deg)
      : photo_(photo),
        window_(window),
        window_k_(intrinsics(window.width / 2.0 / std::tan(radians(fov_deg) / 2.0), window)),
        photo_k_(intrinsics(window_k_(0, 0), photo)) {}

  cv::Matx33d photo_to_window(const cv::Matx33d& turn) const { return window_k_ * turn.t() * photo_k_.inv(); }

  // Whether the window's corners, and so the whole window (a homography keeps
  // lines straight), see the photo: in front of the reference camera and
  // inside the photo's pixels.
  bool sees_only_photo(const cv::Matx33d& turn) const {
    const cv::Matx33d window_to_photo = photo_k_ * turn * window_k_.inv();
    const int right = window_.width - 1, bottom = window_.height - 1;
    for (const cv::Point2d corner : {cv::Point2d(0, 0), cv::Point2d(right, 0), cv::Point2d(0, bottom),
                                     cv::Point2d(right, bottom)}) {
      const cv::Vec3d p = window_to_photo * cv::Vec3d(corner.x, corner.y, 1.0);
      if (p[2] <= 0) return false;
      const double x = p[0] / p[2], y = p[1] / p[2];
      if (x < 0 || y < 0 || x > photo_.width - 1 || y > photo_.height - 1) return false;
    }
    return true;
  }

 private:
  cv::Size photo_, window_;
  cv::Matx33d window_k_, photo_k_;
};

// Whether the camera panned by `pan_deg` sees only the photo however far its
// roll and pitch stray, checked at their extremes.
bool fits_with_any_jitter(const TurningView& view, const TurningCamera& c, double pan_deg) {
  for (const double roll : {-c.max_roll_deg, c.max_roll_deg})
    for (const double pitch : {-c.max_pitch_deg, c.max_pitch_deg})
      if (!view.sees_only_photo(camera_turn(pan_deg, pitch, roll))) return false;
  return true;
}

// The farthest pan toward `direction` (+1 right, -1 left) at which every
// frame still fits, to a thousandth of a degree.
double widest_pan(const TurningView& view, const TurningCamera& c, double direction) {
  double fits = 0.0, does_not = 90.0;
  while (does_not - fits > 1e-3) {
    const double middle = (fits + does_not) / 2;
    (fits_with_any_jitter(view, c, direction * middle) ? fits : does_not) = middle;
  }
  return direction * fits;
}

}  // namespace

std::vector<SweepFrame> turning_frames(const cv::Mat& photo, const SweepSettings& s) {
  const TurningCamera& c = s.turning;
  CV_Assert(c.fov_deg > 0 && c.fov_deg < 180 && c.pan_step_deg > 0);
  CV_Assert(c.max_roll_deg >= 0 && c.max_pitch_deg >= 0);
  const TurningView view(photo.size(), s.window, c.fov_deg);
  if (!fits_with_any_jitter(view, c, 0.0))
    CV_Error(cv::Error::StsBadArg, "the photo is too small for the frame at this field of view, roll and pitch");
  // The pans that fit, with the sweep centred among them.
  const double left = widest_pan(view, c, -1.0), right = widest_pan(view, c, 1.0);
  const int count = std::min(s.frames, static_cast<int>((right - left) / c.pan_step_deg) + 1);
  const double first = (left + right - (count - 1) * c.pan_step_deg) / 2;
  std::mt19937 random(s.seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<SweepFrame> sweep;
  for (int i = 0; i < count; ++i) {
    const double pan = first + i * c.pan_step_deg;
    const double roll = c.max_roll_deg * unit(random);
    const double pitch = c.max_pitch_deg * unit(random);
    const cv::Matx33d to_window = view.photo_to_window(camera_turn(pan, pitch, roll));
    cv::Mat window;
    // Reflection only guards the last fraction of a pixel at the photo's edge.
    cv::warpPerspective(photo, window, to_window, s.window, cv::INTER_LINEAR, cv::BORDER_REFLECT);
    SweepFrame frame = frame_from_window(window, to_window);
    frame.pan_deg = pan;
    frame.pitch_deg = pitch;
    frame.rotation_deg = roll;
    sweep.push_back(frame);
  }
  return sweep;
}

}  // namespace zemb_tools

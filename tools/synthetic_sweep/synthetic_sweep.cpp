#include "synthetic_sweep.h"

#include <algorithm>
#include <cstdio>
#include <climits>
#include <random>

#include <opencv2/imgproc.hpp>

#include "camera_parts.h"

namespace zemb_tools {

namespace {

// Photo to window for the flat camera: the window at `origin`, turned by
// `angle` degrees about its own centre.
cv::Matx33d flat_photo_to_window(cv::Point2d origin, cv::Size size, double angle) {
  const cv::Point2f centre(static_cast<float>(origin.x + size.width / 2.0),
                           static_cast<float>(origin.y + size.height / 2.0));
  const cv::Matx23d turn = cv::getRotationMatrix2D(centre, angle, 1.0);
  return {turn(0, 0), turn(0, 1), turn(0, 2) - origin.x,
          turn(1, 0), turn(1, 1), turn(1, 2) - origin.y,
          0.0,        0.0,        1.0};
}

// The part of a photo under a window, with a margin for interpolation.
cv::Rect under_window(cv::Size photo, const cv::Matx33d& photo_to_window, cv::Size size) {
  const float w = float(size.width), h = float(size.height);
  std::vector<cv::Point2f> corners = {{0, 0}, {w, 0}, {w, h}, {0, h}}, seen;
  cv::perspectiveTransform(corners, seen, cv::Mat(photo_to_window.inv()));
  const cv::Rect box = cv::boundingRect(seen);
  return cv::Rect(box.x - 2, box.y - 2, box.width + 4, box.height + 4) & cv::Rect(cv::Point(), photo);
}

// The photo around the window fills its corners, so no black wedges appear.
// OpenCV warps no image past 32767 pixels a side, so from a longer photo
// only the part under the window is warped.
cv::Mat cut_window(const cv::Mat& photo, const cv::Matx33d& photo_to_window, cv::Size size) {
  cv::Mat source = photo;
  cv::Matx33d transform = photo_to_window;
  if (std::max(photo.cols, photo.rows) >= SHRT_MAX) {
    const cv::Rect part = under_window(photo.size(), photo_to_window, size);
    source = photo(part);
    transform = photo_to_window * cv::Matx33d(1, 0, part.x, 0, 1, part.y, 0, 0, 1);
  }
  cv::Mat window;
  cv::warpAffine(source, window, cv::Mat(transform).rowRange(0, 2), size, cv::INTER_LINEAR, cv::BORDER_REFLECT);
  return window;
}

std::vector<SweepFrame> flat_frames(const cv::Mat& photo, const SweepSettings& s) {
  CV_Assert(s.step > 0 && s.max_jitter >= 0);
  CV_Assert(s.window.width <= photo.cols && s.window.height + 2 * s.max_jitter <= photo.rows);
  std::mt19937 random(s.seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const int top = s.top >= 0 ? s.top : (photo.rows - s.window.height) / 2;
  std::vector<SweepFrame> sweep;
  for (int i = 0; i < s.frames; ++i) {
    const int x = i * s.step;
    if (x + s.window.width > photo.cols) break;
    const double angle = s.max_rotation_deg * unit(random);
    const double jitter = s.max_jitter * unit(random);
    const double y = std::clamp(top + jitter, 0.0, double(photo.rows - s.window.height));
    const cv::Matx33d to_window = flat_photo_to_window(cv::Point2d(x, y), s.window, angle);
    SweepFrame frame = frame_from_window(cut_window(photo, to_window, s.window), to_window);
    frame.rotation_deg = angle;
    sweep.push_back(frame);
  }
  return sweep;
}

std::vector<SweepFrame> camera_frames(const cv::Mat& photo, const SweepSettings& s) {
  switch (s.camera) {
    case SweepCamera::flat: return flat_frames(photo, s);
    case SweepCamera::turning: return turning_frames(photo, s);
    case SweepCamera::sphere: break;
  }
  return sphere_frames(photo, s);
}

// Blur, then gain, then noise, as lens and sensor add them; a frame comes
// through bit for bit when all three are off.
void add_camera_effects(SweepFrame& frame, const CameraEffects& effects, std::mt19937& random) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  frame.gain = 1.0 + effects.max_exposure_change * unit(random);
  cv::RNG noise_random(random());
  if (effects.blur_sigma > 0) cv::GaussianBlur(frame.camera_frame, frame.camera_frame, cv::Size(), effects.blur_sigma);
  if (frame.gain == 1.0 && effects.noise_sigma == 0) return;
  cv::Mat exposed;
  frame.camera_frame.convertTo(exposed, CV_32F, frame.gain);
  if (effects.noise_sigma > 0) {
    cv::Mat noise(exposed.size(), exposed.type());
    noise_random.fill(noise, cv::RNG::NORMAL, 0.0, effects.noise_sigma);
    exposed += noise;
  }
  exposed.convertTo(frame.camera_frame, CV_8U);
}

// A logo in the top-right corner: a light badge with a dark ring and
// lettering, a sixth of the frame's width, fully opaque.
void burn_logo(cv::Mat& frame) {
  const int width = std::max(24, frame.cols / 6), height = std::max(12, width * 2 / 5);
  const cv::Rect badge(frame.cols - width - width / 8, width / 8, width, height);
  cv::rectangle(frame, badge, cv::Scalar(235, 235, 235), cv::FILLED);
  cv::rectangle(frame, badge, cv::Scalar(40, 40, 200), std::max(1, height / 12));
  const cv::Point centre(badge.x + height / 2, badge.y + height / 2);
  cv::circle(frame, centre, height / 3, cv::Scalar(40, 40, 200), cv::FILLED);
  // Lettering as large as fits beside the ring.
  const int thickness = std::max(1, height / 10);
  const cv::Size unit = cv::getTextSize("ZEMB", cv::FONT_HERSHEY_SIMPLEX, 1.0, thickness, nullptr);
  const double font = std::min(0.5 * height / unit.height, (width - 1.2 * height) / unit.width);
  cv::putText(frame, "ZEMB", cv::Point(badge.x + height, badge.y + height * 3 / 4), cv::FONT_HERSHEY_SIMPLEX, font,
              cv::Scalar(30, 30, 30), thickness, cv::LINE_AA);
}

// A timestamp in the bottom-left corner, white on a black outline; its
// seconds follow the frame's place in the sweep.
void burn_timestamp(cv::Mat& frame, int index, int frames_per_second) {
  const int seconds = index / frames_per_second;
  char text[32];
  std::snprintf(text, sizeof text, "2026-12-07 10:%02d:%02d", (seconds / 60) % 60, seconds % 60);
  const double font = frame.rows / 500.0;
  const int thickness = std::max(1, frame.rows / 200);
  const cv::Point at(frame.rows / 40, frame.rows - frame.rows / 30);
  cv::putText(frame, text, at, cv::FONT_HERSHEY_SIMPLEX, font, cv::Scalar(0, 0, 0), 3 * thickness, cv::LINE_AA);
  cv::putText(frame, text, at, cv::FONT_HERSHEY_SIMPLEX, font, cv::Scalar(255, 255, 255), thickness, cv::LINE_AA);
}

void burn_overlays(SweepFrame& frame, const FrameOverlays& overlays) {
  if (overlays.logo) burn_logo(frame.camera_frame);
  if (overlays.timestamp) burn_timestamp(frame.camera_frame, frame.index, overlays.frames_per_second);
}

// Blurred as wide as a twentieth of the frame's longer side, worked on a copy
// an eighth the size so that so wide a blur costs little.
cv::Mat washed_out(const cv::Mat& frame) {
  cv::Mat small, blurred;
  cv::resize(frame, small, cv::Size(), 0.125, 0.125, cv::INTER_AREA);
  cv::GaussianBlur(small, small, cv::Size(), std::max(small.cols, small.rows) / 20.0);
  cv::resize(small, blurred, frame.size(), 0, 0, cv::INTER_LINEAR);
  return blurred;
}

bool in_any(const std::vector<FrameRun>& runs, int index) {
  return std::any_of(runs.begin(), runs.end(),
                     [&](const FrameRun& r) { return index >= r.first && index < r.first + r.count; });
}

void check_runs(const std::vector<FrameRun>& runs) {
  for (const FrameRun& r : runs) CV_Assert(r.first >= 0 && r.count > 0);
}

// Dark wins over blurred where runs overlap; a dropped frame goes whatever
// else happened to it.
void disturb(std::vector<SweepFrame>& sweep, const SweepDisturbances& d) {
  for (SweepFrame& frame : sweep) {
    if (in_any(d.dark, frame.index)) {
      frame.camera_frame = cv::Mat::zeros(frame.camera_frame.size(), frame.camera_frame.type());
      frame.state = FrameState::dark;
    } else if (in_any(d.blurred, frame.index)) {
      frame.camera_frame = washed_out(frame.camera_frame);
      frame.state = FrameState::blurred;
    }
  }
  sweep.erase(std::remove_if(sweep.begin(), sweep.end(),
                             [&](const SweepFrame& frame) { return in_any(d.dropped, frame.index); }),
              sweep.end());
}

// The figure's box in every frame of the sweep: centred across the sweep,
// at the middle frame's centre at the middle frame, `speed` a frame on.
std::vector<cv::Rect2d> figure_boxes(const std::vector<SweepFrame>& sweep, const SweepSettings& s) {
  const cv::Size2d box(s.mover.size.width * s.window.width, s.mover.size.height * s.window.height);
  const std::size_t middle = sweep.size() / 2;
  const cv::Point2d centre = sweep[middle].origin + cv::Point2d(s.window.width / 2.0, s.window.height / 2.0);
  std::vector<cv::Rect2d> boxes;
  for (std::size_t i = 0; i < sweep.size(); ++i) {
    const double x = centre.x + (double(i) - double(middle)) * s.mover.speed;
    boxes.emplace_back(x - box.width / 2, centre.y - box.height / 2, box.width, box.height);
  }
  return boxes;
}

// The figure drawn over each frame where the frame sees its box, before
// what the camera adds.
void draw_figure(std::vector<SweepFrame>& sweep, const SweepSettings& s) {
  CV_Assert(s.camera != SweepCamera::sphere && s.mover.size.width > 0 && s.mover.size.height > 0);
  const std::vector<cv::Rect2d> boxes = figure_boxes(sweep, s);
  for (std::size_t i = 0; i < sweep.size(); ++i) {
    sweep[i].mover = boxes[i];
    draw_figure_over(sweep[i].camera_frame, boxes[i], sweep[i].photo_to_frame);
  }
}

}  // namespace

cv::Mat figure(cv::Size size) {
  CV_Assert(size.width > 0 && size.height > 0);
  cv::Mat hsv(size, CV_8UC3);
  const int stripe = std::max(2, size.width / 6);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x) {
      const bool dark = ((x + y) / stripe) % 2 == 1;
      const uchar hue = (4 * y / size.height) % 2 ? 60 : 150;  // green and magenta bands
      hsv.at<cv::Vec3b>(y, x) = cv::Vec3b(hue, 255, dark ? 140 : 250);
    }
  cv::Mat bgr;
  cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
  return bgr;
}

cv::Size figure_grid(const cv::Rect2d& box) {
  return cv::Size(std::max(2, cvRound(box.width)), std::max(2, cvRound(box.height)));
}

cv::Matx33d figure_to_photo(const cv::Rect2d& box) {
  const cv::Size grid = figure_grid(box);
  return cv::Matx33d(box.width / grid.width, 0, box.x, 0, box.height / grid.height, box.y, 0, 0, 1);
}

void draw_figure_over(cv::Mat& image, const cv::Rect2d& box, const cv::Matx33d& photo_to_image) {
  CV_Assert(image.type() == CV_8UC3 && box.width >= 1 && box.height >= 1);
  const cv::Size native = figure_grid(box);
  const cv::Mat to_image(photo_to_image * figure_to_photo(box));
  cv::Mat drawn, cover;
  cv::warpPerspective(figure(native), drawn, to_image, image.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  cv::warpPerspective(figure_shape(native), cover, to_image, image.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  cv::Mat alpha, scene, over;
  cv::cvtColor(cover, alpha, cv::COLOR_GRAY2BGR);
  alpha.convertTo(alpha, CV_32FC3, 1.0 / 255);
  image.convertTo(scene, CV_32FC3);
  drawn.convertTo(over, CV_32FC3);
  cv::Mat mixed = scene + alpha.mul(over - scene);
  mixed.convertTo(image, CV_8U);
}

cv::Mat figure_shape(cv::Size size) {
  CV_Assert(size.width > 0 && size.height > 0);
  cv::Mat shape = cv::Mat::zeros(size, CV_8U);
  const cv::Point2f centre(size.width / 2.0f, size.height / 2.0f);
  cv::ellipse(shape, cv::RotatedRect(centre, cv::Size2f(float(size.width), float(size.height)), 0), cv::Scalar(255),
              cv::FILLED);
  return shape;
}

SweepFrame frame_from_window(const cv::Mat& window, const cv::Matx33d& photo_to_window) {
  // A quarter turn counter-clockwise: window (x, y) lands on (y, width - 1 - x).
  const cv::Matx33d window_to_frame(0, 1, 0, -1, 0, window.cols - 1, 0, 0, 1);
  const cv::Vec3d centre = photo_to_window.inv() * cv::Vec3d(window.cols / 2.0, window.rows / 2.0, 1.0);
  SweepFrame frame;
  cv::rotate(window, frame.camera_frame, cv::ROTATE_90_COUNTERCLOCKWISE);
  frame.photo_to_frame = window_to_frame * photo_to_window;
  frame.origin = cv::Point2d(centre[0] / centre[2] - window.cols / 2.0, centre[1] / centre[2] - window.rows / 2.0);
  return frame;
}

cv::Mat sea_and_sky(cv::Size size) {
  CV_Assert(size.width > 0 && size.height > 1);
  cv::Mat scene(size, CV_32FC3);
  const int horizon = size.height / 2;
  const cv::Vec3f sky_top(200, 140, 80), sky_low(235, 215, 190), sea_high(130, 100, 50), sea_low(80, 55, 20);
  for (int y = 0; y < size.height; ++y) {
    const bool sky = y < horizon;
    const float t = sky ? float(y) / horizon : float(y - horizon) / float(size.height - horizon);
    const cv::Vec3f colour = sky ? sky_top * (1 - t) + sky_low * t : sea_high * (1 - t) + sea_low * t;
    scene.row(y).setTo(cv::Scalar(colour[0], colour[1], colour[2]));
  }
  cv::Mat ripples(size, CV_32FC3);
  cv::RNG random(7);
  random.fill(ripples, cv::RNG::NORMAL, 0.0, 40.0);
  cv::GaussianBlur(ripples, ripples, cv::Size(), 4.0, 1.2);
  scene.rowRange(horizon, size.height) += ripples.rowRange(horizon, size.height);
  cv::GaussianBlur(scene, scene, cv::Size(), 1.5);
  cv::Mat sea_sky;
  scene.convertTo(sea_sky, CV_8U);
  return sea_sky;
}

std::vector<SweepFrame> make_sweep(const cv::Mat& photo, const SweepSettings& s) {
  CV_Assert(!photo.empty() && s.window.width > 0 && s.window.height > 0 && s.frames > 0);
  CV_Assert(s.effects.blur_sigma >= 0 && s.effects.noise_sigma >= 0);
  CV_Assert(s.effects.max_exposure_change >= 0 && s.effects.max_exposure_change < 1);
  CV_Assert(s.overlays.frames_per_second > 0);
  for (const auto* runs : {&s.disturbances.dropped, &s.disturbances.dark, &s.disturbances.blurred})
    check_runs(*runs);
  std::vector<SweepFrame> sweep = camera_frames(photo, s);
  if (s.mover.present && !sweep.empty()) draw_figure(sweep, s);
  std::mt19937 effects_random(s.seed + 0x9e3779b9u);  // its own stream: the frames' places stay as they were
  for (size_t i = 0; i < sweep.size(); ++i) {
    sweep[i].index = static_cast<int>(i);
    add_camera_effects(sweep[i], s.effects, effects_random);
    burn_overlays(sweep[i], s.overlays);
  }
  disturb(sweep, s.disturbances);
  return sweep;
}

cv::Mat periodic_facade(cv::Size size) {
  cv::Mat facade(size, CV_8UC3, cv::Scalar(128, 128, 130));
  cv::RNG rng(5);
  cv::Mat noise(facade.size(), CV_8UC3);
  rng.fill(noise, cv::RNG::NORMAL, 0, 6);
  facade += noise;
  for (int y = 60; y + 110 < size.height; y += 170)
    for (int x = 40; x + 70 < size.width; x += 130) {
      cv::rectangle(facade, cv::Rect(x, y, 70, 110), cv::Scalar(70 + rng.uniform(0, 30), 75, 80), cv::FILLED);
      cv::rectangle(facade, cv::Rect(x - 4, y - 4, 78, 118), cv::Scalar(200, 200, 205), 3);
    }
  cv::GaussianBlur(facade, facade, cv::Size(), 1.2);
  return facade;
}

}  // namespace zemb_tools

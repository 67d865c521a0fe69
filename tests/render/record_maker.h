// Sweep records made from one photograph with known ground truth, for the
// finished render's tests and quality benchmark: keyframes of a camera
// turning about its centre in front of the photo (a lens of any field of
// view), or of a camera sliding along it, square on or slanted; live
// placements, or live rotations and focal lengths, from the true chain with
// drift and bend added; links from grid points carried by the true relative
// transform, with noise.
#ifndef ZEMB_RENDER_RECORD_MAKER_H
#define ZEMB_RENDER_RECORD_MAKER_H

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "zemb/record.h"

namespace zemb_test {

struct RecordSettings {
  zemb::Scene scene = zemb::Scene::kTurning;
  int keyframes = 10;
  cv::Size image{360, 640};  // kept image, turned: width along the sweep
  double field_of_view = 60;  // across the kept image's width, degrees (turning)
  double pan_step = 6;        // degrees between keyframes (turning)
  double wobble = 1.0;        // most roll and tilt of a keyframe, degrees (turning)
  int slide_step = 110;       // photo pixels between keyframes (flat)
  int slide_jitter = 6;       // most vertical shift of a keyframe, pixels (flat)
  double slant = 0;           // the sliding camera looks this many degrees off square to the photo (flat)
  // Turning keyframes carry their rotation and a focal length this share off
  // the truth (the live rotations drift by bend), and no placement.
  bool record_rotations = false;
  double focal_error = 0.0;
  double bend = 0.004;        // placement drift gathered per keyframe (radians of turn, share of scale)
  double noise = 0.3;         // of the link points, pixels
  int link_reach = 3;         // each keyframe is linked with up to this many earlier ones
  unsigned seed = 7;
};

struct MadeRecord {
  zemb::SweepRecord record;
  std::vector<cv::Mat> truth;  // kept-image pixel -> photo pixel, 3x3 CV_64F
};

inline cv::Mat rotation_about(int axis, double degrees) {
  cv::Mat rvec = cv::Mat::zeros(3, 1, CV_64F), r;
  rvec.at<double>(axis) = degrees * CV_PI / 180.0;
  cv::Rodrigues(rvec, r);
  return r;
}

inline double turning_focal(const RecordSettings& s) {
  return s.image.width * 0.5 / std::tan(s.field_of_view * CV_PI / 360.0);
}

inline cv::Mat intrinsics(double f, cv::Size size) {
  return (cv::Mat_<double>(3, 3) << f, 0, size.width / 2.0, 0, f, size.height / 2.0, 0, 0, 1);
}

// The photo is what a camera looking straight ahead from the same centre
// sees: with the keyframes' focal length, or a shorter one when a wide lens
// turning far would see beyond the photo's edges.
inline double photo_focal(const cv::Mat& photo, const RecordSettings& s) {
  const double f = turning_focal(s);
  const double reach = (s.keyframes - 1) / 2.0 * s.pan_step * CV_PI / 180.0 + std::atan(s.image.width * 0.5 / f);
  if (reach >= CV_PI / 2 * 0.95) return f;
  return std::min(f, photo.cols * 0.45 / std::tan(reach));
}

inline cv::Mat photo_intrinsics(const cv::Mat& photo, const RecordSettings& s) {
  const double f = photo_focal(photo, s);
  return (cv::Mat_<double>(3, 3) << f, 0, photo.cols / 2.0, 0, f, photo.rows / 2.0, 0, 0, 1);
}

// The camera-to-world rotation of turning keyframe i, with wobble from rng.
inline cv::Mat turning_rotation(int i, const RecordSettings& s, std::mt19937& rng) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const double pan = (i - (s.keyframes - 1) / 2.0) * s.pan_step;
  return rotation_about(1, pan) * rotation_about(0, unit(rng) * s.wobble) * rotation_about(2, unit(rng) * s.wobble);
}

// Kept pixel -> photo pixel of a camera square on to the photo, or slanted
// about the vertical axis, keeping its centre where it is.
inline cv::Mat sliding_view(const RecordSettings& s) {
  const cv::Mat k = intrinsics(s.image.width, s.image);
  cv::Mat view = k * rotation_about(1, s.slant) * k.inv();
  const cv::Mat centre = (cv::Mat_<double>(3, 1) << s.image.width / 2.0, s.image.height / 2.0, 1.0);
  const cv::Mat seen = view * centre;
  cv::Mat back = cv::Mat::eye(3, 3, CV_64F);
  back.at<double>(0, 2) = centre.at<double>(0) - seen.at<double>(0) / seen.at<double>(2);
  back.at<double>(1, 2) = centre.at<double>(1) - seen.at<double>(1) / seen.at<double>(2);
  view = back * view;
  return view / view.at<double>(2, 2);
}

// Keyframe pixel -> photo pixel.
inline std::vector<cv::Mat> true_transforms(const cv::Mat& photo, const RecordSettings& s) {
  std::mt19937 rng(s.seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<cv::Mat> truth;
  const cv::Mat k = intrinsics(turning_focal(s), s.image);
  const cv::Mat k_photo = photo_intrinsics(photo, s);
  const int top = (photo.rows - s.image.height) / 2;
  const int left = (photo.cols - s.slide_step * (s.keyframes - 1) - s.image.width) / 2;
  for (int i = 0; i < s.keyframes; ++i) {
    if (s.scene == zemb::Scene::kFlat) {
      const cv::Mat shift = (cv::Mat_<double>(3, 3) << 1, 0, left + i * s.slide_step, 0, 1,
                             top + std::round(unit(rng) * s.slide_jitter), 0, 0, 1);
      truth.push_back(shift * sliding_view(s));
      continue;
    }
    truth.push_back(k_photo * turning_rotation(i, s, rng) * k.inv());
  }
  return truth;
}

// The rotation of turning keyframe i as the sweep estimated it, drifting by
// i * bend about the vertical axis; the truth is k_photo * R * k^-1.
inline cv::Mat drifted_rotation(const cv::Mat& photo, const std::vector<cv::Mat>& truth, int i, const RecordSettings& s) {
  const cv::Mat r = photo_intrinsics(photo, s).inv() * truth[std::size_t(i)] * intrinsics(turning_focal(s), s.image);
  return rotation_about(1, i * s.bend * 180 / CV_PI) * r;
}

// The live chain drifts: keyframe i's placement turns and grows by i * bend.
inline cv::Mat drifted_placement(const std::vector<cv::Mat>& truth, int i, const RecordSettings& s) {
  const cv::Mat drift = cv::getRotationMatrix2D(cv::Point2f(0, 0), i * s.bend * 180 / CV_PI, 1 + i * s.bend);
  cv::Mat d = cv::Mat::eye(3, 3, CV_64F);
  drift.copyTo(d.rowRange(0, 2));
  const cv::Mat offset = (cv::Mat_<double>(3, 3) << 1, 0, 50, 0, 1, 50, 0, 0, 1);
  return offset * d * truth[0].inv() * truth[std::size_t(i)];
}

inline zemb::KeyframeLink make_link(const std::vector<cv::Mat>& truth, int from, int to, const RecordSettings& s,
                                    std::mt19937& rng) {
  std::normal_distribution<float> noise(0.0f, static_cast<float>(s.noise));
  const cv::Mat relative = truth[std::size_t(to)].inv() * truth[std::size_t(from)];
  std::vector<cv::Point2f> grid, carried;
  for (int y = 20; y < s.image.height; y += 60)
    for (int x = 12; x < s.image.width; x += 34) grid.emplace_back(float(x), float(y));
  cv::perspectiveTransform(grid, carried, relative);
  zemb::KeyframeLink link;
  link.from = from;
  link.to = to;
  const cv::Rect2f inside(4, 4, s.image.width - 8.0f, s.image.height - 8.0f);
  for (std::size_t k = 0; k < grid.size() && link.from_points.size() < 60; ++k) {
    if (!inside.contains(carried[k])) continue;
    link.from_points.push_back(grid[k]);
    link.to_points.push_back(carried[k] + cv::Point2f(noise(rng), noise(rng)));
  }
  return link;
}

// A square-on slid window is a crop, so long photos (beyond what remap
// reaches) work.
inline cv::Mat keyframe_image(const cv::Mat& photo, const cv::Mat& truth, const RecordSettings& s) {
  if (s.scene == zemb::Scene::kFlat && s.slant == 0)
    return photo(cv::Rect(cv::Point(cvRound(truth.at<double>(0, 2)), cvRound(truth.at<double>(1, 2))), s.image))
        .clone();
  cv::Mat image;
  cv::warpPerspective(photo, image, truth, s.image, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REFLECT);
  return image;
}

inline MadeRecord make_record(const cv::Mat& photo, const RecordSettings& s) {
  MadeRecord made;
  made.truth = true_transforms(photo, s);
  auto images = std::make_shared<std::vector<cv::Mat>>();
  std::mt19937 rng(s.seed + 1);
  for (int i = 0; i < s.keyframes; ++i) {
    images->push_back(keyframe_image(photo, made.truth[std::size_t(i)], s));
    zemb::Keyframe keyframe;
    keyframe.frame_index = 3 * i;
    keyframe.image_size = s.image;
    if (s.record_rotations) {
      keyframe.rotation = drifted_rotation(photo, made.truth, i, s);
      keyframe.focal = turning_focal(s) * (1 + s.focal_error);
    } else {
      keyframe.placement = drifted_placement(made.truth, i, s);
    }
    made.record.keyframes.push_back(keyframe);
    for (int from = std::max(0, i - s.link_reach); from < i; ++from) {
      zemb::KeyframeLink link = make_link(made.truth, from, i, s, rng);
      if (link.from_points.size() >= 8) made.record.links.push_back(link);
    }
  }
  made.record.scene = s.scene;
  made.record.image = [images](int index) { return (*images)[std::size_t(index)]; };
  return made;
}

}  // namespace zemb_test

#endif  // ZEMB_RENDER_RECORD_MAKER_H

// The finished panorama's geometry: its crop (the largest rectangle with no
// empty pixel, checked against every rectangle of crafted masks); a tilted,
// rolled camera's sweep rendered level; a full turn rendered exactly one turn
// wide with no seam at its join; the whole sphere.
#include <algorithm>
#include <random>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "test_support.h"
#include "zemb/render.h"
#include "zemb/sweep.h"

namespace {

// The largest area of an all-covered rectangle, by trying every rectangle
// against the mask's integral image.
int brute_force_largest_area(const cv::Mat& mask) {
  cv::Mat sums;
  cv::integral(mask != 0, sums, CV_32S);
  int best = 0;
  for (int y0 = 0; y0 < mask.rows; ++y0)
    for (int y1 = y0 + 1; y1 <= mask.rows; ++y1)
      for (int x0 = 0; x0 < mask.cols; ++x0)
        for (int x1 = x0 + 1; x1 <= mask.cols; ++x1) {
          const int area = (y1 - y0) * (x1 - x0);
          if (area <= best) continue;
          const int covered = sums.at<int>(y1, x1) - sums.at<int>(y0, x1) - sums.at<int>(y1, x0) + sums.at<int>(y0, x0);
          if (covered == 255 * area) best = area;
        }
  return best;
}

// Masks like those a render leaves: tilted frame outlines, a bowed band,
// holes, plus random blotches.
std::vector<cv::Mat> crafted_masks() {
  std::vector<cv::Mat> masks;
  cv::Mat tilted = cv::Mat::zeros(40, 60, CV_8U);
  const std::vector<std::vector<cv::Point>> outlines = {{{3, 8}, {25, 2}, {30, 30}, {6, 36}},
                                                        {{22, 6}, {50, 10}, {55, 38}, {28, 33}}};
  cv::fillPoly(tilted, outlines, cv::Scalar(255));
  masks.push_back(tilted);
  cv::Mat bowed = cv::Mat::zeros(30, 64, CV_8U);
  for (int x = 0; x < bowed.cols; ++x) {
    const int sag = cvRound(6 * std::sin(CV_PI * x / bowed.cols));
    bowed(cv::Range(4 + sag, 22 + sag), cv::Range(x, x + 1)).setTo(255);
  }
  masks.push_back(bowed);
  cv::Mat holed(24, 36, CV_8U, cv::Scalar(255));
  holed.at<uchar>(11, 17) = 0;
  masks.push_back(holed);
  std::mt19937 rng(5);
  for (int k = 0; k < 6; ++k) {
    cv::Mat blotches(18 + k, 25 - k, CV_8U);
    cv::randu(blotches, 0, 255);
    cv::threshold(blotches, blotches, 40 + 20 * k, 255, cv::THRESH_BINARY);
    masks.push_back(blotches);
  }
  masks.push_back(cv::Mat(7, 9, CV_8U, cv::Scalar(255)));
  masks.push_back(cv::Mat::zeros(7, 9, CV_8U));
  return masks;
}

TEST(Crop, IsTheLargestRectangleWithNoEmptyPixel) {
  for (const cv::Mat& mask : crafted_masks()) {
    const cv::Rect crop = zemb::largest_covered_rectangle(mask);
    EXPECT_EQ(crop.area(), brute_force_largest_area(mask)) << mask.size();
    if (crop.empty()) continue;
    ASSERT_EQ(crop & cv::Rect(cv::Point(), mask.size()), crop);
    EXPECT_EQ(cv::countNonZero(mask(crop)), crop.area()) << "an empty pixel in the crop";
  }
}

TEST(Crop, RefusesAnEmptyOrMultiChannelMask) {
  for (const cv::Mat& mask : {cv::Mat(), cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(255))}) {
    try {
      zemb::largest_covered_rectangle(mask);
      ADD_FAILURE() << "a mask of type " << mask.type() << " was taken";
    } catch (const cv::Exception& e) {
      EXPECT_EQ(e.code, cv::Error::StsBadArg);
    }
  }
}

// A sphere camera's sweep through zemb::Sweep, every frame placed, and its
// frames with their truth.
struct SphereSweep {
  std::vector<zemb_tools::SweepFrame> frames;
  zemb::SweepRecord record;
};

cv::Mat park_photo() {
  const cv::Mat photo = cv::imread(std::string(ZEMB_SOURCE_DIR) + "/data/equirect/bma_park.jpg", cv::IMREAD_COLOR);
  CV_Assert(!photo.empty());
  return photo;
}

SphereSweep sphere_sweep(const cv::Mat& photo, const zemb_tools::SphereCamera& camera, zemb::Sweep& sweep) {
  zemb_tools::SweepSettings settings;
  settings.camera = zemb_tools::SweepCamera::sphere;
  settings.sphere = camera;
  SphereSweep made{zemb_tools::make_sweep(photo, settings), {}};
  for (const zemb_tools::SweepFrame& frame : made.frames) EXPECT_TRUE(sweep.add(frame.camera_frame).placed());
  made.record = sweep.record();
  return made;
}

zemb_tools::SphereCamera tilted_rolled_pan(double turn) {
  zemb_tools::SphereCamera camera;
  camera.frame = cv::Size(640, 360);
  camera.pan_step_deg = 4;
  camera.turn_deg = turn;
  camera.pitch_deg = 10;
  camera.roll_swing_deg = 5;
  return camera;
}

// Keyframe i's true camera: kept pixel (the camera frame's) -> ray of the
// photo's world.
cv::Matx33d true_camera(const SphereSweep& sweep, int keyframe) {
  const zemb_tools::SweepFrame& frame =
      sweep.frames[std::size_t(sweep.record.keyframes[std::size_t(keyframe)].frame_index)];
  const cv::Size size = frame.camera_frame.size();
  const cv::Matx33d k(frame.focal, 0, (size.width - 1) / 2.0, 0, frame.focal, (size.height - 1) / 2.0, 0, 0, 1);
  return frame.rotation * k.inv();
}

// Where a line of the photo's world (its rays, in order) falls on the
// panorama, as each keyframe that sees a ray draws it.
std::vector<cv::Point2d> drawn_line(const zemb::FinishedPanorama& finished, const SphereSweep& sweep,
                                    const std::vector<cv::Vec3d>& rays) {
  std::vector<cv::Point2d> drawn;
  for (std::size_t i = 0; i < finished.projection.cameras.size(); ++i) {
    const cv::Mat& camera = finished.projection.cameras[i];
    if (camera.empty()) continue;
    const cv::Matx33d to_pixel = true_camera(sweep, int(i)).inv();
    const cv::Size size = sweep.record.keyframes[i].image_size;
    for (const cv::Vec3d& ray : rays) {
      const cv::Vec3d seen = to_pixel * ray;
      if (seen[2] <= 0) continue;
      const cv::Point2d pixel(seen[0] / seen[2], seen[1] / seen[2]);
      if (!cv::Rect2d(0, 0, size.width - 1, size.height - 1).contains(pixel)) continue;
      const cv::Mat placed = camera * (cv::Mat_<double>(3, 1) << pixel.x, pixel.y, 1.0);
      drawn.push_back(finished.projection.pixel_of(cv::Vec3d(placed)));
    }
  }
  return drawn;
}

// How far a drawn line is from straight along the panorama's rows (or, across
// = false, its columns): its slope in degrees and its greatest distance from
// its least-squares line, as a share of the panorama's height (width).
struct Straightness {
  double slope_deg = 0, bow = 0;
};

Straightness straightness(std::vector<cv::Point2d> points, cv::Size panorama, bool across) {
  if (!across)
    for (cv::Point2d& p : points) p = cv::Point2d(p.y, p.x);
  cv::Mat a(int(points.size()), 2, CV_64F), b(int(points.size()), 1, CV_64F), line;
  for (int k = 0; k < a.rows; ++k) {
    a.at<double>(k, 0) = points[std::size_t(k)].x;
    a.at<double>(k, 1) = 1;
    b.at<double>(k) = points[std::size_t(k)].y;
  }
  cv::solve(a, b, line, cv::DECOMP_SVD);
  const cv::Mat off = cv::abs(a * line - b);
  double most = 0;
  cv::minMaxLoc(off, nullptr, &most);
  return {std::atan(line.at<double>(0)) * 180 / CV_PI, most / (across ? panorama.height : panorama.width)};
}

// The world's horizon, every half degree round.
std::vector<cv::Vec3d> horizon() {
  std::vector<cv::Vec3d> rays;
  for (double a = -180; a < 180; a += 0.5) rays.emplace_back(std::sin(a * CV_PI / 180), 0, std::cos(a * CV_PI / 180));
  return rays;
}

void expect_level_only_when_levelled(const SphereSweep& made) {
  for (bool level : {true, false}) {
    zemb::RenderOptions options;
    options.level = level;
    const zemb::FinishedPanorama finished = zemb::render(made.record, options);
    ASSERT_EQ(finished.report.model, zemb::RenderModel::kRotation) << finished.report.fallback_message;
    ASSERT_EQ(finished.projection.surface, zemb::PanoramaSurface::kCylinder);
    const Straightness line =
        straightness(drawn_line(finished, made, horizon()), finished.panorama.size(), true);
    std::printf("level %d: horizon slope %.3f degrees, bow %.3f %% of the height\n", level, line.slope_deg,
                100 * line.bow);
    if (level) {
      EXPECT_LT(std::abs(line.slope_deg), 0.5);
      EXPECT_LT(line.bow, 0.01);
    } else {
      EXPECT_GT(std::abs(line.slope_deg) + 100 * line.bow, 2.0) << "the sweep does not test levelling";
    }
    ASSERT_FALSE(finished.crop.empty());
    EXPECT_EQ(cv::countNonZero(finished.mask(finished.crop)), finished.crop.area());
    EXPECT_EQ(finished.crop.area(), zemb::largest_covered_rectangle(finished.mask).area());
  }
}

// A camera held 10 degrees up and rolling 5 degrees either way while it pans,
// swinging or at random: levelled, the horizon runs straight across the
// panorama; unlevelled, it would not. The crop holds no empty pixel.
TEST(Level, TiltedRolledPanComesOutLevel) {
  const cv::Mat photo = park_photo();
  for (bool swinging : {true, false}) {
    zemb_tools::SphereCamera camera = tilted_rolled_pan(120);
    if (!swinging) std::swap(camera.roll_swing_deg, camera.max_roll_deg);
    zemb::Sweep sweep("");
    const SphereSweep made = sphere_sweep(photo, camera, sweep);
    expect_level_only_when_levelled(made);
  }
}

// A tilt up past the horizon with the same hand, along the meridian 30
// degrees right.
zemb_tools::SphereCamera tilt_up() {
  zemb_tools::SphereCamera camera = tilted_rolled_pan(100);
  camera.direction = zemb_tools::TurnDirection::up;
  camera.pitch_deg = -40;
  camera.yaw_deg = 30;
  return camera;
}

std::vector<cv::Vec3d> meridian() {
  std::vector<cv::Vec3d> rays;
  const double yaw = 30 * CV_PI / 180;
  for (double p = -60; p <= 70; p += 0.5)
    rays.emplace_back(std::sin(yaw) * std::cos(p * CV_PI / 180), -std::sin(p * CV_PI / 180),
                      std::cos(yaw) * std::cos(p * CV_PI / 180));
  return rays;
}

// The meridian the tilt follows stands upright in the panorama, which
// stands on its end.
TEST(Level, TiltedRolledTiltComesOutUpright) {
  const cv::Mat photo = park_photo();
  zemb::Sweep sweep("");
  const SphereSweep made = sphere_sweep(photo, tilt_up(), sweep);
  const zemb::FinishedPanorama finished = zemb::render(made.record, zemb::RenderOptions());
  ASSERT_EQ(finished.report.model, zemb::RenderModel::kRotation) << finished.report.fallback_message;
  EXPECT_TRUE(finished.projection.turned);
  EXPECT_GT(finished.panorama.rows, finished.panorama.cols);
  const Straightness line = straightness(drawn_line(finished, made, meridian()), finished.panorama.size(), false);
  std::printf("vertical: slope %.3f degrees, bow %.3f %% of the width\n", line.slope_deg, 100 * line.bow);
  EXPECT_LT(std::abs(line.slope_deg), 0.5);
  EXPECT_LT(line.bow, 0.01);
}

// The rotation that carries rays of the panorama's world onto the photo's,
// fitted over the rays of every keyframe's outline and centre.
cv::Matx33d world_to_photo(const zemb::FinishedPanorama& finished, const SphereSweep& sweep) {
  cv::Matx33d sum = cv::Matx33d::zeros();
  for (std::size_t i = 0; i < finished.projection.cameras.size(); ++i) {
    if (finished.projection.cameras[i].empty()) continue;
    const cv::Matx33d placed(finished.projection.cameras[i]), truth = true_camera(sweep, int(i));
    const cv::Size size = sweep.record.keyframes[i].image_size;
    const double w = size.width, h = size.height;
    for (const cv::Vec3d& p : {cv::Vec3d(0, 0, 1), cv::Vec3d(w, 0, 1), cv::Vec3d(0, h, 1), cv::Vec3d(w, h, 1),
                               cv::Vec3d(w / 2, h / 2, 1)}) {
      const cv::Vec3d from = cv::normalize(placed * p), to = cv::normalize(truth * p);
      sum += to * from.t();
    }
  }
  cv::Mat w, u, vt;
  cv::SVD::compute(cv::Mat(sum), w, u, vt);
  cv::Mat r = u * vt;
  if (cv::determinant(r) < 0) r = -r;
  return cv::Matx33d(r);
}

// Each column's mean grey difference between the panorama and what the
// photo shows along the same rays, over the crop's rows.
std::vector<double> column_errors(const zemb::FinishedPanorama& finished, const SphereSweep& sweep,
                                  const cv::Mat& photo) {
  const cv::Matx33d to_photo = world_to_photo(finished, sweep);
  const cv::Rect crop = finished.crop;
  cv::Mat map(crop.size(), CV_32FC2);
  for (int y = 0; y < crop.height; ++y)
    for (int x = 0; x < crop.width; ++x) {
      const cv::Vec3d ray = to_photo * finished.projection.ray_of(cv::Point2d(x + crop.x, y + crop.y));
      const double longitude = std::atan2(ray[0], ray[2]), latitude = std::atan2(-ray[1], std::hypot(ray[0], ray[2]));
      map.at<cv::Vec2f>(y, x) = cv::Vec2f(float((longitude / (2 * CV_PI) + 0.5) * photo.cols - 0.5),
                                          float((0.5 - latitude / CV_PI) * photo.rows - 0.5));
    }
  cv::Mat seen, seen_grey, grey, difference;
  cv::remap(photo, seen, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_WRAP);
  cv::cvtColor(seen, seen_grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(finished.cropped(), grey, cv::COLOR_BGR2GRAY);
  cv::absdiff(grey, seen_grey, difference);
  cv::Mat columns;
  cv::reduce(difference, columns, 0, cv::REDUCE_AVG, CV_64F);
  return std::vector<double>(columns.begin<double>(), columns.end<double>());
}

// How far apart (degrees) the first and last keyframes draw the points both
// see: the error of the loop's join.
double join_error_deg(const zemb::FinishedPanorama& finished, const SphereSweep& sweep, int first, int last) {
  const zemb::PanoramaProjection& projection = finished.projection;
  const cv::Size size = sweep.record.keyframes[std::size_t(first)].image_size;
  double most = 0;
  for (int y = 0; y < size.height; y += 20)
    for (int x = 0; x < size.width; x += 20) {
      const cv::Vec3d ray = true_camera(sweep, first) * cv::Vec3d(x, y, 1);
      const cv::Vec3d in_last = true_camera(sweep, last).inv() * ray;
      if (in_last[2] <= 0) continue;
      const cv::Point2d q(in_last[0] / in_last[2], in_last[1] / in_last[2]);
      if (!cv::Rect2d(0, 0, size.width - 1, size.height - 1).contains(q)) continue;
      const cv::Matx33d a(projection.cameras[std::size_t(first)]), b(projection.cameras[std::size_t(last)]);
      cv::Point2d apart = projection.pixel_of(a * cv::Vec3d(x, y, 1)) - projection.pixel_of(b * cv::Vec3d(q.x, q.y, 1));
      apart.x -= projection.turn_columns * std::round(apart.x / projection.turn_columns);
      most = std::max(most, cv::norm(apart) / projection.scale * 180 / CV_PI);
    }
  return most;
}

// A camera turning a little more than a full circle: the panorama is exactly
// one turn wide, its join (where the last keyframes meet the first) placed
// within a tenth of a degree, and no worse against the photo there than
// anywhere else, with no seam across it.
TEST(FullTurn, IsOneTurnWideAndJoinedWithoutASeam) {
  const cv::Mat photo = park_photo();
  zemb_tools::SphereCamera camera = tilted_rolled_pan(375);
  camera.pan_step_deg = 5;
  zemb::Sweep sweep("");
  const SphereSweep made = sphere_sweep(photo, camera, sweep);
  const zemb::FinishedPanorama finished = zemb::render(made.record, zemb::RenderOptions());
  ASSERT_EQ(finished.report.model, zemb::RenderModel::kRotation) << finished.report.fallback_message;
  const zemb::PanoramaProjection& projection = finished.projection;
  EXPECT_EQ(projection.turn_columns, finished.panorama.cols);
  EXPECT_NEAR(projection.turn_columns, 2 * CV_PI * projection.scale, 0.5);
  const double true_focal = made.frames.front().focal;
  EXPECT_NEAR(finished.report.focal, true_focal, 0.005 * true_focal) << "a turn's width follows the focal length";

  const int last = finished.report.keyframes_used - 1;
  const double join = join_error_deg(finished, made, 0, last);
  std::printf("join error %.4f degrees; width %d = 2 pi x %.2f\n", join, finished.panorama.cols, projection.scale);
  EXPECT_LT(join, 0.1);

  ASSERT_EQ(finished.crop.width, finished.panorama.cols) << "the band goes all the way round";
  const std::vector<double> errors = column_errors(finished, made, photo);
  std::vector<double> sorted = errors;
  std::sort(sorted.begin(), sorted.end());
  const double typical = sorted[sorted.size() / 2], high = sorted[sorted.size() * 9 / 10];
  const double at_join = (errors.front() + errors[1] + errors[errors.size() - 2] + errors.back()) / 4;
  std::printf("difference from the photo: at the join %.2f, median column %.2f, 90th percentile %.2f\n", at_join,
              typical, high);
  EXPECT_LE(at_join, high);

  cv::Mat grey;
  cv::cvtColor(finished.cropped(), grey, cv::COLOR_BGR2GRAY);
  grey.convertTo(grey, CV_32F);
  cv::Mat steps;
  cv::absdiff(grey.colRange(1, grey.cols), grey.colRange(0, grey.cols - 1), steps);
  cv::Mat across_join;
  cv::absdiff(grey.col(0), grey.col(grey.cols - 1), across_join);
  EXPECT_LT(cv::mean(across_join)[0], 1.5 * cv::mean(steps)[0]) << "a seam where the panorama's edges meet";
}

// On the whole sphere: twice as wide as high, one turn wide, the horizon on
// its middle row and straight, wherever the swept band lies.
TEST(Sphere, ShowsTheBandAtItsTruePitch) {
  const cv::Mat photo = park_photo();
  zemb::Sweep sweep("");
  const SphereSweep made = sphere_sweep(photo, tilted_rolled_pan(120), sweep);
  zemb::RenderOptions options;
  options.surface = zemb::PanoramaSurface::kSphere;
  const zemb::FinishedPanorama finished = zemb::render(made.record, options);
  ASSERT_EQ(finished.report.model, zemb::RenderModel::kRotation) << finished.report.fallback_message;
  EXPECT_EQ(finished.panorama.cols, 2 * finished.panorama.rows);
  EXPECT_EQ(finished.projection.turn_columns, finished.panorama.cols);
  const std::vector<cv::Point2d> drawn = drawn_line(finished, made, horizon());
  double rows = 0;
  for (const cv::Point2d& p : drawn) rows += p.y;
  const double middle = finished.panorama.rows / 2.0;
  EXPECT_NEAR(rows / double(drawn.size()), middle, 0.005 * finished.panorama.rows);
  const Straightness line = straightness(drawn, finished.panorama.size(), true);
  EXPECT_LT(std::abs(line.slope_deg), 0.5);
  EXPECT_LT(line.bow, 0.01);
  // The band lies above the horizon, as the camera looked 10 degrees up.
  const cv::Rect covered = cv::boundingRect(finished.mask);
  EXPECT_LT(covered.y + covered.height / 2.0, middle);
}

// A tilt on the whole sphere: the sphere stays upright and twice as wide as
// high, the meridian the camera followed upright on it.
TEST(Sphere, KeepsATiltUpright) {
  const cv::Mat photo = park_photo();
  zemb::Sweep sweep("");
  const SphereSweep made = sphere_sweep(photo, tilt_up(), sweep);
  zemb::RenderOptions options;
  options.surface = zemb::PanoramaSurface::kSphere;
  const zemb::FinishedPanorama finished = zemb::render(made.record, options);
  ASSERT_EQ(finished.report.model, zemb::RenderModel::kRotation) << finished.report.fallback_message;
  EXPECT_FALSE(finished.projection.turned);
  EXPECT_EQ(finished.panorama.cols, 2 * finished.panorama.rows);
  const Straightness line = straightness(drawn_line(finished, made, meridian()), finished.panorama.size(), false);
  EXPECT_LT(std::abs(line.slope_deg), 0.5);
  EXPECT_LT(line.bow, 0.01);
}

}  // namespace

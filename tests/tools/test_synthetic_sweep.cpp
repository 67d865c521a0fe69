// The sweep maker's frames against their ground truth: what each frame shows
// must be the photo seen through its recorded homography, turning frames must
// differ by the camera's turn alone, sphere frames must look where their
// recorded rotation points, disturbances must hit the frames they name, and
// a moving figure must stand where its truth puts it.
#include <climits>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "synthetic_sweep.h"
#include "test_support.h"

namespace {

using zemb_tools::FrameState;
using zemb_tools::SweepCamera;
using zemb_tools::SweepFrame;
using zemb_tools::SweepSettings;
using zemb_tools::TurnDirection;

// 320x180 camera frames, small enough that every test runs in milliseconds.
SweepSettings small_frames(SweepCamera camera) {
  SweepSettings s;
  s.camera = camera;
  s.window = cv::Size(180, 320);
  s.step = 20;
  s.frames = 12;
  return s;
}

// Gray and slightly blurred: what resampling twice leaves of the photo's
// finest texture differs from image to image even where the geometry agrees.
cv::Mat smoothed(const cv::Mat& bgr) {
  cv::Mat gray;
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  cv::GaussianBlur(gray, gray, cv::Size(), 1.5);
  return gray;
}

// Mean absolute difference of `a` and `b` where `mask` is set.
double mean_difference(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
  cv::Mat difference;
  cv::absdiff(smoothed(a), smoothed(b), difference);
  return cv::mean(difference, mask)[0];
}

// `image` carried through `to_target` (a homography into the target's
// pixels), and where it lands, a few pixels in from its edges.
std::pair<cv::Mat, cv::Mat> carried(const cv::Mat& image, const cv::Matx33d& to_target, cv::Size target) {
  cv::Mat moved, mask;
  cv::warpPerspective(image, moved, to_target, target, cv::INTER_LINEAR);
  cv::warpPerspective(cv::Mat(image.size(), CV_8U, cv::Scalar(255)), mask, to_target, target, cv::INTER_NEAREST);
  cv::erode(mask, mask, cv::Mat(), cv::Point(-1, -1), 3);
  return {moved, mask};
}

class SweepMakerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZEMB_LOAD_PHOTO(full, "life.jpg");
    photo_ = zemb_test::small_photo(full, 0.2);
  }
  cv::Mat photo_;
};

struct TruthCase {
  const char* name;
  SweepCamera camera;
  double jitter;    // flat: degrees of rotation (and 4 pixels of shift); turning: degrees of roll and pitch
  double exposure;
};

// Each frame, carried back into the photo by its recorded homography (and
// divided by its gain), shows the photo.
TEST_F(SweepMakerTest, FramesShowThePhotoThroughTheirRecordedHomography) {
  const TruthCase cases[] = {
      {"flat", SweepCamera::flat, 1.0, 0.0},
      {"turning", SweepCamera::turning, 0.0, 0.0},
      {"turning with roll, pitch and exposure", SweepCamera::turning, 1.5, 0.1},
  };
  for (const TruthCase& c : cases) {
    SCOPED_TRACE(c.name);
    SweepSettings s = small_frames(c.camera);
    s.max_rotation_deg = c.jitter;
    s.max_jitter = 4;
    s.turning.max_roll_deg = s.turning.max_pitch_deg = c.jitter;
    s.effects.max_exposure_change = c.exposure;
    const std::vector<SweepFrame> sweep = zemb_tools::make_sweep(photo_, s);
    ASSERT_EQ(sweep.size(), 12u);
    for (const SweepFrame& f : sweep) {
      const auto [seen, mask] = carried(f.camera_frame / f.gain, f.photo_to_frame.inv(), photo_.size());
      EXPECT_LT(mean_difference(seen, photo_, mask), 2.0) << f.index;  // about 1 when right, 4.5 when a pixel off
    }
  }
}

// OpenCV warps no image past 32767 pixels a side; a flat sweep along a
// longer photo (a strip of photos for a long slide) still shows the photo
// through each frame's homography.
TEST_F(SweepMakerTest, FlatFramesComeFromPhotosPastOpenCVsWarpLimit) {
  cv::Mat long_photo;
  cv::hconcat(std::vector<cv::Mat>(54, photo_), long_photo);
  ASSERT_GT(long_photo.cols, SHRT_MAX);
  SweepSettings s = small_frames(SweepCamera::flat);
  s.max_rotation_deg = 1.0;
  s.max_jitter = 4;
  s.step = 4000;
  s.frames = 9;
  const std::vector<SweepFrame> sweep = zemb_tools::make_sweep(long_photo, s);
  ASSERT_EQ(sweep.size(), 9u);
  for (const SweepFrame& f : sweep) {
    const cv::Rect region =
        cv::Rect(cvRound(f.origin.x) - 20, 0, 220, long_photo.rows) & cv::Rect(cv::Point(), long_photo.size());
    const cv::Matx33d to_region = cv::Matx33d(1, 0, -region.x, 0, 1, -region.y, 0, 0, 1) * f.photo_to_frame.inv();
    const auto [seen, mask] = carried(f.camera_frame, to_region, region.size());
    EXPECT_LT(mean_difference(seen, long_photo(region), mask), 2.0) << f.index;
  }
}

// Asked for more frames than fit, the turning camera keeps to the pans at
// which every frame sees only the photo, whatever its roll and pitch, and
// centres the sweep on the photo.
TEST_F(SweepMakerTest, TurningFramesStayInsideThePhoto) {
  SweepSettings s = small_frames(SweepCamera::turning);
  s.frames = 100;
  s.turning.max_roll_deg = s.turning.max_pitch_deg = 2.0;
  const std::vector<SweepFrame> sweep = zemb_tools::make_sweep(photo_, s);
  ASSERT_GT(sweep.size(), 5u);
  ASSERT_LT(sweep.size(), 100u);
  EXPECT_NEAR(sweep.front().pan_deg, -sweep.back().pan_deg, 1e-9);
  const cv::Rect2d photo(0, 0, photo_.cols - 1, photo_.rows - 1);
  for (const SweepFrame& f : sweep) {
    const double right = f.camera_frame.cols - 1, bottom = f.camera_frame.rows - 1;
    std::vector<cv::Point2d> corners = {{0, 0}, {right, 0}, {0, bottom}, {right, bottom}};
    cv::perspectiveTransform(corners, corners, cv::Mat(f.photo_to_frame.inv()));
    for (const cv::Point2d& corner : corners)
      EXPECT_TRUE(corner.x >= photo.x && corner.y >= photo.y && corner.x <= photo.br().x && corner.y <= photo.br().y)
          << f.index << " " << corner;
  }
}

// The camera turns toward the frames' top edge, about the camera frame's x
// axis; K is the pinhole whose field of view spans the frame's height.
cv::Matx33d turn_between_frames(cv::Size frame, double fov_deg, double turn_deg) {
  const double f = frame.height / 2.0 / std::tan(fov_deg * CV_PI / 360.0);
  const cv::Matx33d k(f, 0, (frame.width - 1) / 2.0, 0, f, (frame.height - 1) / 2.0, 0, 0, 1);
  const double a = turn_deg * CV_PI / 180.0;
  const cv::Matx33d turn_back(1, 0, 0, 0, std::cos(a), std::sin(a), 0, -std::sin(a), std::cos(a));
  return k * turn_back * k.inv();
}

TEST_F(SweepMakerTest, SteadyTurningFramesDifferByTheTurnAlone) {
  const SweepSettings s = small_frames(SweepCamera::turning);
  const std::vector<SweepFrame> sweep = zemb_tools::make_sweep(photo_, s);
  ASSERT_GT(sweep.size(), 3u);
  for (size_t i = 0; i + 1 < sweep.size(); ++i) {
    const cv::Mat& next = sweep[i + 1].camera_frame;
    const cv::Matx33d turn = turn_between_frames(next.size(), s.turning.fov_deg, s.turning.pan_step_deg);
    const auto [seen, mask] = carried(sweep[i].camera_frame, turn, next.size());
    ASSERT_GT(cv::countNonZero(mask), static_cast<int>(next.total() / 2));
    EXPECT_LT(mean_difference(seen, next, mask), 1.5) << i;  // about 0.5
    EXPECT_GT(mean_difference(sweep[i].camera_frame, next, mask), 10.0) << i;  // the frames do move: about 30
  }
}

double detail(const cv::Mat& image) {
  cv::Mat laplacian;
  cv::Laplacian(image, laplacian, CV_32F);
  return cv::norm(laplacian);
}

// Frame by frame across the 12 of the undisturbed sweep: '.' clear, 'd'
// dark, 'b' blurred, '-' dropped.
struct DisturbanceCase {
  const char* name;
  zemb_tools::SweepDisturbances disturbances;
  std::string frames;
};

TEST_F(SweepMakerTest, DisturbancesHitTheFramesTheyName) {
  const DisturbanceCase cases[] = {
      {"a gap", {{{3, 4}}, {}, {}}, "...----....."},
      {"two gaps, one past the end", {{{0, 1}, {9, 10}}, {}, {}}, "-........---"},
      {"dark and blurred runs", {{}, {{2, 2}}, {{6, 1}, {10, 2}}}, "..dd..b...bb"},
      {"dark over blurred, then dropped", {{{4, 1}}, {{3, 2}}, {{2, 3}}}, "..bd-......."},
  };
  const SweepSettings plain = small_frames(SweepCamera::flat);
  const std::vector<SweepFrame> undisturbed = zemb_tools::make_sweep(photo_, plain);
  ASSERT_EQ(undisturbed.size(), 12u);
  for (const DisturbanceCase& c : cases) {
    SCOPED_TRACE(c.name);
    SweepSettings s = plain;
    s.disturbances = c.disturbances;
    std::string frames(undisturbed.size(), '-');
    for (const SweepFrame& f : zemb_tools::make_sweep(photo_, s)) {
      const SweepFrame& original = undisturbed.at(f.index);
      EXPECT_EQ(f.origin, original.origin);
      switch (f.state) {
        case FrameState::dark:
          EXPECT_EQ(cv::norm(f.camera_frame, cv::NORM_INF), 0);
          break;
        case FrameState::blurred:
          EXPECT_LT(detail(f.camera_frame), 0.05 * detail(original.camera_frame));  // about 0.02
          break;
        case FrameState::clear:
          EXPECT_EQ(cv::norm(f.camera_frame, original.camera_frame, cv::NORM_INF), 0);
      }
      frames[f.index] = ".db"[static_cast<int>(f.state)];
    }
    EXPECT_EQ(frames, c.frames);
  }
}

// A moving figure changes each frame only inside its recorded box, seen
// through the frame's homography, and covers most of the box's ellipse
// there; the box moves by the speed a frame, along the sweep, for the flat
// and the turning camera alike.
TEST_F(SweepMakerTest, AMovingFigureIsDrawnWhereItsTruthSays) {
  for (const SweepCamera camera : {SweepCamera::flat, SweepCamera::turning}) {
    SCOPED_TRACE(camera == SweepCamera::flat ? "flat" : "turning");
    SweepSettings s = small_frames(camera);
    const std::vector<SweepFrame> plain = zemb_tools::make_sweep(photo_, s);
    s.mover.present = true;
    s.mover.speed = -7;
    const std::vector<SweepFrame> walked = zemb_tools::make_sweep(photo_, s);
    ASSERT_EQ(walked.size(), plain.size());
    std::size_t showing = 0;
    for (std::size_t i = 0; i < walked.size(); ++i) {
      const cv::Rect2d& box = walked[i].mover;
      if (i > 0) {
        EXPECT_NEAR(box.x - walked[i - 1].mover.x, -7, 1e-9);
      }
      EXPECT_NEAR(box.y, walked[0].mover.y, 1e-9);
      cv::Mat shape;  // the ellipse on the frame, grown by a pixel for its antialiased edge
      cv::warpPerspective(zemb_tools::figure_shape(zemb_tools::figure_grid(box)), shape,
                          cv::Mat(walked[i].photo_to_frame * zemb_tools::figure_to_photo(box)),
                          walked[i].camera_frame.size(), cv::INTER_NEAREST);
      cv::Mat changed, grown;
      cv::absdiff(walked[i].camera_frame, plain[i].camera_frame, changed);
      cv::cvtColor(changed, changed, cv::COLOR_BGR2GRAY);
      cv::dilate(shape, grown, cv::Mat());
      EXPECT_EQ(cv::countNonZero((changed > 0) & ~grown), 0) << "frame " << i;
      EXPECT_GE(cv::countNonZero((changed > 20) & shape), 0.8 * cv::countNonZero(shape)) << "frame " << i;
      showing += cv::countNonZero(shape) > 0;
    }
    EXPECT_GT(showing, walked.size() / 2);
  }
}

// The sphere camera.

double degrees(double radians) { return radians * 180.0 / CV_PI; }

cv::Mat full_sphere(const std::string& file, cv::Size size) {
  const std::string path = std::string(ZEMB_SOURCE_DIR) + "/data/equirect/" + file;
  const cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
  if (photo.empty()) return photo;
  cv::Mat small;
  cv::resize(photo, small, size, 0, 0, cv::INTER_AREA);
  return small;
}

// 320x180 frames across 65 degrees; at 1536x768 the photo has about the
// frames' own pixels per degree.
SweepSettings sphere_sweep(TurnDirection direction, double turn_deg, double step_deg) {
  SweepSettings s;
  s.camera = SweepCamera::sphere;
  s.sphere.frame = cv::Size(320, 180);
  s.sphere.fov_deg = 65.0;
  s.sphere.direction = direction;
  s.sphere.turn_deg = turn_deg;
  s.sphere.pan_step_deg = step_deg;
  return s;
}

struct FacingCase {
  const char* name;
  double yaw, pitch;
  cv::Point frame_pixel;
  double longitude, latitude;  // what that pixel faces, degrees
};

// A full-sphere "photo" of 720x360 whose every pixel holds its own
// coordinates: a frame drawn from it shows where each of its pixels looked.
TEST(SphereCameraTest, FramesShowThePhotoPixelsTheyFace) {
  cv::Mat where(360, 720, CV_32FC3);
  where.forEach<cv::Vec3f>([](cv::Vec3f& value, const int* at) { value = {float(at[1]), float(at[0]), 0.0f}; });
  // 321x181 frames across 90 degrees: the focal length is 160.5 and pixel
  // (160, 90) lies on the optical axis.
  const double to_right_edge = degrees(std::atan(160 / 160.5)), to_top_edge = degrees(std::atan(90 / 160.5));
  const FacingCase cases[] = {
      {"ahead", 0, 0, {160, 90}, 0, 0},
      {"turned right", 90, 0, {160, 90}, 90, 0},
      {"turned right, the frame's right edge", 90, 0, {320, 90}, 90 + to_right_edge, 0},
      {"behind, to the left", -135, 0, {160, 90}, -135, 0},
      {"up", 0, 30, {160, 90}, 0, 30},
      {"up, the frame's top edge", 0, 30, {160, 0}, 0, 30 + to_top_edge},
      {"down and right", 60, -45, {160, 90}, 60, -45},
  };
  for (const FacingCase& c : cases) {
    SCOPED_TRACE(c.name);
    SweepSettings s = sphere_sweep(TurnDirection::right, 0.0, 1.0);
    s.sphere.frame = cv::Size(321, 181);
    s.sphere.fov_deg = 90.0;
    s.sphere.yaw_deg = c.yaw;
    s.sphere.pitch_deg = c.pitch;
    const std::vector<SweepFrame> sweep = zemb_tools::make_sweep(where, s);
    ASSERT_EQ(sweep.size(), 1u);
    EXPECT_NEAR(sweep[0].focal, 160.5, 1e-9);
    const cv::Vec3f seen = sweep[0].camera_frame.at<cv::Vec3f>(c.frame_pixel);
    EXPECT_NEAR(seen[0], (0.5 + c.longitude / 360) * 720 - 0.5, 0.05);  // 1/32 pixel: remap's own rounding
    EXPECT_NEAR(seen[1], (0.5 - c.latitude / 180) * 360 - 0.5, 0.05);
  }
}

struct RelationCase {
  const char* name;
  const char* photo;
  TurnDirection direction;
  double pitch, turn, step, wobble;
  size_t frames;
};

// Frame i carried into frame i + 1 by K * R(i + 1)^T * R(i) * K^-1, from the
// recorded rotations and focal length, shows what frame i + 1 shows: across
// the photo's left and right edges and over the zenith too.
TEST(SphereCameraTest, ConsecutiveFramesDifferByTheirRecordedTurn) {
  const RelationCase cases[] = {
      {"a steady pan right all round", "bma_park.jpg", TurnDirection::right, 0.0, 360.0, 30.0, 0.0, 13},
      {"an unsteady tilt up over the zenith", "office_ambientcg.jpg", TurnDirection::up, 30.0, 120.0, 15.0, 2.0, 9},
  };
  for (const RelationCase& c : cases) {
    SCOPED_TRACE(c.name);
    const cv::Mat photo = full_sphere(c.photo, cv::Size(1536, 768));
    ASSERT_FALSE(photo.empty()) << c.photo;
    SweepSettings s = sphere_sweep(c.direction, c.turn, c.step);
    s.sphere.pitch_deg = c.pitch;
    s.sphere.max_roll_deg = s.sphere.max_sway_deg = c.wobble;
    const std::vector<SweepFrame> sweep = zemb_tools::make_sweep(photo, s);
    ASSERT_EQ(sweep.size(), c.frames);
    const cv::Size frame = s.sphere.frame;
    const double f = sweep.front().focal;
    const cv::Matx33d k(f, 0, (frame.width - 1) / 2.0, 0, f, (frame.height - 1) / 2.0, 0, 0, 1);
    for (size_t i = 0; i + 1 < sweep.size(); ++i) {
      const cv::Matx33d relative = sweep[i + 1].rotation.t() * sweep[i].rotation;
      const auto [seen, mask] = carried(sweep[i].camera_frame, k * relative * k.inv(), frame);
      ASSERT_GT(cv::countNonZero(mask), static_cast<int>(frame.area() / 3)) << i;
      EXPECT_LT(mean_difference(seen, sweep[i + 1].camera_frame, mask), 1.0) << i;  // below 0.5
    }
    if (c.wobble > 0) continue;
    // A steady pan turns by the step about the vertical axis, toward +x.
    const double a = c.step * CV_PI / 180;
    const cv::Matx33d pan(std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a));
    for (size_t i = 0; i + 1 < sweep.size(); ++i)
      EXPECT_LT(cv::norm(sweep[i].rotation.t() * sweep[i + 1].rotation - pan), 1e-9) << i;
  }
}

// A full turn and a step more, to the left from near the photo's edge: the
// last two frames show what the first two did.
TEST(SphereCameraTest, AFullTurnComesBackToItsFirstFrames) {
  const cv::Mat photo = full_sphere("bma_park.jpg", cv::Size(1536, 768));
  ASSERT_FALSE(photo.empty());
  SweepSettings s = sphere_sweep(TurnDirection::left, 370.0, 10.0);
  s.sphere.yaw_deg = 170.0;
  const std::vector<SweepFrame> sweep = zemb_tools::make_sweep(photo, s);
  ASSERT_EQ(sweep.size(), 38u);
  EXPECT_DOUBLE_EQ(sweep.back().pan_deg, -200.0);
  const cv::Mat everywhere(sweep[0].camera_frame.size(), CV_8U, cv::Scalar(255));
  for (size_t i = 0; i < 2; ++i) {
    const cv::Mat& first = sweep[i].camera_frame;
    EXPECT_LT(mean_difference(sweep[36 + i].camera_frame, first, everywhere), 0.1) << i;
    EXPECT_GT(mean_difference(sweep[18 + i].camera_frame, first, everywhere), 10.0) << i;  // half a turn away
  }
}

}  // namespace

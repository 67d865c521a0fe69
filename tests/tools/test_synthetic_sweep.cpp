// The sweep maker's frames against their ground truth: what each frame shows
// must be the photo seen through its recorded homography, turning frames must
// differ by the camera's turn alone, and disturbances must hit the frames
// they name.
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

}  // namespace

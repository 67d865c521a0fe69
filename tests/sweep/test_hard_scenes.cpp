// The sweep where a scene gives tracking little or lies to it: content fixed
// in the frame (a logo, a timestamp), plain sea and sky, fits no camera makes
// in one frame step, and sweeps up and down.
#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sweep/overlay.h"
#include "sweep/tracking.h"
#include "test_support.h"
#include "zemb/sweep.h"

namespace {

using zemb_tools::SweepFrame;
using zemb_tools::SweepSettings;

// A random texture, the scene a camera slides over.
cv::Mat texture(cv::Size size) {
  cv::Mat scene(size, CV_8U);
  cv::RNG(3).fill(scene, cv::RNG::UNIFORM, 0, 255);
  cv::GaussianBlur(scene, scene, cv::Size(), 1.5);
  cv::normalize(scene, scene, 0, 255, cv::NORM_MINMAX);
  return scene;
}

TEST(OverlayFinder, FindsTheStillBadgeOfAMovingSceneAndNothingInAStillOne) {
  const cv::Mat scene = texture(cv::Size(600, 200));
  const cv::Rect badge(230, 20, 50, 24);
  zemb::OverlayOptions options;
  zemb::OverlayFinder moving(options), still(options);
  bool found = false;
  for (int i = 0; i < 20 && moving.learning(); ++i) {
    cv::Mat frame = scene(cv::Rect(3 * i, 0, 300, 200)).clone();
    frame(badge) = 230;
    cv::putText(frame, "TV", badge.tl() + cv::Point(8, 20), cv::FONT_HERSHEY_SIMPLEX, 0.7, cv::Scalar(20), 2);
    // Before the sweep starts frames may come in any size; one of another
    // size starts the count again rather than stopping the sweep.
    if (i == 2) {
      EXPECT_FALSE(moving.learn(scene(cv::Rect(0, 0, 150, 100))));
    }
    found = moving.learn(frame);
    still.learn(scene(cv::Rect(0, 0, 300, 200)));
  }
  ASSERT_TRUE(found);
  const cv::Mat& mask = moving.mask();
  // The badge's lettering and its edges are covered; the scene around is not.
  EXPECT_EQ(cv::countNonZero(mask(cv::Rect(240, 26, 30, 14))), 30 * 14);
  EXPECT_LT(cv::countNonZero(mask), 3 * badge.area());
  EXPECT_TRUE(still.mask().empty()) << "a still scene has no overlay to tell apart";
}

// A line the camera moves along, crossed by rungs of its own grey every few
// pixels (the frames of a facade's windows through the middle of a pan): its
// pixels keep their level and are corners in nearly every frame, yet the
// scene moves there; no overlay.
TEST(OverlayFinder, TakesNoLadderTheCameraMovesAlongForAnOverlay) {
  cv::Mat scene = texture(cv::Size(300, 500));
  scene(cv::Rect(120, 0, 60, 500)) = 200;
  scene(cv::Rect(148, 0, 4, 500)) = 30;
  for (int y = 0; y < 500; y += 7) scene(cv::Rect(120, y, 60, 3)) = 30;
  zemb::OverlayFinder finder{zemb::OverlayOptions()};
  for (int i = 0; i < 40 && finder.learning(); ++i) finder.learn(scene(cv::Rect(0, 5 * i, 300, 200)));
  EXPECT_TRUE(finder.mask().empty()) << cv::countNonZero(finder.mask()) << " pixels taken for an overlay" << (finder.mask().empty() ? cv::Rect() : cv::boundingRect(finder.mask()));
}

TEST(StepPlausibility, RefusesWhatNoCameraDoesInOneFrameStepAndSpotsALineOfInliers) {
  const zemb::TrackingOptions options;
  const cv::Size size(500, 281);
  const double focal = 400;
  const cv::Matx33d k(focal, 0, 250, 0, focal, 140, 0, 0, 1);
  const double turn = 15 * CV_PI / 180;  // a fast pan
  const cv::Matx33d pan = k * cv::Matx33d(std::cos(turn), 0, std::sin(turn), 0, 1, 0, -std::sin(turn), 0,
                                          std::cos(turn)) * k.inv();
  EXPECT_TRUE(zemb::plausible_step(pan, size, options));
  EXPECT_TRUE(zemb::plausible_step(cv::Matx33d(1.1, 0, 5, 0, 1.1, -3, 0, 0, 1), size, options));
  EXPECT_FALSE(zemb::plausible_step(cv::Matx33d(1.5, 0, 0, 0, 1.5, 0, 0, 0, 1), size, options)) << "zoom";
  EXPECT_FALSE(zemb::plausible_step(cv::Matx33d(1, 0.4, 0, 0, 1, 0, 0, 0, 1), size, options)) << "shear";
  EXPECT_FALSE(zemb::plausible_step(cv::Matx33d(-1, 0, 500, 0, 1, 0, 0, 0, 1), size, options)) << "fold";
  EXPECT_FALSE(zemb::plausible_step(cv::Matx33d(1, 0, 0, 0, 1, 0, 0.002, 0, 1), size, options)) << "perspective";

  std::vector<cv::Point2f> line, spread;
  for (int i = 0; i < 40; ++i) {
    line.emplace_back(10.0f + 12 * i, 140.0f + (i % 3));
    spread.emplace_back(10.0f + 60 * (i % 8), 20.0f + 50 * (i / 8));
  }
  const auto fitted = [&](const std::vector<cv::Point2f>& points) {
    std::vector<cv::Point2f> moved;
    for (const cv::Point2f& p : points) moved.push_back(p + cv::Point2f(4, 0));
    return zemb::fit_relative(moved, points, zemb::Scene::kTurning, options);
  };
  EXPECT_FALSE(zemb::well_conditioned(fitted(line), size, options)) << "a horizon's points";
  EXPECT_TRUE(zemb::well_conditioned(fitted(spread), size, options));
}

// The length of a flat sweep's live plane along the sweep, against the
// truth: frames toward their top edge go up the plane.
double plane_length(const zemb::Sweep& sweep) {
  const std::vector<zemb::Keyframe>& keyframes = sweep.keyframes();
  const auto top_of = [](const zemb::Keyframe& k) { return zemb::project({{0.0f, 0.0f}}, k.placement)[0].y; };
  return top_of(keyframes.front()) - top_of(keyframes.back());
}

double truth_length(const std::vector<SweepFrame>& frames, const zemb::Sweep& sweep, double working_per_photo) {
  const SweepFrame& last = frames[std::size_t(sweep.keyframes().back().frame_index)];
  return (last.origin.x - frames.front().origin.x) * working_per_photo;
}

struct Placed {
  int placed = 0, kept = 0;
};

Placed add_all(zemb::Sweep& sweep, const std::vector<SweepFrame>& frames) {
  Placed placed;
  for (const SweepFrame& f : frames) {
    const zemb::FrameStatus status = sweep.add(f.camera_frame);
    placed.placed += status.placed() ? 1 : 0;
    placed.kept += status.kept_motion ? 1 : 0;
  }
  return placed;
}

TEST(SweepWithOverlay, KeepsALogoAndATimestampOutOfTrackingAndTheRender) {
  // A lake under an evening sky, hills between: plain water and sky, where
  // the overlays' sharp lettering outweighs the scene.
  ZEMB_LOAD_PHOTO(photo, "eveningglow.jpg");
  cv::Mat scene;
  cv::resize(photo(cv::Rect(0, 0, photo.cols, photo.rows * 9 / 16)), scene, cv::Size(), 0.4, 0.4, cv::INTER_AREA);
  SweepSettings settings;
  settings.window = cv::Size(180, 320);
  settings.step = 6;
  settings.frames = 60;
  settings.overlays.logo = settings.overlays.timestamp = true;
  settings.overlays.frames_per_second = 10;
  const std::vector<SweepFrame> frames = zemb_tools::make_sweep(scene, settings);
  zemb::SweepOptions options;
  options.scene = zemb::Scene::kFlat;
  zemb::Sweep sweep("", options);
  const Placed placed = add_all(sweep, frames);
  EXPECT_GE(placed.placed, 0.9 * frames.size());
  const zemb::SweepRecord record = sweep.record();
  ASSERT_FALSE(record.overlay.empty());
  const cv::Size kept = record.keyframes.front().image_size;
  // The logo's corner (top right) and the timestamp's (bottom left) are
  // covered; the middle of the frame is not.
  EXPECT_GT(cv::countNonZero(record.overlay(cv::Rect(kept.width * 5 / 6, 0, kept.width / 6, kept.height / 10))), 0);
  EXPECT_GT(cv::countNonZero(record.overlay(cv::Rect(0, kept.height * 9 / 10, kept.width / 4, kept.height / 10))),
            0);
  EXPECT_EQ(cv::countNonZero(record.overlay(cv::Rect(kept.width / 3, kept.height / 3, kept.width / 3,
                                                     kept.height / 3))),
            0);
  // Frames of 320 x 180 are worked at their own size.
  const double truth = truth_length(frames, sweep, 1.0);
  EXPECT_NEAR(plane_length(sweep), truth, 0.05 * truth);
}

TEST(SweepOverSeaAndSky, KeepsTheMotionWhereThereIsNothingToFitAndPlacesEveryFrame) {
  SweepSettings settings;
  settings.window = cv::Size(360, 640);
  settings.step = 12;
  settings.frames = 60;
  settings.effects.noise_sigma = 1.5;
  const std::vector<SweepFrame> frames = zemb_tools::make_sweep(zemb_tools::sea_and_sky(cv::Size(1400, 700)),
                                                                settings);
  zemb::SweepOptions options;
  options.scene = zemb::Scene::kFlat;
  zemb::Sweep sweep("", options);
  const Placed placed = add_all(sweep, frames);
  EXPECT_GE(placed.placed, 0.9 * frames.size());
  const double working_per_photo = 500.0 / 640.0;
  const double truth = truth_length(frames, sweep, working_per_photo);
  EXPECT_NEAR(plane_length(sweep), truth, 0.15 * truth) << placed.kept << " frames kept the motion";
}

TEST(SweepUpAndDown, PlacesATiltAndRendersItOnALyingCylinder) {
  const cv::Mat sphere = cv::imread(std::string(ZEMB_SOURCE_DIR) + "/data/equirect/bma_park.jpg", cv::IMREAD_COLOR);
  ASSERT_FALSE(sphere.empty());
  SweepSettings settings;
  settings.camera = zemb_tools::SweepCamera::sphere;
  settings.sphere.frame = cv::Size(480, 270);
  settings.sphere.direction = zemb_tools::TurnDirection::up;
  settings.sphere.pitch_deg = -40;
  settings.sphere.pan_step_deg = 3;
  settings.sphere.turn_deg = 100;
  const std::vector<SweepFrame> frames = zemb_tools::make_sweep(sphere, settings);
  zemb::Sweep sweep("");
  const Placed placed = add_all(sweep, frames);
  EXPECT_GE(placed.placed, 0.9 * frames.size());
  const zemb::SweepRecord record = sweep.record();
  EXPECT_EQ(record.direction, zemb::Direction::kUp);
  const zemb::FinishedPanorama finished = sweep.finish();
  // 100 degrees up, 65 across: a tall strip, upright.
  EXPECT_GT(finished.panorama.rows, 1.4 * finished.panorama.cols);
}

}  // namespace

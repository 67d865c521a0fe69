// The sweep on real-photo sweeps: what it keeps that the fixed stitcher
// loses, where recovered frames go, what it records, and what it refuses.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "long_sweep.h"
#include "scenes.h"
#include "shared/steps.h"
#include "sweep/kept_images.h"
#include "truth_fit.h"
#include "test_support.h"
#include "zemb/sweep.h"
#include "zemb_stitcher.h"

namespace {

using zemb::FrameOutcome;
using zemb_tools::SweepFrame;
using zemb_tools::SweepSettings;

std::vector<SweepFrame> slide_sweep(const cv::Mat& small, const std::function<void(SweepSettings&)>& change) {
  SweepSettings settings;
  settings.window = cv::Size(360, 640);
  settings.step = 24;
  settings.frames = 30;
  settings.max_rotation_deg = 0.3;
  settings.max_jitter = 6;
  change(settings);
  return zemb_tools::make_sweep(small, settings);
}

int placed_by_fixed_path(const std::vector<SweepFrame>& frames) {
  ZembStitcher stitcher("");
  int placed = 0;
  for (const SweepFrame& f : frames) {
    cv::Mat frame = f.camera_frame.clone();
    placed += stitcher.ofcheck_stitch(frame) >= stitcher.min_keypoints ? 1 : 0;
  }
  return placed;
}

std::vector<zemb::FrameStatus> add_all(zemb::Sweep& sweep, const std::vector<SweepFrame>& frames) {
  std::vector<zemb::FrameStatus> statuses;
  for (const SweepFrame& f : frames) statuses.push_back(sweep.add(f.camera_frame));
  return statuses;
}

// Where a flat keyframe's kept image starts on the live plane, against the
// first. The slide's frames go toward their top edge: up the plane.
double canvas_offset(const zemb::Sweep& sweep, int keyframe) {
  const std::vector<cv::Point2f> origin{{0.0f, 0.0f}};
  return zemb::project(origin, sweep.keyframes()[0].placement)[0].y -
         zemb::project(origin, sweep.keyframes()[keyframe].placement)[0].y;
}

class SweepOnPhoto : public ::testing::Test {
 protected:
  void SetUp() override {
    ZEMB_LOAD_PHOTO(photo, "life.jpg");
    small_ = zemb_test::small_photo(photo);
  }
  cv::Mat small_;
};

TEST_F(SweepOnPhoto, KeepsTheFramesOfASoftSceneThatTheFixedPathLoses) {
  const auto frames = slide_sweep(small_, [](SweepSettings& s) { s.effects.blur_sigma = 3.0; });
  zemb::Sweep sweep("");
  int placed = 0;
  for (const zemb::FrameStatus& status : add_all(sweep, frames)) placed += status.placed() ? 1 : 0;
  EXPECT_GE(placed, static_cast<int>(frames.size()) * 95 / 100);
  EXPECT_LT(placed_by_fixed_path(frames), placed / 2) << "the sweep was meant to be soft";
  EXPECT_EQ(sweep.counts().count(FrameOutcome::kAccepted), placed);
}

TEST_F(SweepOnPhoto, RecoversAfterAGapAndADarkRunAndPlacesTheFramesWhereTheyBelong) {
  // 10 frames of 24 px dropped: the scene jumps by two thirds of a 360-px frame.
  const auto frames = slide_sweep(small_, [](SweepSettings& s) {
    s.disturbances.dropped = {{10, 10}};
    s.disturbances.dark = {{26, 3}};
  });
  zemb::SweepOptions options;
  options.scene = zemb::Scene::kFlat;
  options.recovery.time_budget = zemb::RecoveryOptions::kMostTimeBudget;  // every attempt, whatever the machine's speed
  zemb::Sweep sweep("", options);
  const std::vector<zemb::FrameStatus> statuses = add_all(sweep, frames);
  const int gap_end = 10, dark_end = 26 - 10 + 3;
  EXPECT_EQ(statuses[gap_end].outcome, FrameOutcome::kRelocalised);
  for (size_t i = 0; i < frames.size(); ++i) {
    const bool dark = frames[i].state == zemb_tools::FrameState::dark;
    EXPECT_EQ(statuses[i].placed(), !dark) << "frame " << i << ": " << zemb::outcome_name(statuses[i].outcome);
  }
  EXPECT_TRUE(statuses[dark_end].placed());
  // The live plane is in working pixels: 500 for the window's 640 photo rows.
  const double working_per_photo = 500.0 / 640.0;
  for (size_t k = 1; k < sweep.keyframes().size(); ++k) {
    const SweepFrame& truth = frames[sweep.keyframes()[k].frame_index];
    const double expected = (truth.origin.x - frames[0].origin.x) * working_per_photo;
    EXPECT_NEAR(canvas_offset(sweep, static_cast<int>(k)), expected, 6.0) << "keyframe " << k;
  }
  const double true_length = (frames.back().origin.x - frames[0].origin.x + 360.0) * working_per_photo;
  EXPECT_GE(sweep.preview().rows, 0.9 * true_length);
}

TEST_F(SweepOnPhoto, RefusesAnotherSceneAndBadFramesWithoutChangingAnything) {
  const auto frames = slide_sweep(small_, [](SweepSettings& s) { s.frames = 4; });
  zemb::Sweep sweep("");
  add_all(sweep, frames);
  const cv::Mat preview = sweep.preview().clone();
  const zemb::SweepCounts before = sweep.counts();
  // Another photo (a frame turned half round is the same scene, which
  // rotation-invariant descriptors rightly place).
  ZEMB_LOAD_PHOTO(elsewhere, "eveningglow.jpg");
  cv::Mat other;
  cv::resize(elsewhere(cv::Rect(0, 0, elsewhere.cols / 2, elsewhere.rows / 2)), other, frames[3].camera_frame.size());
  cv::randu(other(cv::Rect(0, 0, 640, 180)), 0, 255);
  EXPECT_EQ(sweep.add(other).outcome, FrameOutcome::kNotPlaceable);
  try {
    sweep.add(cv::Mat());
    ADD_FAILURE() << "an empty frame was taken";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.err.rfind("Sweep::add expects", 0), 0u) << "names the call the user made: " << e.err;
  }
  EXPECT_THROW(sweep.add(cv::Mat(360, 640, CV_8UC1, cv::Scalar(9))), cv::Exception);
  EXPECT_EQ(cv::norm(sweep.preview(), preview, cv::NORM_INF), 0.0);
  EXPECT_EQ(sweep.counts().frames, before.frames + 1);
  EXPECT_EQ(sweep.counts().keyframes, before.keyframes);
}

// The sweep spills into a folder of its own inside the directory it is
// given, and removes only that: whatever was there before stays.
TEST_F(SweepOnPhoto, SpillsIntoAFolderOfItsOwnAndLeavesEverythingElseAlone) {
  namespace fs = std::filesystem;
  const auto frames = slide_sweep(small_, [](SweepSettings& s) { s.frames = 12; });
  zemb::SweepOptions options;
  options.memory.budget_bytes = 1;  // every image goes to disk
  const fs::path parent = fs::path(::testing::TempDir()) / "zemb_sweep_parent";
  fs::create_directories(parent / "album");
  std::ofstream(parent / "photo.jpg") << "a user's file";
  std::ofstream(parent / "album" / "more.jpg") << "another";
  for (const std::string& directory : {parent.string(), std::string("/proc/zemb_unwritable")}) {
    zemb::Sweep moved_from(directory, options);
    add_all(moved_from, frames);
    zemb::Sweep sweep = std::move(moved_from);
    const zemb::SweepCounts& counts = sweep.counts();
    ASSERT_GE(counts.keyframes, 3);
    const bool writable = directory == parent.string();
    EXPECT_EQ(counts.spilled, writable ? counts.keyframes : 0) << directory;
    EXPECT_EQ(counts.spill_failures, writable ? 0 : counts.keyframes) << directory;
    EXPECT_EQ(fs::path(sweep.working_directory()).parent_path(), writable ? parent : fs::path());
    for (int k = 0; k < counts.keyframes; ++k) {
      const cv::Mat& frame = frames[sweep.keyframes()[k].frame_index].camera_frame;
      const cv::Mat expected = zemb::keyframe_image_from(frame, options.memory);
      EXPECT_EQ(cv::norm(sweep.keyframe_image(k), expected, cv::NORM_INF), 0.0) << directory << " keyframe " << k;
    }
    EXPECT_TRUE(sweep.finish().report.size.area() > 0) << "spilled images render after a move";
    const std::string own = sweep.working_directory();
    sweep.remove_working_directory();
    if (writable) {
      EXPECT_FALSE(fs::exists(own));
      EXPECT_THROW(sweep.keyframe_image(0), cv::Exception) << "said so in the header";
    }
  }
  {
    zemb::Sweep destroyed(parent.string(), options);
    add_all(destroyed, frames);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(parent), fs::directory_iterator()), 2) << "only the user's entries";
  EXPECT_TRUE(fs::exists(parent / "photo.jpg"));
  EXPECT_TRUE(fs::exists(parent / "album" / "more.jpg"));
  fs::remove_all(parent);
}

// A failure in any parallel step of a keyframe's road (preparation, flow,
// the kept image, the links, the preview's placement) leaves the sweep as
// it was; the same frame then goes on.
TEST_F(SweepOnPhoto, FailureInAnyParallelStepLeavesTheSweepAsItWas) {
  const auto frames = slide_sweep(small_, [](SweepSettings& s) { s.frames = 12; });
  zemb::Sweep sweep("");
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(sweep.add(frames[i].camera_frame).placed());
  const int threads = cv::getNumThreads();
  for (int failing_call = 0;; ++failing_call) {
    const cv::Mat preview = sweep.preview().clone();
    const zemb::SweepCounts counts = sweep.counts();
    const size_t links = sweep.links().size();
    cv::setNumThreads(2);
    cv::parallel::setParallelForBackend(std::make_shared<zemb_test::FailingParallelLoops>(failing_call));
    zemb::FrameStatus status;
    bool failed = false;
    try {
      status = sweep.add(frames[11].camera_frame);
    } catch (const cv::Exception&) {
      failed = true;
    }
    cv::parallel::setParallelForBackend(std::shared_ptr<cv::parallel::ParallelForAPI>());
    cv::setNumThreads(threads);
    if (!failed) {
      EXPECT_GE(status.keyframe, 0);
      EXPECT_GE(failing_call, 6) << "the keyframe's parallel steps were reached";
      break;
    }
    SCOPED_TRACE(failing_call);
    ASSERT_EQ(sweep.preview().size(), preview.size());
    EXPECT_EQ(cv::norm(sweep.preview(), preview, cv::NORM_INF), 0.0);
    EXPECT_EQ(sweep.counts().frames, counts.frames);
    EXPECT_EQ(sweep.counts().keyframes, counts.keyframes);
    EXPECT_EQ(sweep.links().size(), links);
  }
}

bool same_links(const std::vector<zemb::KeyframeLink>& a, const std::vector<zemb::KeyframeLink>& b) {
  const auto same = [](const zemb::KeyframeLink& x, const zemb::KeyframeLink& y) {
    return x.from == y.from && x.to == y.to && x.from_points == y.from_points && x.to_points == y.to_points;
  };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), same);
}

// Links are found when first asked for, by whichever const call asks first:
// two threads reading one sweep at once read what a sweep read alone gives.
TEST_F(SweepOnPhoto, TwoThreadsReadingOneSweepAgreeWithOneReader) {
  const auto frames = slide_sweep(small_, [](SweepSettings& s) { s.frames = 20; });
  zemb::Sweep alone(""), shared("");
  add_all(alone, frames);
  add_all(shared, frames);
  const zemb::SweepRecord expected = alone.record();
  ASSERT_GE(expected.links.size(), 4u);
  const zemb::Sweep& reader = shared;
  std::vector<zemb::KeyframeLink> links[2], recorded[2];
  std::thread other([&] {
    links[1] = reader.links();  // one thread asks for the links first,
    recorded[1] = reader.record().links;
  });
  recorded[0] = reader.record().links;  // the other for the record
  links[0] = reader.links();
  other.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(same_links(links[i], alone.links())) << "thread " << i;
    EXPECT_TRUE(same_links(recorded[i], expected.links)) << "thread " << i;
  }
}

// The frames of a camera turning `turn_deg` inside the park's full-sphere
// photo, 5 degrees a frame, through a 50-degree lens (the sweep's hint says
// 65: it finds the lens itself); with a logo and a timestamp burned in when
// `overlays`. None when the photo cannot be read.
std::vector<SweepFrame> park_turn(double turn_deg, bool overlays) {
  const cv::Mat sphere = cv::imread(std::string(ZEMB_SOURCE_DIR) + "/data/equirect/bma_park.jpg", cv::IMREAD_COLOR);
  if (sphere.empty()) return {};
  SweepSettings settings;
  settings.camera = zemb_tools::SweepCamera::sphere;
  settings.sphere.frame = cv::Size(640, 360);
  settings.sphere.fov_deg = 50.0;
  settings.sphere.pan_step_deg = 5.0;
  settings.sphere.turn_deg = turn_deg;
  settings.overlays.logo = settings.overlays.timestamp = overlays;
  return zemb_tools::make_sweep(sphere, settings);
}

// Links found early, asked for while the sweep goes on or found on the
// sweep's own thread between frames (a loop that waits for its camera), are
// found again when the keyframes they were found on change: when a turn
// settles the focal length (poses) and when an overlay is found (points).
// The record is the one a sweep that links only when asked at the end gives.
TEST(SweepTurning, LinksFoundEarlyAreTheOnesTheFinishedSweepGives) {
  const std::vector<SweepFrame> frames = park_turn(100.0, true);
  ASSERT_FALSE(frames.empty());
  zemb::SweepOptions at_the_end;
  at_the_end.keyframes.link_while_sweeping = false;
  zemb::Sweep asked(""), left(""), unhurried("", at_the_end);
  for (const SweepFrame& f : frames) {
    asked.add(f.camera_frame);
    left.add(f.camera_frame);
    unhurried.add(f.camera_frame);
    asked.links();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_FALSE(unhurried.record().overlay.empty()) << "the overlay is found";
  ASSERT_GE(unhurried.links().size(), 4u);
  for (const zemb::Sweep* sweep : {&asked, &left}) {
    EXPECT_TRUE(same_links(sweep->links(), unhurried.links()));
    EXPECT_TRUE(same_links(sweep->record().links, unhurried.record().links));
  }
}

// The same slide given as a camera pans right, left, up or down: every
// frame is kept, the live canvas grows along the way the camera went, and
// the scene comes out upright (the first frame's top-left corner stays its
// top-left corner on the canvas).
TEST_F(SweepOnPhoto, FollowsAPanInAnyDirectionAndKeepsTheSceneUpright) {
  const auto frames = slide_sweep(small_, [](SweepSettings& s) { s.frames = 30; });
  const struct {
    int turn;  // cv::rotate code applied to every frame, or -1
    bool grows_across_columns;
  } ways[] = {{-1, false}, {cv::ROTATE_180, false}, {cv::ROTATE_90_CLOCKWISE, true},
              {cv::ROTATE_90_COUNTERCLOCKWISE, true}};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.turn);
    for (zemb::Scene scene : {zemb::Scene::kTurning, zemb::Scene::kFlat}) {
      zemb::SweepOptions options;
      options.scene = scene;
      zemb::Sweep sweep("", options);
      for (const SweepFrame& f : frames) {
        cv::Mat frame = f.camera_frame;
        if (way.turn >= 0) cv::rotate(f.camera_frame, frame, way.turn);
        EXPECT_TRUE(sweep.add(frame).placed());
      }
      const cv::Size preview = sweep.preview().size();
      // 29 steps of 24 px and a frame of 360 along the way, 640 across.
      EXPECT_GT(way.grows_across_columns ? preview.width : preview.height,
                1.4 * (way.grows_across_columns ? preview.height : preview.width));
      const zemb::FinishedPanorama finished = sweep.finish();
      EXPECT_GT(finished.report.keyframes_used, 3);
    }
  }
}

// A pause: the same view again and again keeps tracking alive, and the
// sweep goes on from it.
TEST_F(SweepOnPhoto, APauseKeepsTrackingAlive) {
  const auto frames = slide_sweep(small_, [](SweepSettings& s) { s.frames = 10; });
  zemb::Sweep sweep("");
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(sweep.add(frames[std::size_t(i)].camera_frame).placed());
  for (int i = 0; i < 12; ++i) EXPECT_EQ(sweep.add(frames[4].camera_frame).outcome, FrameOutcome::kAccepted);
  for (std::size_t i = 5; i < frames.size(); ++i) EXPECT_EQ(sweep.add(frames[i].camera_frame).outcome, FrameOutcome::kAccepted);
}

// Frames no larger than the working size are the caller's own buffers: a
// capture loop reuses them, Python frees them. What the sweep shows must not
// change when the caller overwrites a frame it has returned.
TEST_F(SweepOnPhoto, KeepsNoHoldOnTheCallersFrames) {
  const auto frames = slide_sweep(small_, [](SweepSettings& s) {
    s.window = cv::Size(270, 480);
    s.step = 8;
    s.frames = 12;
  });
  zemb::Sweep sweep("");
  cv::Mat buffer = frames[0].camera_frame.clone();
  ASSERT_TRUE(sweep.add(buffer).placed());
  const cv::Mat shown = sweep.preview().clone();
  buffer.setTo(cv::Scalar::all(0));
  for (std::size_t i = 1; i < frames.size(); ++i) {
    frames[i].camera_frame.copyTo(buffer);
    ASSERT_TRUE(sweep.add(buffer).placed());
    if (i == 1) {
      EXPECT_EQ(cv::norm(sweep.preview(), shown, cv::NORM_INF), 0.0) << "the sweep's way is not known yet";
    }
    buffer.setTo(cv::Scalar::all(0));
  }
  // The frames laid once the way was known are the photo's, not black.
  cv::Mat grey;
  cv::cvtColor(sweep.preview(), grey, cv::COLOR_BGR2GRAY);
  EXPECT_GT(cv::mean(grey, grey > 0)[0], 0.8 * cv::mean(small_)[0]);
}

// A camera turning a full circle inside a full-sphere photo comes round to
// where it began: every frame kept, the live cylinder one turn around at
// the lens's own focal length, and a link from its last keyframes to its
// first.
TEST(SweepFullTurn, ComesRoundToWhereItBegan) {
  const std::vector<SweepFrame> frames = park_turn(380.0, false);
  ASSERT_FALSE(frames.empty());
  zemb::Sweep sweep("");
  for (const SweepFrame& f : frames) EXPECT_TRUE(sweep.add(f.camera_frame).placed());
  // 50 degrees across 500 working columns: the cylinder is 2 pi f around.
  const double around = 2 * CV_PI * 250.0 / std::tan(25.0 * CV_PI / 180.0);
  EXPECT_NEAR(sweep.preview().cols, around, 0.05 * around);
  const int last = static_cast<int>(sweep.keyframes().size()) - 1;
  bool closed = false;
  for (const zemb::KeyframeLink& link : sweep.links()) closed |= link.from <= 1 && link.to >= last - 1;
  EXPECT_TRUE(closed) << "a link joins the end of the turn to its start";
}

// Drone photos of treetops and lawns, each a third of a frame on from the
// last: binary descriptors find too few matches among the leaves, and flow
// from a guess too few inliers; a photo set's time lets thorough descriptors
// place every photo, on either model.
TEST(SweepOnPhotoSet, PlacesEveryDronePhotoOfTreetops) {
  std::vector<cv::Mat> photos;
  for (int i = 18; i < 22; ++i)
    photos.push_back(cv::imread(cv::format("%s/data/real/drone_nadir/DJI_%04d.jpg", ZEMB_SOURCE_DIR, i)));
  for (const zemb::Scene scene : {zemb::Scene::kFlat, zemb::Scene::kTurning}) {
    zemb::SweepOptions options;
    options.scene = scene;
    options.recovery.time_budget = zemb::RecoveryOptions::kMostTimeBudget;
    zemb::Sweep sweep("", options);
    for (const cv::Mat& photo : photos) {
      ASSERT_FALSE(photo.empty());
      EXPECT_TRUE(sweep.add(photo).placed()) << "scene " << int(scene);
    }
  }
}

// A facade: the same window every 130 px. Flow may slide a group of points
// one window along, and a homography explains such a group perfectly well;
// the keyframe links must still pair each point with its own partner.
TEST(SweepOnAFacade, LinksPairPointsWithTheirOwnPartners) {
  const cv::Mat facade = zemb_tools::periodic_facade(cv::Size(3200, 1200));
  const auto frames = slide_sweep(facade, [](SweepSettings& s) {
    s.window = cv::Size(540, 960);
    s.step = 36;
    s.frames = 60;
  });
  zemb::SweepOptions options;
  options.scene = zemb::Scene::kFlat;
  zemb::Sweep sweep("", options);
  add_all(sweep, frames);
  ASSERT_GT(sweep.links().size(), 20u);
  // Kept images are the camera frames, the windows turned toward their top
  // edge: a pair's shift along their rows is the windows' shift.
  for (const zemb::KeyframeLink& link : sweep.links()) {
    const double shift = frames[sweep.keyframes()[link.to].frame_index].origin.x -
                         frames[sweep.keyframes()[link.from].frame_index].origin.x;
    for (size_t i = 0; i < link.from_points.size(); ++i)
      ASSERT_NEAR(link.to_points[i].y - link.from_points[i].y, shift, 8.0) << link.from << "-" << link.to;
  }
}

// A camera turning 2 degrees a frame before `scene`, 25 frames of a 40-degree
// view, each rolled and pitched by up to half a degree.
std::vector<SweepFrame> turning_before(const cv::Mat& scene) {
  SweepSettings settings;
  settings.camera = zemb_tools::SweepCamera::turning;
  settings.window = cv::Size(360, 640);
  settings.frames = 25;
  settings.turning.fov_deg = 40;
  settings.turning.pan_step_deg = 2;
  settings.turning.max_roll_deg = settings.turning.max_pitch_deg = 0.5;
  return zemb_tools::make_sweep(scene, settings);
}

// How a sweep's finished panorama placed its keyframes against the sweep
// maker's ground truth, within `tolerance` panorama pixels.
zemb_tools::TruthFit finished_against_truth(const zemb::Sweep& sweep, const zemb::FinishedPanorama& finished,
                                            const std::vector<SweepFrame>& frames, double tolerance) {
  zemb_tools::KeyframePlaces places;
  for (const zemb::Keyframe& keyframe : sweep.record().keyframes) {
    const SweepFrame& frame = frames[std::size_t(keyframe.frame_index)];
    places.to_photo.push_back(
        zemb_tools::kept_to_photo(frame.photo_to_frame, keyframe.image_size, frame.camera_frame.cols));
    places.sizes.push_back(keyframe.image_size);
  }
  places.to_panorama = finished.report.placements;
  return zemb_tools::fit_to_truth(places, tolerance);
}

// Textures whose parts have twins (star-shaped plants repeated over moss, a
// facade's windows): descriptors matched at finish time pair twins, the live
// chain followed the motion and does not. A turning camera's finished
// panorama keeps every keyframe where the truth puts it, refined with
// rotations.
TEST(SweepOnRepeatingTexture, FinishedPanoramaKeepsEveryKeyframeWhereTheTruthPutsIt) {
  for (const zemb_tools::Texture texture : {zemb_tools::Texture::moss, zemb_tools::Texture::facade}) {
    SCOPED_TRACE(zemb_tools::texture_name(texture));
    const auto frames = turning_before(zemb_tools::repeating_texture(texture, cv::Size(1440, 960), cv::Mat()));
    zemb::SweepOptions options;
    options.render.surface = zemb::PanoramaSurface::kPlane;
    zemb::Sweep sweep("", options);
    add_all(sweep, frames);
    const zemb::FinishedPanorama finished = sweep.finish();
    EXPECT_EQ(finished.report.model, zemb::RenderModel::kRotation) << finished.report.fallback_message;
    const zemb_tools::TruthFit fit = finished_against_truth(sweep, finished, frames, 2.0);
    EXPECT_GT(fit.within, 0.95);
    EXPECT_NEAR(fit.length, 1.0, 0.02);
  }
}

// A long flat slide keeps its scale: the finished panorama is as long as
// the scene, every keyframe where the truth puts it.
TEST(SweepOnALongSlide, FinishedPanoramaKeepsTheScenesLength) {
  ZEMB_LOAD_PHOTO(life, "life.jpg");
  ZEMB_LOAD_PHOTO(path, "path.jpg");
  const cv::Mat strip = zemb_tools::photo_strip({life, path}, 700);
  const auto frames = slide_sweep(strip, [](SweepSettings& s) {
    s.step = 90;
    s.frames = 48;
  });
  zemb::SweepOptions options;
  options.scene = zemb::Scene::kFlat;
  zemb::Sweep sweep("", options);
  add_all(sweep, frames);
  const zemb::FinishedPanorama finished = sweep.finish();
  ASSERT_GT(sweep.keyframes().size(), 30u);
  EXPECT_EQ(finished.report.model, zemb::RenderModel::kSimilarity) << finished.report.fallback_message;
  const zemb_tools::TruthFit fit = finished_against_truth(sweep, finished, frames, 2.0);
  EXPECT_GT(fit.within, 0.95);
  EXPECT_NEAR(fit.length, 1.0, 0.01);
}

// A camera turning before the facade: every window has twins, yet the
// finished panorama is refined with rotations at the lens's own focal length,
// its correspondences within a pixel or two.
TEST(SweepOnAFacade, TurningCameraIsRefinedAtItsOwnFocalLength) {
  const auto frames = turning_before(zemb_tools::periodic_facade(cv::Size(1440, 960)));
  zemb::Sweep sweep("");
  add_all(sweep, frames);
  const zemb::FinishReport report = sweep.finish().report;
  EXPECT_EQ(report.model, zemb::RenderModel::kRotation) << report.fallback_message;
  const double focal = 180.0 / std::tan(20.0 * CV_PI / 180.0);  // 40 degrees across 360 columns
  EXPECT_NEAR(report.focal / focal, 1.0, 0.02);
  EXPECT_LT(report.residual_p90, 2.0);
}

}  // namespace

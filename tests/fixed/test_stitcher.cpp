#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <utility>

#include "fixed/fixed_path.h"
#include "test_support.h"

namespace {

using zemb_test::jittered_sweep;
using zemb_test::small_photo;

using zemb::translation;

// What a refused or failed call must leave alone, the panorama's pixels
// included; a stitcher left busy shows in `state`.
auto observable(const ZembStitcher& s) {
  return std::make_tuple(static_cast<const void*>(s.panorama.data), static_cast<const void*>(s.cropped.data),
                         s.crop_top, s.crop_bottom, s.crop_right, static_cast<const void*>(s.reference.gray.data),
                         s.reference.keypoints.size(), s.state);
}

struct Snapshot {
  explicit Snapshot(const ZembStitcher& s)
      : fields(observable(s)), pixels(s.panorama.clone()), homography(s.reference.homography.clone()) {}
  void expect_unchanged(const ZembStitcher& s) const {
    EXPECT_EQ(observable(s), fields);
    EXPECT_EQ(cv::norm(s.panorama, pixels, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(s.reference.homography, homography, cv::NORM_INF), 0.0);
  }
  decltype(observable(std::declval<ZembStitcher>())) fields;
  cv::Mat pixels, homography;
};

class StitcherOnPhoto : public ::testing::Test {
 protected:
  void SetUp() override {
    ZEMB_LOAD_PHOTO(photo, "life.jpg");
    small_ = small_photo(photo);
    for (const auto& frame : jittered_sweep(small_, kRotation)) frames_.push_back(frame.camera_frame);
  }
  // Each frame's right edge is straightened onto its inner corner, so a
  // rolled frame is narrowed a little and the narrowing adds up along the
  // sweep; small rolls keep the panorama true to the photo.
  static constexpr double kRotation = 0.2;
  int feed(ZembStitcher& s, const cv::Mat& frame) {
    cv::Mat copy = frame.clone();
    return s.ofcheck_stitch(copy);
  }
  cv::Mat small_;
  std::vector<cv::Mat> frames_;
};

TEST(StitcherLifecycle, EmptiesItsWorkingDirectoryAndRemovesItOnRequest) {
  namespace fs = std::filesystem;
  std::string scratch = (fs::temp_directory_path() / "zemb-stitcher-XXXXXX").string();
  ASSERT_NE(::mkdtemp(scratch.data()), nullptr);
  const fs::path work = fs::path(scratch) / "work", file = fs::path(scratch) / "file";
  fs::create_directories(work / "nested");
  std::ofstream(work / "nested" / "b.png") << "x";
  std::ofstream(file) << "x";

  ZembStitcher s(work.string());
  EXPECT_TRUE(fs::is_empty(work));
  s.remove_local_path();
  EXPECT_FALSE(fs::exists(work));
  s.remove_local_path();  // a second time: nothing to do
  ZembStitcher missing(work.string());
  EXPECT_FALSE(fs::exists(work)) << "a missing directory is not created";
  ZembStitcher(file.string()).remove_local_path();
  EXPECT_TRUE(fs::exists(file));
  fs::remove_all(scratch);
}

TEST_F(StitcherOnPhoto, SweepGrowsAPanoramaThatMatchesThePhoto) {
  ZembStitcher s("");
  int previous_cols = 0;
  float band_height = 1e9f;
  for (const cv::Mat& frame : frames_) {
    cv::Mat copy = frame.clone();
    const size_t tracked = s.reference.keypoints.size();
    const int result = s.ofcheck_stitch(copy);
    EXPECT_TRUE(copy.empty()) << "the caller's frame is released";
    ASSERT_GT(result, 0);
    EXPECT_TRUE(s.frame_count == 1 || size_t(result) <= tracked) << "no more than the reference's keypoints";
    EXPECT_GT(s.panorama.cols, previous_cols - 1);
    EXPECT_LE(s.crop_bottom - s.crop_top, band_height) << "the band only narrows";
    EXPECT_EQ(s.cropped.datastart, s.panorama.datastart) << "cropped is a view into panorama";
    EXPECT_EQ(s.cropped.size(), cv::Size(int(s.crop_right), int(s.crop_bottom - s.crop_top)));
    const zemb::FrameStatus status = zemb::last_status(s);
    EXPECT_EQ(status.outcome, zemb::FrameOutcome::kAccepted);
    EXPECT_EQ(status.count, result);
    EXPECT_EQ(cv::norm(status.placement, s.reference.homography, cv::NORM_INF), 0.0);
    EXPECT_LE(status.canvas_shift.x, s.panorama.cols - previous_cols + 1.0f) << "the canvas grew by the shift";
    previous_cols = s.panorama.cols;
    band_height = s.crop_bottom - s.crop_top;
  }
  EXPECT_GT(s.panorama.cols, 600);

  // The working frame is the window scaled by 500/640; the panorama is the
  // photo at that scale, placed where the first window was. Straightening
  // each frame's right edge onto its inner corner narrows the frames a little,
  // so positions far along the sweep fall short by a few percent.
  cv::Mat scaled;
  cv::resize(small_, scaled, cv::Size(), 500.0 / 640.0, 500.0 / 640.0, cv::INTER_AREA);
  const int first_top = (small_.rows - 640) / 2;
  for (int x : {60, 250, 450}) {
    const cv::Rect patch(x, int(s.crop_top) + 40, 80, 80);
    cv::Mat score;
    cv::matchTemplate(scaled, s.panorama(patch), score, cv::TM_CCOEFF_NORMED);
    double best = 0;
    cv::Point at;
    cv::minMaxLoc(score, nullptr, &best, nullptr, &at);
    EXPECT_GT(best, 0.8) << x;
    EXPECT_NEAR(at.x, patch.x, 4 + 0.04 * x) << x;
    EXPECT_NEAR(at.y, patch.y + first_top * 500.0 / 640.0, 8) << x;
  }
}

// A frame that throws is left as it came; a refused one changes nothing;
// either way the next frame tracks against the same reference.
TEST_F(StitcherOnPhoto, RefusedFramesLeaveEverythingAsItWas) {
  ZembStitcher s("");
  for (int i = 0; i < 4; ++i) ASSERT_GT(feed(s, frames_[i]), 0);
  const int kThrows = 1;
  const struct {
    const char* what;
    cv::Mat frame;
    cv::Mat homography;  // replaces the reference's when given
    int result;
  } cases[] = {
      {"backward", frames_[1], {}, zemb::kNotExtended},
      {"wild homography", frames_[3], (cv::Mat_<double>(3, 3) << 500, 0, 0, 0, 500, 0, 0, 0, 1), zemb::kNotPlaceable},
      {"mirrored", frames_[3], (cv::Mat_<double>(3, 3) << -1, 0, 1000, 0, 1, 0, 0, 0, 1), zemb::kNotPlaceable},
      {"vertical drift beyond the band", frames_[3], translation(s.panorama.cols - 200, 600), zemb::kNotPlaceable},
      {"empty", cv::Mat(), {}, kThrows},
      {"gray", cv::Mat(360, 640, CV_8UC1, cv::Scalar(9)), {}, kThrows},
      {"float", cv::Mat(360, 640, CV_32FC3), {}, kThrows},
      {"another size", frames_[1](cv::Rect(0, 0, 600, 360)).clone(), {}, kThrows},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const cv::Mat reference_homography = s.reference.homography.clone();
    if (!c.homography.empty()) s.reference.homography = c.homography;
    const Snapshot before(s);
    cv::Mat copy = c.frame;
    const zemb::FrameOutcome last = zemb::last_status(s).outcome;
    if (c.result == kThrows) {
      EXPECT_THROW(s.ofcheck_stitch(copy), cv::Exception);
      EXPECT_EQ(copy.data, c.frame.data) << "the frame is left as it came";
      EXPECT_EQ(zemb::last_status(s).outcome, last) << "a call that threw leaves the status";
    } else {
      EXPECT_EQ(feed(s, c.frame), c.result);
      EXPECT_EQ(zemb::last_status(s).outcome, c.result == zemb::kNotExtended ? zemb::FrameOutcome::kNotExtended
                                                                               : zemb::FrameOutcome::kNotPlaceable);
    }
    before.expect_unchanged(s);
    s.reference.homography = reference_homography;
  }
  EXPECT_GT(feed(s, frames_[4]), 0);
}

TEST_F(StitcherOnPhoto, BusyStitcherRefusesAndKeepsTheFrame) {
  ZembStitcher s("");
  s.state = 1;
  cv::Mat frame = frames_[0].clone();
  EXPECT_EQ(s.ofcheck_stitch(frame), 0);
  EXPECT_EQ(s.frame_count, 1);
  EXPECT_EQ(s.state, 1);
  EXPECT_EQ(cv::norm(frame, frames_[0], cv::NORM_INF), 0.0);
}

TEST_F(StitcherOnPhoto, FailureInAnyParallelStepLeavesTheStitcherAsItWasAndNotBusy) {
  ZembStitcher s("");
  for (int i = 0; i < 4; ++i) ASSERT_GT(feed(s, frames_[i]), 0);
  const int threads = cv::getNumThreads();
  for (int failing_call = 0;; ++failing_call) {
    const Snapshot before(s);
    cv::setNumThreads(2);
    cv::parallel::setParallelForBackend(std::make_shared<zemb_test::FailingParallelLoops>(failing_call));
    int result = 0;
    bool failed = false;
    try {
      result = feed(s, frames_[4]);
    } catch (const cv::Exception&) {
      failed = true;
    }
    cv::parallel::setParallelForBackend(std::shared_ptr<cv::parallel::ParallelForAPI>());
    cv::setNumThreads(threads);
    if (!failed) {
      EXPECT_GT(result, 0);
      EXPECT_GE(failing_call, 4) << "the placement's parallel steps were reached";
      break;
    }
    SCOPED_TRACE(failing_call);
    before.expect_unchanged(s);
  }
}

// A frame without keypoints neither starts the panorama nor keeps the next
// one from starting it; noise and a mirrored view are answered, not thrown.
TEST_F(StitcherOnPhoto, HostileFramesNeverWedgeTheStitcher) {
  ZembStitcher s("");
  EXPECT_EQ(feed(s, cv::Mat(360, 640, CV_8UC3, cv::Scalar::all(3))), 0);
  EXPECT_TRUE(s.panorama.empty());
  EXPECT_GE(feed(s, frames_[0]), 20);
  EXPECT_EQ(s.panorama.size(), cv::Size(281, 500));
  cv::Mat noise(360, 640, CV_8UC3), mirrored;
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(255));
  cv::flip(frames_[1], mirrored, 1);
  for (const cv::Mat& frame : {noise, mirrored}) EXPECT_NO_THROW(feed(s, frame));
  EXPECT_GT(feed(s, frames_[1]), 0);
}

// Hears of the steps of the frames fed while it watches.
class StepRecorder : public zemb::StepObserver {
 public:
  void ended(zemb::FixedStep step) override { steps.push_back(step); }
  void planned(const zemb::Geometry& geometry) override { patches.push_back(geometry.patch_rect); }
  std::vector<zemb::FixedStep> steps;
  std::vector<cv::Rect> patches;
};

// A watched stitcher is told of every step its frames take, in their order,
// and only while it is watched; it ends where an unwatched one does.
TEST_F(StitcherOnPhoto, WatchedStepsComeInOrderAndChangeNothing) {
  using Step = zemb::FixedStep;
  const std::vector<Step> tracked = {Step::kPrepare, Step::kDetect, Step::kFlow, Step::kFit, Step::kPlan};
  std::vector<Step> placed = tracked;
  placed.insert(placed.end(), {Step::kCompose, Step::kWarp, Step::kLay, Step::kCommit});
  const struct {
    const char* what;
    cv::Mat frame;
    std::vector<Step> steps;
  } cases[] = {
      {"the first frame starts the panorama", frames_[0], {Step::kPrepare, Step::kDetect, Step::kCommit}},
      {"a placed frame", frames_[1], placed},
      {"a backward frame, not extended", frames_[0], tracked},
      {"no keypoints", cv::Mat(360, 640, CV_8UC3, cv::Scalar::all(3)), {Step::kPrepare, Step::kDetect}},
  };
  ZembStitcher watched(""), alone("");
  StepRecorder recorder;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    recorder.steps.clear();
    {
      const zemb::ObservedSteps watching(recorder);
      feed(watched, c.frame);
    }
    EXPECT_EQ(recorder.steps, c.steps);
    feed(alone, c.frame);
  }
  ASSERT_EQ(recorder.patches.size(), 1u) << "one placement planned";
  EXPECT_EQ(recorder.patches[0].br().x, watched.panorama.cols);
  for (size_t i = 2; i < frames_.size(); ++i) EXPECT_EQ(feed(watched, frames_[i]), feed(alone, frames_[i]));
  EXPECT_EQ(recorder.steps.size(), 2u) << "unwatched frames are not heard of";
  EXPECT_EQ(cv::norm(watched.panorama, alone.panorama, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(watched.reference.homography, alone.reference.homography, cv::NORM_INF), 0.0);
}

TEST(TrackReference, SameFrameTwiceTracksEveryPointOntoItself) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  cv::Mat frame = zemb_test::small_photo(photo)(cv::Rect(100, 0, 640, 360)).clone();
  const zemb::PreparedFrame prepared = zemb::prepare_frame(frame, zemb::kFixedPath.preparation);
  stitch_data reference;
  reference.gray = prepared.gray;
  reference.keypoints = zemb::detect_keypoints(prepared.gray, *detector);
  ASSERT_GE(reference.keypoints.size(), 20u);
  const zemb::Tracking tracking = zemb::track_reference(reference, prepared, 20);
  EXPECT_EQ(tracking.tracked_count, static_cast<int>(reference.keypoints.size()));
  ASSERT_FALSE(tracking.homography.empty());
  EXPECT_LT(cv::norm(tracking.homography, cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 1e-3);
}

TEST(TrackReference, LeavesTheHomographyEmptyWhenNoModelFits) {
  cv::Mat frame(360, 640, CV_8UC3);
  cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(255));
  const zemb::PreparedFrame prepared = zemb::prepare_frame(frame, zemb::kFixedPath.preparation);
  stitch_data reference;
  reference.gray = prepared.gray;
  reference.keypoints.assign(30, cv::KeyPoint(50.0f, 50.0f, 7.0f));  // every point the same
  const zemb::Tracking tracking = zemb::track_reference(reference, prepared, 20);
  EXPECT_EQ(tracking.tracked_count, 30);
  EXPECT_TRUE(tracking.homography.empty());
  EXPECT_EQ(zemb::track_reference(reference, prepared, 31).tracked_count, 30) << "too few: no fit";
}

// A frame whose tracking image holds exactly `count` FAST keypoints: single
// white pixels on black, each a corner of its own, well apart.
cv::Mat dotted_frame(int count, int seed) {
  cv::Mat frame(200, 300, CV_8UC3, cv::Scalar::all(0));  // prepared as it is: turned, scale 1
  for (int i = 0; i < count; ++i)
    frame.at<cv::Vec3b>(12 + 16 * (i / 17), 12 + 16 * (i % 17) + seed % 3) = cv::Vec3b(255, 255, 255);
  return frame;
}

// The least count of keypoints and of tracked points is 20: 19 refused, 20
// taken, for each.
TEST(StitcherThreshold, NineteenKeypointsOrTrackedPointsAreRefusedAndTwentyTaken) {
  for (const int count : {19, 20}) {
    ZembStitcher s("");
    cv::Mat frame = dotted_frame(count, 0);
    EXPECT_EQ(s.ofcheck_stitch(frame), count);
    EXPECT_EQ(zemb::last_status(s).outcome,
              count < 20 ? zemb::FrameOutcome::kTooFewKeypoints : zemb::FrameOutcome::kAccepted);
    EXPECT_EQ(s.panorama.empty(), count < 20) << count << " keypoints";
  }
  for (const int tracked : {19, 20}) {
    ZembStitcher s("");
    s.min_keypoints = tracked;  // let a reference of `tracked` keypoints start the panorama
    cv::Mat first = dotted_frame(tracked, 0), second = dotted_frame(40, 1);
    ASSERT_EQ(s.ofcheck_stitch(first), tracked);
    s.min_keypoints = 20;
    const int result = s.ofcheck_stitch(second);
    const zemb::FrameOutcome outcome = zemb::last_status(s).outcome;
    if (tracked < 20) {
      EXPECT_EQ(result, tracked);
      EXPECT_EQ(outcome, zemb::FrameOutcome::kTooFewTracked);
    } else {
      EXPECT_NE(outcome, zemb::FrameOutcome::kTooFewTracked) << "20 tracked points go on to the fit";
    }
  }
}

}  // namespace

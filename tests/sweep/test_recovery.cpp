// Recovery's queue under a lost frame's time, and the turning camera's fit
// that a lost frame's mostly wrong pairs go through.
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "sweep/recovery.h"
#include "sweep/tracking.h"
#include "test_support.h"

namespace {

cv::Mat texture(std::uint64_t seed) {
  cv::RNG rng(seed);
  cv::Mat image(280, 500, CV_8UC3);
  rng.fill(image, cv::RNG::UNIFORM, 0, 255);
  cv::GaussianBlur(image, image, cv::Size(5, 5), 1.5);
  return image;
}

zemb::View view_of(const zemb::PreparedFrame& prepared) {
  std::vector<cv::KeyPoint> keypoints;
  cv::FAST(prepared.gray, keypoints, 20);
  const cv::Size size = prepared.working.size();
  return zemb::make_view(prepared, keypoints, zemb::first_pose(zemb::Scene::kTurning, 400, size), cv::Matx33d::eye(),
                         0);
}

// One view and travel along x: binary descriptors, correlation, thorough
// descriptors, then three coarse guesses. A blank frame, which no attempt
// places.
TEST(RecoveryQueue, ALostFrameMakesItsFirstAttemptAndLeavesWhatDoesNotFitToTheNext) {
  const zemb::SweepOptions options;
  zemb::Recovery recovery(zemb::Scene::kTurning, options.tracking, options.recovery);
  zemb::View reference = view_of(zemb::prepare_upright(texture(1), options.preparation));
  std::vector<zemb::View> keyframes;
  const zemb::PreparedFrame lost =
      zemb::prepare_upright(cv::Mat(280, 500, CV_8UC3, cv::Scalar::all(90)), options.preparation);
  const auto run = [&](double left, double whole) {
    EXPECT_FALSE(recovery.run(reference, keyframes, lost, {1, 0}, {left, whole}).found);
    return recovery.next_attempt();
  };
  EXPECT_EQ(run(0, 1), 1u) << "nothing left: the first attempt alone, the correlation left to the next frame";
  EXPECT_EQ(run(0, 1), 2u) << "the next lost frame starts with it";
  EXPECT_EQ(run(0, 0.1), 4u) << "the thorough attempt, beyond a video frame's whole budget, is passed over";
  EXPECT_EQ(run(1000, 1000), 10u) << "time for all: every attempt once";
  recovery.reset();
  EXPECT_EQ(recovery.next_attempt(), 0u);
}

// A frame's pairs under one homography, `wrong` of them elsewhere.
struct Pairs {
  std::vector<cv::Point2f> in_view, in_frame;
};

Pairs pairs_under(const cv::Matx33d& truth, int right, int wrong) {
  cv::RNG rng(7);
  Pairs pairs;
  for (int i = 0; i < right + wrong; ++i) {
    const cv::Point2f p(rng.uniform(0.f, 500.f), rng.uniform(0.f, 280.f));
    pairs.in_frame.push_back(p);
    std::vector<cv::Point2f> mapped;
    cv::perspectiveTransform(std::vector<cv::Point2f>{p}, mapped, cv::Matx33f(truth));
    const cv::Point2f noise(rng.uniform(-0.3f, 0.3f), rng.uniform(-0.3f, 0.3f));
    const cv::Point2f elsewhere(rng.uniform(0.f, 500.f), rng.uniform(0.f, 280.f));
    pairs.in_view.push_back(i < right ? mapped[0] + noise : elsewhere);
  }
  return pairs;
}

TEST(TurningFit, IsWhatTheWholeRansacFindsWhereMostPairsAreRightAndFindsTheFewAmongMany) {
  const zemb::TrackingOptions options;
  const cv::Matx33d truth(1.02, 0.01, -40, -0.01, 1.0, 6, 2e-5, 1e-5, 1);
  const Pairs mostly_right = pairs_under(truth, 270, 30);
  const zemb::Candidate fitted = zemb::fit_relative(mostly_right.in_view, mostly_right.in_frame,
                                                    zemb::Scene::kTurning, options);
  std::vector<uchar> mask;
  const cv::Mat whole = cv::findHomography(mostly_right.in_frame, mostly_right.in_view, cv::RANSAC,
                                           options.fit.ransac_threshold, mask, options.fit.ransac_iterations,
                                           options.fit.ransac_confidence);
  ASSERT_TRUE(fitted.found);
  EXPECT_EQ(cv::norm(cv::Mat(fitted.relative) - whole, cv::NORM_INF), 0.0) << "the same fit, bit for bit";
  EXPECT_EQ(fitted.inliers, cv::countNonZero(mask));

  const Pairs mostly_wrong = pairs_under(truth, 100, 300);
  const zemb::Candidate found = zemb::fit_relative(mostly_wrong.in_view, mostly_wrong.in_frame,
                                                   zemb::Scene::kTurning, options);
  ASSERT_TRUE(found.found);
  EXPECT_GE(found.inliers, 95);
  EXPECT_LE(found.inliers, 110) << "the wrong pairs are spread over the frame; few fall near the right place";
  for (const cv::Point2f corner :
       {cv::Point2f(0, 0), cv::Point2f(500, 0), cv::Point2f(0, 280), cv::Point2f(500, 280)}) {
    std::vector<cv::Point2f> by_fit, by_truth;
    cv::perspectiveTransform(std::vector<cv::Point2f>{corner}, by_fit, cv::Matx33f(found.relative));
    cv::perspectiveTransform(std::vector<cv::Point2f>{corner}, by_truth, cv::Matx33f(truth));
    EXPECT_LT(cv::norm(by_fit[0] - by_truth[0]), 1.5);
  }
}

}  // namespace

#include "shared/steps.h"
#include "test_support.h"

namespace {

cv::Mat textured(int rows, int cols, int type = CV_8UC3) {
  cv::Mat image(rows, cols, type);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(255));
  cv::GaussianBlur(image, image, cv::Size(5, 5), 1.5);
  return image;
}

TEST(PrepareFrame, ReducesTurnsClockwiseAndGraysAtTheTwoSizes) {
  struct Case {
    cv::Size camera, working, tracking;
    float scale;
  };
  const Case cases[] = {
      {{1920, 1080}, {281, 500}, {169, 300}, 300.0f / 500.0f},
      {{400, 300}, {300, 400}, {225, 300}, 0.75f},
      {{300, 200}, {200, 300}, {200, 300}, 1.0f},
  };
  for (const Case& c : cases) {
    cv::Mat frame = textured(c.camera.height, c.camera.width);
    const zemb::PreparedFrame prepared = zemb::prepare_frame(frame);
    EXPECT_EQ(prepared.working.size(), c.working) << c.camera;
    EXPECT_EQ(prepared.gray.size(), c.tracking) << c.camera;
    EXPECT_EQ(prepared.gray.type(), CV_8UC1);
    EXPECT_EQ(prepared.scale, c.scale) << c.camera;
  }
  cv::Mat frame(100, 200, CV_8UC3, cv::Scalar::all(0));
  frame.at<cv::Vec3b>(0, 0) = cv::Vec3b(255, 255, 255);
  const cv::Mat working = zemb::prepare_frame(frame).working;
  EXPECT_EQ(working.at<cv::Vec3b>(0, working.cols - 1), cv::Vec3b(255, 255, 255))
      << "turned clockwise: the camera's top edge becomes the right edge";
}

TEST(CheckFrame, NamesWhatWasExpectedAndWhatCame) {
  const auto message_of = [](const cv::Mat& frame, cv::Size expected) {
    try {
      zemb::check_frame(frame, expected);
    } catch (const cv::Exception& e) {
      EXPECT_EQ(e.code, cv::Error::StsBadArg);
      return e.err;
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message_of(textured(10, 20), {}), "accepted");
  EXPECT_EQ(message_of(textured(10, 20), {20, 10}), "accepted");
  EXPECT_NE(message_of(cv::Mat(), {}).find("an empty image"), std::string::npos);
  EXPECT_NE(message_of(textured(10, 20, CV_8UC1), {}).find("20x10 CV_8UC1"), std::string::npos);
  EXPECT_NE(message_of(cv::Mat(10, 20, CV_32FC3), {}).find("CV_32FC3"), std::string::npos);
  EXPECT_NE(message_of(textured(10, 21), {20, 10}).find("size 20x10, got 21x10"), std::string::npos);
  EXPECT_NE(message_of(textured(11, 20), {20, 10}).find("size 20x10, got 20x11"), std::string::npos);
}

TEST(TrackReference, SameFrameTwiceTracksEveryPointOntoItself) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  cv::Mat frame = zemb_test::small_photo(photo)(cv::Rect(100, 0, 640, 360)).clone();
  const zemb::PreparedFrame prepared = zemb::prepare_frame(frame);
  stitch_data reference;
  reference.gray = prepared.gray;
  reference.keypoints = zemb::detect_keypoints(prepared.gray);
  ASSERT_GE(reference.keypoints.size(), 20u);
  const zemb::Tracking tracking = zemb::track_reference(reference, prepared, 20);
  EXPECT_EQ(tracking.tracked_count, static_cast<int>(reference.keypoints.size()));
  ASSERT_FALSE(tracking.homography.empty());
  EXPECT_LT(cv::norm(tracking.homography, cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 1e-3);
}

TEST(TrackReference, LeavesTheHomographyEmptyWhenNoModelFits) {
  cv::Mat frame = textured(360, 640);
  const zemb::PreparedFrame prepared = zemb::prepare_frame(frame);
  stitch_data reference;
  reference.gray = prepared.gray;
  reference.keypoints.assign(30, cv::KeyPoint(50.0f, 50.0f, 7.0f));  // every point the same
  const zemb::Tracking tracking = zemb::track_reference(reference, prepared, 20);
  EXPECT_EQ(tracking.tracked_count, 30);
  EXPECT_TRUE(tracking.homography.empty());
  EXPECT_EQ(zemb::track_reference(reference, prepared, 31).tracked_count, 30) << "too few: no fit";
}

}  // namespace

#include "fixed/settings.h"
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
    const zemb::PreparedFrame prepared = zemb::prepare_frame(frame, zemb::kFixedPath.preparation);
    EXPECT_EQ(prepared.working.size(), c.working) << c.camera;
    EXPECT_EQ(prepared.gray.size(), c.tracking) << c.camera;
    EXPECT_EQ(prepared.gray.type(), CV_8UC1);
    EXPECT_EQ(prepared.scale, c.scale) << c.camera;
  }
  cv::Mat frame(100, 200, CV_8UC3, cv::Scalar::all(0));
  frame.at<cv::Vec3b>(0, 0) = cv::Vec3b(255, 255, 255);
  const cv::Mat working = zemb::prepare_frame(frame, zemb::kFixedPath.preparation).working;
  EXPECT_EQ(working.at<cv::Vec3b>(0, working.cols - 1), cv::Vec3b(255, 255, 255))
      << "turned clockwise: the camera's top edge becomes the right edge";
}

TEST(CheckFrame, NamesWhatWasExpectedAndWhatCame) {
  const auto message_of = [](const cv::Mat& frame, cv::Size expected) {
    try {
      zemb::check_frame(frame, expected, "ofcheck_stitch");
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
  EXPECT_EQ(message_of(cv::Mat(), {}).rfind("ofcheck_stitch expects", 0), 0u) << "names the caller's call";
}

}  // namespace

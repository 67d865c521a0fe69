#include "shared/steps.h"
#include "test_support.h"

namespace {

cv::Mat textured(int rows, int cols, int type = CV_8UC3) {
  cv::Mat image(rows, cols, type);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(255));
  cv::GaussianBlur(image, image, cv::Size(5, 5), 1.5);
  return image;
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

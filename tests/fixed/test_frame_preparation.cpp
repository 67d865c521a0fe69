#include <functional>

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include "fixed/steps.h"
#include "zemb_stitcher.h"

namespace {

cv::Mat patterned(int rows, int cols, int type) {
  cv::Mat image(rows, cols, type);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(255));
  return image;
}

using Reducer = std::function<float(cv::Mat&, cv::Mat&)>;

Reducer image_to(int target, int by_cols) {
  return [=](cv::Mat& src, cv::Mat& dst) { return image_resize(src, dst, target, by_cols); };
}

float transformed(cv::Mat& src, cv::Mat& dst) {
  cv::UMat in = src.getUMat(cv::ACCESS_READ), out;
  const float factor = frame_transform(in, out);
  out.copyTo(dst);
  return factor;
}

// Only a larger side is reduced; frame_resize and frame_transform bound the
// rows at 300, and frame_transform grays three channels only.
TEST(FramePreparation, ReducesToTheBoundWithItsFactor) {
  const struct {
    Reducer reduce;
    cv::Size source;
    int type;
    float factor;
    cv::Size reduced;
    int reduced_type;
  } cases[] = {
      {image_to(500, 1), {1280, 720}, CV_8UC3, 0.390625f, {500, 281}, CV_8UC3},
      {image_to(300, 0), {720, 1280}, CV_8UC3, 0.234375f, {169, 300}, CV_8UC3},
      {image_to(300, 0), {281, 500}, CV_8UC3, 300.0f / 500.0f, {169, 300}, CV_8UC3},
      {image_to(300, 0), {2000, 200}, CV_8UC3, 1.0f, {2000, 200}, CV_8UC3},
      {image_to(500, 1), {500, 281}, CV_8UC3, 1.0f, {500, 281}, CV_8UC3},
      {frame_resize, {1920, 1080}, CV_8UC3, 300.0f / 1080.0f, {533, 300}, CV_8UC3},
      {transformed, {1920, 1080}, CV_8UC3, 300.0f / 1080.0f, {533, 300}, CV_8UC1},
      {transformed, {800, 600}, CV_8UC4, 0.5f, {400, 300}, CV_8UC4},
  };
  for (const auto& c : cases) {
    cv::Mat src = patterned(c.source.height, c.source.width, c.type), dst;
    EXPECT_EQ(c.reduce(src, dst), c.factor) << c.source;
    EXPECT_EQ(dst.size(), c.reduced) << c.source;
    EXPECT_EQ(dst.type(), c.reduced_type) << c.source;
  }
}

TEST(FramePreparation, ReducesBitExactlyPassesSmallImagesAndRefusesNonPositiveBounds) {
  cv::Mat src = patterned(720, 1280, CV_8UC3), dst, expected;
  image_resize(src, dst, 500, 1);
  cv::resize(src, expected, cv::Size(), 0.390625, 0.390625, cv::INTER_LINEAR_EXACT);
  EXPECT_EQ(cv::norm(expected, dst, cv::NORM_INF), 0.0);
  cv::Mat small = patterned(200, 150, CV_8UC3);
  EXPECT_EQ(frame_resize(small, dst), 1.0f);
  EXPECT_EQ(cv::norm(small, dst, cv::NORM_INF), 0.0);
  EXPECT_THROW(image_resize(src, dst, 0, 1), cv::Exception);
  cv::Mat empty;
  EXPECT_THROW(image_resize(empty, dst, 500, 1), cv::Exception);
}

// Channel 0 carries the red weight; one channel is copied into pixels of its
// own; four channels give nothing.
TEST(FramePreparation, ToGrayByChannelCount) {
  cv::Mat colour = patterned(10, 10, CV_8UC3), gray, as_rgb;
  to_gray(colour, gray);
  cv::cvtColor(colour, as_rgb, cv::COLOR_RGB2GRAY);
  EXPECT_EQ(cv::norm(gray, as_rgb, cv::NORM_INF), 0.0);

  cv::Mat one = patterned(10, 10, CV_8UC1), shared = one;
  to_gray(one, shared);
  EXPECT_EQ(cv::norm(one, shared, cv::NORM_INF), 0.0);
  EXPECT_NE(shared.data, one.data);

  cv::Mat four = patterned(10, 10, CV_8UC4), untouched;
  to_gray(four, untouched);
  EXPECT_TRUE(untouched.empty());
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
    cv::Mat frame = patterned(c.camera.height, c.camera.width, CV_8UC3);
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

}  // namespace

#include <opencv2/imgproc.hpp>

#include "test_support.h"
#include "zemb_stitcher.h"

namespace {

cv::Mat patterned(int rows, int cols, int type) {
  cv::Mat image(rows, cols, type);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(255));
  return image;
}

struct Reduction {
  cv::Size source;
  int target;
  int by_cols;
  float factor;
  cv::Size reduced;
};

TEST(ImageResize, GivesTheDocumentedFactorsAndSizes) {
  const Reduction cases[] = {
      {{1280, 720}, 500, 1, 0.390625f, {500, 281}},
      {{720, 1280}, 300, 0, 0.234375f, {169, 300}},
      {{281, 500}, 300, 0, 300.0f / 500.0f, {169, 300}},
      {{2000, 200}, 300, 0, 1.0f, {2000, 200}},  // only the rows are bounded
      {{500, 281}, 500, 1, 1.0f, {500, 281}},    // at the bound: untouched
      {{1920, 1080}, 500, 1, 500.0f / 1920.0f, {500, 281}},
  };
  for (const Reduction& c : cases) {
    cv::Mat src = patterned(c.source.height, c.source.width, CV_8UC3), dst;
    EXPECT_EQ(image_resize(src, dst, c.target, c.by_cols), c.factor) << c.source;
    EXPECT_EQ(dst.size(), c.reduced) << c.source;
  }
}

TEST(ImageResize, ReducesBitExactlyPassesSmallImagesAndRefusesNonPositiveBounds) {
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

TEST(FrameResize, BoundsRowsAt300) {
  cv::Mat src = patterned(1080, 1920, CV_8UC3), dst;
  EXPECT_EQ(frame_resize(src, dst), 300.0f / 1080.0f);
  EXPECT_EQ(dst.size(), cv::Size(533, 300));
  EXPECT_EQ(dst.type(), CV_8UC3);
}

TEST(FrameTransform, ConvertsThreeChannelsOnlyThenReduces) {
  cv::UMat colour = patterned(1080, 1920, CV_8UC3).getUMat(cv::ACCESS_READ), gray;
  EXPECT_EQ(frame_transform(colour, gray), 300.0f / 1080.0f);
  EXPECT_EQ(gray.size(), cv::Size(533, 300));
  EXPECT_EQ(gray.type(), CV_8UC1);

  cv::UMat four = patterned(600, 800, CV_8UC4).getUMat(cv::ACCESS_READ), reduced;
  EXPECT_EQ(frame_transform(four, reduced), 0.5f);
  EXPECT_EQ(reduced.size(), cv::Size(400, 300));
  EXPECT_EQ(reduced.type(), CV_8UC4);
}

TEST(ToGray, TreatsChannelCountsAsDocumented) {
  cv::Mat four = patterned(10, 10, CV_8UC4), untouched;
  to_gray(four, untouched);
  EXPECT_TRUE(untouched.empty());

  cv::Mat one = patterned(10, 10, CV_8UC1), copy;
  to_gray(one, copy);
  ASSERT_EQ(cv::norm(one, copy, cv::NORM_INF), 0.0);
  copy.setTo(cv::Scalar(7));
  EXPECT_NE(one.at<uchar>(0, 0) == 7 && one.at<uchar>(9, 9) == 7, true) << "the copy shares pixels";

  cv::Mat shared = one;  // even a destination that shared the source gets its own pixels
  to_gray(one, shared);
  EXPECT_NE(shared.data, one.data);
}

// The channel order is RGB: channel 0 carries the red weight. On a real photo
// loaded as BGR this differs from the usual BGR conversion.
TEST(ToGray, WeightsChannelZeroAsRedOnARealPhoto) {
  ZEMB_LOAD_PHOTO_OR_SKIP(photo, "life.jpg");
  cv::Mat small, gray, as_rgb, as_bgr;
  cv::resize(photo, small, cv::Size(320, 213), 0, 0, cv::INTER_AREA);
  to_gray(small, gray);
  cv::cvtColor(small, as_rgb, cv::COLOR_RGB2GRAY);
  cv::cvtColor(small, as_bgr, cv::COLOR_BGR2GRAY);
  EXPECT_EQ(cv::norm(gray, as_rgb, cv::NORM_INF), 0.0);
  EXPECT_GT(cv::norm(gray, as_bgr, cv::NORM_INF), 0.0);
}

TEST(KeyPointsToPoints, AppendsPositionsInOrder) {
  std::vector<cv::Point2f> points = {{-1.0f, -1.0f}};
  KeyPointsToPoints({}, points);
  EXPECT_EQ(points.size(), 1u);
  KeyPointsToPoints({cv::KeyPoint(1.5f, 2.5f, 7.0f, 30.0f, 0.5f, 2, 9), cv::KeyPoint(3.0f, 4.0f, 1.0f)}, points);
  ASSERT_EQ(points.size(), 3u);
  EXPECT_EQ(points[1], cv::Point2f(1.5f, 2.5f));
  EXPECT_EQ(points[2], cv::Point2f(3.0f, 4.0f));
}

}  // namespace

// The finished panorama's geometry: its crop (the largest rectangle with no
// empty pixel, checked against every rectangle of crafted masks).
#include <random>

#include <opencv2/imgproc.hpp>

#include "test_support.h"
#include "zemb/render.h"

namespace {

// The largest area of an all-covered rectangle, by trying every rectangle
// against the mask's integral image.
int brute_force_largest_area(const cv::Mat& mask) {
  cv::Mat sums;
  cv::integral(mask != 0, sums, CV_32S);
  int best = 0;
  for (int y0 = 0; y0 < mask.rows; ++y0)
    for (int y1 = y0 + 1; y1 <= mask.rows; ++y1)
      for (int x0 = 0; x0 < mask.cols; ++x0)
        for (int x1 = x0 + 1; x1 <= mask.cols; ++x1) {
          const int area = (y1 - y0) * (x1 - x0);
          if (area <= best) continue;
          const int covered = sums.at<int>(y1, x1) - sums.at<int>(y0, x1) - sums.at<int>(y1, x0) + sums.at<int>(y0, x0);
          if (covered == 255 * area) best = area;
        }
  return best;
}

// Masks like those a render leaves: tilted frame outlines, a bowed band,
// holes, plus random blotches.
std::vector<cv::Mat> crafted_masks() {
  std::vector<cv::Mat> masks;
  cv::Mat tilted = cv::Mat::zeros(40, 60, CV_8U);
  const std::vector<std::vector<cv::Point>> outlines = {{{3, 8}, {25, 2}, {30, 30}, {6, 36}},
                                                        {{22, 6}, {50, 10}, {55, 38}, {28, 33}}};
  cv::fillPoly(tilted, outlines, cv::Scalar(255));
  masks.push_back(tilted);
  cv::Mat bowed = cv::Mat::zeros(30, 64, CV_8U);
  for (int x = 0; x < bowed.cols; ++x) {
    const int sag = cvRound(6 * std::sin(CV_PI * x / bowed.cols));
    bowed(cv::Range(4 + sag, 22 + sag), cv::Range(x, x + 1)).setTo(255);
  }
  masks.push_back(bowed);
  cv::Mat holed(24, 36, CV_8U, cv::Scalar(255));
  holed.at<uchar>(11, 17) = 0;
  masks.push_back(holed);
  std::mt19937 rng(5);
  for (int k = 0; k < 6; ++k) {
    cv::Mat blotches(18 + k, 25 - k, CV_8U);
    cv::randu(blotches, 0, 255);
    cv::threshold(blotches, blotches, 40 + 20 * k, 255, cv::THRESH_BINARY);
    masks.push_back(blotches);
  }
  masks.push_back(cv::Mat(7, 9, CV_8U, cv::Scalar(255)));
  masks.push_back(cv::Mat::zeros(7, 9, CV_8U));
  return masks;
}

TEST(Crop, IsTheLargestRectangleWithNoEmptyPixel) {
  for (const cv::Mat& mask : crafted_masks()) {
    const cv::Rect crop = zemb::largest_covered_rectangle(mask);
    EXPECT_EQ(crop.area(), brute_force_largest_area(mask)) << mask.size();
    if (crop.empty()) continue;
    ASSERT_EQ(crop & cv::Rect(cv::Point(), mask.size()), crop);
    EXPECT_EQ(cv::countNonZero(mask(crop)), crop.area()) << "an empty pixel in the crop";
  }
}

TEST(Crop, RefusesAnEmptyOrMultiChannelMask) {
  for (const cv::Mat& mask : {cv::Mat(), cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(255))}) {
    try {
      zemb::largest_covered_rectangle(mask);
      ADD_FAILURE() << "a mask of type " << mask.type() << " was taken";
    } catch (const cv::Exception& e) {
      EXPECT_EQ(e.code, cv::Error::StsBadArg);
    }
  }
}

}  // namespace

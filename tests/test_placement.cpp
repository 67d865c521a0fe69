#include <limits>

#include "stitch_steps.h"
#include "test_support.h"

namespace {

using zemb::Band;
using zemb::Placement;

using zemb::translation;

// An old panorama whose every column is told apart by its colour.
cv::Mat column_coded(int rows, int cols) {
  cv::Mat image(rows, cols, CV_8UC3);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) image.at<cv::Vec3b>(r, c) = cv::Vec3b(c % 256, c / 256 + 1, 7);
  return image;
}

cv::Mat flat_frame(int cols, int rows) { return cv::Mat(rows, cols, CV_8UC3, cv::Scalar(100, 110, 120)); }

cv::Point2f mapped(const cv::Mat& h, cv::Point2f p) {
  std::vector<cv::Point2f> out;
  cv::perspectiveTransform(std::vector<cv::Point2f>{p}, out, h);
  return out[0];
}

TEST(PlaceFrame, TranslatedFrameGrowsTheCanvasDownAndRight) {
  const cv::Mat old = column_coded(500, 400);
  const cv::Mat frame = flat_frame(281, 500);
  const Placement p = zemb::place_frame(old, Band{10, 480, 400}, frame, translation(150, -20));
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(p.canvas.size(), cv::Size(431, 520));
  EXPECT_EQ(p.band.top, 30.0f);
  EXPECT_EQ(p.band.bottom, 500.0f);
  EXPECT_EQ(p.band.right, 431.0f);
  EXPECT_EQ(p.cropped.size(), cv::Size(431, 470));
  EXPECT_EQ(p.cropped.ptr(0), p.canvas.ptr(30)) << "cropped is a view at row 30";
  EXPECT_LT(cv::norm(p.homography, translation(150, 0), cv::NORM_INF), 1e-6);

  const cv::Vec3b patch(100, 110, 120), empty(0, 0, 0);
  EXPECT_EQ(p.canvas.at<cv::Vec3b>(10, 100), empty) << "above the old panorama, left of the patch";
  EXPECT_EQ(p.canvas.at<cv::Vec3b>(300, 100), old.at<cv::Vec3b>(280, 100));
  EXPECT_EQ(p.canvas.at<cv::Vec3b>(300, 300), patch) << "inside the patch, far from its edges";
  EXPECT_EQ(p.canvas.at<cv::Vec3b>(300, 155), old.at<cv::Vec3b>(280, 155)) << "seam band of the left edge";
  EXPECT_EQ(p.canvas.at<cv::Vec3b>(10, 300), patch) << "old canvas empty there";
  EXPECT_EQ(p.canvas.at<cv::Vec3b>(505, 300), old.at<cv::Vec3b>(485, 300)) << "below the patch";
}

TEST(PlaceFrame, GrowthThresholdIsNinetyFivePercentOfTheShiftedWidth) {
  const cv::Mat old = column_coded(500, 400);
  const Band band{0, 500, 400};
  EXPECT_EQ(zemb::place_frame(old, band, flat_frame(281, 500), translation(98, 0)).result, zemb::kNotExtended);
  EXPECT_EQ(zemb::place_frame(old, band, flat_frame(281, 500), translation(99, 0)).result, 0);
  // A frame overhanging 12.5 columns to the left: the threshold is 412.5 * 0.95.
  EXPECT_EQ(zemb::place_frame(old, band, flat_frame(391, 500), translation(-12.5, 0)).result, zemb::kNotExtended);
  const Placement p = zemb::place_frame(old, band, flat_frame(400, 500), translation(-12.5, 0));
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(p.canvas.cols, 412);
  EXPECT_EQ(p.canvas.at<cv::Vec3b>(250, 405), old.at<cv::Vec3b>(250, 393)) << "old panorama copied in at x = 12";
}

TEST(PlaceFrame, StraightensTheRightEdgeOntoItsInnerCorner) {
  const std::vector<cv::Point2f> corners = {{0, 0}, {300, 0}, {300, 480}, {0, 480}};
  const std::vector<cv::Point2f> placed = {{400, 0}, {700, 5}, {690, 480}, {400, 480}};
  const cv::Mat h = cv::getPerspectiveTransform(corners, placed);
  const Placement p = zemb::place_frame(column_coded(500, 400), Band{0, 500, 400}, flat_frame(300, 480), h);
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(p.canvas.cols, 690);
  const cv::Point2f top_right = mapped(p.homography, {300, 0}), bottom_right = mapped(p.homography, {300, 480});
  EXPECT_NEAR(top_right.x, 690, 1e-3);
  EXPECT_NEAR(top_right.y, 5, 1e-3);
  EXPECT_NEAR(bottom_right.x, 690, 1e-3);
  EXPECT_NEAR(bottom_right.y, 480, 1e-3);
  EXPECT_NEAR(p.band.right, 690, 1e-3);
}

TEST(PlaceFrame, AcceptsUpToTwiceTheLongerSideAndAFrameTouchingTheEnd) {
  const cv::Mat old = column_coded(500, 281);
  const Band band{0, 500, 281};
  const cv::Mat stretched = (cv::Mat_<double>(3, 3) << 3.5, 0, 0, 0, 1, 0, 0, 0, 1);  // 983 <= 2 * 500
  EXPECT_EQ(zemb::place_frame(old, band, flat_frame(281, 500), stretched).result, 0);
  EXPECT_EQ(zemb::place_frame(old, band, flat_frame(281, 500), translation(281, 0)).result, 0);
}

TEST(PlaceFrame, FrameInsideThePanoramaStillGetsANewCanvas) {
  const cv::Mat old = column_coded(500, 400);
  const Placement p = zemb::place_frame(old, Band{0, 500, 400}, flat_frame(281, 500), translation(100, 0));
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(p.canvas.size(), old.size());
  EXPECT_NE(p.canvas.data, old.data);
  EXPECT_EQ(old.at<cv::Vec3b>(250, 250), cv::Vec3b(250, 1, 7)) << "the old panorama is never written";
}

TEST(PlaceFrame, RefusesPlacementsThatCannotBeComposed) {
  const cv::Mat old = column_coded(500, 281);
  const cv::Mat frame = flat_frame(281, 500);
  const Band band{0, 500, 281};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const int w = frame.cols;
  const struct {
    const char* what;
    cv::Mat homography;
  } cases[] = {
      {"not a number", (cv::Mat_<double>(3, 3) << nan, 0, 0, 0, 1, 0, 0, 0, 1)},
      {"mirrored", (cv::Mat_<double>(3, 3) << -1, 0, w + 500, 0, 1, 0, 0, 0, 1)},
      {"canvas beyond 32767 columns", (cv::Mat_<double>(3, 3) << 1000, 0, 0, 0, 1000, 0, 0, 0, 1)},
      {"wider than twice the frame's longer side", (cv::Mat_<double>(3, 3) << 3.6, 0, 0, 0, 1, 0, 0, 0, 1)},
      {"detached from the panorama", translation(300, 0)},
      {"drifted below the band", translation(0, 600)},
      {"collapsed", (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 0, 0, 0, 0, 1)},
  };
  for (const auto& c : cases) {
    const Placement p = zemb::place_frame(old, band, frame, c.homography);
    EXPECT_EQ(p.result, zemb::kNotPlaceable) << c.what;
    EXPECT_TRUE(p.canvas.empty()) << c.what;
  }
}

}  // namespace

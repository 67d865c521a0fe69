#include <limits>

#include "fixed/steps.h"
#include "test_support.h"

namespace {

// A placement with the fixed path's settings, whose thresholds these cases pin.
zemb::Placement place(const cv::Mat& panorama, const zemb::Band& band, const cv::Mat& frame, const cv::Mat& h) {
  return zemb::place_frame(panorama, band, frame, h, nullptr, zemb::kFixedPath.placement, zemb::kFixedPath.fit);
}

using zemb::Band;
using zemb::Placement;
constexpr zemb::FrameOutcome kAccepted = zemb::FrameOutcome::kAccepted;
constexpr zemb::FrameOutcome kNotExtended = zemb::FrameOutcome::kNotExtended;
constexpr zemb::FrameOutcome kNotPlaceable = zemb::FrameOutcome::kNotPlaceable;

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
  const Placement p = place(old, Band{10, 480, 400}, frame, translation(150, -20));
  ASSERT_TRUE(p.placed());
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

TEST(PlaceFrame, StraightensTheRightEdgeOntoItsInnerCorner) {
  const std::vector<cv::Point2f> corners = {{0, 0}, {300, 0}, {300, 480}, {0, 480}};
  const std::vector<cv::Point2f> placed = {{400, 0}, {700, 5}, {690, 480}, {400, 480}};
  const cv::Mat h = cv::getPerspectiveTransform(corners, placed);
  const Placement p = place(column_coded(500, 400), Band{0, 500, 400}, flat_frame(300, 480), h);
  ASSERT_TRUE(p.placed());
  EXPECT_EQ(p.canvas.cols, 690);
  const cv::Point2f top_right = mapped(p.homography, {300, 0}), bottom_right = mapped(p.homography, {300, 480});
  EXPECT_NEAR(top_right.x, 690, 1e-3);
  EXPECT_NEAR(top_right.y, 5, 1e-3);
  EXPECT_NEAR(bottom_right.x, 690, 1e-3);
  EXPECT_NEAR(bottom_right.y, 480, 1e-3);
  EXPECT_NEAR(p.band.right, 690, 1e-3);
}

cv::Mat affine(double sx, double sy, double tx, double ty) {
  return (cv::Mat_<double>(3, 3) << sx, 0, tx, 0, sy, ty, 0, 0, 1);
}

// On a 400-column panorama. A frame must reach 95 % of the width of the
// panorama as shifted by any overhang on the left; a placement is refused when
// it cannot be composed or is not believable: more than twice the frame's
// longer side across, detached, or drifted off the band.
TEST(PlaceFrame, AcceptsOrRefusesEachPlacement) {
  const cv::Mat old = column_coded(500, 400), untouched = old.clone();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    const char* what;
    int frame_cols;
    cv::Mat homography;
    zemb::FrameOutcome outcome;
    int canvas_cols;
  } cases[] = {
      {"short of 95 %", 281, translation(98, 0), kNotExtended, 0},
      {"at 95 %", 281, translation(99, 0), kAccepted, 400},
      {"overhanging 12.5 columns, short of 95 % of 412.5", 391, translation(-12.5, 0), kNotExtended, 0},
      {"overhanging 12.5 columns", 400, translation(-12.5, 0), kAccepted, 412},
      {"twice the longer side", 281, affine(3.55, 1, 0, 0), kAccepted, 997},
      {"touching the end", 281, translation(400, 0), kAccepted, 681},
      {"not a number", 281, affine(nan, 1, 0, 0), kNotPlaceable, 0},
      {"mirrored", 281, affine(-1, 1, 781, 0), kNotPlaceable, 0},
      {"canvas beyond 32767 columns", 281, affine(1000, 1000, 0, 0), kNotPlaceable, 0},
      {"beyond twice the longer side", 281, affine(3.6, 1, 0, 0), kNotPlaceable, 0},
      {"detached", 281, translation(420, 0), kNotPlaceable, 0},
      {"drifted below the band", 281, translation(150, 600), kNotPlaceable, 0},
      {"collapsed", 281, affine(1, 0, 150, 0), kNotPlaceable, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Placement p = place(old, Band{0, 500, 400}, flat_frame(c.frame_cols, 500), c.homography);
    EXPECT_EQ(p.outcome, c.outcome);
    EXPECT_EQ(p.canvas.cols, c.canvas_cols);
    if (c.outcome == kAccepted) {
      EXPECT_NE(p.canvas.data, old.data);
    }
  }
  EXPECT_EQ(cv::norm(old, untouched, cv::NORM_INF), 0.0) << "the old panorama is never written";
  const Placement overhang = place(old, Band{0, 500, 400}, flat_frame(400, 500), translation(-12.5, 0));
  ASSERT_TRUE(overhang.placed());
  EXPECT_EQ(overhang.canvas.at<cv::Vec3b>(250, 405), old.at<cv::Vec3b>(250, 393)) << "old panorama copied in at x = 12";
}

// No side of the canvas beyond 32767 pixels: a placement whose right edge
// lands on column 32767 is taken, one column more is refused.
TEST(PlaceFrame, TheCanvasGrowsTo32767ColumnsAndNoFurther) {
  const cv::Mat old = column_coded(50, 32500);
  for (const int right_end : {32767, 32768}) {
    SCOPED_TRACE(right_end);
    const Placement p = place(old, Band{0, 50, 32500}, flat_frame(281, 50), translation(right_end - 281, 0));
    EXPECT_EQ(p.outcome, right_end == 32767 ? kAccepted : kNotPlaceable);
    EXPECT_EQ(p.canvas.cols, right_end == 32767 ? 32767 : 0);
  }
}

}  // namespace

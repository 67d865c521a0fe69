// The tile comparison the quality benchmarks score panoramas by.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "quality_measure.h"

namespace {

constexpr zemb_quality::Tiling kTiling{64, 32};

// A faint, smooth shading (a bare wall's), about 200 grey levels.
cv::Mat shaded_wall(cv::Size size) {
  cv::Mat wall(size, CV_32F);
  cv::RNG(7).fill(wall, cv::RNG::NORMAL, 0.0, 20.0);
  cv::GaussianBlur(wall, wall, cv::Size(), 8);
  return wall + 200;
}

TEST(CompareTiles, TilesAlongThePanoramasEdgeAreComparedWithWhatItShows) {
  // A panorama that shows the wall, with noise, on the tile grid and nothing
  // (black) around it: every tile on the grid's edge is fully shown, but a
  // featureless tile is easily pulled onto the black beyond.
  const cv::Size size(32 + 8 * 64 + 32, 32 + 4 * 64 + 32);
  const cv::Rect shown_part(32, 32, 8 * 64, 4 * 64);
  const cv::Mat expected = shaded_wall(size);
  cv::Mat noise(size, CV_32F);
  cv::RNG(11).fill(noise, cv::RNG::NORMAL, 0.0, 2.0);
  cv::Mat panorama = cv::Mat::zeros(size, CV_32F), shown = cv::Mat::zeros(size, CV_8U);
  cv::Mat(expected + noise)(shown_part).copyTo(panorama(shown_part));
  shown(shown_part).setTo(255);

  const zemb_quality::TileErrors errors = zemb_quality::compare_tiles(panorama, expected, shown, kTiling);
  EXPECT_EQ(errors.tiles, 32);
  // Noise of 2 grey levels alone: about 42 dB.
  EXPECT_GT(errors.psnr(), 40.0);
}

TEST(CompareTiles, ATileIsMovedOntoTheExpectedOneWithinItsReach) {
  // A textured scene shown 3.5 columns and 2 rows off: every tile is moved back.
  const cv::Size size(32 + 4 * 64 + 32, 32 + 3 * 64 + 32);
  cv::Mat expected(size, CV_32F);
  cv::RNG(3).fill(expected, cv::RNG::UNIFORM, 0.0, 255.0);
  cv::GaussianBlur(expected, expected, cv::Size(), 3);
  cv::Mat panorama;
  const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, 3.5, 0, 1, 2);
  cv::warpAffine(expected, panorama, shift, size, cv::INTER_LINEAR, cv::BORDER_REFLECT);
  const cv::Mat shown(size, CV_8U, cv::Scalar(255));

  const zemb_quality::TileErrors errors = zemb_quality::compare_tiles(panorama, expected, shown, kTiling);
  EXPECT_EQ(errors.tiles, 12);
  EXPECT_GT(errors.psnr(), 45.0);
  EXPECT_GT(errors.ssim(), 0.99);
}

}  // namespace

// Faults found by the fuzz targets, each replayed from the smallest input
// that showed it.
#include <gtest/gtest.h>

#include "../../fuzz/textured_scene.h"
#include "zemb_stitcher.h"

namespace {

cv::Mat window(const cv::Mat& scene, cv::Point origin, cv::Size size) {
  return scene(cv::Rect(origin, size)).clone();
}

// Two 200x96 frames of the fuzz scene, the camera moved 25 px toward the top
// of the frame and 10 px to the left: an ordinary sweep step. Optical flow
// loses most points on the scene's flat shapes, and RANSAC keeps a strongly
// projective model backed by a minority of them, which placed the frame as
// a sliver tens of thousands of pixels long: a 23169x19129 canvas (1.3 GB)
// from two small frames. A frame may be refused, but never blow the canvas
// up.
TEST(Regression, MistrackedSweepStepDoesNotBlowUpTheCanvas) {
  const cv::Mat scene = zemb_fuzz::make_textured_scene();
  const cv::Size frame_size(200, 96);
  ZembStitcher stitcher("");
  cv::Mat first = window(scene, {148, 434}, frame_size), second = window(scene, {138, 409}, frame_size);
  ASSERT_GE(stitcher.ofcheck_stitch(first), 20);
  stitcher.ofcheck_stitch(second);
  EXPECT_LE(stitcher.panorama.total(), 4 * 2 * frame_size.area())
      << "canvas " << stitcher.panorama.cols << "x" << stitcher.panorama.rows;
}

}  // namespace

#include <set>

#include "fixed/steps.h"
#include "test_support.h"
#include "zemb_stitcher.h"

namespace {

constexpr int kMaxSide = zemb::kFixedPath.placement.max_canvas_side;

// The owner holds its panorama and band as the stitcher does; the canvas
// grows around them in place until a caller holds on too or room runs out.
TEST(CanvasBuffers, GrowsThePanoramaInPlaceOnlyWhileTheOwnerAloneHoldsIt) {
  zemb::CanvasBuffers buffers;
  cv::Mat panorama = zemb::acquire_canvas(&buffers, cv::Size(400, 300), cv::Mat(), cv::Point(), kMaxSide);
  cv::Mat band = panorama(cv::Rect(0, 10, 380, 280));
  const cv::Point old_origin(0, 3);
  cv::Mat grown = zemb::acquire_canvas(&buffers, cv::Size(430, 305), panorama, old_origin, kMaxSide);
  EXPECT_EQ(grown.size(), cv::Size(430, 305));
  EXPECT_EQ(grown.ptr(old_origin.y, old_origin.x), panorama.data) << "the old pixels are already in place";

  panorama = grown;
  band = panorama(cv::Rect(0, 12, 400, 280));
  {
    const cv::Mat callers_copy = panorama;
    EXPECT_NE(zemb::acquire_canvas(&buffers, cv::Size(460, 305), panorama, cv::Point(), kMaxSide).datastart, panorama.datastart);
  }
  const cv::Size beyond_room(5000, 305);
  EXPECT_NE(zemb::acquire_canvas(&buffers, beyond_room, panorama, cv::Point(), kMaxSide).datastart, panorama.datastart);
}

// A caller that keeps an earlier panorama or band sees it unchanged while
// the stitcher goes on, and a stitcher whose results nobody keeps settles
// into the same two pieces of memory.
TEST(CanvasBuffers, CallersCopiesNeverChangeUnderTheirFeet) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const cv::Mat small = zemb_test::small_photo(photo);
  ZembStitcher s("");
  std::vector<std::pair<cv::Mat, cv::Mat>> kept;  // (shared result, private copy)
  std::set<const uchar*> canvases;
  int frame_index = 0;
  for (const auto& frame : zemb_test::jittered_sweep(small, 0.2)) {
    cv::Mat copy = frame.camera_frame.clone();
    ASSERT_GT(s.ofcheck_stitch(copy), 0);
    if (frame_index == 4 || frame_index == 5) {
      kept.emplace_back(s.panorama, s.panorama.clone());
      kept.emplace_back(s.cropped, s.cropped.clone());
    }
    if (frame_index > 8) canvases.insert(s.panorama.datastart);
    ++frame_index;
  }
  for (const auto& [shared, copy] : kept) EXPECT_EQ(cv::norm(shared, copy, cv::NORM_INF), 0.0);
  EXPECT_LE(canvases.size(), 3u) << "canvas memory is reused";
}

}  // namespace

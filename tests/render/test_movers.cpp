// Something that moved between overlapping keyframes (a person walking
// through the sweep) is shown once, whole, in the finished panorama: every
// pixel on its path is the scene or the figure, none a half-transparent mix,
// and the rest of the panorama is as good as without it. With
// RenderOptions::keep_movers off the same sweep leaves ghosts, which shows
// the measure finds them.
#include <cstdio>

#include <opencv2/imgproc.hpp>

#include "mover_measure.h"
#include "test_support.h"
#include "truth_fit.h"
#include "zemb/render.h"
#include "zemb/sweep.h"

namespace {

using zemb_tools::SweepFrame;

// Grey levels (channel furthest off) within which a pixel is the scene or
// the figure: the frames' exposure changes and noise, evened out by gains.
constexpr double kTolerance = 30;

// A flat slide across life.jpg with small exposure changes and noise; with
// a figure walking along it at `speed` photo pixels a frame (or none).
struct MadeSlide {
  cv::Mat photo;
  std::vector<SweepFrame> frames;
};

MadeSlide slide(const cv::Mat& photo, bool mover, double speed) {
  zemb_tools::SweepSettings settings;
  settings.window = cv::Size(360, 640);
  settings.step = 30;
  settings.frames = 22;
  settings.effects.max_exposure_change = 0.05;
  settings.effects.noise_sigma = 2;
  settings.mover.present = mover;
  settings.mover.speed = speed;
  return {photo, zemb_tools::make_sweep(photo, settings)};
}

struct Finished {
  zemb::FinishedPanorama panorama;
  zemb_tools::FigureOnPanorama figure;
};

// Gathers a tiled render's tiles into one canvas.
class CanvasSink : public zemb::PanoramaSink {
 public:
  void begin(cv::Size size) override { canvas.create(size, CV_8UC3); }
  void write(const cv::Rect& area, const cv::Mat& tile) override { tile.copyTo(canvas(area)); }
  void end() override {}
  cv::Mat canvas;
};

// The slide through the sweep and rendered (and into `tiled`, when given,
// tile by tile); where its photo lands on the panorama by the truth, and
// the figure's boxes.
Finished finished(const MadeSlide& made, bool keep_movers, cv::Mat* tiled = nullptr) {
  zemb::SweepOptions options;
  options.scene = zemb::Scene::kFlat;
  zemb::Sweep sweep(std::string(), options);
  for (const SweepFrame& frame : made.frames) sweep.add(frame.camera_frame);
  options.render.keep_movers = keep_movers;
  Finished out{zemb::render(sweep.record(), options.render), {made.photo, {}, {}, {}}};
  if (tiled) {
    options.render.tile_size = 64;
    CanvasSink sink;
    zemb::render_tiled(sweep.record(), options.render, sink);
    *tiled = sink.canvas;
  }
  zemb_tools::KeyframePlaces places;
  for (const zemb::Keyframe& keyframe : sweep.record().keyframes) {
    const SweepFrame& frame = made.frames[std::size_t(keyframe.frame_index)];
    places.to_photo.push_back(
        zemb_tools::kept_to_photo(frame.photo_to_frame, keyframe.image_size, frame.camera_frame.cols));
    places.sizes.push_back(keyframe.image_size);
    out.figure.seen.push_back(frame.mover);
  }
  places.to_panorama = out.panorama.report.placements;
  const zemb_tools::TruthFit fit = zemb_tools::fit_to_truth(places, 2.0);
  EXPECT_GT(fit.within, 0.95);
  out.figure.photo_to_panorama = fit.photo_to_panorama;
  for (const SweepFrame& frame : made.frames) out.figure.path.push_back(frame.mover);
  return out;
}

// The path, grown by the blender's reach: what PSNR away from it leaves out.
cv::Mat around(const cv::Mat& path) {
  cv::Mat grown;
  cv::dilate(path, grown, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(65, 65)));
  return grown;
}

// Once, whole, without a ghost: few pixels of the path are neither scene
// nor figure, and the figure's pixels make one figure.
bool shown_once(const zemb_tools::GhostCount& count) {
  return count.ghost < count.path / 100 && count.copies > 0.85 && count.copies < 1.2;
}

zemb_tools::GhostCount ghosts_of(const Finished& finished) {
  return zemb_tools::count_ghosts(finished.panorama.panorama, finished.panorama.mask, finished.figure, kTolerance);
}

// A figure walking with the sweep, slower than the camera, and one walking
// against it: without keep_movers the seams show the first two or three
// times, some of it half-transparent, and drop the second altogether. The
// tiled render, which shares the seams, shows the same. One walking nearly
// as fast as the camera stands in nearly the same place in every frame:
// its copies, a keyframe apart, touch, so that next to one keyframe's copy
// every keyframe differs from one or another, and at a keyframe's edge
// only two cover a copy. One faster than the camera leaves the first and
// the last keyframe's copies where only two keyframes cover the scene.
TEST(RenderMovers, AFigureCrossingTheSweepIsShownOnceWholeWithoutAGhost) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const cv::Mat small = zemb_test::small_photo(photo);
  for (const double speed : {20.0, -25.0, 25.0, 35.0}) {
    SCOPED_TRACE(testing::Message() << "figure walking " << speed << " photo pixels a frame");
    const MadeSlide made = slide(small, true, speed);
    cv::Mat tiled;
    const Finished kept = finished(made, true, &tiled), blended = finished(made, false);
    ASSERT_FALSE(kept.figure.photo_to_panorama.empty());
    ASSERT_FALSE(blended.figure.photo_to_panorama.empty());
    // The tiled render shares the seams: the same pixels, tile by tile.
    ASSERT_EQ(tiled.size(), kept.panorama.panorama.size());
    EXPECT_LE(cv::norm(tiled, kept.panorama.panorama, cv::NORM_INF), 1.0);
    const zemb_tools::GhostCount on = ghosts_of(kept), off = ghosts_of(blended);
    std::printf("speed %+.0f: ghost pixels %d of %d on the path, the figure %.2f times; keep_movers off: %d, %.2f "
                "times; finish %.2f s, off %.2f s\n",
                speed, on.ghost, on.path, on.copies, off.ghost, off.copies, kept.panorama.report.seconds_total,
                blended.panorama.report.seconds_total);
    EXPECT_TRUE(shown_once(on)) << on.ghost << " ghost pixels of " << on.path << ", the figure " << on.copies
                                << " times";
    EXPECT_FALSE(shown_once(off)) << "the measure finds nothing wrong without keep_movers";
  }
}

// PSNR away from the path of a figure walking at `speed`, with keep_movers
// on and off, against the same sweep without it.
void away_from_the_path(const cv::Mat& small, double speed) {
  const MadeSlide made = slide(small, true, speed);
  const Finished kept = finished(made, true), blended = finished(made, false);
  Finished clean = finished(slide(small, false, speed), true);
  ASSERT_FALSE(kept.figure.photo_to_panorama.empty());
  ASSERT_FALSE(blended.figure.photo_to_panorama.empty());
  ASSERT_FALSE(clean.figure.photo_to_panorama.empty());
  clean.figure.path = clean.figure.seen = kept.figure.path;  // where the figure would have gone
  const auto psnr_away = [&](const Finished& f) {
    return zemb_tools::psnr_against_photo(f.panorama.panorama, f.panorama.mask, around(ghosts_of(f).path_mask), small,
                                          f.figure.photo_to_panorama);
  };
  const double with_figure = psnr_away(kept), without = psnr_away(clean), off = psnr_away(blended);
  std::printf("speed %+.0f: PSNR away from the path %.2f dB (keep_movers off %.2f dB), without the figure %.2f dB; "
              "finish without it %.2f s\n",
              speed, with_figure, off, without, clean.panorama.report.seconds_total);
  EXPECT_NEAR(with_figure, without, 0.5);
  EXPECT_NEAR(with_figure, off, 0.1);
}

// Away from the figure's path the panorama is as good as the same sweep's
// without the figure, and as with keep_movers off: the regions it gives
// away are the figure's alone. A figure walking with the camera stays in
// the overlaps of many keyframes, in one of each pair and not the other:
// the gains must follow the scene, not it, or every keyframe it crosses
// comes out too bright or too dark.
TEST(RenderMovers, AwayFromItsPathThePanoramaIsAsWithoutTheFigure) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const cv::Mat small = zemb_test::small_photo(photo);
  for (const double speed : {-25.0, 10.0}) {
    SCOPED_TRACE(testing::Message() << "figure walking " << speed << " photo pixels a frame");
    away_from_the_path(small, speed);
  }
}

}  // namespace

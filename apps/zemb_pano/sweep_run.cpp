// A zemb_pano run through zemb::Sweep: its preview is the panorama, and with
// --finish its finished render is written beside it.
#include <memory>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "report.h"
#include "stitch_run.h"
#include "zemb/pyramid.h"

namespace zemb_pano {

namespace {

// Hands the tiles on to `writer` but leaves its end to the caller, so that
// the pyramid is cut once the sweep is gone: libvips then keeps a few hundred
// rows of the panorama at every level (about 2.2 kB a column), which would
// otherwise come on top of all the sweep holds.
class TilesOnly : public zemb::PanoramaSink {
 public:
  explicit TilesOnly(zemb::PanoramaSink& writer) : writer_(writer) {}
  void begin(cv::Size size) override { writer_.begin(size); }
  void write(const cv::Rect& area, const cv::Mat& tile) override { writer_.write(area, tile); }
  void end() override {}

 private:
  zemb::PanoramaSink& writer_;
};

// What the sweep and the render freed, handed back to the system: glibc
// keeps freed blocks of its arenas (a kept image of a few megabytes comes
// from them once one that size has been freed), and libvips' pyramid strips
// would otherwise come on top of them.
void release_freed_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// The frames of the keyframes the render left out, for the summary.
void name_left_out(const zemb::Sweep& sweep, RunResult& run) {
  if (run.finish_report.left_out.empty()) return;
  const std::vector<zemb::Keyframe> keyframes = sweep.record().keyframes;
  for (int keyframe : run.finish_report.left_out)
    run.left_out_frames.push_back(keyframes[std::size_t(keyframe)].frame_index);
}

// The pyramid, cut once the sweep is gone.
void render_pyramid(std::unique_ptr<zemb::Sweep>& sweep, const Options& options, RunResult& run) {
  zemb::PyramidWriter writer(options.output_dir, "finished", options.sweep_options.render.max_render_megapixels);
  TilesOnly tiles(writer);
  run.finish_report = zemb::render_tiled(sweep->record(), options.sweep_options.render, tiles);
  name_left_out(*sweep, run);
  sweep.reset();
  release_freed_memory();
  writer.end();
  run.pyramid_files = writer.written();
}

// The finished render of the sweep's own record: a record it cannot place
// ends the run as one whose frames could not be placed, naming why.
void render_finished(std::unique_ptr<zemb::Sweep>& sweep, const Options& options, const std::string& input,
                     RunResult& run) {
  try {
    if (options.pyramid) {
      render_pyramid(sweep, options, run);
    } else {
      zemb::FinishedPanorama finished = sweep->finish();
      run.finished = finished.panorama;
      run.finished_cropped = finished.cropped();
      run.finished_surface = finished.projection.surface;
      run.finish_report = finished.report;
      name_left_out(*sweep, run);
    }
  } catch (const cv::Exception& e) {
    if (e.code != cv::Error::StsError && e.code != cv::Error::StsBadArg) throw;
    throw PanoError(kExitNothingPlaced, input + ": the finished render could not place the keyframes: " + e.err);
  }
  run.rendered = true;
}

}  // namespace

RunResult sweep_frames(FrameSource& source, const Options& options, Progress& progress) {
  // Photos come one at a time from a file, not from a capture loop that
  // waits: recovery may take all the time it needs on each.
  zemb::SweepOptions sweep_options = options.sweep_options;
  if (source.stills() && options.budget_stills)
    sweep_options.recovery.time_budget = zemb::RecoveryOptions::kMostTimeBudget;
  auto sweep = std::make_unique<zemb::Sweep>("", sweep_options);
  RunResult run;
  run.stats = feed_frames(source, progress, [&](cv::Mat& frame) { return sweep->add(frame); });
  run.panorama = sweep->preview().clone();
  run.cropped = sweep->preview_band().clone();
  // Two placed frames always give the render two keyframes: the first one and
  // the newest placed frame, which the record adds when it is not one. With
  // fewer the run fails in require_placed, and there is nothing to render.
  if ((options.pyramid || options.finish) && run.stats.placed() >= 2)
    render_finished(sweep, options, source.name(), run);
  return run;
}

}  // namespace zemb_pano

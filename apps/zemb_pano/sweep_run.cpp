// A zemb_pano run through zemb::Sweep: its preview is the panorama, and with
// --finish its finished render is written beside it.
#include "report.h"
#include "stitch_run.h"
#include "zemb/pyramid.h"

namespace zemb_pano {

RunResult sweep_frames(FrameSource& source, const Options& options, Progress& progress) {
  // Photos come one at a time from a file, not from a capture loop that
  // waits: recovery may take all the time it needs on each.
  zemb::SweepOptions sweep_options = options.sweep_options;
  if (source.stills() && options.budget_stills)
    sweep_options.recovery.time_budget = zemb::RecoveryOptions::kMostTimeBudget;
  zemb::Sweep sweep("", sweep_options);
  RunResult run;
  run.stats = feed_frames(source, progress, [&](cv::Mat& frame) { return sweep.add(frame); });
  run.panorama = sweep.preview().clone();
  run.cropped = sweep.preview_band().clone();
  // Two placed frames always give the render two keyframes: the first one and
  // the newest placed frame, which the record adds when it is not one. With
  // fewer the run fails in require_placed, and there is nothing to render.
  if (options.pyramid && run.stats.placed() >= 2) {
    zemb::PyramidWriter writer(options.output_dir, "finished", options.sweep_options.render.max_render_megapixels);
    run.finish_report = zemb::render_tiled(sweep.record(), options.sweep_options.render, writer);
    run.pyramid_files = writer.written();
    run.rendered = true;
  } else if (options.finish && run.stats.placed() >= 2) {
    zemb::FinishedPanorama finished = sweep.finish();
    run.finished = finished.panorama;
    run.finished_cropped = finished.cropped();
    run.finished_surface = finished.projection.surface;
    run.finish_report = finished.report;
    run.rendered = true;
  }
  return run;
}

}  // namespace zemb_pano

// A zemb_pano run through zemb::Sweep: its preview is the panorama, and with
// --finish its finished render is written beside it.
#include "report.h"
#include "stitch_run.h"
#include "zemb/pyramid.h"

namespace zemb_pano {

namespace {

// The finished render of the sweep's own record: a record it cannot place
// ends the run as one whose frames could not be placed, naming why.
void render_finished(const zemb::Sweep& sweep, const Options& options, const std::string& input, RunResult& run) {
  try {
    if (options.pyramid) {
      zemb::PyramidWriter writer(options.output_dir, "finished",
                                 options.sweep_options.render.max_render_megapixels);
      run.finish_report = zemb::render_tiled(sweep.record(), options.sweep_options.render, writer);
      run.pyramid_files = writer.written();
    } else {
      zemb::FinishedPanorama finished = sweep.finish();
      run.finished = finished.panorama;
      run.finished_cropped = finished.cropped();
      run.finished_surface = finished.projection.surface;
      run.finish_report = finished.report;
    }
  } catch (const cv::Exception& e) {
    if (e.code != cv::Error::StsError && e.code != cv::Error::StsBadArg) throw;
    throw PanoError(kExitNothingPlaced, input + ": the finished render could not place the keyframes: " + e.err);
  }
  run.rendered = true;
  if (run.finish_report.left_out.empty()) return;
  const std::vector<zemb::Keyframe> keyframes = sweep.record().keyframes;
  for (int keyframe : run.finish_report.left_out)
    run.left_out_frames.push_back(keyframes[std::size_t(keyframe)].frame_index);
}

}  // namespace

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
  if ((options.pyramid || options.finish) && run.stats.placed() >= 2)
    render_finished(sweep, options, source.name(), run);
  return run;
}

}  // namespace zemb_pano

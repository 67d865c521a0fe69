// A zemb_pano run on a set of photos with --finish: the photos read first,
// then stitched as one problem.
#include "report.h"
#include "stitch_run.h"

namespace zemb_pano {

namespace {

void count_photos(const zemb::PhotoSetReport& report, RunStats& stats) {
  stats.frames.assign(std::size_t(stats.frames_read), FrameRecord{});
  for (int photo : report.placed) stats.frames[std::size_t(photo)] = {zemb::FrameOutcome::kAccepted, 0, 0, true};
  for (const FrameRecord& frame : stats.frames) ++stats.outcomes[static_cast<std::size_t>(frame.outcome)];
}

}  // namespace

RunResult stitch_photo_set(FrameSource& source, const Options& options, Progress& progress) {
  RunResult run;
  std::vector<cv::Mat> photos;
  for (cv::Mat photo; source.next(photo); progress.update(run.stats)) {
    photos.push_back(photo.clone());
    run.photo_names.push_back(source.last_frame_name());
    ++run.stats.frames_read;
  }
  progress.finish(run.stats);
  if (photos.empty()) throw PanoError(kExitBadInput, source.name() + ": no photo could be read");
  if (photos.size() < 2) throw PanoError(kExitNothingPlaced, source.name() + ": a single photo makes no panorama");
  try {
    zemb::PhotoPanorama stitched = zemb::stitch_photos(photos, photo_set_options(options));
    run.finished = stitched.finished.panorama;
    run.finished_cropped = stitched.finished.cropped();
    run.finished_surface = stitched.finished.projection.surface;
    run.finish_report = stitched.finished.report;
    run.rendered = true;
    count_photos(stitched.report, run.stats);
    run.photo_report = std::move(stitched.report);
  } catch (const cv::Exception& e) {
    if (e.code != cv::Error::StsError) throw;
    throw PanoError(kExitNothingPlaced, source.name() + ": " + e.err);
  }
  return run;
}

}  // namespace zemb_pano

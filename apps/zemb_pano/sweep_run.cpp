// A zemb_pano run through zemb::Sweep: its preview is the panorama, and with
// --finish its finished render is written beside it.
#include "report.h"
#include "stitch_run.h"

namespace zemb_pano {

namespace {

Outcome outcome_of(zemb::FrameOutcome outcome) {
  switch (outcome) {
    case zemb::FrameOutcome::kAccepted: return Outcome::accepted;
    case zemb::FrameOutcome::kRelocalised: return Outcome::relocalised;
    case zemb::FrameOutcome::kTooFewKeypoints: return Outcome::too_few_keypoints;
    case zemb::FrameOutcome::kNotExtended: return Outcome::not_extended;
    case zemb::FrameOutcome::kNotPlaceable: break;
  }
  return Outcome::not_placed;
}

// The count that explains the outcome: the keypoints of a frame with too
// few or of the first frame, the tracked points of one that could not be
// placed, else the inliers.
int count_of(const zemb::FrameStatus& status) {
  if (status.outcome == zemb::FrameOutcome::kTooFewKeypoints || status.tracked == 0) return status.keypoints;
  if (status.outcome == zemb::FrameOutcome::kNotPlaceable) return status.tracked;
  return status.inliers;
}

}  // namespace

RunResult sweep_frames(FrameSource& source, const zemb::SweepOptions& options, bool finish, Progress& progress) {
  TemporaryFolder folder;
  zemb::Sweep sweep(folder.path(), options);
  RunResult run;
  cv::Mat frame;
  while (source.next(frame)) {
    const auto start = std::chrono::steady_clock::now();
    const zemb::FrameStatus status = refusing_bad_frames(source, [&] { return sweep.add(frame); });
    run.stats.record({outcome_of(status.outcome), count_of(status), milliseconds_since(start), status.keyframe >= 0});
    progress.update(run.stats);
  }
  progress.finish(run.stats);
  run.panorama = sweep.preview().clone();
  run.cropped = sweep.preview_band().clone();
  if (finish && sweep.keyframes().size() >= 2) {
    zemb::FinishedPanorama finished = sweep.finish();
    run.finished = finished.panorama;
    run.finish_report = finished.report;
  }
  return run;
}

}  // namespace zemb_pano

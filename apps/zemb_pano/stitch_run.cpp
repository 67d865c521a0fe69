#include "stitch_run.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "outline_tracker.h"
#include "report.h"
#include "zemb/results.h"
#include "zemb_stitcher.h"

namespace zemb_pano {

namespace {

// ofcheck_stitch answers three different refusals with a count below
// min_keypoints. A frame is tracked only once a panorama exists, and then the
// tracked count is the number of keypoints of the last accepted frame, so a
// count equal to that number means the tracking fell short.
Outcome classify(int result, const ZembStitcher& stitcher, bool was_tracked, size_t reference_keypoints) {
  if (result >= stitcher.min_keypoints) return Outcome::accepted;
  if (result == zemb::kNotExtended) return Outcome::not_extended;
  if (result == zemb::kNotPlaceable || result == zemb::kBusy) return Outcome::not_placed;
  return was_tracked && static_cast<size_t>(result) == reference_keypoints ? Outcome::too_few_tracked
                                                                          : Outcome::too_few_keypoints;
}

}  // namespace

const char* outcome_name(Outcome outcome) {
  static const char* const kNames[kOutcomeCount] = {"accepted",          "relocalised",  "too few keypoints",
                                                    "too few tracked",   "not extended", "not placeable"};
  return kNames[static_cast<size_t>(outcome)];
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

TemporaryFolder::TemporaryFolder() : path_((std::filesystem::temp_directory_path() / "zemb_pano.XXXXXX").string()) {
  if (::mkdtemp(path_.data()) == nullptr)
    throw PanoError(kExitFailure, path_ + ": cannot create a temporary folder: " + std::strerror(errno));
}

TemporaryFolder::~TemporaryFolder() {
  deleteFile(path_.c_str());
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

void RunStats::record(const FrameRecord& frame) {
  ++frames_read;
  ++outcomes[static_cast<size_t>(frame.outcome)];
  frames.push_back(frame);
}

int RunStats::keyframes() const {
  int count = 0;
  for (const FrameRecord& frame : frames) count += frame.keyframe ? 1 : 0;
  return count;
}

RunResult stitch_frames(FrameSource& source, bool with_outlines, Progress& progress) {
  TemporaryFolder folder;
  ZembStitcher stitcher(folder.path());
  OutlineTracker outlines;
  RunResult run;
  cv::Mat frame;
  while (source.next(frame)) {
    const bool had_panorama = !stitcher.panorama.empty();
    // Kept only for the outlines: a panorama held across the call is copied
    // by the stitcher instead of grown in place.
    const cv::Mat previous_panorama = with_outlines ? stitcher.panorama : cv::Mat();
    const size_t reference_keypoints = stitcher.reference.keypoints.size();
    const auto start = std::chrono::steady_clock::now();
    const int result = refusing_bad_frames(source, [&] { return stitcher.ofcheck_stitch(frame); });
    const double ms = milliseconds_since(start);
    const Outcome outcome = classify(result, stitcher, had_panorama, reference_keypoints);
    run.stats.record({outcome, result, ms, false});
    if (with_outlines && outcome == Outcome::accepted) outlines.add_accepted(previous_panorama, stitcher);
    progress.update(run.stats);
  }
  progress.finish(run.stats);
  run.panorama = stitcher.panorama;
  run.cropped = stitcher.cropped;
  if (with_outlines && !run.panorama.empty()) run.outlines = outlines.draw(run.panorama);
  return run;
}

void require_placed(const RunStats& stats, const std::string& input) {
  if (stats.frames_read == 0) throw PanoError(kExitBadInput, input + ": no frame could be read");
  if (stats.placed() >= 2) return;
  const std::string why = stats.placed() == 0       ? "no frame has enough keypoints to start a panorama"
                          : stats.frames_read == 1 ? "a single frame makes no panorama"
                                                   : "none of the frames after the first fits next to it";
  throw PanoError(kExitNothingPlaced, input + ": no frame could be placed (" + why + ")");
}

}  // namespace zemb_pano

#include "stitch_run.h"

#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "outline_tracker.h"
#include "pano_error.h"
#include "report.h"
#include "zemb_stitcher.h"

namespace zemb_pano {

namespace {

std::string make_temporary_folder() {
  std::string path = (std::filesystem::temp_directory_path() / "zemb_pano.XXXXXX").string();
  if (::mkdtemp(path.data()) == nullptr)
    throw PanoError(kExitFailure, path + ": cannot create a temporary folder: " + std::strerror(errno));
  return path;
}

// A stitcher whose working folder lives exactly as long as it does.
struct TemporaryStitcher {
  TemporaryStitcher() : stitcher(make_temporary_folder()) {}
  ~TemporaryStitcher() { stitcher.remove_local_path(); }
  TemporaryStitcher(const TemporaryStitcher&) = delete;
  TemporaryStitcher& operator=(const TemporaryStitcher&) = delete;

  ZembStitcher stitcher;
};

// ofcheck_stitch answers three different refusals with a count below
// min_keypoints. A frame is tracked only once a panorama exists, and then the
// tracked count is the number of keypoints of the last accepted frame, so a
// count equal to that number means the tracking fell short.
Outcome classify(int result, const ZembStitcher& stitcher, bool was_tracked, size_t reference_keypoints) {
  if (result >= stitcher.min_keypoints) return Outcome::accepted;
  if (result == -1) return Outcome::not_extended;
  if (result <= 0) return Outcome::not_placed;
  return was_tracked && static_cast<size_t>(result) == reference_keypoints ? Outcome::too_few_tracked
                                                                          : Outcome::too_few_keypoints;
}

int stitch_one(ZembStitcher& stitcher, cv::Mat& frame, const FrameSource& source) {
  try {
    return stitcher.ofcheck_stitch(frame);
  } catch (const cv::Exception& e) {
    if (e.code != cv::Error::StsBadArg) throw;
    throw PanoError(kExitBadInput, source.last_frame_name() + ": " + e.err);
  }
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void RunStats::record(Outcome outcome, double ms) {
  ++frames_read;
  ++outcomes[static_cast<size_t>(outcome)];
  frame_ms.push_back(ms);
}

RunResult stitch_frames(FrameSource& source, bool with_outlines, Progress& progress) {
  TemporaryStitcher temporary;
  ZembStitcher& stitcher = temporary.stitcher;
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
    const int result = stitch_one(stitcher, frame, source);
    const double ms = milliseconds_since(start);
    const Outcome outcome = classify(result, stitcher, had_panorama, reference_keypoints);
    run.stats.record(outcome, ms);
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
  if (stats.count(Outcome::accepted) >= 2) return;
  const std::string why = stats.count(Outcome::accepted) == 0 ? "no frame has enough keypoints to start a panorama"
                          : stats.frames_read == 1             ? "a single frame makes no panorama"
                                                               : "none of the frames after the first fits next to it";
  throw PanoError(kExitNothingPlaced, input + ": no frame could be placed (" + why + ")");
}

}  // namespace zemb_pano

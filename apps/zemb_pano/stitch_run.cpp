#include "stitch_run.h"

#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "outline_tracker.h"
#include "report.h"
#include "zemb_stitcher.h"

namespace zemb_pano {

namespace {

// A temporary folder of this run, removed with what is in it when the object
// goes: the stitcher's working folder.
class TemporaryFolder {
 public:
  TemporaryFolder() : path_((std::filesystem::temp_directory_path() / "zemb_pano.XXXXXX").string()) {
    if (::mkdtemp(path_.data()) == nullptr)
      throw PanoError(kExitFailure, path_ + ": cannot create a temporary folder: " + std::strerror(errno));
  }
  ~TemporaryFolder() {
    deleteFile(path_.c_str());
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

zemb::FrameStatus add_refusing_bad_frames(const FrameSource& source, const AddFrame& add, cv::Mat& frame) {
  try {
    return add(frame);
  } catch (const cv::Exception& e) {
    if (e.code != cv::Error::StsBadArg) throw;
    throw PanoError(kExitBadInput, source.last_frame_name() + ": " + e.err);
  }
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void RunStats::record(const zemb::FrameStatus& status, double ms) {
  ++frames_read;
  ++outcomes[static_cast<size_t>(status.outcome)];
  frames.push_back({status.outcome, status.count, ms, status.keyframe >= 0});
}

int RunStats::keyframes() const {
  int count = 0;
  for (const FrameRecord& frame : frames) count += frame.keyframe ? 1 : 0;
  return count;
}

RunStats feed_frames(FrameSource& source, Progress& progress, const AddFrame& add, const FrameSeen& seen) {
  RunStats stats;
  cv::Mat frame;
  while (source.next(frame)) {
    const auto start = std::chrono::steady_clock::now();
    const zemb::FrameStatus status = add_refusing_bad_frames(source, add, frame);
    stats.record(status, milliseconds_since(start));
    if (seen) seen(status);
    progress.update(stats);
  }
  progress.finish(stats);
  return stats;
}

RunResult stitch_frames(FrameSource& source, bool with_outlines, Progress& progress) {
  TemporaryFolder folder;
  ZembStitcher stitcher(folder.path());
  OutlineTracker outlines;
  const auto add = [&](cv::Mat& frame) {
    stitcher.ofcheck_stitch(frame);  // its result is the status's count
    return zemb::last_status(stitcher);
  };
  const auto outline_placed = [&](const zemb::FrameStatus& status) {
    if (status.placed()) outlines.add_placed(status, stitcher.panorama);
  };
  RunResult run;
  run.stats = feed_frames(source, progress, add, with_outlines ? FrameSeen(outline_placed) : FrameSeen());
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

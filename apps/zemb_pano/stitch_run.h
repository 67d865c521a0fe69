// One run of zemb_pano: every frame of the source through one stitcher, with
// what became of each frame and how long it took.
#ifndef ZEMB_PANO_STITCH_RUN_H
#define ZEMB_PANO_STITCH_RUN_H

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "frame_source.h"
#include "pano_error.h"
#include "zemb/sweep.h"

namespace zemb_pano {

class Progress;

enum class Outcome { accepted, relocalised, too_few_keypoints, too_few_tracked, not_extended, not_placed };
constexpr size_t kOutcomeCount = 6;

// The name a frame's outcome has in the frames CSV.
const char* outcome_name(Outcome outcome);

// What became of one frame.
struct FrameRecord {
  Outcome outcome = Outcome::not_placed;
  int count = 0;  // the count behind the outcome: keypoints, tracked points or inliers
  double ms = 0;  // time the frame took in the stitcher
  bool keyframe = false;
};

struct RunStats {
  int frames_read = 0;
  std::array<int, kOutcomeCount> outcomes{};
  std::vector<FrameRecord> frames;

  void record(const FrameRecord& frame);
  int count(Outcome outcome) const { return outcomes[static_cast<size_t>(outcome)]; }
  int placed() const { return count(Outcome::accepted) + count(Outcome::relocalised); }
  int refused() const { return frames_read - placed(); }
  int keyframes() const;
};

struct RunResult {
  RunStats stats;
  cv::Mat panorama;
  cv::Mat cropped;
  cv::Mat outlines;  // empty unless asked for
  // With --finish: the finished panorama and what its render reported.
  cv::Mat finished;
  zemb::FinishReport finish_report;
};

// Feeds every frame of `source` to one stitcher, whose working folder is a
// fresh temporary folder removed at the end. A frame the stitcher refuses as
// unusable (another size than the first) ends the run with PanoError
// (kExitBadInput) naming the frame.
RunResult stitch_frames(FrameSource& source, bool with_outlines, Progress& progress);

// The same through a zemb::Sweep with `options`; its preview becomes the
// panorama and, with `finish`, its finished render `finished`.
RunResult sweep_frames(FrameSource& source, const zemb::SweepOptions& options, bool finish, Progress& progress);

// Milliseconds from `start` until now.
double milliseconds_since(std::chrono::steady_clock::time_point start);

// A temporary folder of this run, removed with what is in it when the object
// goes; the stitcher's or the sweep's working folder.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Turns a frame the library refuses as unusable (cv::Exception StsBadArg)
// into PanoError (kExitBadInput) naming the frame.
template <typename Call>
auto refusing_bad_frames(const FrameSource& source, Call call) -> decltype(call()) {
  try {
    return call();
  } catch (const cv::Exception& e) {
    if (e.code != cv::Error::StsBadArg) throw;
    throw PanoError(kExitBadInput, source.last_frame_name() + ": " + e.err);
  }
}

// Throws PanoError unless the run read frames and placed at least one next
// to the first: a single frame is no panorama.
void require_placed(const RunStats& stats, const std::string& input);

}  // namespace zemb_pano

#endif  // ZEMB_PANO_STITCH_RUN_H

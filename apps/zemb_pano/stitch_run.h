// One run of zemb_pano: every frame of the source through one stitcher, with
// what became of each frame and how long it took.
#ifndef ZEMB_PANO_STITCH_RUN_H
#define ZEMB_PANO_STITCH_RUN_H

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "frame_source.h"

namespace zemb_pano {

class Progress;

enum class Outcome { accepted, too_few_keypoints, too_few_tracked, not_extended, not_placed };
constexpr size_t kOutcomeCount = 5;

struct RunStats {
  int frames_read = 0;
  std::array<int, kOutcomeCount> outcomes{};
  std::vector<double> frame_ms;  // time each frame took in the stitcher

  void record(Outcome outcome, double ms);
  int count(Outcome outcome) const { return outcomes[static_cast<size_t>(outcome)]; }
  int refused() const { return frames_read - count(Outcome::accepted); }
};

struct RunResult {
  RunStats stats;
  cv::Mat panorama;
  cv::Mat cropped;
  cv::Mat outlines;  // empty unless asked for
};

// Feeds every frame of `source` to one stitcher, whose working folder is a
// fresh temporary folder removed at the end. A frame the stitcher refuses as
// unusable (another size than the first) ends the run with PanoError
// (kExitBadInput) naming the frame.
RunResult stitch_frames(FrameSource& source, bool with_outlines, Progress& progress);

// Throws PanoError unless the run read frames and placed at least one next
// to the first: a single frame is no panorama.
void require_placed(const RunStats& stats, const std::string& input);

}  // namespace zemb_pano

#endif  // ZEMB_PANO_STITCH_RUN_H

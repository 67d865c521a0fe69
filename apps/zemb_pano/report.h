// What a run tells the person watching it: a progress display while frames
// go through, and a summary at the end.
#ifndef ZEMB_PANO_REPORT_H
#define ZEMB_PANO_REPORT_H

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include <opencv2/core.hpp>

#include "stitch_run.h"

namespace zemb_pano {

// On a terminal, one line redrawn in place with a bar when the number of
// frames is known; elsewhere (a log, a pipe) a plain line now and then.
class Progress {
 public:
  Progress(std::ostream& out, bool terminal, std::optional<int> expected_frames);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void update(const RunStats& stats);
  void finish(const RunStats& stats);

 private:
  void show(const RunStats& stats);

  std::ostream& out_;
  bool terminal_;
  std::optional<int> expected_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_shown_;
  bool line_open_ = false;  // a terminal line waits for its end
};

// What became of the frames, the sizes of the results and, for a finished
// render, its report. `sweep` says the run went through the sweep.
void print_summary(std::ostream& out, const RunResult& run, bool sweep);

// One line per frame: index, status, count, time in ms, keyframe (1 or 0),
// after a header line. PanoError (kExitBadOutput) when it cannot be written.
void write_frames_csv(const std::string& path, const RunStats& stats);

}  // namespace zemb_pano

#endif  // ZEMB_PANO_REPORT_H

// What a run tells the person watching it: a progress display while frames
// go through, and a summary at the end.
#ifndef ZEMB_PANO_REPORT_H
#define ZEMB_PANO_REPORT_H

#include <chrono>
#include <optional>
#include <ostream>

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

void print_summary(std::ostream& out, const RunStats& stats, cv::Size panorama, cv::Size cropped);

}  // namespace zemb_pano

#endif  // ZEMB_PANO_REPORT_H

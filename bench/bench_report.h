// The sweeps the benchmark runs over, what one pass over a sweep records, and
// the report and chart made from all passes.
#ifndef ZEMB_BENCH_REPORT_H
#define ZEMB_BENCH_REPORT_H

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "stage_driver.h"

namespace zemb_bench {

// A sweep whose frames are made one at a time, when asked for.
struct Sweep {
  std::string name;
  int frames = 0;
  std::function<cv::Mat(int)> frame;
};

// One pass of ofcheck_stitch over a sweep.
struct StitchRun {
  std::vector<double> frame_ms;
  std::vector<int> results;
  cv::Mat panorama;
};

// One pass of the stage driver over a sweep.
struct StageRun {
  std::vector<FrameStages> frames;
  cv::Mat panorama;
};

// Every pass, by sweep name.
struct Measurements {
  std::map<std::string, std::vector<StitchRun>> stitched;
  std::map<std::string, std::vector<StageRun>> driven;
};

// Markdown tables: per-stage medians, latency percentiles, the growth table
// and the target ratios of the long sweep, and the driver's agreement with
// ofcheck_stitch. Sweeps without passes of both kinds are left out.
void print_report(std::ostream& out, const std::vector<Sweep>& sweeps, const Measurements& measured);

// Per-frame time against frame index on sweep `name` (medians over passes):
// ofcheck_stitch, place_frame and the memcpy of the old panorama.
cv::Mat frame_time_chart(const Measurements& measured, const std::string& name);

}  // namespace zemb_bench

#endif  // ZEMB_BENCH_REPORT_H

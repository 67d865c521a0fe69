// What one pass over a sequence records, and the report and chart made from
// all passes.
#ifndef ZEMB_BENCH_REPORT_H
#define ZEMB_BENCH_REPORT_H

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "bench_support.h"
#include "stage_driver.h"

namespace zemb_bench {

// One pass of the stage driver over a sequence.
struct StageRun {
  std::vector<FrameStages> frames;
  cv::Mat panorama;
};

// Every pass, by sequence name.
struct Measurements {
  std::map<std::string, std::vector<StitchRun>> stitched;
  std::map<std::string, std::vector<StageRun>> driven;
};

// Whether sequence `name` has passes of both kinds.
bool measured_both_ways(const Measurements& measured, const std::string& name);

// Markdown tables (per-stage medians, latency percentiles; on the long sweep
// the growth table and the targets), then one line: whether the stage
// driver's final panorama, its steps watched, is that of ofcheck_stitch left
// alone. Sequences without passes of both kinds are left out.
void print_report(std::ostream& out, const std::vector<Sequence>& sequences, const Measurements& measured);

// Per-frame time against frame index on sequence `name` (medians over
// passes): ofcheck_stitch, the placement steps and the memcpy of the old
// panorama.
cv::Mat frame_time_chart(const Measurements& measured, const std::string& name);

}  // namespace zemb_bench

#endif  // ZEMB_BENCH_REPORT_H

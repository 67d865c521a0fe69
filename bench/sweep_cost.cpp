// zemb_sweep_cost: what zemb::Sweep::add costs a frame next to
// ZembStitcher::ofcheck_stitch, on the same 1920x1080 frames of every
// sequence zemb_bench runs: the median accepted and the median refused frame
// of each, and the ratio. Sweep::add does more with a frame (adaptive
// detection, keyframes and their links, recovery of lost frames); this is
// what that costs.
//
// Options: --photos=DIR, --runs=N (passes of each over every sequence,
// default 3).
#include <cmath>
#include <iostream>

#include "bench_support.h"
#include "fixed/settings.h"
#include "zemb/sweep.h"

namespace {

using namespace zemb_bench;
using Row = std::vector<std::string>;

// One pass over a sequence: each frame's time and whether it was accepted.
struct Pass {
  std::vector<double> ms;
  std::vector<bool> accepted;
};

Pass stitcher_pass(const Sequence& sequence) {
  const StitchRun run = stitch(sequence);
  std::vector<bool> accepted;
  // Every refusal returns a count below min_keypoints or a negative code.
  for (int result : run.results) accepted.push_back(result >= zemb::kFixedPath.min_keypoints);
  return {run.frame_ms, accepted};
}

Pass sweep_pass(const Sequence& sequence) {
  zemb::Sweep sweep;
  Pass pass;
  for (int i = 0; i < sequence.frames; ++i) {
    const cv::Mat frame = sequence.frame(i);
    zemb::FrameStatus status;
    pass.ms.push_back(time_of([&] { status = sweep.add(frame); }));
    pass.accepted.push_back(status.placed());
  }
  return pass;
}

// Frame by frame, the median time over the passes; accepted as in the first.
Pass median_pass(const std::vector<Pass>& passes) {
  std::vector<std::vector<double>> times;
  for (const Pass& pass : passes) times.push_back(pass.ms);
  return {frame_medians(times), passes.front().accepted};
}

// The median time of the frames `pass` accepted (or refused).
std::vector<double> times_of(const Pass& pass, bool accepted) {
  std::vector<double> times;
  for (size_t i = 0; i < pass.ms.size(); ++i)
    if (pass.accepted[i] == accepted) times.push_back(pass.ms[i]);
  return times;
}

std::string figure(const std::vector<double>& times) {
  return times.empty() ? "-" : cv::format("%.2f (%zu)", median(times), times.size());
}

Row side_by_side(const Pass& sweep, const Pass& stitcher, bool accepted) {
  const std::vector<double> sweep_ms = times_of(sweep, accepted), stitcher_ms = times_of(stitcher, accepted);
  const double ratio = median(sweep_ms) / median(stitcher_ms);
  return {figure(sweep_ms), figure(stitcher_ms), std::isfinite(ratio) ? cv::format("%.2fx", ratio) : "-"};
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto stop = stop_on_options(argc, argv, {"runs", "photos"})) return *stop;
  const int runs = std::stoi(option_value(argc, argv, "runs", "3"));
  const std::vector<NamedPhoto> photos = load_photos(argc, argv);
  if (photos.empty()) return 1;
  std::cout << "Sweep::add against ofcheck_stitch, ms a frame; load average at start: " << load_average() << "\n\n";
  std::vector<Row> rows;
  for (const Sequence& sequence : sequences(photos)) {
    std::vector<Pass> sweep_passes, stitcher_passes;
    for (int run = 0; run < runs; ++run) {  // taken in turn, so that a change of load hits both alike
      sweep_passes.push_back(sweep_pass(sequence));
      stitcher_passes.push_back(stitcher_pass(sequence));
    }
    Row row{sequence.name, std::to_string(sequence.frames)};
    for (bool accepted : {true, false}) {
      const Row cells = side_by_side(median_pass(sweep_passes), median_pass(stitcher_passes), accepted);
      row.insert(row.end(), cells.begin(), cells.end());
    }
    rows.push_back(row);
  }
  print_markdown_table(std::cout,
                       {"sequence", "frames", "Sweep::add, accepted", "ofcheck_stitch, accepted", "ratio",
                        "Sweep::add, refused", "ofcheck_stitch, refused", "ratio"},
                       rows);
  std::cout << "ms (n): median over n frames of each frame's median over " << runs
            << " passes; ratio = Sweep::add / ofcheck_stitch.\nload average at end: " << load_average() << "\n";
  return 0;
}

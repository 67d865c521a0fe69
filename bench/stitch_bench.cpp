// zemb_bench: the stitcher's speed on real-photo sweeps of 1920x1080 frames.
//
// Google Benchmark runs, for every sequence, the stitcher end to end
// (ofcheck_stitch, one timing per frame) and the stage driver (the same calls
// with each of the path's steps timed). Each repetition is one pass over the
// sequence. After the runs a report follows: per-stage medians, per-frame
// latency percentiles, the growth of the per-frame time with the canvas next
// to a memcpy of the same panorama, whether the watched steps gave the
// panorama the unwatched ones give, and a PNG chart of per-frame time along the long sweep.
//
// Options besides Google Benchmark's own: --photos=DIR (the photographs),
// --runs=N (passes over each sweep, default 5), --chart=FILE (default
// frame_time.png).
#include <iostream>
#include <numeric>

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>

#include "bench_report.h"
#include "stage_driver.h"

namespace {

using namespace zemb_bench;

StageRun drive(const Sequence& sequence) {
  StageDriver driver;
  StageRun run;
  for (int i = 0; i < sequence.frames; ++i) {
    cv::Mat frame = sequence.frame(i);
    run.frames.push_back(driver.add(frame));
  }
  run.panorama = driver.panorama();
  return run;
}

// One benchmark whose every repetition is one pass of `pass` over `sequence`,
// timed by the sum of its per-frame times, and kept in `runs`.
template <typename Run>
void register_passes(const std::string& label, const Sequence& sequence, int repetitions, Run (*pass)(const Sequence&),
                     double (*total_ms)(const Run&), std::vector<Run>& runs) {
  benchmark::RegisterBenchmark(label.c_str(), [=, &sequence, &runs](benchmark::State& state) {
    for (auto _ : state) {
      Run run = pass(sequence);
      state.SetIterationTime(total_ms(run) / 1000.0);
      state.counters["ms_per_frame"] = total_ms(run) / sequence.frames;
      state.counters["canvas_cols"] = run.panorama.cols;
      runs.push_back(std::move(run));
    }
  })->UseManualTime()->Iterations(1)->Repetitions(repetitions)->ReportAggregatesOnly()->Unit(benchmark::kMillisecond);
}

double stitch_total(const StitchRun& run) { return std::accumulate(run.frame_ms.begin(), run.frame_ms.end(), 0.0); }

double stage_total(const StageRun& run) {
  double total = 0.0;
  for (const FrameStages& f : run.frames) total += f.total();
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (const auto stop = stop_on_options(argc, argv, {"runs", "chart", "photos"})) return *stop;
  const int runs = std::stoi(option_value(argc, argv, "runs", "5"));
  const std::string chart_path = option_value(argc, argv, "chart", "frame_time.png");
  const std::vector<NamedPhoto> photos = load_photos(argc, argv);
  if (photos.empty()) return 1;
  const std::vector<Sequence> all = sequences(photos);
  Measurements measured;
  for (const Sequence& sequence : all) {
    register_passes(sequence.name + "/ofcheck_stitch", sequence, runs, stitch, stitch_total,
                    measured.stitched[sequence.name]);
    register_passes(sequence.name + "/stages", sequence, runs, drive, stage_total, measured.driven[sequence.name]);
  }
  benchmark::AddCustomContext("load average (1 min) at start", load_average());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  print_report(std::cout, all, measured);
  if (measured_both_ways(measured, "long_sweep")) {
    cv::imwrite(chart_path, frame_time_chart(measured, "long_sweep"), {cv::IMWRITE_PNG_COMPRESSION, 9});
    std::cout << "\nchart: " << chart_path << "\n";
  }
  std::cout << "load average (1 min) at end: " << load_average() << "\n";
  return 0;
}

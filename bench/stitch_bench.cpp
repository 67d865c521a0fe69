// zemb_bench: the stitcher's speed on real-photo sweeps of 1920x1080 frames.
//
// Google Benchmark runs, for every sweep, the stitcher end to end
// (ofcheck_stitch, one timing per frame) and the stage driver (the same steps
// called one by one, each timed). Each repetition is one pass over the sweep.
// After the runs a report follows: per-stage medians, per-frame latency
// percentiles, the growth of the per-frame time with the canvas next to a
// memcpy of the same panorama, and a PNG chart of per-frame time against
// frame index on the long sweep.
//
// Options besides Google Benchmark's own: --photos=DIR (the photographs),
// --runs=N (passes over each sweep, default 5), --chart=FILE (default
// frame_time.png).
#include <iostream>
#include <numeric>

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>

#include "bench_report.h"
#include "bench_support.h"
#include "stage_driver.h"

namespace {

using namespace zemb_bench;

StitchRun stitch_sweep(const Sweep& sweep) {
  ZembStitcher stitcher{std::string()};
  StitchRun run;
  for (int i = 0; i < sweep.frames; ++i) {
    cv::Mat frame = sweep.frame(i);
    const Stopwatch watch;
    run.results.push_back(stitcher.ofcheck_stitch(frame));
    run.frame_ms.push_back(watch.ms());
  }
  run.panorama = stitcher.panorama;
  return run;
}

StageRun drive_sweep(const Sweep& sweep) {
  StageDriver driver;
  StageRun run;
  for (int i = 0; i < sweep.frames; ++i) {
    cv::Mat frame = sweep.frame(i);
    run.frames.push_back(driver.add(frame));
  }
  run.panorama = driver.panorama();
  return run;
}

double sum(const std::vector<double>& values) { return std::accumulate(values.begin(), values.end(), 0.0); }

void report_pass(benchmark::State& state, double total_ms, int frames, int canvas_cols) {
  state.SetIterationTime(total_ms / 1000.0);
  state.counters["ms_per_frame"] = total_ms / frames;
  state.counters["canvas_cols"] = canvas_cols;
}

void register_sweep(const Sweep& sweep, int runs, Measurements& measured) {
  benchmark::RegisterBenchmark((sweep.name + "/ofcheck_stitch").c_str(),
                               [&sweep, &measured](benchmark::State& state) {
                                 for (auto _ : state) {
                                   StitchRun run = stitch_sweep(sweep);
                                   report_pass(state, sum(run.frame_ms), sweep.frames, run.panorama.cols);
                                   measured.stitched[sweep.name].push_back(std::move(run));
                                 }
                               })
      ->UseManualTime()->Iterations(1)->Repetitions(runs)->ReportAggregatesOnly()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark((sweep.name + "/stages").c_str(), [&sweep, &measured](benchmark::State& state) {
    for (auto _ : state) {
      StageRun run = drive_sweep(sweep);
      double total = 0.0;
      for (const FrameStages& f : run.frames) total += f.steps();
      report_pass(state, total, sweep.frames, run.panorama.cols);
      measured.driven[sweep.name].push_back(std::move(run));
    }
  })->UseManualTime()->Iterations(1)->Repetitions(runs)->ReportAggregatesOnly()->Unit(benchmark::kMillisecond);
}

Sweep long_sweep_source(const zemb_tools::LongSweep& sweep) {
  return {"long_sweep", sweep.frame_count(), [&sweep](int i) { return sweep.camera_frame(i); }};
}

// The frames are kept; the stitcher releases only its own header of each.
Sweep short_sweep_source(const NamedPhoto& photo, const std::vector<cv::Mat>& frames) {
  return {"short/" + photo.name, static_cast<int>(frames.size()), [&frames](int i) { return frames[i]; }};
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::string folder = option_value(argc, argv, "photos", default_photo_folder());
  const int runs = std::stoi(option_value(argc, argv, "runs", "5"));
  const std::string chart_path = option_value(argc, argv, "chart", "frame_time.png");
  const std::vector<NamedPhoto> photos = load_photos(folder);
  if (photos.empty()) {
    std::cerr << "zemb_bench: no *.jpg photographs in " << folder << " (--photos=DIR)\n";
    return 1;
  }
  const zemb_tools::LongSweep long_frames = long_sweep(photos);
  std::vector<std::vector<cv::Mat>> short_frames;
  for (const NamedPhoto& photo : photos) short_frames.push_back(short_sweep(photo.image));
  std::vector<Sweep> sweeps{long_sweep_source(long_frames)};
  for (size_t i = 0; i < photos.size(); ++i) sweeps.push_back(short_sweep_source(photos[i], short_frames[i]));

  Measurements measured;
  for (const Sweep& sweep : sweeps) register_sweep(sweep, runs, measured);
  benchmark::AddCustomContext("load average (1 min) at start", load_average());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  print_report(std::cout, sweeps, measured);
  if (measured.driven.count("long_sweep") && measured.stitched.count("long_sweep")) {
    cv::imwrite(chart_path, frame_time_chart(measured, "long_sweep"), {cv::IMWRITE_PNG_COMPRESSION, 9});
    std::cout << "\nchart: " << chart_path << "\n";
  }
  std::cout << "load average (1 min) at end: " << load_average() << "\n";
  return 0;
}

// zemb_vs_stitcher: the incremental stitcher against OpenCV's batch
// cv::Stitcher in SCANS mode, on the same 1920x1080 frames of every short
// photo sweep. zemb's time is the sum of its ofcheck_stitch calls over the
// sweep; cv::Stitcher's is one stitch() of all frames. cv::Stitcher also runs
// on the frames reduced to 500 columns, the width zemb works at, to show that
// its cost is not only the resolution.
//
// Options: --photos=DIR, --runs=N (passes of zemb, default 5), --batch-runs=M
// (passes of cv::Stitcher, default 1; it takes seconds per sweep).
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/stitching.hpp>

#include "bench_support.h"
#include "zemb_stitcher.h"

namespace {

using namespace zemb_bench;

constexpr int kWorkingColumns = 500;

double zemb_pass_ms(const std::vector<cv::Mat>& frames) {
  ZembStitcher stitcher{std::string()};
  double total = 0.0;
  for (cv::Mat frame : frames)  // the stitcher releases this copy of the header only
    total += time_of([&] { stitcher.ofcheck_stitch(frame); });
  return total;
}

struct BatchPass {
  double ms = 0.0;
  cv::Stitcher::Status status = cv::Stitcher::OK;
  cv::Size panorama;
};

BatchPass batch_pass(const std::vector<cv::Mat>& frames) {
  const cv::Ptr<cv::Stitcher> stitcher = cv::Stitcher::create(cv::Stitcher::SCANS);
  cv::Mat panorama;
  BatchPass pass;
  const Stopwatch watch;
  pass.status = stitcher->stitch(frames, panorama);
  pass.ms = watch.ms();
  pass.panorama = panorama.size();
  return pass;
}

// The median pass by time; its status and panorama come with it.
BatchPass median_batch_pass(const std::vector<cv::Mat>& frames, int passes) {
  std::vector<BatchPass> all;
  for (int i = 0; i < passes; ++i) all.push_back(batch_pass(frames));
  std::sort(all.begin(), all.end(), [](const BatchPass& a, const BatchPass& b) { return a.ms < b.ms; });
  return all[(all.size() - 1) / 2];
}

double median_zemb_ms(const std::vector<cv::Mat>& frames, int passes) {
  std::vector<double> totals;
  for (int i = 0; i < passes; ++i) totals.push_back(zemb_pass_ms(frames));
  return median(totals);
}

std::vector<cv::Mat> reduced_to_working_width(const std::vector<cv::Mat>& frames) {
  std::vector<cv::Mat> reduced;
  for (const cv::Mat& frame : frames) {
    const double factor = double(kWorkingColumns) / frame.cols;
    cv::Mat small;
    cv::resize(frame, small, cv::Size(), factor, factor, cv::INTER_AREA);
    reduced.push_back(small);
  }
  return reduced;
}

std::string status_text(const BatchPass& pass) {
  switch (pass.status) {
    case cv::Stitcher::OK: return cv::format("ok, %dx%d", pass.panorama.width, pass.panorama.height);
    case cv::Stitcher::ERR_NEED_MORE_IMGS: return "FAILED: need more images";
    case cv::Stitcher::ERR_HOMOGRAPHY_EST_FAIL: return "FAILED: homography estimation";
    case cv::Stitcher::ERR_CAMERA_PARAMS_ADJUST_FAIL: return "FAILED: camera parameters adjustment";
  }
  return "FAILED";
}

std::vector<std::string> table_row(const std::string& sweep, const std::vector<cv::Mat>& batch_frames,
                                   double zemb_ms, const BatchPass& batch) {
  const double frames = double(batch_frames.size());
  return {sweep,
          std::to_string(batch_frames.size()),
          cv::format("%dx%d", batch_frames[0].cols, batch_frames[0].rows),
          cv::format("%.1f", zemb_ms),
          cv::format("%.2f", zemb_ms / frames),
          status_text(batch),
          cv::format("%.0f", batch.ms),
          cv::format("%.1f", batch.ms / frames),
          cv::format("%.1fx", batch.ms / zemb_ms)};
}

// Two rows: cv::Stitcher on the camera frames, then on the reduced frames.
std::vector<std::vector<std::string>> compare_on(const NamedPhoto& photo, int runs, int batch_runs) {
  const std::vector<cv::Mat> frames = short_sweep(photo.image);
  const double zemb_ms = median_zemb_ms(frames, runs);
  const std::vector<cv::Mat> reduced = reduced_to_working_width(frames);
  return {table_row(photo.name, frames, zemb_ms, median_batch_pass(frames, batch_runs)),
          table_row(photo.name + " (500 px)", reduced, zemb_ms, median_batch_pass(reduced, batch_runs))};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string folder = option_value(argc, argv, "photos", default_photo_folder());
  const int runs = std::stoi(option_value(argc, argv, "runs", "5"));
  const int batch_runs = std::stoi(option_value(argc, argv, "batch-runs", "1"));
  const std::vector<NamedPhoto> photos = load_photos(folder);
  if (photos.empty()) {
    std::cerr << "zemb_vs_stitcher: no *.jpg photographs in " << folder << " (--photos=DIR)\n";
    return 1;
  }
  std::cout << "zemb: median of " << runs << " passes; cv::Stitcher (SCANS): median of " << batch_runs
            << "; OpenCV threads: " << cv::getNumThreads() << "; load average at start: " << load_average()
            << "\n\n";
  std::vector<std::vector<std::string>> rows;
  for (const NamedPhoto& photo : photos) {
    const auto photo_rows = compare_on(photo, runs, batch_runs);
    rows.insert(rows.end(), photo_rows.begin(), photo_rows.end());
  }
  print_markdown_table(std::cout,
                       {"sweep", "frames", "cv::Stitcher gets", "zemb ms", "zemb ms/frame", "cv::Stitcher result",
                        "cv::Stitcher ms", "cv ms/frame", "ratio"},
                       rows);
  std::cout << "ratio = cv::Stitcher total / zemb total over the same sweep; zemb always gets the 1920x1080 "
               "frames.\nload average at end: "
            << load_average() << "\n";
  return 0;
}

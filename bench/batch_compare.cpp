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
#include <numeric>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/stitching.hpp>

#include "bench_support.h"
#include "fixed/settings.h"

namespace {

using namespace zemb_bench;

// The width the fixed path works at.
constexpr int kWorkingColumns = zemb::kFixedPath.preparation.working_columns;

// The median over `passes` of the sum of ofcheck_stitch's times.
double zemb_ms(const std::vector<cv::Mat>& frames, int passes) {
  const Sequence sequence{"", static_cast<int>(frames.size()), [&frames](int i) { return frames[i]; }};
  std::vector<double> totals;
  for (int i = 0; i < passes; ++i) {
    const std::vector<double> frame_ms = stitch(sequence).frame_ms;
    totals.push_back(std::accumulate(frame_ms.begin(), frame_ms.end(), 0.0));
  }
  return median(totals);
}

// cv::Stitcher's median pass by time, with what it gave: the panorama's size
// or what failed.
std::pair<double, std::string> batch_pass(const std::vector<cv::Mat>& frames, int passes) {
  static const char* const kFailures[] = {"", "need more images", "homography estimation",
                                          "camera parameters adjustment"};
  std::vector<std::pair<double, std::string>> all;
  for (int i = 0; i < passes; ++i) {
    const cv::Ptr<cv::Stitcher> stitcher = cv::Stitcher::create(cv::Stitcher::SCANS);
    cv::Mat panorama;
    cv::Stitcher::Status status = cv::Stitcher::OK;
    const double ms = time_of([&] { status = stitcher->stitch(frames, panorama); });
    all.emplace_back(ms, status == cv::Stitcher::OK ? cv::format("ok, %dx%d", panorama.cols, panorama.rows)
                                                    : std::string("FAILED: ") + kFailures[status]);
  }
  std::sort(all.begin(), all.end());
  return all[(all.size() - 1) / 2];
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

std::vector<std::string> table_row(const std::string& sweep, const std::vector<cv::Mat>& batch_frames,
                                   double zemb, int batch_runs) {
  const auto [batch_ms, result] = batch_pass(batch_frames, batch_runs);
  const double frames = double(batch_frames.size());
  return {sweep,
          std::to_string(batch_frames.size()),
          cv::format("%dx%d", batch_frames[0].cols, batch_frames[0].rows),
          cv::format("%.1f", zemb),
          cv::format("%.2f", zemb / frames),
          result,
          cv::format("%.0f", batch_ms),
          cv::format("%.1f", batch_ms / frames),
          cv::format("%.1fx", batch_ms / zemb)};
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto stop = stop_on_options(argc, argv, {"runs", "batch-runs", "photos"})) return *stop;
  const int runs = std::stoi(option_value(argc, argv, "runs", "5"));
  const int batch_runs = std::stoi(option_value(argc, argv, "batch-runs", "1"));
  const std::vector<NamedPhoto> photos = load_photos(argc, argv);
  if (photos.empty()) return 1;
  std::cout << "zemb: median of " << runs << " passes; cv::Stitcher (SCANS): median of " << batch_runs
            << "; OpenCV threads: " << cv::getNumThreads() << "; load average at start: " << load_average()
            << "\n\n";
  std::vector<std::vector<std::string>> rows;
  for (const NamedPhoto& photo : photos) {
    const std::vector<cv::Mat> frames = short_sweep(photo.image);
    const double zemb = zemb_ms(frames, runs);
    rows.push_back(table_row(photo.name, frames, zemb, batch_runs));
    rows.push_back(table_row(photo.name + " (500 px)", reduced_to_working_width(frames), zemb, batch_runs));
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

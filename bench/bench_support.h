// What the benchmark programs share: the photographs and the sequences of
// camera frames made from them, a stopwatch and order statistics.
#ifndef ZEMB_BENCH_SUPPORT_H
#define ZEMB_BENCH_SUPPORT_H

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zemb_bench {

struct NamedPhoto {
  std::string name;  // file name without extension
  cv::Mat image;
};

// Every *.jpg of the folder --photos=DIR names (by default the project's
// photos), in name order. When there is none, the program says so on stderr
// and the list is empty.
std::vector<NamedPhoto> load_photos(int argc, char** argv);

// 1920x1080 camera frames: a 1080x1920 window sliding along one photo scaled
// to a height of 2000 pixels, 40 pixels a step, 30 frames.
std::vector<cv::Mat> short_sweep(const cv::Mat& photo);

// A sequence of camera frames, each made when asked for.
struct Sequence {
  std::string name;
  int frames = 0;
  std::function<cv::Mat(int)> frame;
};

// "long_sweep": frames 64 pixels apart along the photos side by side and then
// mirrored, some 280 frames and a panorama of more than 7,000 columns; then
// "short/<photo>", the short sweep of every photo. The frames of a sequence
// are shared: a stitcher releases only its own header of each.
std::vector<Sequence> sequences(const std::vector<NamedPhoto>& photos);

// One pass of ofcheck_stitch over a sequence: each frame's time and result,
// and the panorama at the end.
struct StitchRun {
  std::vector<double> frame_ms;
  std::vector<int> results;
  cv::Mat panorama;
};
StitchRun stitch(const Sequence& sequence);

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double ms() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// Milliseconds `step` takes.
template <typename Step>
double time_of(Step&& step) {
  const Stopwatch watch;
  step();
  return watch.ms();
}

// Nearest-rank percentile, `share` in [0, 1]; NaN for no values.
double percentile(std::vector<double> values, double share);
inline double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

// Frame by frame, the median over `passes` (one value a frame in each).
std::vector<double> frame_medians(const std::vector<std::vector<double>>& passes);

// A Markdown table with padded columns; every row has the header's length.
void print_markdown_table(std::ostream& out, const std::vector<std::string>& header,
                          const std::vector<std::vector<std::string>>& rows);

// The value of `--name=VALUE` among the arguments, or `fallback`.
std::string option_value(int argc, char** argv, const std::string& name, const std::string& fallback);

// Whether the program should stop before it starts: with the exit code 0
// after --help or -h, which lists `names` as --NAME=VALUE options, and 2
// after an argument that is none of them, named on stderr. A mistyped
// option would otherwise be ignored, and a run of many minutes begin with
// the defaults.
std::optional<int> stop_on_options(int argc, char** argv, const std::vector<std::string>& names);

// The 1-minute load average, as a reminder that the machine is shared.
std::string load_average();

// The most memory a step held: the process's peak resident size while the
// step ran, less what was resident when it began, in MiB. Linux keeps the
// peak in /proc/self/status (VmHWM) and lets the process reset it; where it
// cannot, the value is NaN.
class PeakMemory {
 public:
  PeakMemory();  // resets the peak and notes what is resident
  double mib_above_start() const;

 private:
  double start_kib_;
};

}  // namespace zemb_bench

#endif  // ZEMB_BENCH_SUPPORT_H

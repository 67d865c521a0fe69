#include "bench_support.h"

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>

#include <opencv2/imgcodecs.hpp>

#include "long_sweep.h"
#include "synthetic_sweep.h"
#include "zemb_stitcher.h"

namespace zemb_bench {

namespace {

constexpr int kStripHeight = 2000;
const cv::Size kWindow{1080, 1920};

}  // namespace

std::vector<NamedPhoto> load_photos(int argc, char** argv) {
  const std::string folder = option_value(argc, argv, "photos", ZEMB_PHOTO_DIR);
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    if (entry.path().extension() == ".jpg") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<NamedPhoto> photos;
  for (const auto& file : files) photos.push_back({file.stem().string(), cv::imread(file.string())});
  if (photos.empty())
    std::cerr << std::filesystem::path(argv[0]).filename().string() << ": no *.jpg photographs in " << folder
              << " (--photos=DIR)\n";
  return photos;
}

std::vector<cv::Mat> short_sweep(const cv::Mat& photo) {
  zemb_tools::SweepSettings settings;
  settings.window = kWindow;
  settings.step = 40;
  settings.frames = 30;
  std::vector<cv::Mat> frames;
  for (const auto& frame : zemb_tools::make_sweep(zemb_tools::scaled_to_height(photo, kStripHeight), settings))
    frames.push_back(frame.camera_frame);
  return frames;
}

std::vector<Sequence> sequences(const std::vector<NamedPhoto>& photos) {
  std::vector<cv::Mat> images;
  for (const NamedPhoto& photo : photos) images.push_back(photo.image);
  zemb_tools::LongSweepSettings settings;
  settings.strip_height = kStripHeight;
  settings.window = kWindow;
  settings.step = 64;
  const auto strip = std::make_shared<zemb_tools::LongSweep>(images, settings);
  std::vector<Sequence> all{{"long_sweep", strip->frame_count(), [strip](int i) { return strip->camera_frame(i); }}};
  for (const NamedPhoto& photo : photos) {
    const auto frames = std::make_shared<std::vector<cv::Mat>>(short_sweep(photo.image));
    all.push_back({"short/" + photo.name, static_cast<int>(frames->size()), [frames](int i) { return (*frames)[i]; }});
  }
  return all;
}

StitchRun stitch(const Sequence& sequence) {
  ZembStitcher stitcher{std::string()};
  StitchRun run;
  for (int i = 0; i < sequence.frames; ++i) {
    cv::Mat frame = sequence.frame(i);
    int result = 0;
    run.frame_ms.push_back(time_of([&] { result = stitcher.ofcheck_stitch(frame); }));
    run.results.push_back(result);
  }
  run.panorama = stitcher.panorama;
  return run;
}

double percentile(std::vector<double> values, double share) {
  if (values.empty()) return std::nan("");
  const size_t rank = static_cast<size_t>(std::ceil(share * values.size()));
  const size_t index = rank == 0 ? 0 : rank - 1;
  std::nth_element(values.begin(), values.begin() + index, values.end());
  return values[index];
}

std::vector<double> frame_medians(const std::vector<std::vector<double>>& passes) {
  std::vector<double> medians;
  for (size_t frame = 0; frame < passes.front().size(); ++frame) {
    std::vector<double> values;
    for (const auto& pass : passes) values.push_back(pass[frame]);
    medians.push_back(median(values));
  }
  return medians;
}

void print_markdown_table(std::ostream& out, const std::vector<std::string>& header,
                          const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const std::string& title : header) widths.push_back(std::max<size_t>(title.size(), 3));
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  const auto print_row = [&](const std::vector<std::string>& row) {
    out << "|";
    for (size_t c = 0; c < row.size(); ++c) out << " " << row[c] << std::string(widths[c] - row[c].size(), ' ') << " |";
    out << "\n";
  };
  print_row(header);
  std::vector<std::string> rule;
  for (size_t width : widths) rule.push_back(std::string(width, '-'));
  print_row(rule);
  for (const auto& row : rows) print_row(row);
  out << "\n";
}

std::string option_value(int argc, char** argv, const std::string& name, const std::string& fallback) {
  const std::string prefix = "--" + name + "=";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind(prefix, 0) == 0) return arg.substr(prefix.size());
  }
  return fallback;
}

std::optional<int> stop_on_options(int argc, char** argv, const std::vector<std::string>& names) {
  const std::string program = std::filesystem::path(argv[0]).filename().string();
  const auto listed = [&names] {
    std::string list;
    for (const std::string& name : names) list += " [--" + name + "=VALUE]";
    return list;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << "usage: " << program << listed() << "\n(what each does: the comment atop its source file)\n";
      return 0;
    }
    const std::size_t equals = arg.find('=');
    const bool known = arg.rfind("--", 0) == 0 && equals != std::string::npos &&
                       std::find(names.begin(), names.end(), arg.substr(2, equals - 2)) != names.end();
    if (!known) {
      std::cerr << program << ": unknown argument " << arg << "\nusage: " << program << listed() << "\n";
      return 2;
    }
  }
  return std::nullopt;
}

std::string load_average() {
  std::ifstream loadavg("/proc/loadavg");
  std::string one_minute;
  loadavg >> one_minute;
  return one_minute.empty() ? "unknown" : one_minute;
}

namespace {

// A field of /proc/self/status in KiB, or NaN.
double status_kib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, field.size() + 1, field + ":") == 0) return std::stod(line.substr(field.size() + 1));
  return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

PeakMemory::PeakMemory() {
  ::malloc_trim(0);  // what is free goes back to the system, so that the step's own use shows
  std::ofstream("/proc/self/clear_refs") << "5";  // 5: reset the peak resident size to the current one
  start_kib_ = status_kib("VmRSS");
}

double PeakMemory::mib_above_start() const { return (status_kib("VmHWM") - start_kib_) / 1024.0; }

}  // namespace zemb_bench

// make_sweep: cuts a sweep of camera frames out of one photograph and writes
// them as numbered JPEG files, ready for zemb_pano or for the tests.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sweep_maker.h"

namespace {

const char* const kUsage = R"(usage: make_sweep PHOTO OUTDIR [options]

Cuts camera frames out of PHOTO, moving a window from its left edge to the
right, and writes them to OUTDIR as frame_01.jpg, frame_02.jpg, ... The
frames are in camera orientation for a sweep toward their top edge.

options:
  --scale F         scale the photo by F first (default 1)
  --frames N        number of frames (default 30; fewer when the photo ends)
  --step PX         photo pixels between frames, after scaling (default 40)
  --frame-size WxH  camera frame size (default 640x360)
  --rotation DEG    turn each frame by up to DEG degrees (default 0)
  --jitter PX       shift each frame up or down by up to PX pixels (default 0)
  --seed N          seed of the rotations and shifts (default 1)
  --quality Q       JPEG quality, 0 to 100 (default 90)

example:
  make_sweep life.jpg data/life_sweep --scale 0.35 --step 24 --rotation 0.3 --jitter 6
)";

struct ToolOptions {
  std::string photo;
  std::string out_dir;
  double scale = 1.0;
  int quality = 90;
  zemb_tools::SweepSettings sweep;
};

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "make_sweep: " << message << "\n";
  std::exit(1);
}

double number(const std::string& text, const std::string& option) {
  size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size()) fail(option + " expects a number, got '" + text + "'");
  return value;
}

// The camera frame is W columns by H rows; in the photo its window is H wide
// (along the sweep) and W high, because frames are turned back before use.
cv::Size window_of(const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) fail("--frame-size expects WxH, got '" + text + "'");
  const int width = static_cast<int>(number(text.substr(0, x), "--frame-size"));
  const int height = static_cast<int>(number(text.substr(x + 1), "--frame-size"));
  if (width < 1 || height < 1) fail("--frame-size expects positive sides, got '" + text + "'");
  return {height, width};
}

ToolOptions parse(int argc, char** argv) {
  ToolOptions o;
  zemb_tools::SweepSettings& s = o.sweep;
  const std::map<std::string, std::function<void(const std::string&)>> setters = {
      {"--scale", [&](const std::string& v) { o.scale = number(v, "--scale"); }},
      {"--frames", [&](const std::string& v) { s.frames = static_cast<int>(number(v, "--frames")); }},
      {"--step", [&](const std::string& v) { s.step = static_cast<int>(number(v, "--step")); }},
      {"--frame-size", [&](const std::string& v) { s.window = window_of(v); }},
      {"--rotation", [&](const std::string& v) { s.max_rotation_deg = number(v, "--rotation"); }},
      {"--jitter", [&](const std::string& v) { s.max_jitter = static_cast<int>(number(v, "--jitter")); }},
      {"--seed", [&](const std::string& v) { s.seed = static_cast<unsigned>(number(v, "--seed")); }},
      {"--quality", [&](const std::string& v) { o.quality = static_cast<int>(number(v, "--quality")); }},
  };
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      std::exit(0);
    }
    const auto setter = setters.find(arg);
    if (setter == setters.end()) {
      if (arg.rfind("--", 0) == 0) fail("unknown option " + arg + " (see --help)");
      positional.push_back(arg);
    } else if (i + 1 == argc) {
      fail(arg + " needs a value");
    } else {
      setter->second(argv[++i]);
    }
  }
  if (positional.size() != 2) fail("expects PHOTO and OUTDIR (see --help)");
  o.photo = positional[0];
  o.out_dir = positional[1];
  if (!(o.scale > 0) || s.frames < 1 || s.step < 1 || s.max_jitter < 0)
    fail("--scale, --frames and --step must be positive, --jitter not negative");
  return o;
}

cv::Mat load_scaled_photo(const ToolOptions& o) {
  const cv::Mat photo = cv::imread(o.photo, cv::IMREAD_COLOR);
  if (photo.empty()) fail(o.photo + ": cannot be read as an image");
  cv::Mat scaled;
  cv::resize(photo, scaled, cv::Size(), o.scale, o.scale, o.scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
  const zemb_tools::SweepSettings& s = o.sweep;
  if (s.window.width > scaled.cols || s.window.height + 2 * s.max_jitter > scaled.rows)
    fail(cv::format("the photo is %dx%d after scaling: too small for %dx%d frames with %d pixels of jitter",
                    scaled.cols, scaled.rows, s.window.height, s.window.width, s.max_jitter));
  return scaled;
}

// frame_01.jpg ... with enough digits that name order is sweep order.
std::string frame_name(size_t index, size_t count) {
  const int digits = std::max(2, static_cast<int>(std::to_string(count).size()));
  return cv::format("frame_%0*zu.jpg", digits, index + 1);
}

}  // namespace

int main(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);  // failures get a message of their own
  const ToolOptions o = parse(argc, argv);
  const std::vector<zemb_tools::SweepFrame> sweep = zemb_tools::make_sweep(load_scaled_photo(o), o.sweep);
  std::error_code error;
  std::filesystem::create_directories(o.out_dir, error);
  if (error) fail(o.out_dir + ": " + error.message());
  const std::vector<int> jpeg = {cv::IMWRITE_JPEG_QUALITY, o.quality};
  for (size_t i = 0; i < sweep.size(); ++i) {
    const std::string path = o.out_dir + "/" + frame_name(i, sweep.size());
    if (!cv::imwrite(path, sweep[i].camera_frame, jpeg)) fail(path + ": cannot be written");
  }
  std::cout << "make_sweep: " << sweep.size() << " frames of " << sweep.front().camera_frame.cols << "x"
            << sweep.front().camera_frame.rows << " in " << o.out_dir << "\n";
  return 0;
}

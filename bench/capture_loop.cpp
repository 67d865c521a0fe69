// zemb_capture_loop: a capture loop that waits for its camera, beside one
// that sends its frames back to back. The frames of each clip are read into
// memory first, then given to a zemb::Sweep at --fps frames a second (0: back
// to back), with the keyframes linked between frames and without; for each,
// add()'s median, 99th percentile and slowest frame, and how long finish()
// takes once the last frame is in: what a user waits for at the end.
//
// Options: --data=DIR (the clips, default data/real), --fps=N (default 30),
// --only=NAME (one clip).
#include <iostream>
#include <thread>

#include <opencv2/videoio.hpp>

#include "bench_support.h"
#include "zemb/sweep.h"

namespace {

using namespace zemb_bench;

std::vector<cv::Mat> frames_of(const std::string& path) {
  cv::VideoCapture video(path);
  std::vector<cv::Mat> frames;
  for (cv::Mat frame; video.read(frame);) frames.push_back(frame.clone());
  return frames;
}

std::vector<std::string> loop_row(const std::vector<cv::Mat>& frames, zemb::Scene scene, double fps, bool linking) {
  zemb::SweepOptions options;
  options.scene = scene;
  options.keyframes.link_while_sweeping = linking;
  zemb::Sweep sweep("", options);
  std::vector<double> add_ms;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (fps > 0) std::this_thread::sleep_until(start + std::chrono::duration<double>(static_cast<double>(i) / fps));
    add_ms.push_back(time_of([&] { sweep.add(frames[i]); }));
  }
  const double finish_s = time_of([&] { sweep.finish(); }) / 1000.0;
  return {scene == zemb::Scene::kTurning ? "turning" : "flat", linking ? "on" : "off",
          cv::format("%.1f / %.1f / %.1f", median(add_ms), percentile(add_ms, 0.99), percentile(add_ms, 1.0)),
          cv::format("%.2f", finish_s)};
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto code = stop_on_options(argc, argv, {"data", "fps", "only"})) return *code;
  const std::string data = option_value(argc, argv, "data", std::string(ZEMB_SOURCE_DIR) + "/data/real");
  const double fps = std::stod(option_value(argc, argv, "fps", "30"));
  const std::string only = option_value(argc, argv, "only", "");
  std::cout << "Clips from " << data << " at " << fps << " frames a second; load average " << load_average() << "\n\n";
  std::vector<std::vector<std::string>> rows;
  for (const std::string name : {"parking_zoom.mjpeg", "parking_rotate.mjpeg", "street_pan.mp4"}) {
    if (!only.empty() && name.rfind(only, 0) != 0) continue;
    const std::vector<cv::Mat> frames = frames_of(data + "/" + name);
    if (frames.empty()) continue;
    for (zemb::Scene scene : {zemb::Scene::kTurning, zemb::Scene::kFlat})
      for (bool linking : {false, true}) {
        rows.push_back(loop_row(frames, scene, fps, linking));
        rows.back().insert(rows.back().begin(), name);
      }
  }
  if (rows.empty()) {
    std::cerr << "zemb_capture_loop: no clip found in " << data << "\n";
    return 1;
  }
  print_markdown_table(std::cout,
                       {"clip", "scene", "linked between frames", "add() ms p50 / p99 / slowest", "finish() s"}, rows);
  return 0;
}

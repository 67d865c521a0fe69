// Soak: 2,000 frames of a back-and-forth sweep (six steps forward, four
// back) across a long strip made of a photograph and its mirror images, with
// a frame of the wrong size every 97 frames and a flat one every 89.
// Backward frames are refused (-1) or placed inside the panorama, flat ones
// give a count below 20, wrong sizes throw; the forward ones grow the canvas
// until the homography chain has drifted too far to track (-2). Every 100
// frames it prints the resident memory next to the canvas size, and it fails
// when the memory grown since the start exceeds kCanvasMultiple canvases
// plus a fixed allowance. Built with LeakSanitizer by scripts/soak, which
// reports any leak at exit.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sweep_maker.h"
#include "zemb_stitcher.h"

namespace {

constexpr int kFrames = 2000;
constexpr int kStep = 16;               // strip columns between neighbouring camera positions
constexpr int kReportEvery = 100;
constexpr double kCanvasMultiple = 4.0;  // the canvas, the room it has touched, the other buffer, slack
constexpr double kFixedAllowanceMb = 64.0;  // allocator pools, OpenCV and TBB caches
const cv::Size kWindow(180, 320);

double resident_mb() {
  std::ifstream statm("/proc/self/statm");
  long total_pages = 0, resident_pages = 0;
  statm >> total_pages >> resident_pages;
  return static_cast<double>(resident_pages) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double canvas_mb(const cv::Mat& canvas) {
  return static_cast<double>(canvas.total() * canvas.elemSize()) / (1024.0 * 1024.0);
}

// The photograph, reduced, followed by its mirror image, then by itself
// again, and so on: a scene long enough for the whole sweep without seams.
cv::Mat long_strip() {
  cv::Mat photo = cv::imread(std::string(ZEMB_PHOTO_DIR) + "/life.jpg", cv::IMREAD_COLOR);
  CV_Assert(!photo.empty());
  cv::resize(photo, photo, cv::Size(), 0.35, 0.35, cv::INTER_AREA);
  cv::Mat mirrored, strip;
  cv::flip(photo, mirrored, 1);
  std::vector<cv::Mat> tiles;
  for (int i = 0; i < 8; ++i) tiles.push_back(i % 2 == 0 ? photo : mirrored);
  cv::hconcat(tiles, strip);
  return strip;
}

// Position (in steps) of frame i: six steps forward, then four back.
int position_of(int i) {
  const int cycle = i / 10, phase = i % 10;
  return 2 * cycle + (phase < 6 ? phase : 10 - phase);
}

cv::Mat camera_frame(const cv::Mat& strip, int i) {
  const int x = position_of(i) * kStep;
  CV_Assert(x + kWindow.width <= strip.cols);
  zemb_tools::SweepSettings settings;
  settings.window = kWindow;
  settings.frames = 1;
  return zemb_tools::make_sweep(strip.colRange(x, x + kWindow.width), settings).at(0).camera_frame;
}

cv::Mat frame_number(const cv::Mat& strip, int i) {
  if (i % 97 == 96) return cv::Mat(kWindow.width + 1, kWindow.height, CV_8UC3, cv::Scalar::all(128));
  if (i % 89 == 88) return cv::Mat(kWindow.width, kWindow.height, CV_8UC3, cv::Scalar::all(128));
  return camera_frame(strip, i);
}

struct Tally {
  int placed = 0, not_extended = 0, not_placeable = 0, too_few = 0, bad_frames = 0;

  void count(int result) {
    if (result >= 20) ++placed;
    else if (result == -1) ++not_extended;
    else if (result == -2) ++not_placeable;
    else ++too_few;
  }
};

}  // namespace

int main() {
  const cv::Mat strip = long_strip();
  ZembStitcher stitcher("");
  Tally tally;
  const double start_mb = resident_mb();
  double worst_excess_mb = 0.0;
  std::printf("%6s %7s %7s %7s %7s %7s %14s %10s %10s\n", "frame", "placed", "-1", "-2", "<20", "bad", "canvas",
              "canvas MB", "RSS MB");
  for (int i = 0; i < kFrames; ++i) {
    cv::Mat frame = frame_number(strip, i);
    try {
      tally.count(stitcher.ofcheck_stitch(frame));
    } catch (const cv::Exception&) {
      ++tally.bad_frames;
    }
    const double grown_mb = resident_mb() - start_mb;
    const double allowed_mb = kCanvasMultiple * canvas_mb(stitcher.panorama) + kFixedAllowanceMb;
    worst_excess_mb = std::max(worst_excess_mb, grown_mb - allowed_mb);
    if ((i + 1) % kReportEvery != 0) continue;
    const std::string size = std::to_string(stitcher.panorama.cols) + "x" + std::to_string(stitcher.panorama.rows);
    std::printf("%6d %7d %7d %7d %7d %7d %14s %10.1f %10.1f\n", i + 1, tally.placed, tally.not_extended,
                tally.not_placeable, tally.too_few, tally.bad_frames, size.c_str(), canvas_mb(stitcher.panorama),
                resident_mb());
  }
  std::printf("soak: RSS at start %.1f MB; memory grown beyond %.0f canvases + %.0f MB: %s\n", start_mb,
              kCanvasMultiple, kFixedAllowanceMb, worst_excess_mb > 0.0 ? "yes" : "never");
  return worst_excess_mb > 0.0 ? 1 : 0;
}

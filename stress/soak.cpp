// Soak: 2,000 frames of a back-and-forth sweep (six steps forward, four
// back) across a long strip made of a photograph and its mirror images, with
// a frame of the wrong size every 97 frames and a flat one every 89.
// Backward frames are refused (-1) or placed inside the panorama, flat ones
// give a count below 20, wrong sizes throw; the forward ones grow the canvas
// until the homography chain has drifted too far to track (-2). Every 100
// frames it prints the resident memory next to the canvas size, and it fails
// when the memory grown since the start exceeds kCanvasMultiple canvases
// plus a fixed allowance. A second phase feeds the same 2,000 frames to a
// zemb::Sweep with a small memory budget, so that its keyframe images are
// spilled into its working directory: there memory must stay within the
// budget plus kCanvasMultiple previews plus the allowance, and some images
// must have been spilled. Built with
// LeakSanitizer by scripts/soak, which reports any leak at exit.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "fixed/settings.h"
#include "synthetic_sweep.h"
#include "zemb/sweep.h"
#include "zemb_stitcher.h"

namespace {

constexpr int kFrames = 2000;
constexpr int kStep = 16;               // strip columns between neighbouring camera positions
constexpr int kReportEvery = 100;
constexpr double kCanvasMultiple = 4.0;  // the canvas, the room it has touched, the other buffer, slack
constexpr double kFixedAllowanceMb = 64.0;  // allocator pools, OpenCV and TBB caches
// Kept keyframe images in memory: about half of what the sweep keeps, so
// that the rest is spilled.
constexpr std::size_t kSweepBudget = std::size_t(8) << 20;
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
    if (result >= zemb::kFixedPath.min_keypoints) ++placed;
    else if (result == zemb::kNotExtended) ++not_extended;
    else if (result == zemb::kNotPlaceable) ++not_placeable;
    else ++too_few;
  }
};

// Resident memory against its bound, frame after frame: `grown` since the
// start of a phase, against `multiple` canvases plus the allowance.
class MemoryWatch {
 public:
  explicit MemoryWatch(double fixed_mb) : start_mb_(resident_mb()), fixed_mb_(fixed_mb) {}

  void sample(const cv::Mat& canvas) {
    const double grown_mb = resident_mb() - start_mb_;
    worst_excess_mb_ = std::max(worst_excess_mb_, grown_mb - (kCanvasMultiple * canvas_mb(canvas) + fixed_mb_));
    peak_grown_mb_ = std::max(peak_grown_mb_, grown_mb);
  }

  bool within_bound(const char* phase) const {
    std::printf("soak (%s): RSS at start %.1f MB, grown by at most %.1f MB; beyond %.0f canvases + %.0f MB: %s\n",
                phase, start_mb_, peak_grown_mb_, kCanvasMultiple, fixed_mb_,
                worst_excess_mb_ > 0.0 ? "yes" : "never");
    return worst_excess_mb_ <= 0.0;
  }

 private:
  double start_mb_, fixed_mb_;
  double worst_excess_mb_ = 0.0, peak_grown_mb_ = 0.0;
};

std::string size_of(const cv::Mat& canvas) { return std::to_string(canvas.cols) + "x" + std::to_string(canvas.rows); }

bool soak_stitcher(const cv::Mat& strip) {
  ZembStitcher stitcher("");
  Tally tally;
  MemoryWatch memory(kFixedAllowanceMb);
  std::printf("%6s %7s %7s %7s %7s %7s %14s %10s %10s\n", "frame", "placed", "-1", "-2", "<20", "bad", "canvas",
              "canvas MB", "RSS MB");
  for (int i = 0; i < kFrames; ++i) {
    cv::Mat frame = frame_number(strip, i);
    try {
      tally.count(stitcher.ofcheck_stitch(frame));
    } catch (const cv::Exception&) {
      ++tally.bad_frames;
    }
    memory.sample(stitcher.panorama);
    if ((i + 1) % kReportEvery != 0) continue;
    std::printf("%6d %7d %7d %7d %7d %7d %14s %10.1f %10.1f\n", i + 1, tally.placed, tally.not_extended,
                tally.not_placeable, tally.too_few, tally.bad_frames, size_of(stitcher.panorama).c_str(),
                canvas_mb(stitcher.panorama), resident_mb());
  }
  return memory.within_bound("ZembStitcher");
}

// The same frames through a zemb::Sweep whose keyframe images beyond
// kSweepBudget go to a folder it makes for itself in the temporary folder.
bool soak_sweep(const cv::Mat& strip) {
  zemb::SweepOptions options;
  options.memory.budget_bytes = kSweepBudget;
  zemb::Sweep sweep(std::string(), options);
  int bad_frames = 0;
  MemoryWatch memory(kFixedAllowanceMb + static_cast<double>(kSweepBudget) / (1024.0 * 1024.0));
  std::printf("%6s %7s %7s %7s %7s %7s %7s %7s %14s %10s %10s %10s\n", "frame", "placed", "reloc", "not ext",
              "not pl", "<min", "bad", "keyfr", "preview", "preview MB", "kept MB", "RSS MB");
  for (int i = 0; i < kFrames; ++i) {
    try {
      sweep.add(frame_number(strip, i));
    } catch (const cv::Exception&) {
      ++bad_frames;
    }
    memory.sample(sweep.preview());
    if ((i + 1) % kReportEvery != 0) continue;
    const zemb::SweepCounts& c = sweep.counts();
    std::printf("%6d %7d %7d %7d %7d %7d %7d %7d %14s %10.1f %10.1f %10.1f\n", i + 1,
                c.count(zemb::FrameOutcome::kAccepted), c.count(zemb::FrameOutcome::kRelocalised),
                c.count(zemb::FrameOutcome::kNotExtended), c.count(zemb::FrameOutcome::kNotPlaceable),
                c.count(zemb::FrameOutcome::kTooFewKeypoints), bad_frames, c.keyframes,
                size_of(sweep.preview()).c_str(), canvas_mb(sweep.preview()),
                static_cast<double>(c.kept_bytes) / (1024.0 * 1024.0), resident_mb());
  }
  std::printf("soak (zemb::Sweep): %d keyframes, %d spilled, %d spill failures, %.1f MB kept in memory\n",
              sweep.counts().keyframes, sweep.counts().spilled, sweep.counts().spill_failures,
              static_cast<double>(sweep.counts().kept_bytes) / (1024.0 * 1024.0));
  const bool spilled = sweep.counts().spilled > 0;
  sweep.remove_working_directory();
  return memory.within_bound("zemb::Sweep") && spilled;
}

}  // namespace

int main() {
  const cv::Mat strip = long_strip();
  const bool stitcher_within = soak_stitcher(strip);
  const bool sweep_within = soak_sweep(strip);
  return stitcher_within && sweep_within ? 0 : 1;
}

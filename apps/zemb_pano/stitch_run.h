// One run of zemb_pano: every frame of the source through one stitcher, with
// what became of each frame and how long it took.
#ifndef ZEMB_PANO_STITCH_RUN_H
#define ZEMB_PANO_STITCH_RUN_H

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "frame_source.h"
#include "options.h"
#include "pano_error.h"
#include "zemb/photos.h"
#include "zemb/sweep.h"

namespace zemb_pano {

class Progress;

// What became of one frame, as the library told it.
struct FrameRecord {
  zemb::FrameOutcome outcome = zemb::FrameOutcome::kNotPlaceable;
  int count = 0;  // the count behind the outcome (zemb::FrameStatus::count)
  double ms = 0;  // time the frame took in the stitcher
  bool keyframe = false;
};

struct RunStats {
  int frames_read = 0;
  std::array<int, zemb::kFrameOutcomes> outcomes{};
  std::vector<FrameRecord> frames;

  void record(const zemb::FrameStatus& status, double ms);
  int count(zemb::FrameOutcome outcome) const { return outcomes[static_cast<size_t>(outcome)]; }
  int placed() const { return count(zemb::FrameOutcome::kAccepted) + count(zemb::FrameOutcome::kRelocalised); }
  int refused() const { return frames_read - placed(); }
  int keyframes() const;
};

struct RunResult {
  RunStats stats;
  cv::Mat panorama;
  cv::Mat cropped;
  cv::Mat outlines;  // empty unless asked for
  // With --finish: the finished panorama and what its render reported.
  cv::Mat finished;
  cv::Mat finished_cropped;  // its largest rectangle with no empty pixel
  zemb::PanoramaSurface finished_surface = zemb::PanoramaSurface::kAuto;  // kAuto: not placed by rotations
  zemb::FinishReport finish_report;
  bool rendered = false;  // finish_report is that of a render
  std::vector<int> left_out_frames;  // the frames (0-based) of the keyframes the render left out
  // With --pyramid: the files the tiled render wrote (the .dzi, the flat image when it fits).
  std::vector<std::string> pyramid_files;
  // A photo set: which photos joined and which were left out and why, and
  // the photos' file names in the order given.
  std::optional<zemb::PhotoSetReport> photo_report;
  std::vector<std::string> photo_names;
};

// Feeds every frame of `source` to one ZembStitcher, whose working folder is
// a fresh temporary folder removed at the end. A frame the stitcher refuses
// as unusable (another size than the first) ends the run with PanoError
// (kExitBadInput) naming the frame.
RunResult stitch_frames(FrameSource& source, bool with_outlines, Progress& progress);

// The same through a zemb::Sweep with options.sweep_options, which keeps its
// spilled images in a folder of its own in the system's temporary folder and
// removes it. Its preview becomes the panorama and, with options.finish, its
// finished render `finished`: rendered whenever the run placed two frames,
// the least that require_placed lets through.
RunResult sweep_frames(FrameSource& source, const Options& options, Progress& progress);

// Every photo of `source` stitched as one set (zemb::stitch_photos) with
// photo_set_options(options): finished is its panorama (no preview: panorama
// and cropped stay empty). A placed photo counts as accepted, one left out
// as not placeable. PanoError kExitNothingPlaced when no two photos join,
// naming each photo and why, or when a single photo was read.
RunResult stitch_photo_set(FrameSource& source, const Options& options, Progress& progress);

// Adds one frame to a stitcher and returns what became of it.
using AddFrame = std::function<zemb::FrameStatus(cv::Mat& frame)>;
// Told what became of each frame, after the frame's time was taken.
using FrameSeen = std::function<void(const zemb::FrameStatus& status)>;

// Every frame of `source` through `add`, each timed and recorded, with the
// progress display kept up to date. A frame the library refuses as unusable
// (cv::Exception StsBadArg) ends the run with PanoError (kExitBadInput)
// naming the frame.
RunStats feed_frames(FrameSource& source, Progress& progress, const AddFrame& add, const FrameSeen& seen = {});

// Throws PanoError unless the run read frames and placed at least one next
// to the first: a single frame is no panorama.
void require_placed(const RunStats& stats, const std::string& input);

}  // namespace zemb_pano

#endif  // ZEMB_PANO_STITCH_RUN_H

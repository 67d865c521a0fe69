// zemb::Sweep: the configurable way in. Like ZembStitcher it takes camera
// frames one at a time and keeps a live preview, but it lowers the detector
// threshold on soft scenes, recovers lost tracking against its keyframes,
// and records the keyframes (images, placements and point correspondences)
// that finish() renders into the finished panorama.
#ifndef ZEMB_SWEEP_H
#define ZEMB_SWEEP_H

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zemb/options.h"

namespace zemb {

// What add() did with a frame.
enum class FrameOutcome {
  kAccepted,         // tracked against the last accepted frame and placed
  kRelocalised,      // tracking was lost; recovered against a keyframe and placed
  kTooFewKeypoints,  // fewer than min_keypoints keypoints, even at the lowest threshold tried
  kNotExtended,      // placed, but it does not extend the panorama far enough
  kNotPlaceable,     // neither tracking nor recovery gave a plausible placement
};
constexpr int kFrameOutcomes = 5;

// The name used in reports and CSV files: "accepted", "relocalised",
// "too few keypoints", "not extended", "not placeable".
const char* outcome_name(FrameOutcome outcome);

struct FrameStatus {
  FrameOutcome outcome = FrameOutcome::kTooFewKeypoints;
  int keypoints = 0;       // keypoints found in the frame
  int fast_threshold = 0;  // the FAST threshold that found them
  int tracked = 0;         // points tracked into the frame
  int inliers = 0;         // of them, consistent with the fitted homography
  int keyframe = -1;       // index of the keyframe this frame became, or -1
  int recovered_from = -1; // keyframe a relocalised frame was recovered against, or -1
  // False for a placed frame that the preview cannot show: a turning camera
  // seen on a flat canvas stretches frames far from the first one beyond
  // what the preview accepts. Such a frame is tracked and recorded all the
  // same, and the finished render shows it.
  bool on_preview = false;

  bool placed() const { return outcome == FrameOutcome::kAccepted || outcome == FrameOutcome::kRelocalised; }
};

// Running counts over a sweep.
struct SweepCounts {
  int frames = 0;                                 // calls of add() that returned
  std::array<int, kFrameOutcomes> by_outcome{};   // indexed by FrameOutcome
  int keyframes = 0;
  int spilled = 0;          // keyframe images written to the working directory
  int spill_failures = 0;   // images that could not be written and stayed in memory
  std::size_t kept_bytes = 0;  // bytes of keyframe images held in memory now

  int count(FrameOutcome outcome) const { return by_outcome[static_cast<int>(outcome)]; }
};

// A keyframe as the finished render needs it.
struct Keyframe {
  int frame_index = 0;   // the add() call (0-based) that gave it
  cv::Size image_size;   // of the kept image (keep_columns, turned)
  // Kept-image pixel -> preview canvas pixel (the canvas as it is now: kept
  // up to date when the canvas grows left or up). 3x3 CV_64F.
  cv::Mat placement;
};

// Point correspondences between two keyframes, in their kept-image pixels.
struct KeyframeLink {
  int from = 0;  // earlier keyframe
  int to = 0;    // later keyframe
  std::vector<cv::Point2f> from_points;
  std::vector<cv::Point2f> to_points;
};

// What finish() reports.
struct FinishReport {
  // Keyframes in the render; the newest accepted frame counts too when it is
  // not a keyframe, so that the render reaches as far as the preview.
  int keyframes_used = 0;
  bool refined = false;         // the global refinement converged and was used
  std::string fallback_reason;  // why the live placements were used instead; empty when refined
  cv::Size size;                // of the finished panorama
  // Wall time of each stage, seconds.
  double seconds_refine = 0, seconds_exposure = 0, seconds_seams = 0, seconds_blend = 0, seconds_total = 0;
};

struct FinishedPanorama {
  cv::Mat panorama;  // CV_8UC3, oriented like the live preview
  cv::Mat mask;      // CV_8U, 255 where a frame covered the panorama
  FinishReport report;
};

class Sweep {
 public:
  // Empties `working_directory` when it exists, as ZembStitcher does, and
  // creates it when missing (kept images may be spilled there). Throws
  // cv::Exception (StsBadArg) when `options` fail check().
  Sweep(std::string working_directory, const SweepOptions& options = SweepOptions());
  ~Sweep();
  Sweep(const Sweep&) = delete;
  Sweep& operator=(const Sweep&) = delete;

  // Adds one camera frame (CV_8UC3, every frame of the first frame's size;
  // otherwise cv::Exception StsBadArg and nothing changes). `frame` is only
  // read. Any exception leaves the sweep as it was.
  FrameStatus add(const cv::Mat& frame);

  // The live preview, built as ZembStitcher builds its panorama, and its
  // common band (a view of it). Empty before the first accepted frame.
  const cv::Mat& preview() const;
  const cv::Mat& preview_band() const;

  const SweepOptions& options() const;
  const SweepCounts& counts() const;
  const std::vector<Keyframe>& keyframes() const;
  const std::vector<KeyframeLink>& links() const;
  // The kept image of keyframe `index`, read back from the working directory
  // when it was spilled; bit-identical to what was kept.
  cv::Mat keyframe_image(int index) const;

  // Renders the finished panorama from the keyframes (global refinement,
  // exposure compensation, seams, multi-band blending), falling back to the
  // live placements when the refinement fails. Fewer than two keyframes:
  // cv::Exception (StsBadArg).
  FinishedPanorama finish() const;

  // Empties and removes the working directory.
  void remove_working_directory();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zemb

#endif  // ZEMB_SWEEP_H

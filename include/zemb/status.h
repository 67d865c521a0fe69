// What became of one frame: one vocabulary for both front doors. Sweep::add()
// returns a FrameStatus; ZembStitcher keeps its int result and tells the same
// through zemb::last_status().
#ifndef ZEMB_STATUS_H
#define ZEMB_STATUS_H

#include <opencv2/core.hpp>

class ZembStitcher;

namespace zemb {

enum class FrameOutcome {
  kAccepted,         // tracked against the last accepted frame and placed
  kRelocalised,      // tracking was lost; recovered against a keyframe and placed (the sweep)
  kTooFewKeypoints,  // fewer than the least number of keypoints (the sweep: even at its lowest threshold)
  kTooFewTracked,    // fewer points tracked into the frame than that (the fixed path)
  kNotExtended,      // placed, but it does not extend the panorama far enough
  kNotPlaceable,     // no usable, plausible placement (the sweep: neither tracking nor recovery)
};
constexpr int kFrameOutcomes = 6;

// The name used in reports and CSV files: "accepted", "relocalised",
// "too few keypoints", "too few tracked", "not extended", "not placeable".
const char* outcome_name(FrameOutcome outcome);

struct FrameStatus {
  FrameOutcome outcome = FrameOutcome::kTooFewKeypoints;
  // The count behind the outcome. ZembStitcher: its int result. The sweep:
  // the keypoints of the first frame and of a frame with too few, the
  // tracked points of a frame not placeable, else the inliers.
  int count = 0;
  int keypoints = 0;       // keypoints found in the frame
  int fast_threshold = 0;  // the FAST threshold that found them
  int tracked = 0;         // points tracked into the frame
  int inliers = 0;         // of them, consistent with the fitted homography (the sweep)
  int keyframe = -1;       // index of the keyframe this frame became, or -1 (the sweep)
  int recovered_from = -1; // keyframe a relocalised frame was recovered against, or -1
  // True for a frame placed by the motion the last frames had, where the
  // scene gave too little to fit (open sea, sky, a plain wall) (the sweep).
  bool kept_motion = false;
  // False for a placed frame that the live canvas cannot show (the sweep
  // records it all the same, and the finished render shows it).
  bool on_preview = false;
  // For a frame placed on the canvas: where the old canvas lies on the new
  // one, in whole pixels (the canvas grew left or up by this), and the
  // frame's working-frame pixel -> new canvas pixel mapping (3x3 CV_64F) on
  // a plane (the fixed path, the sweep over a flat scene; a turning
  // camera's sweep shows its frames on a cylinder, and leaves it empty).
  cv::Point2f canvas_shift;
  cv::Mat placement;

  bool placed() const { return outcome == FrameOutcome::kAccepted || outcome == FrameOutcome::kRelocalised; }
};

// The status of the stitcher's last call of ofcheck_stitch that was not
// refused as busy (a busy call touches nothing but frame_count), or the
// default status before the first. A call that threw leaves it as it was.
FrameStatus last_status(const ZembStitcher& stitcher);

}  // namespace zemb

#endif  // ZEMB_STATUS_H

// Every setting of the stitching steps, in one place. ZembStitcher runs with
// the fixed instance fixed_path_options(); zemb::Sweep takes any instance
// that passes check().
#ifndef ZEMB_OPTIONS_H
#define ZEMB_OPTIONS_H

#include <cstddef>

namespace zemb {

// What the camera does while it sweeps; it decides how frames are fitted and
// how a finished render models their placements.
enum class Scene {
  kTurning,  // a camera turning about its centre: phone panoramas, drones
  kFlat,     // a flat scene passed under a moving camera: documents, shelves, slides
};

struct SweepOptions {
  // What the camera does (Sweep only). Over a flat scene the sweep fits each
  // frame as a rotation, a uniform scale and a shift, which keeps a long strip
  // straight; a turning camera needs full homographies. The finished render
  // models the placements accordingly.
  Scene scene = Scene::kTurning;

  // --- Frame preparation -------------------------------------------------
  // Camera frames are reduced to at most this many columns (then turned a
  // quarter turn clockwise): the working frame that goes onto the canvas.
  int working_columns = 500;
  // The working frame reduced to at most this many rows, in gray: the
  // tracking image that keypoints and optical flow run on.
  int tracking_rows = 300;

  // --- Detection ---------------------------------------------------------
  // FAST threshold on the tracking image (non-maximum suppression, 9 of 16).
  int fast_threshold = 50;
  // Least keypoints in a frame, and least points tracked into it, to go on.
  int min_keypoints = 20;
  // When FAST at fast_threshold finds fewer than adaptive_target keypoints,
  // try again at thresholds lowered by fast_threshold_step, down to
  // fast_threshold_floor, until it finds that many.
  bool adaptive_detection = true;
  int adaptive_target = 100;
  int fast_threshold_step = 10;
  int fast_threshold_floor = 5;

  // --- Tracking: pyramidal Lucas-Kanade optical flow ---------------------
  int flow_window = 21;          // search window side, pixels
  int flow_levels = 3;           // highest pyramid level (0 = none)
  int flow_iterations = 30;      // most iterations per point and level
  double flow_epsilon = 0.01;    // stop when a step moves less than this
  double flow_min_eigen = 1e-4;  // points with a weaker gradient are dropped

  // --- Homography fits (tracking and the refit of a placement) -----------
  double ransac_threshold = 3.0;   // reprojection error of an inlier, pixels
  int ransac_iterations = 2000;
  double ransac_confidence = 0.995;

  // --- Placement ---------------------------------------------------------
  // A frame's right edge must reach this share of the grown panorama width.
  double growth_share = 0.95;
  // A placement wider or taller than this many times the frame's longer side
  // comes from a mistracked frame and is refused.
  float max_placed_scale = 2.0f;
  // Neither side of the canvas may exceed this many pixels.
  int max_canvas_side = 32767;
  // Pixels within this distance of a placed frame's edges keep the old canvas.
  float seam_band = 10.0f;

  // --- Recovery (Sweep only) ---------------------------------------------
  // A frame that cannot be tracked against the last accepted frame is tried
  // against the last recovery_keyframes keyframes, first by optical flow
  // seeded with the shift phase correlation finds, then by descriptor
  // matching (feature_finder, double_match, RANSAC).
  bool recovery = true;
  int recovery_keyframes = 4;
  // Points of a view tracked per seeded attempt: an even spread of its
  // keypoints, enough to verify a shift at a fraction of a full tracking.
  int recovery_points = 200;
  // Least RANSAC inliers for a frame to count as tracked or recovered, and
  // least share of the tracked pairs they must be.
  int min_inliers = 15;
  double min_inlier_share = 0.3;
  // Ratio-test margin of the descriptor matching (see double_match).
  float match_ratio = 0.2f;

  // --- Keyframes and what they keep (Sweep only) -------------------------
  // An accepted frame becomes a keyframe when it moved the panorama on by at
  // least this share of a working frame's width since the last keyframe.
  double keyframe_share = 0.25;
  // Keyframe images are the camera frames reduced to at most this many
  // columns (turned like the working frame).
  int keep_columns = 1000;
  // Kept keyframe images beyond this many bytes are written, lossless, into
  // the sweep's working directory and read back when needed.
  std::size_t memory_budget = std::size_t(256) << 20;
  // Most point correspondences kept per pair of keyframes.
  int max_links_per_pair = 60;
  // Earlier keyframes a new keyframe is linked with when they overlap it.
  int link_keyframes = 6;

  // --- Finished render (Sweep::finish) -----------------------------------
  // Field of view across a working frame's width (its columns after turning:
  // the camera frame's height), degrees; the refinement's first focal guess.
  double field_of_view = 60.0;
  // Most iterations of the bundle adjustment. It converges in a few dozen on
  // a sweep its model fits; one it does not fit (a flat scene refined as a
  // turning camera) would otherwise spend seconds before it is refused.
  int refine_iterations = 100;
  // The render is reduced so that its bounding box holds at most this many
  // pixels; blending memory follows the box (about 13 bytes a pixel).
  double max_render_megapixels = 40.0;
  // Seams are found on images reduced to about this many megapixels.
  double seam_megapixels = 0.1;
  // Bands of the multi-band blender.
  int blend_bands = 5;

  // Throws cv::Exception (StsBadArg) naming the first field out of range.
  void check() const;
};

// The settings of ZembStitcher: the defaults, with neither adaptive detection
// nor recovery, so its results stay those of the fixed pipeline.
constexpr SweepOptions fixed_path_options() {
  SweepOptions options;
  options.adaptive_detection = false;
  options.recovery = false;
  return options;
}

}  // namespace zemb

#endif  // ZEMB_OPTIONS_H

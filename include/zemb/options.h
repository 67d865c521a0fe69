// The settings of zemb::Sweep and of its finished render, one struct per
// component, each with its defaults and its own check(). SweepOptions nests
// them all; Sweep::finish() and zemb::render() take RenderOptions alone.
//
// Every struct lists its fields once more in for_each_field(), with the
// closed range each must lie in: check(), the Python binding and the fuzz
// probe are all made from that list, so none of them can miss a field.
// (ZembStitcher does not read these: its settings are a constant of its own.)
#ifndef ZEMB_OPTIONS_H
#define ZEMB_OPTIONS_H

#include <cstddef>
#include <cstdint>

namespace zemb {

// What the camera does while it sweeps; it decides how frames are fitted and
// how the finished render models their placements.
enum class Scene {
  kTurning,  // a camera turning about its centre: phone panoramas, drones
  kFlat,     // a flat scene passed under a moving camera: documents, shelves, slides
};

// Which way the camera travels across the scene, as the frames see it.
enum class Direction {
  kAuto,   // found from the first frames that move
  kRight,  // a pan or slide to the right: the scene moves left across the frames
  kLeft,
  kUp,
  kDown,
};

// How the finished render evens out exposure between keyframes.
enum class ExposureCompensation { kNone, kGain, kGainBlocks, kChannels };
// How it finds the seams between overlapping keyframes.
enum class SeamFinding { kNone, kVoronoi, kDpColourGradient, kGraphCut };
// How it blends across the seams.
enum class Blending { kNone, kFeather, kMultiBand };
// What a turning camera's keyframes are projected onto: a plane keeps
// straight lines straight but stretches what lies far from its axis; a
// cylinder does not stretch along the sweep but bends lines across it.
// kAuto takes the plane unless the sweep reaches past 50 degrees either side.
enum class PanoramaSurface { kAuto, kPlane, kCylinder };

// Frame preparation: the two sizes every frame is worked at. (The sweep keeps
// frames upright and bounds their longer side by these; the fixed path
// bounds the camera frame's columns, then turns it, then bounds the rows.)
struct PreparationOptions {
  int working_columns = 500;  // the working frame, what goes onto the live canvas
  int tracking_rows = 300;    // the tracking image, in gray, that keypoints and optical flow run on

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("working_columns", o.working_columns, 16, 8192);
    visit("tracking_rows", o.tracking_rows, 16, 8192);
  }
  void check() const;  // cv::Exception (StsBadArg) naming the first field out of range
};

// Keypoint detection on the tracking image (FAST, non-maximum suppression, 9 of 16).
struct DetectionOptions {
  int fast_threshold = 50;
  int min_keypoints = 20;     // least keypoints in a frame, and least points tracked into it
  // When FAST at fast_threshold finds fewer than adaptive_target keypoints,
  // try again at thresholds lowered by threshold_step down to threshold_floor.
  bool adaptive = true;
  int adaptive_target = 100;  // at least min_keypoints
  int threshold_step = 10;
  int threshold_floor = 5;    // at most fast_threshold

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("fast_threshold", o.fast_threshold, 1, 255);
    visit("min_keypoints", o.min_keypoints, 4, 100000);
    visit("adaptive", o.adaptive, 0, 1);
    visit("adaptive_target", o.adaptive_target, 4, 100000);
    visit("threshold_step", o.threshold_step, 1, 255);
    visit("threshold_floor", o.threshold_floor, 1, 255);
  }
  void check() const;
};

// Pyramidal Lucas-Kanade optical flow.
struct FlowOptions {
  int window = 21;           // search window side, pixels
  int levels = 3;            // highest pyramid level (0 = none)
  int iterations = 30;       // most iterations per point and level
  double epsilon = 0.01;     // stop when a step moves less than this
  double min_eigen = 1e-4;   // points with a weaker gradient are dropped

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("window", o.window, 3, 101);
    visit("levels", o.levels, 0, 8);
    visit("iterations", o.iterations, 1, 1000);
    visit("epsilon", o.epsilon, 0, 10);
    visit("min_eigen", o.min_eigen, 0, 1);
  }
  void check() const;
};

// RANSAC fits of a frame homography (tracking and the refit of a placement).
struct FitOptions {
  double ransac_threshold = 3.0;    // reprojection error of an inlier, pixels
  int ransac_iterations = 2000;
  double ransac_confidence = 0.995;  // above 0

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("ransac_threshold", o.ransac_threshold, 0.01, 100);
    visit("ransac_iterations", o.ransac_iterations, 1, 100000);
    visit("ransac_confidence", o.ransac_confidence, 1e-6, 1);
  }
  void check() const;
};

// Tracking a frame against the last accepted one (or a keyframe).
struct TrackingOptions {
  FlowOptions flow;
  FitOptions fit;
  // Least RANSAC inliers for a frame to count as tracked or recovered, and
  // least share of the tracked pairs they must be.
  int min_inliers = 15;
  double min_inlier_share = 0.3;
  // Field of view across the camera frame's longer side, degrees: only the
  // first hint of the focal length, which a turning sweep estimates itself.
  double field_of_view = 65.0;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("flow", o.flow);
    visit("fit", o.fit);
    visit("min_inliers", o.min_inliers, 4, 100000);
    visit("min_inlier_share", o.min_inlier_share, 0, 1);
    visit("field_of_view", o.field_of_view, 1, 170);
  }
  void check() const;
};

// Placing a frame on the live preview.
struct PlacementOptions {
  double growth_share = 0.95;    // a frame's right edge must reach this share of the grown width
  float max_placed_scale = 2.0f; // a placement wider or taller than this many times the frame's
                                 // longer side comes from a mistracked frame and is refused
  int max_canvas_side = 32767;   // neither side of the canvas may exceed this many pixels
  float seam_band = 10.0f;       // pixels this close to a placed frame's edges keep the old canvas

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("growth_share", o.growth_share, 0, 1);
    visit("max_placed_scale", o.max_placed_scale, 1, 100);
    visit("max_canvas_side", o.max_canvas_side, 64, 32767);
    visit("seam_band", o.seam_band, 0, 1000);
  }
  void check() const;
};

// Recovering a frame that the last accepted frame cannot place: against the
// last accepted frame and the newest keyframes, first by optical flow seeded
// with the shift phase correlation finds, then by descriptor matching.
struct RecoveryOptions {
  bool enabled = true;
  int keyframes = 4;        // newest keyframes tried
  int points = 200;         // points of a view tracked per seeded attempt (at least
                            // TrackingOptions::min_inliers): enough to verify a shift
  float match_ratio = 0.2f; // ratio-test margin of the descriptor matching (see double_match)
  // A lost frame may spend this many times the median placed frame's time
  // on recovery; what it could not try goes on over the next frames, so no
  // frame stalls the capture loop.
  double time_budget = 2.0;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("enabled", o.enabled, 0, 1);
    visit("keyframes", o.keyframes, 0, 64);
    visit("points", o.points, 4, 100000);
    visit("match_ratio", o.match_ratio, 0, 0.99);
    visit("time_budget", o.time_budget, 0.1, 1000);
  }
  void check() const;
};

// Which frames become keyframes and how they are linked.
struct KeyframeOptions {
  double share = 0.25;         // a keyframe each time the sweep moved on by this share of a frame
  int max_links_per_pair = 60; // most point correspondences kept per pair of keyframes
  int link_keyframes = 6;      // earlier keyframes a new keyframe is linked with when they overlap

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("share", o.share, 0, 1);
    visit("max_links_per_pair", o.max_links_per_pair, 4, 100000);
    visit("link_keyframes", o.link_keyframes, 1, 64);
  }
  void check() const;
};

// What the keyframes keep, and where.
struct MemoryOptions {
  int keep_columns = 8192;  // keyframe images: the camera frame reduced to at most this many
                            // columns (by default its own width); the render's resolution
  // Kept images beyond this many bytes are written, lossless, into the
  // sweep's own folder and read back when needed.
  std::uint64_t budget_bytes = std::uint64_t(256) << 20;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("keep_columns", o.keep_columns, 16, 8192);
    visit("budget_bytes", o.budget_bytes, 0, 1e18);
  }
  void check() const;
};

// The finished render: refinement, exposure compensation, seams, blending.
struct RenderOptions {
  // Field of view across a kept image's longer side, degrees: one start of
  // the focal length's search for a record whose keyframes carry none. The
  // focal length is found from the correspondences; this is only a hint.
  double field_of_view = 65.0;
  // Most iterations of the bundle adjustment. It converges in a few dozen on
  // a sweep its model fits; one it does not fit would otherwise spend seconds
  // before it is refused.
  int refine_iterations = 100;
  // A recorded correspondence takes part in the refinement when one transform
  // of its pair of keyframes explains it to within this many kept pixels.
  double link_threshold = 3.0;
  // A model fits when it leaves 90 % of the correspondences within this many
  // kept pixels; the scene's own model is used when it fits, else the one
  // that fits best.
  double max_residual = 4.0;
  // A keyframe that no usable correspondence joins to the others is matched
  // by its image's descriptors against its neighbours in the record.
  bool match_unlinked = true;
  // The render is reduced so that its bounding box holds at most this many
  // pixels; blending memory follows the box (about 13 bytes a pixel).
  double max_render_megapixels = 40.0;
  double seam_megapixels = 0.1;  // seams and gains are found on images of about this size
  ExposureCompensation exposure = ExposureCompensation::kGain;
  SeamFinding seams = SeamFinding::kDpColourGradient;
  Blending blending = Blending::kMultiBand;
  int blend_bands = 5;  // of the multi-band blender
  PanoramaSurface surface = PanoramaSurface::kAuto;  // of a render with the rotation model

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("field_of_view", o.field_of_view, 1, 170);
    visit("refine_iterations", o.refine_iterations, 1, 10000);
    visit("link_threshold", o.link_threshold, 0.01, 100);
    visit("max_residual", o.max_residual, 0.1, 100);
    visit("match_unlinked", o.match_unlinked, 0, 1);
    visit("max_render_megapixels", o.max_render_megapixels, 0.1, 400);
    visit("seam_megapixels", o.seam_megapixels, 0.01, 10);
    visit("exposure", o.exposure, 0, 3);
    visit("seams", o.seams, 0, 3);
    visit("blending", o.blending, 0, 2);
    visit("blend_bands", o.blend_bands, 0, 10);
    visit("surface", o.surface, 0, 2);
  }
  void check() const;
};

struct SweepOptions {
  // Over a flat scene each frame is fitted as a rotation, a uniform scale and
  // a shift, which keeps a long strip straight; a turning camera needs full
  // homographies. The record carries the scene to the render.
  Scene scene = Scene::kTurning;
  // Which way the camera travels; the sweep turns its frames to suit, and
  // its preview and finished panorama come out upright all the same.
  Direction direction = Direction::kAuto;
  PreparationOptions preparation;
  DetectionOptions detection;
  TrackingOptions tracking;
  PlacementOptions placement;
  RecoveryOptions recovery;
  KeyframeOptions keyframes;
  MemoryOptions memory;
  RenderOptions render;  // what finish() renders with unless given others

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("scene", o.scene, 0, 1);
    visit("direction", o.direction, 0, 4);
    visit("preparation", o.preparation);
    visit("detection", o.detection);
    visit("tracking", o.tracking);
    visit("placement", o.placement);
    visit("recovery", o.recovery);
    visit("keyframes", o.keyframes);
    visit("memory", o.memory);
    visit("render", o.render);
  }
  // Every component's check(), and the limits that join two of them.
  void check() const;
};

}  // namespace zemb

#endif  // ZEMB_OPTIONS_H

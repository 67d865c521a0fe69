// The settings of zemb::Sweep and of its finished render, one struct per
// component, each with its defaults and its own check(). SweepOptions nests
// them all; Sweep::finish() and zemb::render() take RenderOptions alone.
//
// Each struct says what it is for in kDescription and lists every field in
// for_each_field(): visit(name, field, low, high, description), the closed
// range the field must lie in and what it does, or visit(name, nested) for a
// nested struct. That list is the one place a field is described: check(),
// the Python classes and their docstrings, zemb_pano's --set and --options
// and the fuzz probe are all made from it, so none of them can miss a field.
// A field's line below holds only its default.
// ZembStitcher reads none of these objects: its settings are a constant of
// its own, which borrows the types of the steps it shares with the sweep.
#ifndef ZEMB_OPTIONS_H
#define ZEMB_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

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
// cylinder does not stretch along the sweep but bends lines across it; a
// sphere is the whole sphere of view, twice as wide as high
// (equirectangular), with the swept band where it was seen.
// kAuto takes the plane unless the sweep reaches past 50 degrees either side.
enum class PanoramaSurface { kAuto, kPlane, kCylinder, kSphere };

// (The sweep keeps frames upright and bounds their longer side by these; the
// fixed path bounds the camera frame's columns, then turns it, then bounds
// the rows.)
struct PreparationOptions {
  static constexpr const char* kDescription = "Frame preparation: the two sizes every frame is worked at.";
  int working_columns = 500;
  int tracking_rows = 300;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("working_columns", o.working_columns, 16, 8192,
          "The working frame, what goes onto the live preview: its longer side, pixels.");
    visit("tracking_rows", o.tracking_rows, 16, 8192,
          "The tracking image, in gray, that keypoints and optical flow run on: its longer side, pixels.");
  }
  void check() const;  // cv::Exception (StsBadArg) naming the first field out of range
};

struct DetectionOptions {
  static constexpr const char* kDescription =
      "Keypoint detection on the tracking image (FAST, non-maximum suppression, 9 of 16).";
  int fast_threshold = 50;
  int min_keypoints = 20;
  bool adaptive = true;
  int adaptive_target = 100;
  int threshold_step = 10;
  int threshold_floor = 5;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("fast_threshold", o.fast_threshold, 1, 255,
          "FAST's threshold: how much brighter or darker than a point its circle must be.");
    visit("min_keypoints", o.min_keypoints, 4, 100000,
          "Least keypoints in a frame, and least points tracked into it.");
    visit("adaptive", o.adaptive, 0, 1,
          "When FAST at fast_threshold finds fewer than adaptive_target keypoints, try again at thresholds "
          "lowered by threshold_step down to threshold_floor.");
    visit("adaptive_target", o.adaptive_target, 4, 100000,
          "Keypoints the adaptive detection looks for; at least min_keypoints.");
    visit("threshold_step", o.threshold_step, 1, 255, "Step by which the adaptive detection lowers the threshold.");
    visit("threshold_floor", o.threshold_floor, 1, 255,
          "Lowest threshold the adaptive detection tries; at most fast_threshold.");
  }
  void check() const;
};

struct FlowOptions {
  static constexpr const char* kDescription = "Pyramidal Lucas-Kanade optical flow.";
  int window = 21;
  int levels = 3;
  int iterations = 30;
  double epsilon = 0.01;
  double min_eigen = 1e-4;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("window", o.window, 3, 101, "Side of the search window, pixels.");
    visit("levels", o.levels, 0, 8, "Highest pyramid level (0: none).");
    visit("iterations", o.iterations, 1, 1000, "Most iterations per point and level.");
    visit("epsilon", o.epsilon, 0, 10, "A point stops when a step moves it less than this, pixels.");
    visit("min_eigen", o.min_eigen, 0, 1, "Points with a weaker gradient than this are dropped.");
  }
  void check() const;
};

struct FitOptions {
  static constexpr const char* kDescription =
      "RANSAC fits of a frame homography (tracking and the refit of a placement).";
  double ransac_threshold = 3.0;
  int ransac_iterations = 2000;
  double ransac_confidence = 0.995;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("ransac_threshold", o.ransac_threshold, 0.01, 100, "Reprojection error of an inlier, pixels.");
    visit("ransac_iterations", o.ransac_iterations, 1, 100000, "Most RANSAC iterations.");
    visit("ransac_confidence", o.ransac_confidence, 1e-6, 1, "Confidence at which RANSAC stops.");
  }
  void check() const;
};

struct TrackingOptions {
  static constexpr const char* kDescription = "Tracking a frame against the last accepted one (or a keyframe).";
  FlowOptions flow;
  FitOptions fit;
  int min_inliers = 15;
  double min_inlier_share = 0.3;
  double field_of_view = 65.0;
  double max_step_scale = 1.25;
  double max_step_shear = 0.15;
  double max_step_perspective = 0.5;
  double min_spread = 0.06;
  double min_correlation = 0.15;
  int max_kept_frames = 30;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("flow", o.flow);
    visit("fit", o.fit);
    visit("min_inliers", o.min_inliers, 4, 100000,
          "Least RANSAC inliers for a frame to count as tracked or recovered.");
    visit("min_inlier_share", o.min_inlier_share, 0, 1, "Least share of the tracked pairs the inliers must be.");
    visit("field_of_view", o.field_of_view, 1, 170,
          "Field of view across the camera frame's longer side, degrees: only the first hint of the focal "
          "length, which a turning sweep estimates itself.");
    visit("max_step_scale", o.max_step_scale, 1, 10,
          "The most a frame may grow or shrink against the frame it is tracked from: a larger change is no camera's "
          "in one frame step, and the fit is refused.");
    visit("max_step_shear", o.max_step_shear, 0, 1,
          "The most a fit may stretch one way more than the other (1 - the ratio of its linear part's singular "
          "values) before it is refused.");
    visit("max_step_perspective", o.max_step_perspective, 0, 10,
          "The most perspective a fit may add across the frame (the change of the homogeneous scale from one "
          "side to the other) before it is refused.");
    visit("min_spread", o.min_spread, 0, 1,
          "A fit whose inliers spread less than this share of the working frame's shorter side across their "
          "narrower axis (a clump, a horizon) is poorly conditioned: the sweep keeps the last frames' motion "
          "instead.");
    visit("min_correlation", o.min_correlation, 0, 1,
          "Where the scene is too plain to fit (or to find enough keypoints in), the frame's shift is measured "
          "by phase correlation with the last placed frame, and taken when the correlation peak's response "
          "reaches this.");
    visit("max_kept_frames", o.max_kept_frames, 0, 100000,
          "The most frames in a row placed by the last frames' motion (where the scene is too plain to fit); "
          "after them, the next such frame goes to recovery.");
  }
  void check() const;
};

struct PlacementOptions {
  static constexpr const char* kDescription = "Placing a frame on the live preview.";
  int max_canvas_side = 32767;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("max_canvas_side", o.max_canvas_side, 64, 32767,
          "Neither side of the live preview may exceed this many pixels; a frame that would pass it is still "
          "tracked and recorded, but not shown.");
  }
  void check() const;
};

struct RecoveryOptions {
  static constexpr const char* kDescription =
      "Recovering a frame that the last accepted frame cannot place: against the last accepted frame and the "
      "newest keyframes, by binary descriptors (ORB), by optical flow seeded with the shift phase correlation "
      "finds, by thorough descriptors (SIFT) when the time left allows, and by flow from coarse guesses along "
      "the sweep.";
  // The most time_budget takes: recovery may take all the time it needs.
  // Photos, which come one at a time from files and not from a capture loop
  // that waits, may be given it.
  static constexpr double kMostTimeBudget = 1000.0;

  bool enabled = true;
  int keyframes = 4;
  int points = 200;
  int binary_features = 500;
  int thorough_features = 2000;
  float match_ratio = 0.8f;
  double time_budget = 2.0;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("enabled", o.enabled, 0, 1, "Whether a lost frame is tried again at all.");
    visit("keyframes", o.keyframes, 0, 64, "Newest keyframes a lost frame is tried against.");
    visit("points", o.points, 4, 100000,
          "Points of a view tracked per seeded attempt: enough to verify a shift; at least "
          "tracking.min_inliers.");
    visit("binary_features", o.binary_features, 4, 100000,
          "Most ORB features described in a working frame, for the binary descriptors.");
    visit("thorough_features", o.thorough_features, 4, 100000,
          "Most SIFT features described in a working frame, for the thorough descriptors.");
    visit("match_ratio", o.match_ratio, 0.01, 1,
          "Lowe's ratio test of the descriptor matching: a descriptor's nearest match is kept when its distance "
          "is below this share of the second nearest's, and when the match holds both ways.");
    visit("time_budget", o.time_budget, 0.1, kMostTimeBudget,
          "A lost frame may take this many times the median placed frame's time, tracking, recovery and placing "
          "it together: beyond its first attempt, recovery starts one only when what the last of its kind took "
          "fits in what is left, and what it could not try goes on over the next frames, so no frame stalls the "
          "capture loop.");
  }
  void check() const;
};

struct OverlayOptions {
  static constexpr const char* kDescription =
      "Content fixed in the frame while the scene moves (a logo, a timestamp, a camera's display): learnt from "
      "the first frames, kept out of tracking, out of the keyframes' links and out of the finished render.";
  bool enabled = true;
  int learn_frames = 120;
  int moving_frames = 8;
  double max_share = 0.25;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("enabled", o.enabled, 0, 1, "Whether the sweep looks for an overlay at all.");
    visit("learn_frames", o.learn_frames, 2, 100000,
          "The sweep looks for an overlay over at most this many first frames.");
    visit("moving_frames", o.moving_frames, 1, 100000,
          "Frames in which the scene visibly moved that must agree before a still region counts as an overlay.");
    visit("max_share", o.max_share, 0, 1,
          "The largest share of the frame an overlay may cover; a larger still region is the scene holding still.");
  }
  void check() const;
};

struct KeyframeOptions {
  static constexpr const char* kDescription = "Which frames become keyframes and how they are linked.";
  double share = 0.25;
  int max_links_per_pair = 60;
  int link_keyframes = 6;
  bool link_while_sweeping = true;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("share", o.share, 0, 1, "A keyframe each time the sweep moved on by this share of a frame.");
    visit("max_links_per_pair", o.max_links_per_pair, 4, 100000,
          "Most point correspondences kept per pair of keyframes.");
    visit("link_keyframes", o.link_keyframes, 1, 64,
          "Earlier keyframes a new keyframe is linked with when they overlap.");
    visit("link_while_sweeping", o.link_while_sweeping, 0, 1,
          "Whether keyframes are linked on a thread of the sweep's own in the time a capture loop leaves between "
          "frames, so that the finish finds their links ready (the same links either way); off, or with frames "
          "sent back to back, they are linked when first asked for.");
  }
  void check() const;
};

struct MemoryOptions {
  static constexpr const char* kDescription = "What the keyframes keep, and where.";
  int keep_columns = 8192;
  std::uint64_t budget_bytes = std::uint64_t(256) << 20;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("keep_columns", o.keep_columns, 16, 8192,
          "Keyframe images are the camera frame reduced to at most this many columns (by default its own "
          "width): the finished render's resolution.");
    visit("budget_bytes", o.budget_bytes, 0, 1e18,
          "Kept images beyond this many bytes are written, lossless, into the sweep's own folder and read back "
          "when needed.");
  }
  void check() const;
};

struct RenderOptions {
  static constexpr const char* kDescription =
      "The finished render: refinement, exposure compensation, seams, blending.";
  double field_of_view = 65.0;
  int refine_iterations = 100;
  double link_threshold = 3.0;
  double max_residual = 4.0;
  double prior_slack = 0.01;
  int prior_overrule = 100;
  double flat_scale_hold = 100;
  bool match_unlinked = true;
  int match_features = 2000;
  double match_megapixels = 0.5;
  float match_ratio = 0.75f;
  double max_render_megapixels = 40.0;
  double max_pyramid_megapixels = 4000.0;
  int tile_size = 1024;
  double seam_megapixels = 0.1;
  double seam_pass_megapixels = 16;
  ExposureCompensation exposure = ExposureCompensation::kGain;
  SeamFinding seams = SeamFinding::kDpColourGradient;
  Blending blending = Blending::kMultiBand;
  int blend_bands = 5;
  bool keep_movers = true;
  double mover_difference = 40.0;
  PanoramaSurface surface = PanoramaSurface::kAuto;
  bool level = true;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("field_of_view", o.field_of_view, 1, 170,
          "Field of view across a kept image's longer side, degrees: one start of the focal length's search for "
          "a record whose keyframes carry none. The focal length is found from the correspondences; this is "
          "only a hint.");
    visit("refine_iterations", o.refine_iterations, 1, 10000,
          "Most iterations of the bundle adjustment. It converges in a few dozen on a sweep its model fits; one "
          "it does not fit would otherwise spend seconds before it is refused.");
    visit("link_threshold", o.link_threshold, 0.01, 100,
          "A recorded correspondence takes part in the refinement when one transform of its pair of keyframes "
          "explains it to within this many kept pixels.");
    visit("max_residual", o.max_residual, 0.1, 100,
          "A model fits when it leaves 90 % of the correspondences within this many kept pixels; the scene's "
          "own model is used when it fits, else the one that fits best.");
    visit("prior_slack", o.prior_slack, 0.001, 1,
          "How far, as a share of a kept image's longer side, a correspondence may lie from where the live "
          "placements (the chain the sweep followed frame by frame) put it and still agree with them.");
    visit("prior_overrule", o.prior_overrule, 8, 100000,
          "Correspondences of a pair of keyframes that contradict the live placements are taken only when at "
          "least this many agree on one transform (and twice as many as agree with the live placements): on a "
          "repeating texture a few may pair twins.");
    visit("flat_scale_hold", o.flat_scale_hold, 0, 1e6,
          "How firmly the similarity adjustment keeps every keyframe at one scale (a camera at a steady distance "
          "from a flat scene): a keyframe's scale off by a share d costs as much as this many correspondences at "
          "its edge off by d. 0 lets the scale follow the correspondences alone, which drifts on long slides.");
    visit("match_unlinked", o.match_unlinked, 0, 1,
          "Neighbouring keyframes that no usable recorded correspondence joins are linked from their kept "
          "images: around their live placements (flow from where those put each point), else by the images' "
          "descriptors (SIFT), else by the live placements themselves. Off, they are left out, or the render "
          "falls back to the live placements.");
    visit("match_features", o.match_features, 4, 100000,
          "Most SIFT features described in a kept image for that matching.");
    visit("match_megapixels", o.match_megapixels, 0.01, 100,
          "Kept images are matched on gray copies of at most this many megapixels: enough detail to match, a "
          "fraction of the time a full-resolution image takes.");
    visit("match_ratio", o.match_ratio, 0.01, 1,
          "Lowe's ratio test of that matching: a descriptor's nearest match is kept when its distance is below "
          "this share of the second nearest's.");
    visit("max_render_megapixels", o.max_render_megapixels, 0.1, 400,
          "The render is reduced so that its bounding box holds at most this many megapixels; blending memory "
          "follows the box (about 13 bytes a pixel). A panorama rendered tile by tile is written as one flat "
          "image too when it holds at most this many.");
    visit("max_pyramid_megapixels", o.max_pyramid_megapixels, 1, 1000000,
          "A render composed tile by tile (an image pyramid) is reduced only past this many megapixels; its "
          "memory follows a tile, and the disk holds the panorama once (3 bytes a pixel) while the pyramid is "
          "written, which takes about 2.2 kB a column of the panorama.");
    visit("tile_size", o.tile_size, 32, 16384,
          "Side of the tiles a tiled render composes one at a time, pixels (rounded up to a multiple of 2 to "
          "the power of blend_bands). Each is blended with a margin of 4 times that multiple around it, so "
          "smaller tiles cost more blending.");
    visit("seam_megapixels", o.seam_megapixels, 0.01, 10,
          "Seams and gains are found on images of about this many megapixels.");
    visit("seam_pass_megapixels", o.seam_pass_megapixels, 0.1, 100000,
          "Seams and gains take a copy of every keyframe at once (about 16 bytes a pixel while seams are "
          "found). Past this many megapixels of copies in all, seams are found a window of keyframes along the "
          "sweep at a time, each window within it (only keyframes near each other along a sweep overlap), and "
          "gains on copies reduced so that all of them fit it; within it the whole sweep is one window.");
    visit("exposure", o.exposure, 0, 3,
          "How exposure is evened out between keyframes: not at all, a gain per image, gains per block of an "
          "image, or a gain per colour channel.");
    visit("seams", o.seams, 0, 3,
          "How the seams between overlapping keyframes are found: not at all, Voronoi cells, dynamic "
          "programming on colour and gradient, or graph cuts.");
    visit("blending", o.blending, 0, 2,
          "How keyframes are blended across the seams: not at all, feathered, or in several bands.");
    visit("blend_bands", o.blend_bands, 0, 10, "Bands of the multi-band blender.");
    visit("keep_movers", o.keep_movers, 0, 1,
          "Show what moved between overlapping keyframes (a person, a car) once, whole: where two keyframes, "
          "their exposure evened out, differ by more than mover_difference over more than a thin edge, the "
          "region (grown past the blender's reach) is shown as one keyframe saw the mover and elsewhere as the "
          "keyframes that agree saw the scene, and no seam or blend crosses it. Off, seams may show it twice or "
          "cut it, and the blend leave a half-transparent ghost.");
    visit("mover_difference", o.mover_difference, 1, 255,
          "Grey levels (in the channel that differs most) by which overlapping keyframes must differ, after "
          "exposure compensation, for the difference to count as something that moved. The gains are found "
          "again without such pixels (a figure in one keyframe of an overlap and not in the other would pull "
          "both), keep_movers on or off, unless exposure is not evened out (exposure 0).");
    visit("surface", o.surface, 0, 3,
          "What a render with the rotation model projects onto: a plane, a cylinder, the whole sphere "
          "(equirectangular, twice as wide as high), or (auto) the plane unless the sweep reaches past 50 degrees "
          "either side.");
    visit("level", o.level, 0, 1,
          "Level a turning camera's panorama (wave correction): the horizon straight across a sideways sweep, "
          "verticals upright along an up or down one, whatever the camera's tilt and roll.");
  }
  void check() const;
};

// How a set of photos is registered as one problem (zemb::stitch_photos):
// every photo's features at the resolution matching needs, the pairs tried,
// and the confidence a pair must reach to join its photos.
struct PhotoMatchOptions {
  static constexpr const char* kDescription =
      "How a set of photos is registered: features, the pairs tried, the confidence a pair must reach.";
  double feature_megapixels = 0.5;
  int features = 1000;
  int faint_below = 600;
  double faint_contrast_threshold = 0.0075;
  float match_conf = 0.3f;
  double min_confidence = 1.0;
  int min_inliers = 16;
  double bridge_min_confidence = 0.6;
  double turn_tolerance = 0.008;
  double turn_share = 0.75;
  int all_pairs_up_to = 50;
  int neighbours = 3;
  int shortlist = 6;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("feature_megapixels", o.feature_megapixels, 0.05, 100,
          "Photos are described (SIFT) on gray copies of at most this many megapixels: the detail matching "
          "needs, whatever size the photos come in.");
    visit("features", o.features, 16, 100000, "Most SIFT features described in a photo.");
    visit("faint_below", o.faint_below, 0, 100000,
          "A turning camera's photo with fewer SIFT features than this at SIFT's contrast threshold (a bare wall) "
          "is described again at faint_contrast_threshold, and its pairs kept only where one rotation explains "
          "them; 0: never.");
    visit("faint_contrast_threshold", o.faint_contrast_threshold, 0.001, 0.04,
          "The SIFT contrast threshold a photo with fewer than faint_below features is described again at (SIFT's "
          "own: 0.04).");
    visit("match_conf", o.match_conf, 0.01, 0.99,
          "cv::detail::BestOf2NearestMatcher's match_conf: a match is kept when its distance is below (1 - "
          "match_conf) times the second nearest's.");
    visit("min_confidence", o.min_confidence, 0, 100,
          "A pair joins its photos when its confidence, inliers / (8 + 0.3 matches) as cv::detail's matchers "
          "count it, reaches this; a wrong match stays far below 1.");
    visit("min_inliers", o.min_inliers, 6, 100000,
          "A pair joins its photos only with at least this many matches one homography explains.");
    visit("bridge_min_confidence", o.bridge_min_confidence, 0, 100,
          "A turning camera's photos in groups no confident pair joins are bridged by a pair of at least this "
          "confidence (and min_inliers) that one rotation explains; min_confidence or more: never.");
    visit("turn_tolerance", o.turn_tolerance, 0.0005, 0.05,
          "How far from where one rotation of the camera puts it (a fraction of the photo's diagonal) an inlier "
          "of a bridging pair, or of a pair with a photo described again, may be.");
    visit("turn_share", o.turn_share, 0.1, 1,
          "The share of its inliers that one rotation of the camera, with the focal length the confident pairs "
          "agree on, must explain for a bridging pair, or a pair with a photo described again, to be kept.");
    visit("all_pairs_up_to", o.all_pairs_up_to, 2, 100000,
          "Sets of up to this many photos match every photo against every other; larger sets match each photo "
          "against its neighbours in the order given and a shortlist of those that look most alike.");
    visit("neighbours", o.neighbours, 0, 1000,
          "In a larger set, the photos either side of a photo in the order given that it is matched against.");
    visit("shortlist", o.shortlist, 0, 1000,
          "In a larger set, the photos most alike by a global descriptor (a histogram of visual words) that a "
          "photo is matched against too.");
  }
  void check() const;
};

// Everything zemb::stitch_photos takes: how the photos are registered, what
// the camera did, and how the finished panorama is rendered.
struct PhotoSetOptions {
  static constexpr const char* kDescription =
      "A set of photos stitched as one problem: registration, the scene, the finished render.";
  Scene scene = Scene::kTurning;
  PhotoMatchOptions matching;
  RenderOptions render;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("scene", o.scene, 0, 1,
          "What the camera did between the photos: turned about its centre, or passed over a flat scene.");
    visit("matching", o.matching);
    visit("render", o.render);
  }
  void check() const;
};

struct SweepOptions {
  static constexpr const char* kDescription =
      "Every setting of Sweep, one struct per component; render is what finish() renders with unless given "
      "others.";
  Scene scene = Scene::kTurning;
  Direction direction = Direction::kAuto;
  PreparationOptions preparation;
  DetectionOptions detection;
  TrackingOptions tracking;
  PlacementOptions placement;
  RecoveryOptions recovery;
  OverlayOptions overlay;
  KeyframeOptions keyframes;
  MemoryOptions memory;
  RenderOptions render;

  template <typename Self, typename Visit>
  static void for_each_field(Self& o, Visit&& visit) {
    visit("scene", o.scene, 0, 1,
          "What the camera does: turns about its centre, or passes over a flat scene. Over a flat scene each "
          "frame is fitted as a rotation, a uniform scale and a shift, which keeps a long strip straight; a "
          "turning camera needs full homographies. The record carries the scene to the render.");
    visit("direction", o.direction, 0, 4,
          "Which way the camera travels, or auto: found from the first frames that move. The sweep turns its "
          "frames to suit, and its preview and finished panorama come out upright all the same.");
    visit("preparation", o.preparation);
    visit("detection", o.detection);
    visit("tracking", o.tracking);
    visit("placement", o.placement);
    visit("recovery", o.recovery);
    visit("overlay", o.overlay);
    visit("keyframes", o.keyframes);
    visit("memory", o.memory);
    visit("render", o.render);
  }
  // Every component's check(), and the limits that join two of them.
  void check() const;
};

// Throws cv::Exception (StsBadArg), "`field` is <value>; it must be <low> to
// <high>", unless `value` is finite and lies in [low, high].
void check_range(const std::string& field, double value, double low, double high);

// check_range for a field of any type for_each_field lists: an enumeration
// by its number; a float field's ends taken as floats, since it holds them
// only so (0.99f is a little above 0.99).
template <typename Field>
void check_field(const std::string& name, Field value, double low, double high) {
  if constexpr (std::is_enum_v<Field>)
    check_range(name, static_cast<double>(static_cast<std::underlying_type_t<Field>>(value)), low, high);
  else if constexpr (std::is_floating_point_v<Field>)
    check_range(name, static_cast<double>(value), static_cast<double>(static_cast<Field>(low)),
                static_cast<double>(static_cast<Field>(high)));
  else
    check_range(name, static_cast<double>(value), low, high);
}

namespace detail {

// The visitor for_each_option hands to each struct's for_each_field: plain
// fields go on to `visit` named by their path, nested structs are opened.
template <typename Visit>
class OptionPaths {
 public:
  OptionPaths(std::string prefix, Visit& visit) : prefix_(std::move(prefix)), visit_(visit) {}

  template <typename Field>
  void operator()(const char* name, Field& field, double low, double high, const char* description) const {
    visit_(prefix_ + name, field, low, high, description);
  }
  template <typename Nested>
  void operator()(const char* name, Nested& nested) const {
    std::remove_const_t<Nested>::for_each_field(nested, OptionPaths(prefix_ + name + ".", visit_));
  }

 private:
  std::string prefix_;
  Visit& visit_;
};

}  // namespace detail

// Every plain field of `options` and of the structs nested in it, in the
// order of their lists: visit(path, field, low, high, description), the path
// naming the field through the nesting ("tracking.flow.window").
template <typename Options, typename Visit>
void for_each_option(Options& options, Visit&& visit) {
  std::remove_const_t<Options>::for_each_field(options, detail::OptionPaths<std::remove_reference_t<Visit>>("", visit));
}

}  // namespace zemb

#endif  // ZEMB_OPTIONS_H

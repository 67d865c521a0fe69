// The stages of the finished render: the correspondences that join the
// keyframes (remeasured, completed by matching images), the focal length,
// the models that place the keyframes and how well each fits, the warps, and
// composition.
#ifndef ZEMB_RENDER_INTERNAL_H
#define ZEMB_RENDER_INTERNAL_H

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/stitching/detail/blenders.hpp>
#include <opencv2/stitching/detail/camera.hpp>
#include <opencv2/stitching/detail/exposure_compensate.hpp>
#include <opencv2/stitching/detail/seam_finders.hpp>

#include "zemb/render.h"

namespace zemb {
namespace rendering {

// How each keyframe lands on the panorama. `scale` shrinks the kept image
// and the panorama alike: the caller passes the kept image already resized
// by about `scale` (`scaled_size` is its size), so that seams can be found on
// small copies and the render fits its cap.
class FrameWarps {
 public:
  virtual ~FrameWarps() = default;
  // The panorama rectangle keyframe `index` covers.
  virtual cv::Rect footprint(int index, cv::Size scaled_size, double scale) const = 0;
  // Warps the resized kept image into `out` (linear, reflected borders) and
  // its mask (CV_8U, the image's size) into `out_mask` (nearest, zero
  // borders), both of footprint()'s size; returns its top-left corner.
  virtual cv::Point warp(int index, const cv::Mat& scaled_image, const cv::Mat& scaled_mask, double scale,
                         cv::Mat& out, cv::Mat& out_mask) const = 0;
  // Columns of one whole turn at `scale` on a surface that goes round (a
  // cylinder, a sphere); 0 on a plane.
  virtual double turn_columns(double /*scale*/) const { return 0; }
  // Kept-image pixel -> panorama pixel at scale 1 (3x3 CV_64F) when the
  // keyframe lands on the panorama by a plane transform; empty on a cylinder.
  virtual cv::Mat plane_transform(int index) const = 0;
};

// Keyframe i lands by transforms[i] (3x3 CV_64F, kept-image pixel ->
// panorama pixel at scale 1): the live placements, or adjusted plane ones.
std::unique_ptr<FrameWarps> homography_warps(std::vector<cv::Mat> transforms);

// Keyframe i seen by cameras[i] (R CV_32F, intrinsics in kept-image pixels)
// of a camera turning about its centre, projected onto `surface` (a plane,
// cylinder or sphere) whose pixels are `focal` panorama pixels per radian at
// scale 1. On a cylinder or sphere keyframe i is warped turned back by its
// heading (radians about the world's y axis, unwrapped along the sweep),
// rounded to whole columns, and shifted on by as many: no keyframe is cut
// where the projection's angle jumps by a turn, and a sweep past half a turn
// goes on to the right.
std::unique_ptr<FrameWarps> rotation_warps(std::vector<cv::detail::CameraParams> cameras, double focal,
                                           PanoramaSurface surface, std::vector<double> headings);

// 255 where a keyframe image of `size` shows the scene: everywhere but on
// the record's overlay, scaled to that size.
cv::Mat scene_mask(const SweepRecord& record, cv::Size size);

// Two keyframes joined by correspondences that one homography explains.
struct LinkedPair {
  int from = 0, to = 0;                             // keyframe indices, from < to
  std::vector<cv::Point2f> from_points, to_points;  // the correspondences it explains, kept pixels
  cv::Mat homography;                               // from -> to, kept pixels, 3x3 CV_64F
};

// The keyframes and the pairs that join them.
struct LinkGraph {
  std::vector<cv::Size> sizes;  // of each keyframe's kept image
  std::vector<LinkedPair> pairs;
  std::vector<int> joined;      // the keyframes the pairs join into the biggest group, ascending
  std::vector<int> left_out;    // the others, ascending
};

// `links` with every pair measured again on the kept images; a pair the
// measurement loses goes, and so does a point it moves further than a few
// pixels, or than `most_moved` kept pixels. The links must name keyframes of
// the record.
std::vector<KeyframeLink> sharpened_links(const SweepRecord& record, const std::vector<KeyframeLink>& links);
std::vector<KeyframeLink> sharpened_links(const SweepRecord& record, const std::vector<KeyframeLink>& links,
                                          double most_moved);

// Descriptors of the kept images, computed once each, for joining keyframes
// whose recorded links are missing or unusable.
class ImageMatcher {
 public:
  ImageMatcher(const SweepRecord& record, const RenderOptions& options);
  ~ImageMatcher();
  // Correspondences between two keyframes' kept images (kept pixels), those
  // passing a ratio test; none when the images share too little.
  KeyframeLink link(int from, int to);

 private:
  struct Features;
  const Features& features_of(int index);
  const SweepRecord& record_;
  const RenderOptions& options_;
  std::vector<std::unique_ptr<Features>> features_;
};

struct Placements;

// The record's links, sharpened, fitted pair by pair and joined, with the
// live placements as a prior: a pair's correspondences that contradict them
// by more than options.prior_slack are taken only when options.prior_overrule
// of them agree on one transform. When options.match_unlinked, neighbours in
// the record that nothing joins are linked around the live placements
// (points carried by them, measured again on the kept images), keyframes
// still outside the biggest group are matched against their neighbours, and
// neighbours in different groups after that are joined by the live link
// itself. Links that name no two keyframes or have unpaired points:
// cv::Exception (StsBadArg).
LinkGraph link_graph(const SweepRecord& record, const RenderOptions& options, const Placements& live);

// The pairs among `keyframes` (ascending), re-indexed 0.. in that order,
// grouped again.
LinkGraph subgraph(const LinkGraph& graph, const std::vector<int>& keyframes);

// A pair's homography between centred points (point minus half the image
// size), as cv::detail's rotation estimators read it.
cv::Mat centred_homography(const LinkedPair& pair, const std::vector<cv::Size>& sizes);

// Focal lengths (kept pixels) to start the rotation adjustment from, best
// first: the one that makes every pair's homography closest to a rotation,
// the median of cv::detail::focalsFromHomography's estimates, and the hint
// (the keyframes' recorded focal lengths, else options.field_of_view).
// Starts within a few percent of a better one are dropped.
std::vector<double> focal_starts(const SweepRecord& record, const LinkGraph& graph, const RenderOptions& options);

// Whether two focal lengths are within a few percent of each other: one start,
// or one result of the adjustment.
bool same_focal(double a, double b);

// Keyframes placed by one model.
struct Placements {
  RenderModel model = RenderModel::kLive;
  // Keyframe i: kept pixel -> the panorama's world, a point of its plane
  // (plane models) or a ray (rotation), 3x3 CV_64F; empty for keyframes not
  // placed.
  std::vector<cv::Mat> to_world;
  std::vector<int> used;  // the keyframes placed, ascending
  std::unique_ptr<FrameWarps> warps;
  double focal = 0;       // median focal length of a rotation model, kept pixels
  // Placed by rotations: the surface, whether the picture is to be turned
  // upright, and the cameras (compose_panorama fills in the rest).
  PanoramaProjection projection;
};

// Placements by cameras of a turning camera (laid out across the way the
// sweep went, `recorded` or, kAuto, read from the cameras; with
// options.level, levelled; on the surface options.surface asks for, a
// cylinder where no plane can show them) or by plane transforms
// (kept pixel -> panorama pixel); entries outside `used` are ignored.
Placements placed_by_rotations(RenderModel model, std::vector<cv::detail::CameraParams> cameras,
                               std::vector<int> used, const RenderOptions& options, Direction recorded);
Placements placed_by_planes(RenderModel model, std::vector<cv::Mat> transforms, std::vector<int> used);

// Why a step could not place the keyframes: the kind, for the report's
// fallback, and what happened, for a person. Steps that can fail return an
// optional Failure, empty when they did not.
struct Failure {
  RenderFallback why = RenderFallback::kNone;
  std::string message;
};

// kImplausible when placements are folded or far too large (a placement not
// finite or not convex, an outline wildly larger or smaller than the others,
// a panorama much larger in frames than the live one).
std::optional<Failure> implausibility(const std::vector<cv::Size>& sizes, const Placements& placements,
                                      const Placements& live);

// How far apart placements leave the correspondences of the pairs they
// place both keyframes of, kept pixels of the later keyframe.
struct Residuals {
  double median = 0, p90 = 0;
  int count = 0;  // correspondences measured
};
Residuals residuals(const LinkGraph& graph, const std::vector<cv::Mat>& to_world);

// Adjusts the cameras of one window of keyframes (a LinkGraph of its own,
// every keyframe joined); false when the adjustment fails. Each camera's R
// is its world transform: camera-to-world rotation (with focal and principal
// point), or the kept-pixel -> plane transform of a plane model. `cameras`
// come in empty, or (to the rotation adjuster) as the window's cameras to go
// on adjusting from.
using WindowAdjuster = std::function<bool(const LinkGraph& window, std::vector<cv::detail::CameraParams>& cameras)>;

// Runs `adjust` on overlapping windows of graph.joined (the adjusters'
// solvers are dense) and carries each window onto the previous one through
// the keyframes they share: by a rotation, or by a plane transform. Cameras
// come in empty, or one for every keyframe to go on from, and come back for
// every keyframe (default ones for those not joined); kAdjustmentFailed
// names the window that failed.
std::optional<Failure> adjust_in_windows(const LinkGraph& graph, bool rotations, const WindowAdjuster& adjust,
                              std::vector<cv::detail::CameraParams>& cameras);

// The window adjusters of each model. A rotation window given no cameras
// starts at `focal`; a similarity window holds its keyframes' scale at its
// root's with `scale_weight` (RenderOptions::flat_scale_hold; 0 leaves it
// free).
WindowAdjuster rotation_adjuster(double focal, int iterations);
WindowAdjuster similarity_adjuster(int iterations, double scale_weight);
WindowAdjuster homography_adjuster(int iterations);

// The homography model's transforms (of the keyframes `used`) onto the
// plane tilted so that the keyframes' outlines are as near one size as a
// tilt makes them.
std::vector<cv::Mat> levelled(std::vector<cv::Mat> transforms, const std::vector<int>& used,
                              const std::vector<cv::Size>& sizes);

// The outcome of the refinement: the placements used and, when they are not
// the scene's own model, why.
struct Refinement {
  Placements placements;
  Residuals fit;
  Failure fallback;  // kNone, with no message, when the scene's own model was used
};

// Places graph.joined with the scene's model when it fits, else with the
// adjusted model (or `live`) that fits best; never throws.
Refinement refine(const SweepRecord& record, const LinkGraph& graph, const RenderOptions& options, Placements live);

// The placements the sweep made live: recorded rotations and focal lengths
// when every keyframe carries them, else the recorded placements of the
// keyframes that can be drawn.
Placements live_placements(const SweepRecord& record, const RenderOptions& options);

// What composition did: the seconds each stage spent, and where the
// panorama lies (a panorama pixel at the render scale, less origin).
struct Composition {
  double exposure = 0, seams = 0, blend = 0;
  double scale = 1;
  cv::Point origin;
};

// A keyframe drawn on the panorama, `turns` whole turns from where its warp
// puts it: on a panorama that goes round, a keyframe near its left or right
// edge is drawn again a turn away, so that blending and seams see across the
// join as they see anywhere else.
struct Drawn {
  int index = 0;
  int turns = 0;
};

// Gains and seams, found once on copies of about seam_megapixels each
// (find_gains_and_seams).
struct SeamPass {
  cv::Ptr<cv::detail::ExposureCompensator> compensator;
  cv::Ptr<cv::detail::SeamFinder> seam_finder;
  std::vector<cv::UMat> masks;  // each drawn keyframe's seam mask at the seam scale
};

// The keyframes as the seam pass sees them: warped at the seam scale
// (CV_8UC3, as fed to the exposure compensator), where they land, and what
// each covers (CV_8U) before any seam cut it.
struct SeamInputs {
  std::vector<cv::UMat> images;
  std::vector<cv::Point> corners;
  std::vector<cv::UMat> coverage;
  std::vector<int> gain_index;  // each one's index in the exposure compensator
};

// A mask over `rect`, panorama coordinates at the seam scale.
struct Patch {
  cv::Rect rect;
  cv::Mat mask;  // CV_8U, rect's size
};

// One connected part of where two keyframes differ, grown.
struct PairDifference {
  Patch patch;
  cv::Mat strong;  // CV_8U over patch.rect: where they differ, before it was grown
  std::size_t first = 0, second = 0;  // the two keyframes
};

// Where overlapping keyframes show different things (something moved
// between them): the differences of pairs that touch, joined.
struct MoverRegion {
  Patch patch;
  std::vector<PairDifference> parts;
  int mover = 0;  // regions that hold differences of one pair of keyframes share this
};

// The regions where two keyframes, their exposure evened out by
// `compensator` (fed with `in`), differ in some channel by more than
// `threshold` grey levels over more than a thin edge, grown by `margin`
// pixels and joined where they touch; regions that hold differences of one
// pair of keyframes are one mover's.
std::vector<MoverRegion> mover_regions(const SeamInputs& in,
                                       const cv::Ptr<cv::detail::ExposureCompensator>& compensator,
                                       double threshold, int margin);

// Takes out of `in`'s coverage where some other keyframe, the exposures
// evened out by `compensator` (fed with `in`), differs from it as
// mover_regions finds, a little grown; true when it took any pixel. Gains
// fed again with what is left follow the scene alone: a bright figure in
// one keyframe's overlap and not in the other's would pull their gains
// apart, and the whole of both keyframes with them.
bool leave_out_movers(SeamInputs& in, const cv::Ptr<cv::detail::ExposureCompensator>& compensator,
                      double threshold);

// The seam masks set over each region: in one region of each mover all
// that the keyframe which saw most of the mover there covers goes to it;
// every other pixel to a keyframe that shows the scene there, first to the
// keyframe the seam finder gave it. A keyframe saw the mover where it
// differs from every other keyframe covering the pixel, and where it
// differs from the only other one in a part joined to such pixels; a copy
// of the mover it saw reaches `margin` pixels further (the blender's
// reach). What moved is shown once, whole, as one keyframe saw it, and no
// seam or blend crosses it.
void keep_movers_whole(const std::vector<MoverRegion>& regions, const SeamInputs& in, int margin, SeamPass& pass);

// What composition needs before any pixel is blended: the render scale,
// what is drawn and where, the gains and seams, and the blender, with the
// stages given or, where none is, those the options name. A panorama on a
// cylinder that the keyframes go all the way round, or on the sphere, is one
// whole turn wide (`box`), its keyframes near the join drawn on both sides.
struct CompositionPlan {
  std::vector<Drawn> drawn;
  double scale = 1.0;                // of the panorama against kept pixels
  int turn = 0;                      // columns of a whole turn; 0 when it does not go round
  SeamPass seams;
  std::vector<cv::Rect> footprints;  // of drawn[k] on the panorama at `scale`
  cv::Rect reach;                    // every footprint: what the blender covers
  cv::Rect box;                      // the panorama shown
  cv::Ptr<cv::detail::Blender> blender;
  Composition times;                // exposure and seams so far
};

// The plan for the keyframes `used` on `surface`, reduced so that the
// panorama's box holds at most `max_megapixels`.
CompositionPlan plan_composition(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                                 const RenderOptions& options, const RenderStages& stages, PanoramaSurface surface,
                                 double max_megapixels);

// A keyframe warped onto the panorama at the plan's scale.
struct WarpedFrame {
  cv::Mat image;  // CV_8UC3, borders reflected so that blending draws no black in
  cv::Mat mask;   // CV_8U, 255 where the keyframe covers
  cv::Point corner;
};

// A kept image's size at `scale`, as warped.
cv::Size scaled_size(cv::Size size, double scale);

// The middle value (the upper of the two middle ones); `values` not empty.
double median(std::vector<double> values);

// A drawn keyframe warped at `scale` (`turn` columns a whole turn there).
WarpedFrame warp_drawn(const SweepRecord& record, const FrameWarps& warps, const Drawn& drawn, double scale,
                       int turn);

// The gains and seams of the drawn keyframes, found on copies warped at
// `scale`: into pass.masks, with the compensator fed; the seconds each took
// into `times`. Past `budget_megapixels` of copies in all, seams are found a
// window of keyframes along the sweep at a time and gains on copies reduced
// to fit the budget; within it, as cv::Stitcher finds them. With
// options.keep_movers, each window's seams go round what moved
// (keep_movers_whole), the gains found first; `render_scale` is the scale
// the keyframes are blended at.
void find_gains_and_seams(const SweepRecord& record, const std::vector<Drawn>& drawn, const FrameWarps& warps,
                          const RenderOptions& options, double scale, double render_scale, int turn, SeamPass& pass,
                          Composition& times);

// Drawn keyframe k as the blender takes it: warped, its exposure evened out
// and its mask cut along its seam.
WarpedFrame composed_frame(const SweepRecord& record, const FrameWarps& warps, const CompositionPlan& plan,
                           std::size_t k);

// The keyframes `used`, reduced to fit max_render_megapixels and blended on
// one canvas. `projection` comes with the surface (kAuto for plane
// transforms), `turned` and the scale at scale 1 (the focal length), and
// goes with the rest of it filled in; a turned panorama is turned a quarter
// turn clockwise.
Composition compose_panorama(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                              const RenderOptions& options, const RenderStages& stages, cv::Mat& panorama,
                              cv::Mat& mask, PanoramaProjection& projection);

// The same blended tile by tile at up to max_pyramid_megapixels, each tile
// with a margin wide enough that the blender's bands reach no tile border,
// and handed to `sink` a tile at a time; the panorama's size goes to `size`.
Composition compose_tiled(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                           const RenderOptions& options, const RenderStages& stages,
                           const PanoramaProjection& projection, PanoramaSink& sink, cv::Size& size);

// The keyframes placed by the model that fits (or as the sweep placed them
// live), with what the report says of the refinement; StsBadArg when
// nothing places them.
Placements placed_keyframes(const SweepRecord& record, const RenderOptions& options,
                                       FinishReport& report);

}  // namespace rendering
}  // namespace zemb

#endif  // ZEMB_RENDER_INTERNAL_H

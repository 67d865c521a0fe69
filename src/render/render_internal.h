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
#include <opencv2/stitching/detail/camera.hpp>

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
  // Warps the resized kept image into `out` (its size is footprint()'s);
  // returns the footprint's top-left corner.
  virtual cv::Point warp(int index, const cv::Mat& scaled_image, double scale, int interpolation, int border,
                         cv::Mat& out) const = 0;
  // Kept-image pixel -> panorama pixel at scale 1 (3x3 CV_64F) when the
  // keyframe lands on the panorama by a plane transform; empty on a cylinder.
  virtual cv::Mat plane_transform(int index) const = 0;
};

// Keyframe i lands by transforms[i] (3x3 CV_64F, kept-image pixel ->
// panorama pixel at scale 1): the live placements, or adjusted plane ones.
std::unique_ptr<FrameWarps> homography_warps(std::vector<cv::Mat> transforms);

// Keyframe i seen by cameras[i] (R CV_32F, intrinsics in kept-image pixels)
// of a camera turning about its centre, projected onto a plane or a cylinder
// whose pixels are `focal` panorama pixels per radian at scale 1.
std::unique_ptr<FrameWarps> rotation_warps(std::vector<cv::detail::CameraParams> cameras, double focal,
                                           bool cylindrical);

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
};

// Placements by cameras of a turning camera (straightened, on the surface
// asked for, a cylinder where no plane can show them) or by plane transforms
// (kept pixel -> panorama pixel); entries outside `used` are ignored.
Placements placed_by_rotations(RenderModel model, std::vector<cv::detail::CameraParams> cameras,
                               std::vector<int> used, PanoramaSurface surface);
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
// point), or the kept-pixel -> plane transform of a plane model.
using WindowAdjuster = std::function<bool(const LinkGraph& window, std::vector<cv::detail::CameraParams>& cameras)>;

// Runs `adjust` on overlapping windows of graph.joined (the adjusters'
// solvers are dense) and carries each window onto the previous one through
// the keyframes they share: by a rotation, or by a plane transform. Cameras
// come back for every keyframe (default ones for those not joined);
// kAdjustmentFailed names the window that failed.
std::optional<Failure> adjust_in_windows(const LinkGraph& graph, bool rotations, const WindowAdjuster& adjust,
                              std::vector<cv::detail::CameraParams>& cameras);

// The window adjusters of each model. A rotation window starts at `focal`;
// a similarity window holds its keyframes' scale at its root's with
// `scale_weight` (RenderOptions::flat_scale_hold; 0 leaves it free).
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
Placements live_placements(const SweepRecord& record, PanoramaSurface surface);

// What composition did: the seconds each stage spent, and where the
// panorama lies (a panorama pixel at the render scale, less origin).
struct Composition {
  double exposure = 0, seams = 0, blend = 0;
  double scale = 1;
  cv::Point origin;
};

// Exposure compensation, seams found at seam_megapixels and blending of the
// keyframes `used`, reduced to fit max_render_megapixels, with the stages
// given or, where none is, those the options name.
Composition compose_panorama(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                              const RenderOptions& options, const RenderStages& stages, cv::Mat& panorama,
                              cv::Mat& mask);

}  // namespace rendering
}  // namespace zemb

#endif  // ZEMB_RENDER_INTERNAL_H

// The finished render of a recorded sweep, like cv::Stitcher's composition:
// the keyframe placements refined from the recorded correspondences, then
// exposure compensation, seams and blending with OpenCV's cv::detail pieces.
// Callable on any SweepRecord; Sweep::finish() renders the sweep's own.
#ifndef ZEMB_RENDER_H
#define ZEMB_RENDER_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/stitching/detail/blenders.hpp>
#include <opencv2/stitching/detail/exposure_compensate.hpp>
#include <opencv2/stitching/detail/seam_finders.hpp>

#include "zemb/options.h"
#include "zemb/record.h"

namespace zemb {

// Why the render did not place the keyframes with the scene's own model
// (rotations for a turning camera, similarity transforms for a flat scene).
enum class RenderFallback {
  kNone,              // the scene's own model was used
  kUnlinked,          // correspondences join too few of the keyframes: the whole render is the live one
  kAdjustmentFailed,  // the bundle adjustment did not converge or gave no finite result
  kImplausible,       // the refinement converged but its result is implausible (folded, far too large)
  kRaised,            // an OpenCV step of the refinement raised an error
  kPoorFit,           // the model leaves the correspondences further apart than RenderOptions::max_residual
                      // (a camera that moved, parallax, a flat scene recorded as turning)
};

// The name used in reports: "none", "unlinked", "adjustment failed", "implausible", "raised", "poor fit".
const char* fallback_name(RenderFallback fallback);

// How the keyframes were placed on the finished panorama.
enum class RenderModel {
  kRotation,    // a camera turning about its centre: a rotation and a focal length each
  kHomography,  // a plane transform each, adjusted over all the correspondences
  kSimilarity,  // a rotation, a uniform scale and a shift each (a flat scene)
  kLive,        // as the sweep placed them live, unrefined
};

// "rotation", "homography", "similarity", "live".
const char* model_name(RenderModel model);

struct FinishReport {
  // Keyframes in the render (a sweep's record counts its newest accepted
  // frame too when it is not a keyframe, so that the render reaches as far
  // as the preview).
  int keyframes_used = 0;
  bool refined = false;  // the keyframes were placed by an adjustment (model is not kLive)
  RenderModel model = RenderModel::kLive;
  // Why the scene's own model was not used, when not (the model used is
  // then another adjusted one, or the live placements).
  RenderFallback fallback = RenderFallback::kNone;
  std::string fallback_message;  // the same for a person; empty when the scene's model was used
  // Keyframes not in the render, ascending: no correspondence, recorded or
  // found by matching the kept images, joins them to the others (an adjusted
  // render), or their live placement cannot be drawn (model kLive).
  std::vector<int> left_out;
  // The refined focal length in kept-image pixels (the median over the
  // keyframes) when model is kRotation, else 0.
  double focal = 0;
  // How far apart the placements leave the correspondences, kept pixels:
  // median and 90th percentile over all the pairs that join the keyframes used.
  double residual_median = 0, residual_p90 = 0;
  cv::Size size;  // of the finished panorama
  // Where each keyframe landed: kept-image pixel -> finished panorama pixel
  // (3x3 CV_64F), one entry a keyframe of the record; empty for keyframes
  // left out and on a cylinder, which no plane transform describes.
  std::vector<cv::Mat> placements;
  // Wall time of each stage, seconds.
  double seconds_refine = 0, seconds_exposure = 0, seconds_seams = 0, seconds_blend = 0, seconds_total = 0;
};

// Where the pixels of a panorama placed by rotations look. Rays are in the
// panorama's world: x to the right, y down, z ahead, as the panorama shows
// them (levelled, y is the world's vertical).
struct PanoramaProjection {
  // kPlane, kCylinder or kSphere; kAuto when plane transforms placed the
  // keyframes and no ray belongs to a pixel.
  PanoramaSurface surface = PanoramaSurface::kAuto;
  double scale = 0;     // panorama pixels a radian (cylinder, sphere) or a unit of tangent (plane)
  cv::Point2d centre;   // where the ray straight ahead, (0, 0, 1), falls before any turn
  // Columns of one whole turn when the panorama goes all the way round (a
  // full turn on a cylinder, always on a sphere): its left and right edges
  // meet. 0 otherwise.
  int turn_columns = 0;
  // A sweep up or down is projected round a lying axis (world y is then
  // that axis) and the picture turned a quarter turn clockwise after, so
  // that it stands upright; `size` is of the turned picture.
  bool turned = false;
  cv::Size size;
  // Keyframe i: kept-image pixel -> ray, 3x3 CV_64F; empty for keyframes
  // not in the render.
  std::vector<cv::Mat> cameras;

  // The panorama pixel a ray falls on (any ray on a cylinder or sphere, one
  // ahead on a plane).
  cv::Point2d pixel_of(const cv::Vec3d& ray) const;
  // The ray a panorama pixel shows (not of unit length on a plane or a
  // cylinder): pixel_of's inverse.
  cv::Vec3d ray_of(const cv::Point2d& pixel) const;
};

struct FinishedPanorama {
  cv::Mat panorama;  // CV_8UC3, oriented like the live preview
  cv::Mat mask;      // CV_8U, 255 where a frame covered the panorama
  // The largest axis-aligned rectangle of the panorama with no empty pixel
  // (largest_covered_rectangle of the mask); empty when nothing is covered.
  cv::Rect crop;
  PanoramaProjection projection;  // surface kAuto unless rotations (refined or live) placed the keyframes
  FinishReport report;

  // The panorama within `crop`: a view, sharing its pixels.
  cv::Mat cropped() const { return crop.empty() ? cv::Mat() : panorama(crop); }
};

// The largest axis-aligned rectangle (by area) of non-zero pixels of `mask`
// (CV_8UC1, not empty), found exactly in time linear in its pixels; an empty
// rectangle when every pixel is zero. Another mask type: cv::Exception
// (StsBadArg).
cv::Rect largest_covered_rectangle(const cv::Mat& mask);

// The compositing stages, settable as in cv::Stitcher. An empty one is made
// from RenderOptions (exposure, seams, blending). A stage given here is used
// as it is, for this render, and keeps what it learnt (a blender its memory).
struct RenderStages {
  cv::Ptr<cv::detail::ExposureCompensator> compensator;
  cv::Ptr<cv::detail::SeamFinder> seam_finder;
  cv::Ptr<cv::detail::Blender> blender;
};

// Renders `record`. Fewer than two keyframes, links that name no pair of
// keyframes, or options that fail check(): cv::Exception (StsBadArg).
// Otherwise a panorama: with the scene's own model when it fits, else with
// the adjusted model that fits best, else with the live placements; the
// report says which and why.
FinishedPanorama render(const SweepRecord& record, const RenderOptions& options,
                        const RenderStages& stages = RenderStages());

// Takes a panorama composed tile by tile, so that no one holds the whole
// canvas nor a strip of it as wide as the panorama.
class PanoramaSink {
 public:
  virtual ~PanoramaSink() = default;
  // Before the first tile: the panorama's size.
  virtual void begin(cv::Size size) = 0;
  // The panorama's pixels within `area`: `tile` is CV_8UC3 of area's size,
  // black where no keyframe covers it. The tiles cover the panorama once,
  // a row of tiles (the same rows of the panorama) after the other, top to
  // bottom; within a row they come in no set order.
  virtual void write(const cv::Rect& area, const cv::Mat& tile) = 0;
  // After the last tile: every pixel has been written.
  virtual void end() = 0;
};

// Renders `record` as render() does, but composes the panorama tile by tile
// (RenderOptions::tile_size), each tile with the margin that blending and
// seams need so that no tile border shows, and hands it to `sink`. Memory
// follows a tile and the keyframes it meets, not the canvas (with gains and
// seams past RenderOptions::seam_pass_megapixels found a window of
// keyframes at a time), and the panorama is reduced only
// past RenderOptions::max_pyramid_megapixels. The same errors as render(),
// and whatever `sink` throws.
FinishReport render_tiled(const SweepRecord& record, const RenderOptions& options, PanoramaSink& sink,
                          const RenderStages& stages = RenderStages());

}  // namespace zemb

#endif  // ZEMB_RENDER_H

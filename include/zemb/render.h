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

struct FinishedPanorama {
  cv::Mat panorama;  // CV_8UC3, oriented like the live preview
  cv::Mat mask;      // CV_8U, 255 where a frame covered the panorama
  FinishReport report;
};

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

}  // namespace zemb

#endif  // ZEMB_RENDER_H

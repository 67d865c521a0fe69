// The finished render of a recorded sweep, like cv::Stitcher's composition:
// the keyframe placements refined from the recorded correspondences, then
// exposure compensation, seams and blending with OpenCV's cv::detail pieces.
// Callable on any SweepRecord; Sweep::finish() renders the sweep's own.
#ifndef ZEMB_RENDER_H
#define ZEMB_RENDER_H

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/stitching/detail/blenders.hpp>
#include <opencv2/stitching/detail/exposure_compensate.hpp>
#include <opencv2/stitching/detail/seam_finders.hpp>

#include "zemb/options.h"
#include "zemb/record.h"

namespace zemb {

// Why the render did not use refined placements.
enum class RenderFallback {
  kNone,              // refined
  kUnlinked,          // a keyframe has no usable correspondences joining it to the others
  kAdjustmentFailed,  // the bundle adjustment did not converge or gave no finite result
  kImplausible,       // the refinement converged but its result is implausible (folded, far too large)
  kRaised,            // an OpenCV step of the refinement raised an error
};

// The name used in reports: "none", "unlinked", "adjustment failed", "implausible", "raised".
const char* fallback_name(RenderFallback fallback);

struct FinishReport {
  // Keyframes in the render (a sweep's record counts its newest accepted
  // frame too when it is not a keyframe, so that the render reaches as far
  // as the preview).
  int keyframes_used = 0;
  bool refined = false;  // the refined placements were used
  RenderFallback fallback = RenderFallback::kNone;  // why not, when not
  std::string fallback_message;                     // the same for a person; empty when refined
  cv::Size size;  // of the finished panorama
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
// Otherwise a panorama: with refined placements, or with the live ones when
// the refinement fails (the report says why).
FinishedPanorama render(const SweepRecord& record, const RenderOptions& options,
                        const RenderStages& stages = RenderStages());

}  // namespace zemb

#endif  // ZEMB_RENDER_H

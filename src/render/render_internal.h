// The stages of the finished render: remeasuring the recorded
// correspondences, refining the placements, the warps, and composition.
#ifndef ZEMB_RENDER_INTERNAL_H
#define ZEMB_RENDER_INTERNAL_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/stitching/detail/camera.hpp>

#include "zemb/render.h"

namespace zemb {
namespace finish {

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
};

// Keyframe i lands by transforms[i] (3x3 CV_64F, kept-image pixel ->
// panorama pixel at scale 1): the live placements, or refined affine ones.
std::unique_ptr<FrameWarps> homography_warps(std::vector<cv::Mat> transforms);

// Keyframe i seen by cameras[i] (R CV_32F, intrinsics in kept-image pixels)
// of a camera turning about its centre, projected onto a plane or a cylinder
// whose pixels are `focal` panorama pixels per radian at scale 1.
std::unique_ptr<FrameWarps> rotation_warps(std::vector<cv::detail::CameraParams> cameras, double focal,
                                           bool cylindrical);

// The outcome of the global refinement: warps, or why there are none.
struct Refinement {
  std::unique_ptr<FrameWarps> warps;
  RenderFallback failure = RenderFallback::kNone;
  std::string message;  // empty when refined

  static Refinement failed(RenderFallback why, std::string message);
};

// The record's links with every pair measured again on the kept images; a
// pair the measurement loses goes. Links that name no two keyframes or whose
// point lists do not pair up are passed on as they are.
std::vector<KeyframeLink> sharpened_links(const SweepRecord& record);

// Refines every keyframe's placement from the recorded correspondences, as
// record.scene models the camera's motion. Never throws for a record whose
// links index its keyframes; failures come back in Refinement::failure.
Refinement refine_placements(const SweepRecord& record, const RenderOptions& options);

// Seconds spent by the compositing stages.
struct ComposeTimes {
  double exposure = 0, seams = 0, blend = 0;
};

// Exposure compensation, seams found at seam_megapixels and blending of the
// keyframes `used`, reduced to fit max_render_megapixels, with the stages
// given or, where none is, those the options name.
ComposeTimes compose_panorama(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                              const RenderOptions& options, const RenderStages& stages, cv::Mat& panorama,
                              cv::Mat& mask);

}  // namespace finish
}  // namespace zemb

#endif  // ZEMB_RENDER_INTERNAL_H

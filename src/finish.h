// The finished render of a recorded sweep: global refinement of the keyframe
// placements from their correspondences, exposure compensation, seams and
// multi-band blending, with OpenCV's stitching pieces.
#ifndef ZEMB_FINISH_H
#define ZEMB_FINISH_H

#include <functional>
#include <vector>

#include <opencv2/core.hpp>

#include "zemb/sweep.h"

namespace zemb {

// What a sweep recorded: its keyframes, their correspondences, and a way to
// read each keyframe's kept image (which may come back from disk).
struct SweepRecord {
  std::vector<Keyframe> keyframes;
  std::vector<KeyframeLink> links;
  std::function<cv::Mat(int)> image;
};

// Fewer than two keyframes: cv::Exception (StsBadArg). Otherwise a panorama,
// rendered with the live placements when the refinement fails or its result
// is implausible (the report says why).
FinishedPanorama render_finished(const SweepRecord& record, const SweepOptions& options);

}  // namespace zemb

#endif  // ZEMB_FINISH_H

// Which placed frames become keyframes, what the record says of each, and
// the focal length a turning sweep's keyframes tell.
#ifndef ZEMB_SWEEP_KEYFRAMES_H
#define ZEMB_SWEEP_KEYFRAMES_H

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "sweep/view.h"
#include "zemb/options.h"
#include "zemb/record.h"

namespace zemb {

// The keyframe decision: a placed frame becomes a keyframe once it has moved
// on from the newest keyframe by options.share of a frame, or zoomed by as
// much.
bool needs_new_keyframe(const View& newest_keyframe, const View& frame, const KeyframeOptions& options);

// Kept-image pixels per working pixel, per axis.
cv::Point2d kept_scale_of(cv::Size kept, cv::Size working);

// What the record says of a keyframe whose kept image has `kept_size`: its
// rotation and focal length (a turning camera) or its placement on the
// plane (a flat scene), in kept-image pixels.
Keyframe keyframe_of(const View& view, cv::Size kept_size, Scene scene);

// The focal length of a turning camera from the homographies chained from
// `keyframes` to `next` (the next keyframe): nothing while they have turned
// too little to tell; once they have, the estimate, or 0 when they do not
// tell it clearly (then they never will).
std::optional<double> focal_from_turn(const std::vector<View>& keyframes, const View& next);

// The view at focal length `focal`, its rotation kept.
void refocus(View& view, double focal);

}  // namespace zemb

#endif  // ZEMB_SWEEP_KEYFRAMES_H

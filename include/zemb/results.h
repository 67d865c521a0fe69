// Named results of ZembStitcher::ofcheck_stitch. A non-negative result that
// is not kBusy is a count (see zemb_stitcher.h); the values never change.
#ifndef ZEMB_RESULTS_H
#define ZEMB_RESULTS_H

namespace zemb {

// The stitcher was busy: a call on it was already under way; nothing changed.
constexpr int kBusy = 0;
// The frame does not extend the panorama far enough to the right.
constexpr int kNotExtended = -1;
// The frame could not be placed (no usable or a mistracked homography).
constexpr int kNotPlaceable = -2;

}  // namespace zemb

#endif  // ZEMB_RESULTS_H

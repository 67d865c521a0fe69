// The fixed path's steps that work on the stitcher itself: tracking against
// its reference record, starting and committing its panorama.
#ifndef ZEMB_FIXED_PATH_H
#define ZEMB_FIXED_PATH_H

#include <vector>

#include "fixed/steps.h"
#include "zemb_stitcher.h"

namespace zemb {

struct Tracking {
  int tracked_count = 0;
  cv::Mat homography;  // working frame -> current panorama; empty when refused
};

// Tracks the reference's keypoints into `frame` and fits the frame homography
// onto the current panorama. Every pair goes into the fit, found or not. The
// homography is left empty when the tracked count is below `min_tracked` or
// the fit gives no finite model.
Tracking track_reference(const stitch_data& reference, const PreparedFrame& frame, int min_tracked);

// The first frame with enough keypoints starts the panorama, the band and the
// reference (identity homography).
void start_panorama(ZembStitcher& stitcher, const PreparedFrame& prepared, std::vector<cv::KeyPoint> keypoints);

// Makes a placed frame the stitcher's panorama, band and reference at once;
// nothing in it can throw, so the stitcher is never left half-updated.
void commit_placement(ZembStitcher& stitcher, const Placement& placement, const PreparedFrame& prepared,
                      std::vector<cv::KeyPoint> keypoints);

}  // namespace zemb

#endif  // ZEMB_FIXED_PATH_H

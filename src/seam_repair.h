// Seam repair on a region: the stitcher keeps only the part of the old canvas
// that the paste overwrote, so the repair reads old pixels from an image whose
// top-left corner sits at `old_origin` on the canvas.
#ifndef ZEMB_SEAM_REPAIR_H
#define ZEMB_SEAM_REPAIR_H

#include <vector>

#include <opencv2/core.hpp>

namespace zemb {

// The pixels visited for `corners`: columns [trunc(min x), trunc(max x)) and
// rows [trunc(min y), trunc(max y)), clipped to `limits`. Empty when a bound
// is NaN or fewer than four corners are given.
cv::Rect seam_box(const std::vector<cv::Point2f>& corners, const cv::Rect& limits);

// Repairs `new_canvas` inside `box` (canvas coordinates, inside new_canvas
// and inside the old pixels' extent) from `old_pixels`, whose pixel (0, 0) is
// canvas pixel `old_origin`. `corners` holds the four outline corners.
void repair_seam(const cv::Mat& old_pixels, cv::Point old_origin, cv::Mat& new_canvas,
                 const std::vector<cv::Point2f>& corners, const cv::Rect& box);

}  // namespace zemb

#endif  // ZEMB_SEAM_REPAIR_H

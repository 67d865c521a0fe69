// Seam repair as a choice between two sources: for each pixel of the box,
// the old pixel or the new one. The stitcher takes the old pixels from the
// canvas and the new ones from the warped patch, and writes the choice onto
// the canvas, so the pixels a paste would overwrite need no copy.
#ifndef ZEMB_FIXED_SEAM_REPAIR_H
#define ZEMB_FIXED_SEAM_REPAIR_H

#include <vector>

#include <opencv2/core.hpp>


namespace zemb {

// The pixels visited for `corners`: columns [trunc(min x), trunc(max x)) and
// rows [trunc(min y), trunc(max y)), clipped to `limits`. Empty when a bound
// is NaN or fewer than four corners are given.
cv::Rect seam_box(const std::vector<cv::Point2f>& corners, const cv::Rect& limits);

// Applies the seam rule to `box` (canvas coordinates) of the outline
// `corners`: `old_pixels`, `new_pixels` and `out` are views of the box's
// size, and each pixel of `out` becomes the old or the new pixel as the rule
// chooses: an old pixel with content wins within `band_width` of an edge
// line and where the new pixel is empty. `out` may share memory with either
// source. Nothing is allocated once pixels are written, so the call never
// stops half-way.
void apply_seam_rule(const cv::Mat& old_pixels, const cv::Mat& new_pixels, cv::Mat out,
                     const std::vector<cv::Point2f>& corners, const cv::Rect& box, float band_width);

}  // namespace zemb

#endif  // ZEMB_FIXED_SEAM_REPAIR_H

// Point correspondences between keyframes that share their view, recorded
// for the finished render.
#ifndef ZEMB_SWEEP_LINKS_H
#define ZEMB_SWEEP_LINKS_H

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

#include "sweep/view.h"
#include "zemb/options.h"
#include "zemb/record.h"

namespace zemb {

// One keyframe of a link: its view, its index in the record and its kept
// image's scale (kept pixels per working pixel, per axis).
struct LinkEnd {
  const View& view;
  int index;
  cv::Point2d kept_scale;
};

// The links of `later` with the first `earlier` keyframes (`views`, and
// `keyframes` as the record gives them) that still share its view, nearest
// first, at most options.link_keyframes of them: the newest ones, and after
// a full turn the first ones again. Each link's correspondences are found by
// flow from the later keyframe into the earlier, seeded with where the chain
// of fitted transforms (or the poses, for keyframes far back) puts the
// points, and kept when a homography explains them and agrees with that
// prediction; at most max_links_per_pair of them, in kept-image pixels.
std::vector<KeyframeLink> links_with_earlier(const std::vector<View>& views, const std::vector<Keyframe>& keyframes,
                                             std::size_t earlier, const LinkEnd& later,
                                             const TrackingOptions& tracking, const KeyframeOptions& options);

}  // namespace zemb

#endif  // ZEMB_SWEEP_LINKS_H

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
// image's scale (kept pixels per working pixel, per axis). It holds its own
// copy of the view, so that a link can be found while the sweep goes on.
struct LinkEnd {
  View view;
  int index;
  cv::Point2d kept_scale;
};

// The keyframe of `views` at `index`, with its record's entry (its view
// without what links do not read: the descriptors recovery made of it).
LinkEnd link_end(const std::vector<View>& views, const std::vector<Keyframe>& keyframes, std::size_t index);

// The first `earlier` keyframes (`views`, with `keyframes` as the record
// gives them) that still share the view of `later`, the keyframe or frame
// after them: nearest first, at most options.link_keyframes of them, the
// newest ones, and after a full turn the first ones again.
std::vector<LinkEnd> ends_to_link(const std::vector<View>& views, const std::vector<Keyframe>& keyframes,
                                  std::size_t earlier, const View& later, const KeyframeOptions& options);

// The link of `later` with `earlier` (a keyframe ends_to_link chose):
// correspondences found by flow from the later keyframe into the earlier,
// seeded with where the chain of fitted transforms (or the poses, for
// keyframes far back) puts the points, and kept when a homography explains
// them and agrees with that prediction; at most max_links_per_pair of them,
// in kept-image pixels. None when the two do not overlap enough.
KeyframeLink link_with(const LinkEnd& earlier, const LinkEnd& later, const TrackingOptions& tracking,
                       const KeyframeOptions& options);

// The links of `later` with the first `earlier` keyframes that have
// correspondences.
std::vector<KeyframeLink> links_with_earlier(const std::vector<View>& views, const std::vector<Keyframe>& keyframes,
                                             std::size_t earlier, const LinkEnd& later,
                                             const TrackingOptions& tracking, const KeyframeOptions& options);

}  // namespace zemb

#endif  // ZEMB_SWEEP_LINKS_H

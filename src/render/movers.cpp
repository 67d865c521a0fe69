// What moved between overlapping keyframes (a person walking, a car driving
// past) shows in one keyframe and not in another: blending the two across it
// leaves a half-transparent ghost, a seam through it cuts it, and seams
// around it may show it twice. Where two keyframes, their exposure evened
// out, differ strongly over more than a thin edge, their difference, grown
// past the blender's reach, is joined with the other pairs' differences it
// touches into a region, and the seam masks are set there by what each
// keyframe shows: a keyframe that differs from every other covering a pixel
// saw the mover there (grown by the blender's reach), the others, which
// agree, the scene. Where only two cover a pixel and differ, the one whose
// copy continues into pixels where it surely saw the mover saw it. A mover
// leaves a region where each keyframe saw it, and regions that hold
// differences of one pair of keyframes are one mover's. In one region of each mover the
// keyframe that saw most of the mover takes all it covers; everywhere else
// keyframes that show the scene do: the mover is shown once, whole, as one
// keyframe saw it. Seams and gains are found on small copies, so this is
// too, on the seam masks both renders share.
#include <algorithm>
#include <map>
#include <numeric>
#include <set>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

// Differences narrower than this many seam pixels across are the edges that
// placements a pixel apart leave, not something that moved.
constexpr int kThinnest = 5;

// The part of a keyframe's mask (at `corner`) within `rect`, zero beyond it.
cv::Mat within(cv::InputArray mask, cv::Point corner, const cv::Rect& rect) {
  cv::Mat part = cv::Mat::zeros(rect.size(), CV_8U);
  const cv::Rect common = cv::Rect(corner, mask.size()) & rect;
  if (!common.empty()) mask.getMat()(common - corner).copyTo(part(common - rect.tl()));
  return part;
}

// Pixels two patches share.
int shared(const Patch& a, const Patch& b) {
  const cv::Rect common = a.rect & b.rect;
  return common.empty() ? 0 : cv::countNonZero(a.mask(common - a.rect.tl()) & b.mask(common - b.rect.tl()));
}

// Every keyframe with its exposure evened out. They are freed before the
// seam finder makes float copies four times their size, so they add nothing
// to the seam pass's peak.
std::vector<cv::Mat> compensated(const SeamInputs& in, const cv::Ptr<cv::detail::ExposureCompensator>& compensator) {
  std::vector<cv::Mat> images(in.images.size());
  for (std::size_t k = 0; k < images.size(); ++k) {
    in.images[k].copyTo(images[k]);
    compensator->apply(in.gain_index[k], in.corners[k], images[k], in.coverage[k]);
  }
  return images;
}

// Where images a and b (their overlap, CV_8UC3) differ by more than
// `threshold` in some channel, in parts wider than kThinnest.
cv::Mat strong_difference(const cv::Mat& a, const cv::Mat& b, const cv::Mat& both, double threshold) {
  cv::Mat difference;
  cv::absdiff(a, b, difference);
  std::vector<cv::Mat> channels;
  cv::split(difference, channels);
  cv::Mat largest = cv::max(cv::max(channels[0], channels[1]), channels[2]);
  cv::Mat strong = (largest > threshold) & both;
  cv::morphologyEx(strong, strong, cv::MORPH_OPEN,
                   cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(kThinnest, kThinnest)));
  return strong;
}

// Each connected part of `mask` (at `corner`) as a patch of its own.
std::vector<Patch> connected_patches(const cv::Mat& mask, cv::Point corner) {
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  std::vector<Patch> patches;
  for (int label = 1; label < count; ++label) {
    const cv::Rect box(stats.at<int>(label, cv::CC_STAT_LEFT), stats.at<int>(label, cv::CC_STAT_TOP),
                       stats.at<int>(label, cv::CC_STAT_WIDTH), stats.at<int>(label, cv::CC_STAT_HEIGHT));
    patches.push_back({box + corner, labels(box) == label});
  }
  return patches;
}

// `mask` (at `corner`, inside `bounds`) grown by a disc of radius `margin`,
// kept within `bounds`, through the distance to it: a dilation by so wide a
// disc costs its area at every pixel. Growth beyond `bounds` is never asked
// for, and a margin as wide as the blender's coarsest band would otherwise
// make patches several times the keyframes' size.
Patch grown(const cv::Mat& mask, cv::Point corner, int margin, const cv::Rect& bounds) {
  const cv::Point start(std::max(corner.x - margin, bounds.x), std::max(corner.y - margin, bounds.y));
  const cv::Point end(std::min(corner.x + mask.cols + margin, bounds.br().x),
                      std::min(corner.y + mask.rows + margin, bounds.br().y));
  cv::Mat padded;
  cv::copyMakeBorder(mask, padded, corner.y - start.y, end.y - corner.y - mask.rows, corner.x - start.x,
                     end.x - corner.x - mask.cols, cv::BORDER_CONSTANT, cv::Scalar(0));
  cv::Mat distance;
  cv::distanceTransform(padded == 0, distance, cv::DIST_L2, cv::DIST_MASK_5);
  return {cv::Rect(start, padded.size()), distance <= margin};
}

// The box holding every keyframe of `in`.
cv::Rect all_keyframes(const SeamInputs& in) {
  cv::Rect all;
  for (std::size_t k = 0; k < in.coverage.size(); ++k) all |= cv::Rect(in.corners[k], in.coverage[k].size());
  return all;
}

// Calls found(i, j, difference) for each pair of overlapping keyframes
// (i < j) that differ strongly somewhere, the difference cut to its
// bounding box.
template <typename Found>
void each_strong_difference(const SeamInputs& in, const cv::Ptr<cv::detail::ExposureCompensator>& compensator,
                            double threshold, Found&& found) {
  const std::vector<cv::Mat> images = compensated(in, compensator);
  for (std::size_t i = 0; i < images.size(); ++i) {
    const cv::Rect rect_i(in.corners[i], images[i].size());
    for (std::size_t j = i + 1; j < images.size(); ++j) {
      const cv::Rect overlap = rect_i & cv::Rect(in.corners[j], images[j].size());
      if (overlap.empty()) continue;
      const cv::Mat both =
          within(in.coverage[i], in.corners[i], overlap) & within(in.coverage[j], in.corners[j], overlap);
      const cv::Mat strong = strong_difference(images[i](overlap - in.corners[i]), images[j](overlap - in.corners[j]),
                                               both, threshold);
      const cv::Rect differs = cv::boundingRect(strong);
      if (!differs.empty()) found(i, j, Patch{differs + overlap.tl(), strong(differs)});
    }
  }
}

// Where each pair of overlapping keyframes differs strongly.
std::vector<PairDifference> differing_parts(const SeamInputs& in,
                                            const cv::Ptr<cv::detail::ExposureCompensator>& compensator,
                                            double threshold, int margin) {
  std::vector<PairDifference> parts;
  const cv::Rect bounds = all_keyframes(in);
  each_strong_difference(in, compensator, threshold, [&](std::size_t i, std::size_t j, const Patch& difference) {
    const Patch around = grown(difference.mask, difference.rect.tl(), margin, bounds);
    for (Patch& patch : connected_patches(around.mask, around.rect.tl())) {
      cv::Mat strong = within(difference.mask, difference.rect.tl(), patch.rect) & patch.mask;
      parts.push_back({std::move(patch), std::move(strong), i, j});
    }
  });
  return parts;
}

// Indices joined into sets.
class Sets {
 public:
  explicit Sets(std::size_t count) : parent_(count) { std::iota(parent_.begin(), parent_.end(), std::size_t(0)); }
  std::size_t root(std::size_t i) {
    while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
    return i;
  }
  void join(std::size_t a, std::size_t b) { parent_[root(a)] = root(b); }

 private:
  std::vector<std::size_t> parent_;
};

// The parts joined where they touch; regions holding parts of one pair of
// keyframes are one mover's.
std::vector<MoverRegion> joined(const std::vector<PairDifference>& parts) {
  Sets touching(parts.size());
  // Parts already joined through others need not be compared.
  for (std::size_t a = 0; a < parts.size(); ++a)
    for (std::size_t b = a + 1; b < parts.size(); ++b)
      if (touching.root(a) != touching.root(b) && shared(parts[a].patch, parts[b].patch) > 0) touching.join(a, b);
  std::map<std::size_t, std::size_t> region_of_root;
  std::vector<MoverRegion> regions;
  for (std::size_t a = 0; a < parts.size(); ++a) {
    const auto [at, added] = region_of_root.emplace(touching.root(a), regions.size());
    if (added) regions.emplace_back();
    regions[at->second].patch.rect |= parts[a].patch.rect;
    regions[at->second].parts.push_back(parts[a]);
  }
  Sets movers(regions.size());
  std::map<std::pair<std::size_t, std::size_t>, std::size_t> region_of_pair;
  for (std::size_t r = 0; r < regions.size(); ++r) {
    Patch& patch = regions[r].patch;
    patch.mask = cv::Mat::zeros(patch.rect.size(), CV_8U);
    for (const PairDifference& part : regions[r].parts) {
      patch.mask(part.patch.rect - patch.rect.tl()) |= part.patch.mask;
      const auto [at, added] = region_of_pair.emplace(std::make_pair(part.first, part.second), r);
      if (!added) movers.join(r, at->second);
    }
  }
  for (std::size_t r = 0; r < regions.size(); ++r) regions[r].mover = int(movers.root(r));
  return regions;
}

}  // namespace

std::vector<MoverRegion> mover_regions(const SeamInputs& in,
                                       const cv::Ptr<cv::detail::ExposureCompensator>& compensator,
                                       double threshold, int margin) {
  CV_Assert(in.corners.size() == in.images.size() && in.coverage.size() == in.images.size() &&
            in.gain_index.size() == in.images.size());
  return joined(differing_parts(in, compensator, threshold, margin));
}

bool leave_out_movers(SeamInputs& in, const cv::Ptr<cv::detail::ExposureCompensator>& compensator,
                      double threshold) {
  CV_Assert(in.corners.size() == in.images.size() && in.coverage.size() == in.images.size() &&
            in.gain_index.size() == in.images.size());
  std::vector<cv::Mat> moved(in.images.size());
  bool any = false;
  const cv::Rect bounds = all_keyframes(in);
  each_strong_difference(in, compensator, threshold, [&](std::size_t i, std::size_t j, const Patch& difference) {
    // The opening shaved the difference's edge, where the mover's outline
    // blurs into the scene: grown back, and a little past it.
    const Patch around = grown(difference.mask, difference.rect.tl(), kThinnest, bounds);
    for (const std::size_t k : {i, j}) {
      if (moved[k].empty()) moved[k] = cv::Mat::zeros(in.coverage[k].size(), CV_8U);
      const cv::Rect common = around.rect & cv::Rect(in.corners[k], moved[k].size());
      moved[k](common - in.corners[k]) |= around.mask(common - around.rect.tl());
    }
    any = true;
  });
  for (std::size_t k = 0; k < moved.size(); ++k) {
    if (moved[k].empty()) continue;
    const cv::Mat still = ~moved[k];
    cv::UMat kept;
    cv::bitwise_and(in.coverage[k], still, kept);
    in.coverage[k] = kept;
  }
  return any;
}

namespace {

// How the keyframes that meet a region see it: what each covers of it;
// where it surely saw the mover (it differs from every other keyframe
// covering the pixel, three or more covering it: the others agree among
// themselves on the scene), and where it may have (it and one other cover
// the pixel, and they differ); where it saw the mover, grown by the
// blender's reach. CV_8U masks over the region's rect.
struct Views {
  std::vector<std::size_t> keyframes;
  std::vector<cv::Mat> covered, sure, unsure, odd;
};

// The parts of `maybe` (CV_8U) that hold some pixel of `sure`, with `sure`.
cv::Mat parts_holding(const cv::Mat& maybe, const cv::Mat& sure) {
  cv::Mat labels;
  const int count = cv::connectedComponents(maybe | sure, labels, 8, CV_32S);
  std::vector<cv::Point> points;
  cv::findNonZero(sure, points);
  std::vector<bool> held(std::size_t(count), false);
  for (const cv::Point& p : points) held[std::size_t(labels.at<int>(p))] = true;
  cv::Mat result = cv::Mat::zeros(labels.size(), CV_8U);
  for (int label = 1; label < count; ++label)
    if (held[std::size_t(label)]) result |= labels == label;
  return result;
}

// What each keyframe surely saw of the region's mover, and what it may have.
void sightings(const MoverRegion& region, Views& views) {
  const cv::Rect& rect = region.patch.rect;
  cv::Mat covering = cv::Mat::zeros(rect.size(), CV_16U);
  for (const cv::Mat& covered : views.covered) cv::add(covering, covered / 255, covering, cv::noArray(), CV_16U);
  for (std::size_t e = 0; e < views.keyframes.size(); ++e) {
    cv::Mat differing = cv::Mat::zeros(rect.size(), CV_16U);
    for (const PairDifference& part : region.parts)
      if (part.first == views.keyframes[e] || part.second == views.keyframes[e])
        cv::add(differing(part.patch.rect - rect.tl()), part.strong / 255, differing(part.patch.rect - rect.tl()),
                cv::noArray(), CV_16U);
    const cv::Mat from_all = (differing > 0) & (differing == covering - 1) & views.covered[e];
    views.sure.push_back(from_all & (covering > 2));
    views.unsure.push_back(from_all & (covering == 2));
  }
}

Views views_of(const MoverRegion& region, const SeamInputs& in) {
  const cv::Rect& rect = region.patch.rect;
  Views views;
  for (std::size_t k = 0; k < in.coverage.size(); ++k) {
    if ((cv::Rect(in.corners[k], in.coverage[k].size()) & rect).empty()) continue;
    const cv::Mat covered = region.patch.mask & within(in.coverage[k], in.corners[k], rect);
    if (cv::countNonZero(covered) == 0) continue;
    views.keyframes.push_back(k);
    views.covered.push_back(covered);
  }
  sightings(region, views);
  return views;
}

// Where each keyframe saw the mover, grown by `margin`. Where only two
// cover a pixel and differ, nothing there says which saw it: the one whose
// copy continues into pixels where it surely saw the mover did (the
// other's frame edge cut it off), else the one that saw the mover nowhere
// else (`surely_saw` holds the keyframes that surely saw it somewhere), a
// keyframe showing it once; else both are taken to have.
void mark_odd(const cv::Rect& rect, const std::set<std::size_t>& surely_saw, int margin, Views& views) {
  const std::size_t n = views.keyframes.size();
  std::vector<cv::Mat> saw, open(n);
  cv::Mat settled = cv::Mat::zeros(rect.size(), CV_8U);
  for (std::size_t e = 0; e < n; ++e) {
    saw.push_back(parts_holding(views.unsure[e], views.sure[e]));
    settled |= saw.back() & views.unsure[e];
  }
  cv::Mat claimed = cv::Mat::zeros(rect.size(), CV_8U);
  for (std::size_t e = 0; e < n; ++e) {
    open[e] = views.unsure[e] & ~settled;
    if (!surely_saw.count(views.keyframes[e])) claimed |= open[e];
  }
  for (std::size_t e = 0; e < n; ++e) {
    saw[e] |= surely_saw.count(views.keyframes[e]) ? open[e] & ~claimed : open[e];
    const Patch around = grown(saw[e], rect.tl(), margin, rect);
    views.odd.push_back(within(around.mask, around.rect.tl(), rect) & views.covered[e]);
  }
}

// `taken` (over `rect`) in keyframe `owner`'s seam mask and in no other.
void give(const cv::Rect& rect, const cv::Mat& taken, std::size_t owner, SeamPass& pass, const SeamInputs& in) {
  for (std::size_t k = 0; k < pass.masks.size(); ++k) {
    const cv::Rect common = cv::Rect(in.corners[k], pass.masks[k].size()) & rect;
    if (common.empty()) continue;
    cv::Mat mask;
    pass.masks[k].copyTo(mask);
    cv::Mat part = mask(common - in.corners[k]);
    const cv::Mat taken_part = taken(common - rect.tl());
    if (k == owner)
      part |= taken_part;
    else
      part.setTo(0, taken_part);
    mask.copyTo(pass.masks[k]);
  }
}

// The entry of `masks` that holds most pixels of `wanted`, and how many.
std::size_t most_of(const std::vector<cv::Mat>& masks, const cv::Mat& wanted, int& pixels) {
  std::size_t best = 0;
  pixels = 0;
  for (std::size_t e = 0; e < masks.size(); ++e) {
    const int count = cv::countNonZero(masks[e] & wanted);
    if (count > pixels) {
      pixels = count;
      best = e;
    }
  }
  return best;
}

// A region given away: when it shows its mover, all that the keyframe
// which saw most of the mover there covers goes to it; the rest goes to
// keyframes that show the scene there, where the seam put them first, then
// to the one covering most. Pixels no keyframe shows the scene at stay as
// the seams left them.
void settle(const MoverRegion& region, const Views& views, bool shows_mover, SeamPass& pass, const SeamInputs& in) {
  const cv::Rect& rect = region.patch.rect;
  cv::Mat open = region.patch.mask.clone();
  int pixels = 0;
  const std::size_t seer = most_of(views.odd, open, pixels);
  if (shows_mover && pixels > 0) {
    give(rect, views.covered[seer], views.keyframes[seer], pass, in);
    open &= ~views.covered[seer];
  }
  std::vector<cv::Mat> scene;
  for (std::size_t e = 0; e < views.keyframes.size(); ++e) {
    scene.push_back(views.covered[e] & ~views.odd[e]);
    const std::size_t k = views.keyframes[e];
    const cv::Mat kept = scene.back() & open & within(pass.masks[k], in.corners[k], rect);
    give(rect, kept, k, pass, in);
    open &= ~kept;
  }
  for (std::size_t e = most_of(scene, open, pixels); pixels > 0; e = most_of(scene, open, pixels)) {
    const cv::Mat taken = scene[e] & open;
    give(rect, taken, views.keyframes[e], pass, in);
    open &= ~taken;
  }
}

// For each mover, the region that shows it: its largest.
std::map<int, std::size_t> shown_regions(const std::vector<MoverRegion>& regions) {
  std::map<int, std::size_t> shown;
  std::map<int, int> largest;
  for (std::size_t r = 0; r < regions.size(); ++r) {
    const int area = cv::countNonZero(regions[r].patch.mask);
    const auto [at, added] = largest.emplace(regions[r].mover, area);
    if (added || area > at->second) {
      at->second = area;
      shown[regions[r].mover] = r;
    }
  }
  return shown;
}

}  // namespace

void keep_movers_whole(const std::vector<MoverRegion>& regions, const SeamInputs& in, int margin, SeamPass& pass) {
  CV_Assert(in.coverage.size() == pass.masks.size() && in.corners.size() == pass.masks.size());
  const std::map<int, std::size_t> shown = shown_regions(regions);
  std::vector<Views> views;
  std::map<int, std::set<std::size_t>> surely_saw;  // each mover's
  for (const MoverRegion& region : regions) {
    views.push_back(views_of(region, in));
    for (std::size_t e = 0; e < views.back().keyframes.size(); ++e)
      if (cv::countNonZero(views.back().sure[e]) > 0) surely_saw[region.mover].insert(views.back().keyframes[e]);
  }
  for (std::size_t r = 0; r < regions.size(); ++r) {
    mark_odd(regions[r].patch.rect, surely_saw[regions[r].mover], margin, views[r]);
    settle(regions[r], views[r], shown.at(regions[r].mover) == r, pass, in);
  }
}

}  // namespace rendering
}  // namespace zemb

// Gains and seams of the finished render, found on small copies of the
// warped keyframes as cv::Stitcher finds them. Compensators and seam finders
// take every image at once, and seam finders take them as floats: a sweep of
// a thousand keyframes would hold gigabytes of copies. Past a budget of
// pixels, seams are found a window of keyframes along the sweep at a time (a
// keyframe overlaps only those near it along the way), every pair that
// overlaps lying whole in some window, and gains on copies reduced so that
// all of them together fit the budget. Within it, one window holds every
// keyframe and gains are found on the seam copies themselves.
#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>

#include <opencv2/imgproc.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

// Where a footprint starts and ends along the sweep: along its columns when
// the panorama is wider than high, else along its rows.
struct Along {
  bool columns = true;
  int start(const cv::Rect& r) const { return columns ? r.x : r.y; }
  int end(const cv::Rect& r) const { return columns ? r.br().x : r.br().y; }
};

// Positions in `order` (keyframes sorted by where they start along the
// sweep) of windows [first, past) holding at most `budget` pixels (at least
// two keyframes, and one past the window before). Each window starts at the
// first keyframe of the one before that reaches where its next keyframe
// starts, so every pair of keyframes that overlap lies whole in a window.
std::vector<std::pair<std::size_t, std::size_t>> seam_windows(const std::vector<cv::Rect>& footprints,
                                                             const std::vector<std::size_t>& order, Along along,
                                                             double budget) {
  std::vector<std::pair<std::size_t, std::size_t>> windows;
  const std::size_t n = order.size();
  std::size_t first = 0, past = 0;
  for (;;) {
    double pixels = 0;
    const std::size_t least = std::max(first + 2, past + 1);
    for (past = first; past < n && (past < least || pixels + footprints[order[past]].area() <= budget); ++past)
      pixels += footprints[order[past]].area();
    for (;; ++past) {  // a window every keyframe of which reaches the next one takes that one in too
      if (past >= n) {
        windows.emplace_back(first, n);
        return windows;
      }
      std::size_t next = first;
      while (next < past && along.end(footprints[order[next]]) <= along.start(footprints[order[past]])) ++next;
      if (next > first) {
        windows.emplace_back(first, past);
        first = next;
        break;
      }
    }
  }
}

// What the pass keeps between windows: the copies of the keyframes a window
// still needs (as warped, and as the floats the seam finder takes), their
// corners, and the gains' copies of every drawn keyframe.
struct SeamWork {
  std::map<std::size_t, WarpedFrame> copies;
  std::map<std::size_t, cv::UMat> floats;
  std::vector<cv::Point> corners, gain_corners;
  std::vector<cv::UMat> gain_images, gain_masks;
};

// How far around what moved its region reaches, seam pixels: past the
// multi-band blender's coarsest band at the render scale, so that no band
// carries a trace of another keyframe's copy of the mover across the
// region's edge.
int mover_margin(const RenderOptions& options, double seam_scale, double render_scale) {
  constexpr int kSeamSlack = 2;  // the seam mask is grown by a pixel and scaled up
  const int reach = options.blending == Blending::kMultiBand ? 1 << options.blend_bands : 0;
  return kSeamSlack + cvCeil(reach * seam_scale / render_scale);
}

// Drawn keyframe k's copy for the gains: its seam copy itself, or that
// reduced by `factor` (its corner with it).
void add_gain_copy(std::size_t k, const WarpedFrame& seam_copy, double factor, SeamWork& work) {
  if (factor == 1.0) {
    seam_copy.image.copyTo(work.gain_images[k]);
    seam_copy.mask.copyTo(work.gain_masks[k]);
    work.gain_corners[k] = seam_copy.corner;
    return;
  }
  const cv::Size size(std::max(1, cvRound(seam_copy.image.cols * factor)),
                      std::max(1, cvRound(seam_copy.image.rows * factor)));
  cv::resize(seam_copy.image, work.gain_images[k], size, 0, 0, cv::INTER_AREA);
  cv::resize(seam_copy.mask, work.gain_masks[k], size, 0, 0, cv::INTER_NEAREST);
  work.gain_corners[k] = cv::Point(cvRound(seam_copy.corner.x * factor), cvRound(seam_copy.corner.y * factor));
}

// The gains fed with the copies, then again without what moved between
// them (found on the copies evened out by the first gains, which it pulls
// only a little), unless `mover_difference` is 0 or nothing moved.
void feed_without_movers(double mover_difference, SeamWork& work, SeamPass& pass) {
  pass.compensator->feed(work.gain_corners, work.gain_images, work.gain_masks);
  if (mover_difference <= 0) return;
  SeamInputs in{work.gain_images, work.gain_corners, work.gain_masks, std::vector<int>(work.gain_images.size())};
  std::iota(in.gain_index.begin(), in.gain_index.end(), 0);
  if (leave_out_movers(in, pass.compensator, mover_difference))
    pass.compensator->feed(work.gain_corners, work.gain_images, in.coverage);
}

// The gains, found first (what moved is told apart on keyframes whose
// exposure is evened out) on a copy of every drawn keyframe reduced by
// `factor`, what moved left out (feed_without_movers); with `keep_copies`
// (one window holds them all) the seam copies stay for the seams.
void feed_gains(const SweepRecord& record, const std::vector<Drawn>& drawn, const FrameWarps& warps, double scale,
                int turn, double factor, bool keep_copies, double mover_difference, SeamWork& work,
                SeamPass& pass) {
  work.corners.resize(drawn.size());
  work.gain_corners.resize(drawn.size());
  work.gain_images.resize(drawn.size());
  work.gain_masks.resize(drawn.size());
  pass.masks.resize(drawn.size());
  for (std::size_t k = 0; k < drawn.size(); ++k) {
    WarpedFrame frame = warp_drawn(record, warps, drawn[k], scale, turn);
    add_gain_copy(k, frame, factor, work);
    if (keep_copies) work.copies[k] = std::move(frame);
  }
  feed_without_movers(mover_difference, work, pass);
  // The gains' own copies are done with once fed.
  work.gain_images.clear();
  work.gain_masks.clear();
}

// The window's keyframes as the seam pass saw them before any seam cut them.
SeamInputs window_inputs(const std::vector<std::size_t>& window, const SeamWork& work) {
  SeamInputs in;
  for (std::size_t k : window) {
    const WarpedFrame& copy = work.copies.at(k);
    in.images.push_back(copy.image.getUMat(cv::ACCESS_READ));
    in.coverage.push_back(copy.mask.getUMat(cv::ACCESS_READ));
    in.corners.push_back(copy.corner);
    in.gain_index.push_back(static_cast<int>(k));
  }
  return in;
}

// Seams within one window (drawn indices, ascending, as cv::Stitcher orders
// them), its keyframes' masks cut where the windows before left them; with
// `mover_reach`, set round what moved between them (0: left as found).
void find_window_seams(const std::vector<std::size_t>& window, int mover_reach, double mover_difference,
                       SeamWork& work, SeamPass& pass) {
  std::vector<MoverRegion> movers;
  SeamInputs in;
  if (mover_reach > 0) {
    in = window_inputs(window, work);
    movers = mover_regions(in, pass.compensator, mover_difference, mover_reach);
  }
  SeamPass local{pass.compensator, pass.seam_finder, {}};
  std::vector<cv::UMat> images;
  std::vector<cv::Point> corners;
  for (std::size_t k : window) {
    images.push_back(work.floats.at(k));
    local.masks.push_back(pass.masks[k]);
    corners.push_back(work.corners[k]);
  }
  pass.seam_finder->find(images, corners, local.masks);
  if (!movers.empty()) keep_movers_whole(movers, in, mover_reach, local);
  for (std::size_t j = 0; j < window.size(); ++j) pass.masks[window[j]] = local.masks[j];
}

}  // namespace

void find_gains_and_seams(const SweepRecord& record, const std::vector<Drawn>& drawn, const FrameWarps& warps,
                          const RenderOptions& options, double scale, double render_scale, int turn, SeamPass& pass,
                          Composition& times) {
  std::vector<cv::Rect> footprints;
  cv::Rect all;
  double total = 0;
  for (const Drawn& d : drawn) {
    const cv::Size size = scaled_size(record.keyframes[std::size_t(d.index)].image_size, scale);
    footprints.push_back(warps.footprint(d.index, size, scale) + cv::Point(d.turns * turn, 0));
    all |= footprints.back();
    total += footprints.back().area();
  }
  const double budget = options.seam_pass_megapixels * 1e6;
  const Along along{all.width >= all.height};
  std::vector<std::size_t> order(drawn.size());
  std::iota(order.begin(), order.end(), std::size_t(0));
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return along.start(footprints[a]) < along.start(footprints[b]);
  });
  const auto windows = seam_windows(footprints, order, along, budget);
  SeamWork work;
  cv::TickMeter exposure, seams;
  exposure.start();
  feed_gains(record, drawn, warps, scale, turn, total <= budget ? 1.0 : std::sqrt(budget / total),
             windows.size() == 1, options.exposure == ExposureCompensation::kNone ? 0.0 : options.mover_difference,
             work, pass);
  exposure.stop();
  const int mover_reach = options.keep_movers ? mover_margin(options, scale, render_scale) : 0;
  for (std::size_t w = 0; w < windows.size(); ++w) {
    std::vector<std::size_t> window(order.begin() + std::ptrdiff_t(windows[w].first),
                                    order.begin() + std::ptrdiff_t(windows[w].second));
    std::sort(window.begin(), window.end());
    seams.start();
    for (std::size_t k : window) {
      if (work.floats.count(k)) continue;
      if (!work.copies.count(k)) work.copies[k] = warp_drawn(record, warps, drawn[k], scale, turn);
      const WarpedFrame& frame = work.copies[k];
      frame.image.convertTo(work.floats[k], CV_32F);  // seam finders take floats, as cv::Stitcher gives them
      frame.mask.copyTo(pass.masks[k]);
      work.corners[k] = frame.corner;
    }
    find_window_seams(window, mover_reach, options.mover_difference, work, pass);
    seams.stop();
    // Keyframes the next window does not hold are done with.
    const std::size_t next_first = w + 1 < windows.size() ? windows[w + 1].first : order.size();
    for (std::size_t p = windows[w].first; p < next_first; ++p) {
      work.floats.erase(order[p]);
      work.copies.erase(order[p]);
    }
  }
  times.exposure = exposure.getTimeSec();
  times.seams = seams.getTimeSec();
}

}  // namespace rendering
}  // namespace zemb

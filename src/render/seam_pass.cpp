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

// What the pass keeps between windows: the float copies the seam finder
// takes, their corners, and the gains' copies of every drawn keyframe.
struct SeamWork {
  std::map<std::size_t, cv::UMat> floats;
  std::vector<cv::Point> corners, gain_corners;
  std::vector<cv::UMat> gain_images, gain_masks;
};

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

// Seams within one window (drawn indices, ascending, as cv::Stitcher orders
// them), its keyframes' masks cut where the windows before left them.
void find_window_seams(const std::vector<std::size_t>& window, SeamWork& work, SeamPass& pass) {
  std::vector<cv::UMat> images, masks;
  std::vector<cv::Point> corners;
  for (std::size_t k : window) {
    images.push_back(work.floats.at(k));
    masks.push_back(pass.masks[k]);
    corners.push_back(work.corners[k]);
  }
  pass.seam_finder->find(images, corners, masks);
  for (std::size_t j = 0; j < window.size(); ++j) pass.masks[window[j]] = masks[j];
}

}  // namespace

void find_gains_and_seams(const SweepRecord& record, const std::vector<Drawn>& drawn, const FrameWarps& warps,
                          double scale, int turn, double budget_megapixels, SeamPass& pass, Composition& times) {
  std::vector<cv::Rect> footprints;
  cv::Rect all;
  double total = 0;
  for (const Drawn& d : drawn) {
    const cv::Size size = scaled_size(record.keyframes[std::size_t(d.index)].image_size, scale);
    footprints.push_back(warps.footprint(d.index, size, scale) + cv::Point(d.turns * turn, 0));
    all |= footprints.back();
    total += footprints.back().area();
  }
  const double budget = budget_megapixels * 1e6;
  const Along along{all.width >= all.height};
  std::vector<std::size_t> order(drawn.size());
  std::iota(order.begin(), order.end(), std::size_t(0));
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return along.start(footprints[a]) < along.start(footprints[b]);
  });
  const double gain_factor = total <= budget ? 1.0 : std::sqrt(budget / total);
  SeamWork work;
  work.corners.resize(drawn.size());
  work.gain_corners.resize(drawn.size());
  work.gain_images.resize(drawn.size());
  work.gain_masks.resize(drawn.size());
  pass.masks.resize(drawn.size());
  cv::TickMeter exposure, seams;
  const auto windows = seam_windows(footprints, order, along, budget);
  for (std::size_t w = 0; w < windows.size(); ++w) {
    std::vector<std::size_t> window(order.begin() + std::ptrdiff_t(windows[w].first),
                                    order.begin() + std::ptrdiff_t(windows[w].second));
    std::sort(window.begin(), window.end());
    exposure.start();
    for (std::size_t k : window) {
      if (work.floats.count(k)) continue;
      const WarpedFrame frame = warp_drawn(record, warps, drawn[k], scale, turn);
      add_gain_copy(k, frame, gain_factor, work);
      frame.image.convertTo(work.floats[k], CV_32F);  // seam finders take floats, as cv::Stitcher gives them
      frame.mask.copyTo(pass.masks[k]);
      work.corners[k] = frame.corner;
    }
    exposure.stop();
    seams.start();
    find_window_seams(window, work, pass);
    seams.stop();
    // Keyframes the next window does not hold are done with.
    const std::size_t next_first = w + 1 < windows.size() ? windows[w + 1].first : order.size();
    for (std::size_t p = windows[w].first; p < next_first; ++p) work.floats.erase(order[p]);
  }
  exposure.start();
  pass.compensator->feed(work.gain_corners, work.gain_images, work.gain_masks);
  exposure.stop();
  times.exposure = exposure.getTimeSec();
  times.seams = seams.getTimeSec();
}

}  // namespace rendering
}  // namespace zemb

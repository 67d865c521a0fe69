// Learning a frame's overlay from the frames themselves.
#include "sweep/overlay.h"

#include <opencv2/imgproc.hpp>

namespace zemb {

namespace {

// A corner pixel: over its 5x5 neighbourhood, the gradient's weaker
// principal direction still has a mean square of at least this (3x3 Sobel
// units: a step of 10 grey levels gives 40). Along a straight edge it is
// near zero, however strong the edge.
constexpr double kCornerStrength = 40.0 * 40.0;
constexpr int kCornerBlock = 5;
// A pixel keeps its level when it changes by at most this many grey levels
// (JPEG noise around sharp lettering stays within it).
constexpr double kStillLevels = 12;
// The scene moved in a frame when at least this share of its corner pixels
// changed, and at least kLeastMoved of them.
constexpr double kMovedShare = 0.1;
constexpr int kLeastMoved = 30;
// A still corner pixel of the overlay: a corner in nearly every moving frame
// (an overlay's lettering always is), and still in nearly all of them. A
// corner in only half of them let patches of a slowly panned street pass.
constexpr double kSeenShare = 0.9;
constexpr double kStillShare = 0.9;
// Still pixels this close together are one region (a word's letters); a
// region of fewer still pixels is noise; the overlay's boxes reach this far
// past its still pixels.
constexpr int kJoinReach = 4;
constexpr int kLeastRegion = 12;
constexpr int kBoxMargin = 4;
// An overlay is as much a corner in the moving frames' mean as in the frames
// themselves (it holds still while the scene blurs away): at least this
// share of its mean strength in them.
constexpr double kMeanCornerShare = 0.25;

}  // namespace

OverlayFinder::OverlayFinder(const OverlayOptions& options) : options_(options), learning_(options.enabled) {}

// How much of a corner each pixel of `gray` is: the smaller eigenvalue of
// the gradient's structure tensor over kCornerBlock pixels (CV_32F, in
// scratch_.strength until the next call).
const cv::Mat& OverlayFinder::corner_strength(const cv::Mat& gray) {
  Scratch& s = scratch_;
  cv::Sobel(gray, s.dx, CV_32F, 1, 0);
  cv::Sobel(gray, s.dy, CV_32F, 0, 1);
  cv::multiply(s.dx, s.dx, s.xx);
  cv::multiply(s.dy, s.dy, s.yy);
  cv::multiply(s.dx, s.dy, s.xy);
  const cv::Size block(kCornerBlock, kCornerBlock);
  for (cv::Mat* product : {&s.xx, &s.yy, &s.xy}) cv::blur(*product, *product, block);
  // The root of ((xx - yy) / 2)^2 + xy^2, in dx.
  cv::addWeighted(s.xx, 0.5, s.yy, -0.5, 0, s.dx);
  cv::multiply(s.dx, s.dx, s.dx);
  cv::multiply(s.xy, s.xy, s.xy);
  cv::add(s.dx, s.xy, s.dx);
  cv::sqrt(s.dx, s.dx);
  cv::addWeighted(s.xx, 0.5, s.yy, 0.5, 0, s.strength);
  cv::subtract(s.strength, s.dx, s.strength);
  return s.strength;
}

bool OverlayFinder::learn(const cv::Mat& gray) {
  if (!learning_) return false;
  CV_Assert(gray.type() == CV_8UC1);
  ++frames_;
  // Until the sweep starts, frames may come in any size: one of another
  // size than the first starts the count again from itself.
  if (!first_.empty() && first_.size() != gray.size()) {
    first_.release();
    release_counts();
    moving_frames_ = 0;
  }
  if (first_.empty())
    gray.copyTo(first_);
  else
    count_frame(gray);
  const bool found = moving_frames_ >= options_.moving_frames && decide();
  if (found || frames_ >= options_.learn_frames) {
    learning_ = false;
    first_.release();
    release_counts();
  }
  return found;
}

// Counts the frame when the scene moved in it: which corner pixels kept
// the level they had in the first frame. Against the first frame, not the
// last, so that a scene pixel by a strong edge that the camera moves along
// (changing it a little at a time) has changed in the end.
void OverlayFinder::count_frame(const cv::Mat& gray) {
  const cv::Mat& strength = corner_strength(gray);
  const cv::Mat corners = strength >= kCornerStrength;
  cv::Mat difference;
  cv::absdiff(gray, first_, difference);
  const cv::Mat still = (difference <= kStillLevels) & corners;
  const int corner_pixels = cv::countNonZero(corners);
  const int moved = corner_pixels - cv::countNonZero(still);
  if (moved < kLeastMoved || moved < kMovedShare * corner_pixels) return;
  if (seen_.empty()) {
    seen_ = cv::Mat::zeros(gray.size(), CV_32F);
    still_ = cv::Mat::zeros(gray.size(), CV_32F);
    sum_ = cv::Mat::zeros(gray.size(), CV_32F);
    strength_sum_ = cv::Mat::zeros(gray.size(), CV_32F);
  }
  cv::accumulate(gray, sum_);
  cv::accumulate(strength, strength_sum_);
  cv::add(seen_, cv::Scalar(1), seen_, corners);
  cv::add(still_, cv::Scalar(1), still_, still);
  ++moving_frames_;
}

void OverlayFinder::release_counts() {
  still_.release();
  seen_.release();
  sum_.release();
  strength_sum_.release();
}

// The overlay from the frames counted so far, when one covers no more than
// max_share of the frame. More means the scene itself held still in the
// frames counted (a camera paused while something crossed the view): the
// count starts again. An overlay is also a corner of the moving frames'
// mean, where the scene blurs away: an edge that the camera moves along,
// crossed every few pixels by a repeating texture of its own grey (a
// facade's window frames through the middle of a pan), keeps its level and
// is a corner in every frame, but in the mean it is little more than an edge.
bool OverlayFinder::decide() {
  seen_.convertTo(scratch_.share_of_seen, -1, kStillShare);
  cv::Mat still = (seen_ >= kSeenShare * moving_frames_) & (still_ >= scratch_.share_of_seen);
  // A scene that moves leaves no pixel still, frame after frame: the mean's
  // corners are looked at only where one is.
  if (cv::countNonZero(still) == 0) return false;
  cv::Mat mean;
  sum_.convertTo(mean, CV_8U, 1.0 / moving_frames_);
  still &= corner_strength(mean) >= strength_sum_ * (kMeanCornerShare / moving_frames_);
  cv::Mat boxes = boxes_around(still, kBoxMargin);
  if (cv::countNonZero(boxes) == 0) return false;
  if (cv::countNonZero(boxes) > options_.max_share * static_cast<double>(boxes.total())) {
    moving_frames_ = 0;
    release_counts();
    return false;
  }
  mask_ = std::move(boxes);
  return true;
}

cv::Mat boxes_around(const cv::Mat& still, int margin) {
  cv::Mat joined, labels, stats, centroids;
  const cv::Size join(2 * kJoinReach + 1, 2 * kJoinReach + 1);
  cv::dilate(still, joined, cv::getStructuringElement(cv::MORPH_RECT, join));
  const int regions = cv::connectedComponentsWithStats(joined, labels, stats, centroids);
  cv::Mat boxes = cv::Mat::zeros(still.size(), CV_8U);
  const cv::Rect whole(cv::Point(), still.size());
  for (int region = 1; region < regions; ++region) {
    const cv::Rect box(stats.at<int>(region, cv::CC_STAT_LEFT), stats.at<int>(region, cv::CC_STAT_TOP),
                       stats.at<int>(region, cv::CC_STAT_WIDTH), stats.at<int>(region, cv::CC_STAT_HEIGHT));
    if (cv::countNonZero(still(box) & (labels(box) == region)) < kLeastRegion) continue;
    boxes(cv::Rect(box.tl() - cv::Point(margin, margin), box.br() + cv::Point(margin, margin)) & whole) = 255;
  }
  return boxes;
}

std::vector<cv::Point2f> outside(const std::vector<cv::Point2f>& points, const cv::Mat& mask) {
  if (mask.empty()) return points;
  std::vector<cv::Point2f> kept;
  const cv::Rect whole(cv::Point(), mask.size());
  for (const cv::Point2f& p : points) {
    const cv::Point at(cvFloor(p.x), cvFloor(p.y));
    if (!whole.contains(at) || mask.at<uchar>(at) == 0) kept.push_back(p);
  }
  return kept;
}

}  // namespace zemb

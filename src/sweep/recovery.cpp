// The two ways a sweep recovers a frame the last accepted frame could not
// place: optical flow seeded with the shift phase correlation finds (or
// coarse guesses along the sweep), and descriptor matching.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "sweep/sweep_internal.h"

namespace zemb {

std::vector<Seed> candidate_shifts(const View& view, const PreparedFrame& frame) {
  if (view.gray.size() != frame.gray.size() || view.gray.empty()) return {};
  cv::Mat from, to, window;
  view.gray.convertTo(from, CV_32F);
  frame.gray.convertTo(to, CV_32F);
  cv::createHanningWindow(window, from.size(), CV_32F);
  const cv::Point2d found = cv::phaseCorrelate(from, to, window);
  if (!std::isfinite(found.x) || !std::isfinite(found.y)) return {};
  const float width = static_cast<float>(from.cols);
  const cv::Point2f shift(static_cast<float>(found.x), static_cast<float>(found.y));
  std::vector<Seed> shifts{{shift, true}};
  for (const float wrap : {-width, width})
    if (std::abs(shift.x + wrap) < width) shifts.push_back({{shift.x + wrap, shift.y}, true});
  // A sweep moves the scene left across the frames, by up to a frame, and
  // hardly ever back: such shifts come first.
  const auto forward = [width](const Seed& s) { return s.shift.x <= 0.1f * width; };
  std::stable_partition(shifts.begin(), shifts.end(), forward);
  for (const float share : {0.3f, 0.55f, 0.8f}) shifts.push_back({{-share * width, 0.0f}, false});
  return shifts;
}

Candidate match_view(View& view, const PreparedFrame& frame, FrameDescription& description, cv::Feature2D& finder,
                     const SweepOptions& options) {
  if (!view.is_described) {
    finder.detectAndCompute(view.gray, cv::noArray(), view.described, view.descriptors);
    view.is_described = true;
  }
  if (!description.made) {
    finder.detectAndCompute(frame.gray, cv::noArray(), description.keypoints, description.descriptors);
    description.made = true;
  }
  if (view.descriptors.rows < 2 || description.descriptors.rows < 2) return Candidate();
  std::vector<cv::DMatch> matches;
  double_match(view.descriptors, description.descriptors, matches, options.recovery.match_ratio);
  std::vector<cv::Point2f> in_view, in_frame;
  for (const cv::DMatch& match : matches) {
    in_view.push_back(scaled(view.described[match.queryIdx].pt, view.scale));
    in_frame.push_back(scaled(description.keypoints[match.trainIdx].pt, frame.scale));
  }
  return fit_onto_canvas(view, in_view, in_frame, options);
}

Recovery::Recovery(View& reference, std::vector<View>& keyframes, const PreparedFrame& frame,
                   const cv::Ptr<cv::Feature2D>& finder, const SweepOptions& options, bool thorough)
    : reference_(reference), keyframes_(keyframes), frame_(frame), finder_(finder), options_(options) {
  const size_t newest = thorough ? static_cast<size_t>(options.recovery.keyframes) : 1;
  views_ = 1 + std::min(keyframes.size(), newest);
  stages_ = thorough ? 2 : 1;
}

View& Recovery::view_at(size_t index, int& keyframe) {
  if (index == 0) {
    keyframe = -1;
    return reference_;
  }
  keyframe = static_cast<int>(keyframes_.size() - index);
  return keyframes_[keyframe];
}

Candidate Recovery::try_view(View& view, int keyframe, int stage) {
  Candidate found;
  if (stage == 0) {
    for (const Seed& seed : candidate_shifts(view, frame_)) {
      found = track_view(view, frame_, options_, &seed);
      if (trustworthy(found, view, options_)) break;
    }
  } else {
    if (finder_) found = match_view(view, frame_, description_, *finder_, options_);
  }
  found.keyframe = keyframe;
  return found;
}

Candidate Recovery::next() {
  while (position_ < stages_ * views_) {
    const int stage = static_cast<int>(position_ / views_);
    int keyframe = -1;
    View& view = view_at(position_ % views_, keyframe);
    ++position_;
    // The last accepted frame is often the newest keyframe too: try it once.
    if (keyframe >= 0 && view.frame_index == reference_.frame_index) continue;
    Candidate candidate = try_view(view, keyframe, stage);
    if (trustworthy(candidate, view, options_)) return candidate;
  }
  return Candidate();
}

}  // namespace zemb

// The two ways a sweep recovers a frame the last accepted frame could not
// place: optical flow seeded with the shift phase correlation finds (or
// coarse guesses along the sweep), and binary descriptor matching; both
// within a time budget per frame.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "sweep/sweep_internal.h"

namespace zemb {

namespace {

// The centre part both images have, for the correlation, which needs equal sizes.
cv::Rect common_centre(cv::Size a, cv::Size b) {
  const cv::Size common(std::min(a.width, b.width), std::min(a.height, b.height));
  return {(a.width - common.width) / 2, (a.height - common.height) / 2, common.width, common.height};
}

std::vector<Seed> correlation_seeds(const View& view, const PreparedFrame& frame) {
  const cv::Rect in_view = common_centre(view.gray.size(), frame.gray.size());
  const cv::Rect in_frame = common_centre(frame.gray.size(), view.gray.size());
  if (in_view.width < 16 || in_view.height < 16) return {};
  cv::Mat from, to, window;
  view.gray(in_view).convertTo(from, CV_32F);
  frame.gray(in_frame).convertTo(to, CV_32F);
  cv::createHanningWindow(window, from.size(), CV_32F);
  const cv::Point2d found = cv::phaseCorrelate(from, to, window);
  if (!std::isfinite(found.x) || !std::isfinite(found.y)) return {};
  // The correlation knows the shift modulo the image; crops off centre move it.
  const cv::Point2f shift = cv::Point2f(static_cast<float>(found.x), static_cast<float>(found.y)) +
                            cv::Point2f(in_frame.tl() - in_view.tl());
  const float width = static_cast<float>(from.cols), height = static_cast<float>(from.rows);
  std::vector<Seed> seeds{{shift, true}};
  for (const cv::Point2f wrap : {cv::Point2f(-width, 0), cv::Point2f(width, 0), cv::Point2f(0, -height),
                                 cv::Point2f(0, height)})
    if (std::abs(shift.x + wrap.x) < width && std::abs(shift.y + wrap.y) < height)
      seeds.push_back({shift + wrap, true});
  return seeds;
}

std::vector<cv::Point2d> travel_directions(cv::Point2d travel) {
  if (travel.dot(travel) > 0) return {travel};
  return {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
}

// Binary descriptors both ways under the ratio test, each pair once.
std::vector<cv::DMatch> mutual_matches(const cv::Mat& a, const cv::Mat& b, float ratio) {
  cv::BFMatcher matcher(cv::NORM_HAMMING);
  std::vector<std::vector<cv::DMatch>> forward, backward;
  matcher.knnMatch(a, b, forward, 2);
  matcher.knnMatch(b, a, backward, 2);
  const auto passes = [ratio](const std::vector<cv::DMatch>& c) {
    return c.size() == 2 && c[0].distance < (1.0f - ratio) * c[1].distance;
  };
  std::vector<int> back(static_cast<std::size_t>(b.rows), -1);
  for (const auto& candidates : backward)
    if (passes(candidates)) back[std::size_t(candidates[0].queryIdx)] = candidates[0].trainIdx;
  std::vector<cv::DMatch> matches;
  for (const auto& candidates : forward)
    if (passes(candidates) && back[std::size_t(candidates[0].trainIdx)] == candidates[0].queryIdx)
      matches.push_back(candidates[0]);
  return matches;
}

double seconds_since(int64 start) { return static_cast<double>(cv::getTickCount() - start) / cv::getTickFrequency(); }

}  // namespace

std::vector<Seed> coarse_seeds(const PreparedFrame& frame, cv::Point2d travel) {
  std::vector<Seed> seeds;
  // Along the way the camera goes, content moves the other way.
  const cv::Size size = frame.gray.size();
  for (const cv::Point2d direction : travel_directions(travel))
    for (const float share : {0.35f, 0.6f, 0.8f})
      seeds.push_back({cv::Point2f(static_cast<float>(-direction.x * share * size.width),
                                   static_cast<float>(-direction.y * share * size.height)),
                       false});
  return seeds;
}

Candidate match_view(View& view, const PreparedFrame& frame, FrameDescription& description, cv::Feature2D& finder,
                     const SweepOptions& options) {
  if (!view.is_described) {
    finder.detectAndCompute(view.detail, cv::noArray(), view.described, view.descriptors);
    view.is_described = true;
  }
  if (!description.made) {
    cv::Mat detail;
    cv::cvtColor(frame.working, detail, cv::COLOR_BGR2GRAY);
    finder.detectAndCompute(detail, cv::noArray(), description.keypoints, description.descriptors);
    description.made = true;
  }
  if (view.descriptors.rows < 2 || description.descriptors.rows < 2) return Candidate();
  std::vector<cv::Point2f> in_view, in_frame;
  for (const cv::DMatch& match : mutual_matches(view.descriptors, description.descriptors, options.recovery.match_ratio)) {
    in_view.push_back(view.described[std::size_t(match.queryIdx)].pt);
    in_frame.push_back(description.keypoints[std::size_t(match.trainIdx)].pt);
  }
  return fit_relative(in_view, in_frame, options);
}

namespace {

// One attempt of a recovery: a view by flow from where phase correlation
// puts the frame, by flow from one coarse guess, or by descriptors.
struct Attempt {
  enum Kind { kCorrelation, kGuess, kDescriptors } kind;
  int keyframe;  // -1 for the last accepted frame
  Seed guess;
};

// Flow from each shift the correlation finds (a precise guess costs little).
Candidate track_correlated(const View& view, const PreparedFrame& frame, const SweepOptions& options) {
  Candidate found;
  for (const Seed& seed : correlation_seeds(view, frame)) {
    found = track_view(view, frame, options, seed);
    if (trustworthy(found, view, options)) break;
  }
  return found;
}

}  // namespace

Candidate Recovery::run(View& reference, std::vector<View>& keyframes, const PreparedFrame& frame, cv::Point2d travel,
                        cv::Feature2D* finder, const SweepOptions& options, double seconds) {
  const int64 start = cv::getTickCount();
  // The last accepted frame and the newest keyframes, each by correlation,
  // by descriptors (which a rolling or jumping camera needs soonest) and by
  // every coarse guess; the newest keyframe is often the last accepted
  // frame too. Each attempt is one step of the queue, so that a lost frame
  // that runs out of time leaves the next guess to the next frame.
  std::vector<int> views{-1};
  for (int k = static_cast<int>(keyframes.size()) - 1;
       k >= 0 && static_cast<int>(views.size()) <= options.recovery.keyframes; --k)
    if (keyframes[std::size_t(k)].frame_index != reference.frame_index) views.push_back(k);
  const std::vector<Seed> guesses = coarse_seeds(frame, travel);
  std::vector<Attempt> attempts;
  for (const int keyframe : views) {
    attempts.push_back({Attempt::kCorrelation, keyframe, Seed()});
    if (finder != nullptr) attempts.push_back({Attempt::kDescriptors, keyframe, Seed()});
    for (const Seed& guess : guesses) attempts.push_back({Attempt::kGuess, keyframe, guess});
  }
  FrameDescription description;
  for (std::size_t tried = 0; tried < attempts.size() && (tried == 0 || seconds_since(start) < seconds); ++tried) {
    const Attempt& attempt = attempts[position_++ % attempts.size()];
    View& view = attempt.keyframe < 0 ? reference : keyframes[std::size_t(attempt.keyframe)];
    Candidate found = attempt.kind == Attempt::kCorrelation ? track_correlated(view, frame, options)
                      : attempt.kind == Attempt::kGuess     ? track_view(view, frame, options, attempt.guess)
                                                            : match_view(view, frame, description, *finder, options);
    found.keyframe = attempt.keyframe;
    found.recovered = true;
    if (trustworthy(found, view, options)) {
      position_ = 0;
      return found;
    }
  }
  return Candidate();
}

void RunningMedian::add(double value) {
  constexpr std::size_t kKept = 31;
  values_.push_back(value);
  if (values_.size() > kKept) values_.pop_front();
}

double RunningMedian::median() const {
  if (values_.empty()) return 0.0;
  std::vector<double> sorted(values_.begin(), values_.end());
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  return sorted[sorted.size() / 2];
}

}  // namespace zemb

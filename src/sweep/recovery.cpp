// The ways a sweep recovers a frame the last accepted frame could not
// place: descriptor matching (binary, and thorough when time allows), and
// optical flow seeded with the shift phase correlation finds or with coarse
// guesses along the sweep; all within a time budget per frame.
#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "sweep/recovery.h"
#include "sweep/timing.h"

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

// Descriptors both ways under Lowe's ratio test, each pair once.
std::vector<cv::DMatch> mutual_matches(const cv::Mat& a, const cv::Mat& b, float ratio) {
  cv::BFMatcher matcher(a.depth() == CV_8U ? cv::NORM_HAMMING : cv::NORM_L2);
  std::vector<std::vector<cv::DMatch>> forward, backward;
  matcher.knnMatch(a, b, forward, 2);
  matcher.knnMatch(b, a, backward, 2);
  const auto passes = [ratio](const std::vector<cv::DMatch>& c) {
    return c.size() == 2 && c[0].distance < ratio * c[1].distance;
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

// Coarse guesses of where the frame's content lies against a view: a third
// to four fifths of a frame along `travel` (zero while not known: guesses in
// all four directions), for a jump too far for phase correlation to find.
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

}  // namespace

Describers Describers::make(const RecoveryOptions& options) {
  return {cv::ORB::create(options.binary_features), cv::SIFT::create(options.thorough_features)};
}

namespace {

void describe(const cv::Mat& gray, const cv::Mat& mask, Describer describer, const Describers& describers,
              Description& description) {
  if (description.made) return;
  describers.of(describer).detectAndCompute(gray, mask, description.keypoints, description.descriptors);
  description.made = true;
}

}  // namespace

// One attempt of a recovery: a view by flow from where phase correlation
// puts the frame, by flow from one coarse guess, or by descriptors of
// either kind.
struct Recovery::Attempt {
  Kind kind;
  int keyframe;  // -1 for the last accepted frame
  Seed guess;
};

Recovery::Recovery(Scene scene, const TrackingOptions& tracking, const RecoveryOptions& options)
    : scene_(scene), tracking_(tracking), options_(options), describers_(Describers::make(options)) {}

// Matches the descriptors of the view and the frame (ratio test both ways)
// at the working frames' size, where a tracking image is too coarse for a
// jump across much of a frame, and fits `relative`; describes the view and
// the frame the first time each is needed (`frame_descriptions` lasts one
// frame).
Candidate Recovery::match(View& view, const PreparedFrame& frame, Descriptions& frame_descriptions,
                          Describer describer) const {
  Description& in_view = view.descriptions.of(describer);
  Description& in_frame = frame_descriptions.of(describer);
  describe(view.detail, scene_mask_, describer, describers_, in_view);
  if (!in_frame.made) {
    cv::Mat detail;
    cv::cvtColor(frame.working, detail, cv::COLOR_BGR2GRAY);
    describe(detail, scene_mask_, describer, describers_, in_frame);
  }
  if (in_view.descriptors.rows < 2 || in_frame.descriptors.rows < 2) return Candidate();
  std::vector<cv::Point2f> view_points, frame_points;
  for (const cv::DMatch& match : mutual_matches(in_view.descriptors, in_frame.descriptors, options_.match_ratio)) {
    view_points.push_back(in_view.keypoints[std::size_t(match.queryIdx)].pt);
    frame_points.push_back(in_frame.keypoints[std::size_t(match.trainIdx)].pt);
  }
  return fit_relative(view_points, frame_points, scene_, tracking_);
}

// Flow from each shift the correlation finds (a precise guess costs little).
Candidate Recovery::track_correlated(const View& view, const PreparedFrame& frame) const {
  Candidate found;
  for (const Seed& seed : correlation_seeds(view, frame)) {
    found = track_seeded(view, frame, seed, options_.points, scene_, tracking_);
    if (trustworthy(found, view, tracking_)) break;
  }
  return found;
}

// The last accepted frame and the newest keyframes, each by binary
// descriptors first (a rolling or jumping camera needs them soonest, and on
// a lost video frame often only one attempt fits in the budget), then by
// correlation, thorough descriptors and every coarse guess; the newest
// keyframe is often the last accepted frame too. Each attempt is one step of
// the queue, so that a lost frame that runs out of time leaves the next one
// to the next frame.
std::vector<Recovery::Attempt> Recovery::attempts(const View& reference, const std::vector<View>& keyframes,
                                                  const PreparedFrame& frame, cv::Point2d travel) const {
  std::vector<int> views{-1};
  for (int k = static_cast<int>(keyframes.size()) - 1; k >= 0 && static_cast<int>(views.size()) <= options_.keyframes;
       --k)
    if (keyframes[std::size_t(k)].frame_index != reference.frame_index) views.push_back(k);
  const std::vector<Seed> guesses = coarse_seeds(frame, travel);
  std::vector<Attempt> attempts;
  for (const int keyframe : views) {
    attempts.push_back({kBinaryDescriptors, keyframe, Seed()});
    attempts.push_back({kCorrelation, keyframe, Seed()});
    attempts.push_back({kThoroughDescriptors, keyframe, Seed()});
    for (const Seed& guess : guesses) attempts.push_back({kGuess, keyframe, guess});
  }
  return attempts;
}

Candidate Recovery::try_attempt(const Attempt& attempt, View& view, const PreparedFrame& frame,
                                Descriptions& descriptions) {
  switch (attempt.kind) {
    case kCorrelation: return track_correlated(view, frame);
    case kGuess: return track_seeded(view, frame, attempt.guess, options_.points, scene_, tracking_);
    case kBinaryDescriptors: return match(view, frame, descriptions, Describer::kBinary);
    case kThoroughDescriptors: return match(view, frame, descriptions, Describer::kThorough);
    case kKinds: break;
  }
  return Candidate();
}

Candidate Recovery::run(View& reference, std::vector<View>& keyframes, const PreparedFrame& frame, cv::Point2d travel,
                        const RecoveryTime& time) {
  const int64 start = cv::getTickCount();
  const std::vector<Attempt> queue = attempts(reference, keyframes, frame, travel);
  Descriptions descriptions;
  bool tried_one = false;
  for (std::size_t step = 0; step < queue.size(); ++step) {
    const Attempt& attempt = queue[position_ % queue.size()];
    const double cost = seconds_[attempt.kind];
    if (cost > time.whole) {  // it could never fit in a frame
      ++position_;
      continue;
    }
    if (tried_one && cost > time.left - seconds_since(start)) break;  // the next lost frame's
    ++position_;
    tried_one = true;
    View& view = attempt.keyframe < 0 ? reference : keyframes[std::size_t(attempt.keyframe)];
    const int64 attempt_start = cv::getTickCount();
    Candidate found = try_attempt(attempt, view, frame, descriptions);
    seconds_[attempt.kind] = seconds_since(attempt_start);
    found.keyframe = attempt.keyframe;
    found.recovered = true;
    if (trustworthy(found, view, tracking_)) {
      found.frame_descriptions = std::move(descriptions);
      return found;
    }
  }
  return Candidate();
}

}  // namespace zemb

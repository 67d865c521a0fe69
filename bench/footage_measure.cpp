#include "footage_measure.h"

#include <algorithm>
#include <cstdlib>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "bench_support.h"

namespace zemb_footage {

namespace {

constexpr zemb_quality::Tiling kFrameTiling{48, 4};
constexpr float kRatio = 0.75f;
constexpr int kLeastInliers = 20;
constexpr double kRansacPixels = 4.0;
constexpr int kFrameFeatures = 4000;
// Half of SIFT's usual contrast threshold: hazy aerial frames of 320x240
// show some 30 features at the usual one and several hundred at this.
constexpr double kContrastThreshold = 0.02;
// Panoramas are searched at no more than this many pixels: SIFT over a
// larger one would cost more than the rest of the run.
constexpr double kMostSearchedPixels = 8e6;

cv::Mat reduced(const cv::Mat& image, double scale, int interpolation = cv::INTER_AREA) {
  if (scale >= 1) return image;
  cv::Mat small;
  cv::resize(image, small, cv::Size(), scale, scale, interpolation);
  return small;
}

// Panorama pixels per frame pixel around `point` of the frame.
double local_scale(const cv::Mat& frame_to_panorama, cv::Point2f point) {
  const std::vector<cv::Point2f> around = {point, point + cv::Point2f(1, 0), point + cv::Point2f(0, 1)};
  std::vector<cv::Point2f> mapped;
  cv::perspectiveTransform(around, mapped, frame_to_panorama);
  const cv::Point2f dx = mapped[1] - mapped[0], dy = mapped[2] - mapped[0];
  return std::sqrt(std::abs(double(dx.x) * dy.y - double(dx.y) * dy.x));
}

cv::Point2f centre_of(cv::Size frame) { return {frame.width / 2.0f, frame.height / 2.0f}; }

// Where the frame's corners go.
std::vector<cv::Point2f> placed_corners(const cv::Mat& frame_to_panorama, cv::Size frame) {
  const float w = float(frame.width), h = float(frame.height);
  const std::vector<cv::Point2f> corners = {{0, 0}, {w, 0}, {w, h}, {0, h}};
  std::vector<cv::Point2f> placed;
  cv::perspectiveTransform(corners, placed, frame_to_panorama);
  return placed;
}

// A homography that keeps the frame a convex quadrilateral of a sensible size.
bool plausible(const cv::Mat& frame_to_panorama, cv::Size frame) {
  const double scale = local_scale(frame_to_panorama, centre_of(frame));
  return cv::isContourConvex(placed_corners(frame_to_panorama, frame)) && scale > 0.05 && scale < 20;
}

// A matcher over `descriptors`, or none when there are too few for a ratio test.
// Its random trees are drawn from std::rand and OpenCV's generator of this
// thread, both seeded here: the figures do not hang on what drew from them
// before (the stitcher measured, or the one measured beside it).
cv::Ptr<cv::DescriptorMatcher> matcher_for(const cv::Mat& descriptors) {
  if (descriptors.rows < 2) return nullptr;
  constexpr unsigned kTreeSeed = 7;
  std::srand(kTreeSeed);
  cv::theRNG().state = kTreeSeed;
  const cv::Ptr<cv::FlannBasedMatcher> matcher = cv::makePtr<cv::FlannBasedMatcher>();
  matcher->add(descriptors);
  matcher->train();
  return matcher;
}

// The frame's homography into the image (a panorama, another frame) whose
// features `matcher` holds, or empty when it is not found there.
cv::Mat found_in(const std::vector<cv::KeyPoint>& frame_keypoints, const cv::Mat& frame_descriptors,
                 cv::Size frame, const std::vector<cv::KeyPoint>& panorama_keypoints,
                 cv::DescriptorMatcher& matcher) {
  if (frame_descriptors.empty()) return cv::Mat();
  std::vector<std::vector<cv::DMatch>> candidates;
  matcher.knnMatch(frame_descriptors, candidates, 2);
  std::vector<cv::Point2f> in_frame, in_panorama;
  for (const auto& pair : candidates)
    if (pair.size() == 2 && pair[0].distance < kRatio * pair[1].distance) {
      in_frame.push_back(frame_keypoints[std::size_t(pair[0].queryIdx)].pt);
      in_panorama.push_back(panorama_keypoints[std::size_t(pair[0].trainIdx)].pt);
    }
  if (int(in_frame.size()) < kLeastInliers) return cv::Mat();
  std::vector<uchar> inliers;
  const cv::Mat homography =
      cv::findHomography(in_frame, in_panorama, cv::RANSAC, kRansacPixels, inliers, 5000, 0.999);
  if (homography.empty() || cv::countNonZero(inliers) < kLeastInliers || !plausible(homography, frame))
    return cv::Mat();
  return homography;
}

// Whether two homographies of a frame into one panorama put its corners
// within 5 % of its diagonal there of each other.
bool agree(const cv::Mat& frame_to_panorama, const cv::Mat& other, cv::Size frame) {
  const std::vector<cv::Point2f> placed = placed_corners(frame_to_panorama, frame);
  const std::vector<cv::Point2f> other_placed = placed_corners(other, frame);
  double apart = 0;
  for (std::size_t i = 0; i < placed.size(); ++i) apart += cv::norm(placed[i] - other_placed[i]) / 4;
  return apart <= 0.05 * std::hypot(frame.width, frame.height) * local_scale(frame_to_panorama, centre_of(frame));
}

// The frame (grey, CV_32F) with the one gain and offset that bring it
// closest, in least squares, to `view` where `shown`.
cv::Mat matched_exposure(const cv::Mat& frame, const cv::Mat& view, const cv::Mat& shown) {
  cv::Scalar frame_mean, frame_deviation, view_mean, view_deviation;
  cv::meanStdDev(frame, frame_mean, frame_deviation, shown);
  cv::meanStdDev(view, view_mean, view_deviation, shown);
  const double covariance = cv::mean(frame.mul(view), shown)[0] - frame_mean[0] * view_mean[0];
  const double variance = frame_deviation[0] * frame_deviation[0];
  const double gain = variance > 0 ? covariance / variance : 1.0;
  cv::Mat matched;
  frame.convertTo(matched, CV_32F, gain, view_mean[0] - gain * frame_mean[0]);
  return matched;
}

}  // namespace

int Located::found() const {
  return int(std::count_if(frame_to_panorama.begin(), frame_to_panorama.end(),
                           [](const cv::Mat& homography) { return !homography.empty(); }));
}

FrameSample::FrameSample(std::vector<cv::Mat> frames) : frames_(std::move(frames)) {
  const cv::Ptr<cv::SIFT> sift = cv::SIFT::create(kFrameFeatures, 3, kContrastThreshold);
  for (const cv::Mat& frame : frames_) {
    Features features;
    sift->detectAndCompute(frame, cv::noArray(), features.keypoints, features.descriptors);
    features_.push_back(std::move(features));
  }
  for (std::size_t i = 0; i + 1 < frames_.size(); ++i) {
    const cv::Ptr<cv::DescriptorMatcher> matcher = matcher_for(features_[i + 1].descriptors);
    to_next_.push_back(matcher ? found_in(features_[i].keypoints, features_[i].descriptors, frames_[i].size(),
                                          features_[i + 1].keypoints, *matcher)
                               : cv::Mat());
  }
}

Located FrameSample::locate(const cv::Mat& panorama, const cv::Mat& covered) const {
  Located located;
  located.frame_to_panorama.resize(frames_.size());
  const double search_scale = std::min(1.0, std::sqrt(kMostSearchedPixels / double(panorama.total())));
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  cv::SIFT::create(0, 3, kContrastThreshold)->detectAndCompute(reduced(panorama, search_scale),
                                       reduced(covered, search_scale, cv::INTER_NEAREST), keypoints, descriptors);
  const cv::Ptr<cv::DescriptorMatcher> matcher = matcher_for(descriptors);
  if (!matcher) return located;
  const cv::Mat to_panorama = zemb_quality::resizing(search_scale).inv();
  std::vector<double> scales;
  for (std::size_t i = 0; i < frames_.size(); ++i) {
    const cv::Size size = frames_[i].size();
    cv::Mat homography = found_in(features_[i].keypoints, features_[i].descriptors, size, keypoints, *matcher);
    if (homography.empty()) continue;
    homography = to_panorama * homography;
    scales.push_back(local_scale(homography, centre_of(size)));
    located.frame_to_panorama[i] = homography;
  }
  if (!scales.empty()) located.scale = zemb_bench::median(scales);
  return located;
}

FootageQuality FrameSample::measure(const cv::Mat& panorama, const cv::Mat& covered, const Located& located,
                                    double scale) const {
  FootageQuality quality;
  quality.frames = int(frames_.size());
  quality.found = located.found();
  if (quality.found == 0) return quality;
  quality.scale = std::min({scale, located.scale, 1.0});
  const double panorama_scale = std::min(1.0, quality.scale / located.scale);
  const cv::Mat panorama_gray = zemb_quality::gray_float(reduced(panorama, panorama_scale));
  const cv::Mat to_frame_scale = zemb_quality::resizing(quality.scale).inv();
  for (std::size_t i = 0; i < frames_.size(); ++i) {
    const cv::Mat& homography = located.frame_to_panorama[i];
    if (homography.empty()) continue;
    const cv::Mat frame = zemb_quality::gray_float(reduced(frames_[i], quality.scale));
    cv::Mat view, shown;
    cv::warpPerspective(panorama_gray, view, zemb_quality::resizing(panorama_scale) * homography * to_frame_scale,
                        frame.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP);
    cv::warpPerspective(covered, shown, homography * to_frame_scale, frame.size(),
                        cv::INTER_NEAREST | cv::WARP_INVERSE_MAP);
    const int shown_pixels = cv::countNonZero(shown);
    quality.coverage += double(shown_pixels) / double(frame.total());
    if (shown_pixels == 0) continue;
    // The panorama's own edge is blended with black: its last pixels are not compared.
    cv::erode(shown, shown, cv::Mat(), cv::Point(-1, -1), 2);
    quality.errors.add(zemb_quality::compare_tiles(view, matched_exposure(frame, view, shown), shown, kFrameTiling));
  }
  quality.coverage /= quality.frames;
  measure_joins(located, quality);
  return quality;
}

void FrameSample::measure_joins(const Located& located, FootageQuality& quality) const {
  int joined = 0;
  for (std::size_t i = 0; i < to_next_.size(); ++i) {
    if (to_next_[i].empty()) continue;
    ++quality.pairs;
    const cv::Mat &here = located.frame_to_panorama[i], &next = located.frame_to_panorama[i + 1];
    if (!here.empty() && !next.empty()) joined += agree(here, next * to_next_[i], frames_[i].size());
  }
  if (quality.pairs > 0) quality.joined = double(joined) / quality.pairs;
}

}  // namespace zemb_footage

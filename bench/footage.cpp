#include "footage.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <random>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace zemb_footage {

namespace {

namespace fs = std::filesystem;

constexpr int kSmallColumns = 320;     // the copies the motion is found on
constexpr double kMoved = 1.0 / 3;      // of a frame
constexpr int kLeastInliers = 12;      // a motion fitted to fewer matches is not trusted
constexpr unsigned kShuffleSeed = 7;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

bool is_clip(const fs::path& path) {
  const std::string extension = lower(path.extension().string());
  for (const char* known : {".mp4", ".mjpeg", ".avi", ".mov", ".mkv"})
    if (extension == known) return true;
  return false;
}

std::vector<std::string> photos_in(const fs::path& folder) {
  std::vector<std::string> photos;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error))
    if (lower(entry.path().extension().string()) == ".jpg") photos.push_back(entry.path().string());
  std::sort(photos.begin(), photos.end());
  return photos;
}

cv::Mat small_gray(const cv::Mat& frame) {
  const double scale = std::min(1.0, double(kSmallColumns) / frame.cols);
  cv::Mat gray, small;
  cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
  cv::resize(gray, small, cv::Size(), scale, scale, cv::INTER_AREA);
  return small;
}

// The rotation, scale and shift taking small-copy pixels of one frame to
// those of another, from cross-checked ORB matches; empty when too few
// matches agree.
cv::Mat fitted_motion(const std::vector<cv::KeyPoint>& from_keypoints, const cv::Mat& from_descriptors,
                      const std::vector<cv::KeyPoint>& to_keypoints, const cv::Mat& to_descriptors) {
  if (from_descriptors.empty() || to_descriptors.empty()) return cv::Mat();
  std::vector<cv::DMatch> matches;
  cv::BFMatcher(cv::NORM_HAMMING, true).match(from_descriptors, to_descriptors, matches);
  if (int(matches.size()) < kLeastInliers) return cv::Mat();
  std::vector<cv::Point2f> from, to;
  for (const cv::DMatch& match : matches) {
    from.push_back(from_keypoints[std::size_t(match.queryIdx)].pt);
    to.push_back(to_keypoints[std::size_t(match.trainIdx)].pt);
  }
  std::vector<uchar> inliers;
  const cv::Mat motion = cv::estimateAffinePartial2D(from, to, inliers, cv::RANSAC, 3.0);
  if (motion.empty() || cv::countNonZero(inliers) < kLeastInliers) return cv::Mat();
  return motion;
}

cv::Matx33d homogeneous(const cv::Mat& affine) {
  cv::Matx33d m = cv::Matx33d::eye();
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 3; ++c) m(r, c) = affine.at<double>(r, c);
  return m;
}

// Whether `motion` has moved a frame of `size` on by a third of a frame: a
// third of it no longer lies on where it was (a pan, a tilt, a zoom), or
// its corners have moved by a third of its width or height on average (a
// roll of about 40 degrees, which leaves most of the frame where it was).
bool moved_on(cv::Size size, const cv::Matx33d& motion) {
  const float w = float(size.width), h = float(size.height);
  const std::vector<cv::Point2f> frame = {{0, 0}, {w, 0}, {w, h}, {0, h}};
  std::vector<cv::Point2f> moved, common;
  cv::perspectiveTransform(frame, moved, cv::Mat(motion));
  const double overlap = double(cv::intersectConvexConvex(frame, moved, common)) / (double(w) * h);
  double travel = 0;
  for (std::size_t i = 0; i < frame.size(); ++i)
    travel += std::max(std::abs(moved[i].x - frame[i].x) / w, std::abs(moved[i].y - frame[i].y) / h) / 4;
  return overlap <= 1 - kMoved || travel >= kMoved;
}

}  // namespace

std::vector<Footage> list_footage(const std::string& folder) {
  std::vector<Footage> all;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const fs::path& path = entry.path();
    if (entry.is_directory() && !photos_in(path).empty())
      all.push_back({path.filename().string(), path.string(), FootageKind::photo_set});
    else if (entry.is_regular_file() && is_clip(path))
      all.push_back({path.stem().string(), path.string(), FootageKind::clip});
  }
  std::sort(all.begin(), all.end(), [](const Footage& a, const Footage& b) { return a.name < b.name; });
  return all;
}

std::vector<int> given_order(int count, bool shuffled) {
  std::vector<int> order(std::size_t(std::max(count, 0)));
  std::iota(order.begin(), order.end(), 0);
  if (shuffled) std::shuffle(order.begin(), order.end(), std::mt19937(kShuffleSeed));
  return order;
}

FrameSource::FrameSource(const Footage& footage, bool in_given_order) {
  if (footage.kind != FootageKind::clip) {
    const std::vector<std::string> in_name_order = photos_in(footage.path);
    if (in_name_order.empty()) CV_Error(cv::Error::StsError, "no *.jpg photos in " + footage.path);
    for (int index : given_order(int(in_name_order.size()), in_given_order && footage.shuffled))
      photos_.push_back(in_name_order[std::size_t(index)]);
  } else if (!capture_.open(footage.path)) {
    CV_Error(cv::Error::StsError, "cannot open the clip " + footage.path);
  }
}

bool FrameSource::next(cv::Mat& frame) {
  if (photos_.empty()) return capture_.read(frame) && !frame.empty();
  if (next_photo_ == photos_.size()) return false;
  frame = cv::imread(photos_[next_photo_], cv::IMREAD_COLOR);
  if (frame.empty()) CV_Error(cv::Error::StsError, "cannot read the photo " + photos_[next_photo_]);
  ++next_photo_;
  return true;
}

ViewSampler::ViewSampler() : orb_(cv::ORB::create(500)) {}

bool ViewSampler::offer(const cv::Mat& frame) {
  const cv::Mat small = small_gray(frame);
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  orb_->detectAndCompute(small, cv::noArray(), keypoints, descriptors);
  const cv::Mat to_before = keypoints_.empty() ? cv::Mat() : fitted_motion(keypoints, descriptors, keypoints_, descriptors_);
  keypoints_ = std::move(keypoints);
  descriptors_ = descriptors;
  if (to_before.empty()) {  // the first frame, or the view jumped: a new run of frames
    picked_.clear();
    to_run_start_ = cv::Matx33d::eye();
  } else {
    to_run_start_ = to_run_start_ * homogeneous(to_before);
  }
  for (const cv::Matx33d& picked_to_start : picked_)
    if (!moved_on(small.size(), picked_to_start.inv() * to_run_start_)) return false;
  picked_.push_back(to_run_start_);
  return true;
}

std::vector<int> spread(int count, int most) {
  CV_Assert(most >= 2);
  std::vector<int> kept;
  for (int i = 0; i < std::min(count, most); ++i)
    kept.push_back(count <= most ? i : int(std::lround(double(i) * (count - 1) / (most - 1))));
  return kept;
}

}  // namespace zemb_footage

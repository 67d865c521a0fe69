// The adjustment of a turning camera's rotations and focal lengths with
// OpenCV's estimator and bundle adjuster, and the windows every model is
// adjusted in: the solvers are dense, so long sweeps are adjusted in
// overlapping windows of keyframes, each window carried onto the previous one
// through the keyframes they share.
#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/stitching/detail/matchers.hpp>
#include <opencv2/stitching/detail/motion_estimators.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

using cv::detail::CameraParams;
using cv::detail::ImageFeatures;
using cv::detail::MatchesInfo;

// Keyframes per adjusted window, and keyframes shared by neighbouring windows
// (more than a keyframe's links reach back, so every link lies in a window).
constexpr int kWindow = 40;
constexpr int kWindowOverlap = 8;
// Correspondences of a pair the adjusters take, spread over the pair's: the
// solvers' cost grows with them (a dense Jacobian of three rows a
// correspondence), while thirty well spread fix a pair as well as sixty. The
// fit is then judged on all of them.
constexpr std::size_t kAdjustedPerPair = 30;
// The bundle adjustment has converged when a step changes the parameters by
// less than this share of them: far below what moves a pixel.
constexpr double kConverged = 1e-9;

struct MatchTable {
  std::vector<ImageFeatures> features;
  std::vector<MatchesInfo> pairs;  // N*N, entry i*N+j for the pair (i, j)
};

// The pair in both directions, every correspondence an inlier of its
// homography between centred points.
void add_pair(MatchTable& table, const LinkedPair& pair, const cv::Mat& h) {
  const int n = static_cast<int>(table.features.size());
  std::vector<cv::KeyPoint>& from_keys = table.features[std::size_t(pair.from)].keypoints;
  std::vector<cv::KeyPoint>& to_keys = table.features[std::size_t(pair.to)].keypoints;
  const std::size_t count = pair.from_points.size(), stride = (count + kAdjustedPerPair - 1) / kAdjustedPerPair;
  MatchesInfo forward, backward;
  for (std::size_t k = 0; k < count; k += stride) {
    const int query = static_cast<int>(from_keys.size()), train = static_cast<int>(to_keys.size());
    from_keys.emplace_back(pair.from_points[k], 1.0f);
    to_keys.emplace_back(pair.to_points[k], 1.0f);
    forward.matches.emplace_back(query, train, 0.0f);
    backward.matches.emplace_back(train, query, 0.0f);
  }
  const std::vector<uchar> inliers(forward.matches.size(), 1);
  forward.src_img_idx = backward.dst_img_idx = pair.from;
  forward.dst_img_idx = backward.src_img_idx = pair.to;
  forward.inliers_mask = backward.inliers_mask = inliers;
  forward.num_inliers = backward.num_inliers = static_cast<int>(inliers.size());
  // The matcher's own confidence for all the pair's correspondences, kept
  // within the range the adjusters accept: every pair is a RANSAC survivor.
  const double confidence = static_cast<double>(count) / (8.0 + 0.3 * static_cast<double>(count));
  forward.confidence = backward.confidence = std::clamp(confidence, 1.5, 3.0);
  forward.H = h;
  backward.H = h.inv();
  table.pairs[std::size_t(pair.from * n + pair.to)] = forward;
  table.pairs[std::size_t(pair.to * n + pair.from)] = backward;
}

MatchTable match_table(const LinkGraph& window) {
  const std::size_t n = window.sizes.size();
  MatchTable table;
  table.features.resize(n);
  table.pairs.resize(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    table.features[i].img_idx = static_cast<int>(i);
    table.features[i].img_size = window.sizes[i];
  }
  for (const LinkedPair& pair : window.pairs) add_pair(table, pair, centred_homography(pair, window.sizes));
  return table;
}

bool all_finite(const std::vector<CameraParams>& cameras) {
  for (const CameraParams& camera : cameras)
    if (!std::isfinite(camera.focal) || !cv::checkRange(camera.R)) return false;
  return true;
}

void to_float_rotations(std::vector<CameraParams>& cameras) {
  for (CameraParams& camera : cameras) camera.R.convertTo(camera.R, CV_32F);
}

cv::Mat nearest_rotation(const cv::Mat& m) {
  cv::SVD svd(m, cv::SVD::FULL_UV);
  cv::Mat r = svd.u * svd.vt;
  if (cv::determinant(r) < 0) r = -r;
  return r;
}

cv::Mat as_double(const cv::Mat& m) {
  cv::Mat out;
  m.convertTo(out, CV_64F);
  return out;
}

// The rotation that carries a window's cameras onto the cameras already
// placed for the keyframes it shares with the previous window.
cv::Mat rotation_alignment(const std::vector<CameraParams>& placed, const std::vector<CameraParams>& window) {
  cv::Mat sum = cv::Mat::zeros(3, 3, CV_64F);
  for (std::size_t k = 0; k < placed.size(); ++k) sum += as_double(placed[k].R) * as_double(window[k].R).t();
  return nearest_rotation(sum);
}

// The plane transform that carries the shared keyframes' outlines as the
// window places them onto where they are already placed.
cv::Mat plane_alignment(const std::vector<CameraParams>& placed, const std::vector<CameraParams>& window,
                        const std::vector<cv::Size>& sizes) {
  std::vector<cv::Point2f> from, to;
  for (std::size_t k = 0; k < placed.size(); ++k) {
    const float w = float(sizes[k].width), h = float(sizes[k].height);
    const std::vector<cv::Point2f> outline = {{0, 0}, {w, 0}, {w, h}, {0, h}};
    std::vector<cv::Point2f> in_window, in_place;
    cv::perspectiveTransform(outline, in_window, as_double(window[k].R));
    cv::perspectiveTransform(outline, in_place, as_double(placed[k].R));
    from.insert(from.end(), in_window.begin(), in_window.end());
    to.insert(to.end(), in_place.begin(), in_place.end());
  }
  cv::Mat h = cv::findHomography(from, to, 0);
  return h.empty() ? cv::Mat::eye(3, 3, CV_64F) : h;
}

}  // namespace

std::optional<Failure> adjust_in_windows(const LinkGraph& graph, bool rotations, const WindowAdjuster& adjust,
                              std::vector<CameraParams>& cameras) {
  const std::vector<int>& order = graph.joined;
  const int n = static_cast<int>(order.size());
  const std::vector<CameraParams> from = std::move(cameras);
  cameras.assign(graph.sizes.size(), CameraParams());
  for (int begin = 0, shared = 0;; begin += kWindow - kWindowOverlap, shared = kWindowOverlap) {
    const int end = std::min(n, begin + kWindow);
    const std::vector<int> keyframes(order.begin() + begin, order.begin() + end);
    const LinkGraph window = subgraph(graph, keyframes);
    std::vector<CameraParams> adjusted;
    for (std::size_t k = 0; k < keyframes.size() && !from.empty(); ++k)
      adjusted.push_back(from[std::size_t(keyframes[k])]);
    if (!window.left_out.empty() || !adjust(window, adjusted))
      return Failure{RenderFallback::kAdjustmentFailed, "the adjustment of keyframes " +
                                                            std::to_string(keyframes.front()) + ".." +
                                                            std::to_string(keyframes.back()) + " failed"};
    cv::Mat align = cv::Mat::eye(3, 3, CV_64F);
    if (shared > 0) {
      std::vector<CameraParams> placed;
      for (int k = 0; k < shared; ++k) placed.push_back(cameras[std::size_t(keyframes[std::size_t(k)])]);
      const std::vector<CameraParams> window_shared(adjusted.begin(), adjusted.begin() + shared);
      align = rotations ? rotation_alignment(placed, window_shared)
                        : plane_alignment(placed, window_shared, window.sizes);
    }
    for (std::size_t k = 0; k < keyframes.size(); ++k) {
      CameraParams& camera = cameras[std::size_t(keyframes[k])] = adjusted[k];
      cv::Mat(align * as_double(camera.R)).convertTo(camera.R, rotations ? CV_32F : CV_64F);
    }
    if (end == n) return std::nullopt;
  }
}

WindowAdjuster rotation_adjuster(double focal, int iterations) {
  return [focal, iterations](const LinkGraph& window, std::vector<CameraParams>& cameras) {
    const MatchTable table = match_table(window);
    if (cameras.empty()) {
      cameras.assign(window.sizes.size(), CameraParams());
      for (std::size_t i = 0; i < cameras.size(); ++i) {
        cameras[i].focal = focal;
        cameras[i].ppx = window.sizes[i].width * 0.5;
        cameras[i].ppy = window.sizes[i].height * 0.5;
      }
      cv::detail::HomographyBasedEstimator estimator(true);
      if (!estimator(table.features, table.pairs, cameras) || !all_finite(cameras)) return false;
      to_float_rotations(cameras);
    }
    cv::detail::BundleAdjusterRay adjuster;
    adjuster.setConfThresh(1.0);
    adjuster.setTermCriteria(
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, iterations, kConverged));
    if (!adjuster(table.features, table.pairs, cameras) || !all_finite(cameras)) return false;
    to_float_rotations(cameras);
    return true;
  };
}

}  // namespace rendering
}  // namespace zemb

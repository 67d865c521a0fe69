// Global refinement of the keyframe placements from the recorded
// correspondences with OpenCV's estimators and bundle adjusters: rotations
// and focal lengths for a turning camera, similarity transforms for a flat
// scene. The adjusters' solver is dense, so long sweeps are refined in
// overlapping windows of keyframes, each window aligned onto the previous
// one through the keyframes they share.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <map>
#include <numeric>
#include <utility>

#include <opencv2/calib3d.hpp>
#include <opencv2/stitching/detail/matchers.hpp>
#include <opencv2/stitching/detail/motion_estimators.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace finish {

namespace {

using cv::detail::CameraParams;
using cv::detail::ImageFeatures;
using cv::detail::MatchesInfo;

// A pair needs this many correspondences consistent with one transform, and
// at least half of its correspondences so, to take part.
constexpr int kMinPairInliers = 8;
// Keyframes per adjusted window, and keyframes shared by neighbouring windows
// (more than a keyframe's links reach back, so every link lies in a window).
constexpr int kWindow = 30;
constexpr int kWindowOverlap = 8;

struct MatchTable {
  std::vector<ImageFeatures> features;
  std::vector<MatchesInfo> pairs;  // N*N, entry i*N+j for the pair (i, j)
};

using PointPairs = std::pair<std::vector<cv::Point2f>, std::vector<cv::Point2f>>;

// The recorded correspondences of each pair of keyframes, earlier keyframe first.
std::map<std::pair<int, int>, PointPairs> gather_links(const SweepRecord& record) {
  const int n = static_cast<int>(record.keyframes.size());
  std::map<std::pair<int, int>, PointPairs> gathered;
  for (const KeyframeLink& link : record.links) {
    if (link.from < 0 || link.to < 0 || link.from >= n || link.to >= n || link.from == link.to ||
        link.from_points.size() != link.to_points.size())
      CV_Error(cv::Error::StsBadArg, "finish: a keyframe link names no pair of keyframes or has unpaired points");
    const bool forward = link.from < link.to;
    PointPairs& points = gathered[std::minmax(link.from, link.to)];
    const auto& first = forward ? link.from_points : link.to_points;
    const auto& second = forward ? link.to_points : link.from_points;
    points.first.insert(points.first.end(), first.begin(), first.end());
    points.second.insert(points.second.end(), second.begin(), second.end());
  }
  return gathered;
}

std::vector<cv::Point2f> centred(const std::vector<cv::Point2f>& points, cv::Size size) {
  std::vector<cv::Point2f> out(points);
  for (cv::Point2f& p : out) p -= cv::Point2f(size.width * 0.5f, size.height * 0.5f);
  return out;
}

// The pair's transform as the estimators read it: a homography between
// centred points for a turning camera, a similarity between pixels for a
// flat scene. Empty when no transform is consistent with enough points.
cv::Mat fit_pair(const PointPairs& points, cv::Size from_size, cv::Size to_size, Scene scene, double threshold,
                 std::vector<uchar>& inliers) {
  if (points.first.size() < std::size_t(kMinPairInliers)) return cv::Mat();
  if (scene == Scene::kTurning)
    return cv::findHomography(centred(points.first, from_size), centred(points.second, to_size), cv::RANSAC,
                              threshold, inliers);
  cv::Mat affine = cv::estimateAffinePartial2D(points.first, points.second, inliers, cv::RANSAC, threshold);
  if (affine.empty()) return affine;
  cv::Mat h = cv::Mat::eye(3, 3, CV_64F);
  affine.copyTo(h.rowRange(0, 2));
  return h;
}

void add_pair(MatchTable& table, int from, int to, const PointPairs& points, cv::Mat h,
              const std::vector<uchar>& inliers) {
  const int n = static_cast<int>(table.features.size());
  std::vector<cv::KeyPoint>& from_keys = table.features[std::size_t(from)].keypoints;
  std::vector<cv::KeyPoint>& to_keys = table.features[std::size_t(to)].keypoints;
  MatchesInfo forward, backward;
  for (std::size_t k = 0; k < points.first.size(); ++k) {
    const int query = static_cast<int>(from_keys.size()), train = static_cast<int>(to_keys.size());
    from_keys.emplace_back(points.first[k], 1.0f);
    to_keys.emplace_back(points.second[k], 1.0f);
    forward.matches.emplace_back(query, train, 0.0f);
    backward.matches.emplace_back(train, query, 0.0f);
  }
  forward.src_img_idx = backward.dst_img_idx = from;
  forward.dst_img_idx = backward.src_img_idx = to;
  forward.inliers_mask = backward.inliers_mask = inliers;
  forward.num_inliers = backward.num_inliers = cv::countNonZero(inliers);
  // The matcher's own confidence, kept within the range the adjusters accept:
  // every recorded pair is already a RANSAC survivor.
  const double confidence = forward.num_inliers / (8.0 + 0.3 * static_cast<double>(inliers.size()));
  forward.confidence = backward.confidence = std::clamp(confidence, 1.5, 3.0);
  forward.H = h;
  backward.H = h.inv();
  table.pairs[std::size_t(from * n + to)] = forward;
  table.pairs[std::size_t(to * n + from)] = backward;
}

MatchTable build_match_table(const SweepRecord& record, const RenderOptions& options) {
  const int n = static_cast<int>(record.keyframes.size());
  MatchTable table;
  table.features.resize(std::size_t(n));
  table.pairs.resize(std::size_t(n) * std::size_t(n));
  for (int i = 0; i < n; ++i) {
    table.features[std::size_t(i)].img_idx = i;
    table.features[std::size_t(i)].img_size = record.keyframes[std::size_t(i)].image_size;
  }
  for (const auto& [pair, points] : gather_links(record)) {
    std::vector<uchar> inliers;
    cv::Mat h = fit_pair(points, table.features[std::size_t(pair.first)].img_size,
                         table.features[std::size_t(pair.second)].img_size, record.scene,
                         options.link_threshold, inliers);
    const int count = h.empty() ? 0 : cv::countNonZero(inliers);
    if (count >= kMinPairInliers && 2 * count >= static_cast<int>(inliers.size()))
      add_pair(table, pair.first, pair.second, points, h, inliers);
  }
  return table;
}

// The first keyframe that usable pairs do not connect with keyframe 0, or -1.
int first_unlinked(const std::vector<MatchesInfo>& pairs, int n) {
  std::vector<int> parent(static_cast<std::size_t>(n));
  std::iota(parent.begin(), parent.end(), 0);
  const auto root = [&parent](int i) {
    while (parent[std::size_t(i)] != i) i = parent[std::size_t(i)];
    return i;
  };
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      if (pairs[std::size_t(i * n + j)].confidence > 1.0) parent[std::size_t(root(j))] = root(i);
  for (int i = 1; i < n; ++i)
    if (root(i) != root(0)) return i;
  return -1;
}

MatchTable window_table(const MatchTable& table, int begin, int end) {
  const int n = static_cast<int>(table.features.size()), m = end - begin;
  MatchTable window;
  window.features.assign(table.features.begin() + begin, table.features.begin() + end);
  window.pairs.resize(std::size_t(m) * std::size_t(m));
  for (int i = 0; i < m; ++i) {
    window.features[std::size_t(i)].img_idx = i;
    for (int j = 0; j < m; ++j) {
      MatchesInfo& pair = window.pairs[std::size_t(i * m + j)];
      pair = table.pairs[std::size_t((begin + i) * n + begin + j)];
      if (pair.confidence > 0) {
        pair.src_img_idx = i;
        pair.dst_img_idx = j;
      }
    }
  }
  return window;
}

bool all_finite(const std::vector<CameraParams>& cameras) {
  for (const CameraParams& camera : cameras)
    if (!std::isfinite(camera.focal) || !cv::checkRange(camera.R)) return false;
  return true;
}

void to_float_rotations(std::vector<CameraParams>& cameras) {
  for (CameraParams& camera : cameras) camera.R.convertTo(camera.R, CV_32F);
}

// Estimates and adjusts one window's cameras; false when either step fails.
bool adjust_window(const MatchTable& window, Scene scene, double focal, int iterations,
                   std::vector<CameraParams>& cameras) {
  std::unique_ptr<cv::detail::Estimator> estimator;
  std::unique_ptr<cv::detail::BundleAdjusterBase> adjuster;
  cameras.assign(window.features.size(), CameraParams());
  if (scene == Scene::kTurning) {
    for (std::size_t i = 0; i < cameras.size(); ++i) {
      cameras[i].focal = focal;
      cameras[i].ppx = window.features[i].img_size.width * 0.5;
      cameras[i].ppy = window.features[i].img_size.height * 0.5;
    }
    estimator = std::make_unique<cv::detail::HomographyBasedEstimator>(true);
    adjuster = std::make_unique<cv::detail::BundleAdjusterRay>();
  } else {
    estimator = std::make_unique<cv::detail::AffineBasedEstimator>();
    adjuster = std::make_unique<cv::detail::BundleAdjusterAffinePartial>();
  }
  if (!(*estimator)(window.features, window.pairs, cameras) || !all_finite(cameras)) return false;
  to_float_rotations(cameras);
  adjuster->setConfThresh(1.0);
  adjuster->setTermCriteria(
      cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, iterations, DBL_EPSILON));
  if (!(*adjuster)(window.features, window.pairs, cameras) || !all_finite(cameras)) return false;
  to_float_rotations(cameras);
  return true;
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

// The transform that carries a window's cameras onto the cameras already
// placed for the keyframes the window shares with the previous one.
cv::Mat window_alignment(const std::vector<CameraParams>& placed, const std::vector<CameraParams>& window,
                         int begin, int shared, Scene scene) {
  cv::Mat sum = cv::Mat::zeros(3, 3, CV_64F);
  for (int k = 0; k < shared; ++k)
    sum += as_double(placed[std::size_t(begin + k)].R) * as_double(window[std::size_t(k)].R).inv();
  sum /= shared;
  return scene == Scene::kTurning ? nearest_rotation(sum) : sum;
}

// Refines all keyframes window by window; the failure says where it stopped.
std::string adjust_all(const MatchTable& table, Scene scene, double focal, int iterations,
                       std::vector<CameraParams>& cameras) {
  const int n = static_cast<int>(table.features.size());
  cameras.assign(std::size_t(n), CameraParams());
  for (int begin = 0, shared = 0;; begin += kWindow - kWindowOverlap, shared = kWindowOverlap) {
    const int end = std::min(n, begin + kWindow);
    const MatchTable window = window_table(table, begin, end);
    std::vector<CameraParams> adjusted;
    if (first_unlinked(window.pairs, end - begin) >= 0 || !adjust_window(window, scene, focal, iterations, adjusted))
      return "the bundle adjustment of keyframes " + std::to_string(begin) + ".." + std::to_string(end - 1) +
             " failed";
    const cv::Mat align =
        shared > 0 ? window_alignment(cameras, adjusted, begin, shared, scene) : cv::Mat::eye(3, 3, CV_64F);
    for (int k = 0; k < end - begin; ++k) {
      CameraParams& camera = cameras[std::size_t(begin + k)] = adjusted[std::size_t(k)];
      cv::Mat(align * as_double(camera.R)).convertTo(camera.R, CV_32F);
    }
    if (end == n) return std::string();
  }
}

// Straightens the strip; a horizontal sweep keeps its middle keyframe about
// upright, so a correction that tips it over (the up direction is ill-defined
// on short sweeps) is not taken.
void straighten(std::vector<CameraParams>& cameras) {
  std::vector<cv::Mat> rotations;
  const cv::Mat middle = cameras[cameras.size() / 2].R.clone();
  for (CameraParams& camera : cameras) rotations.push_back(middle.t() * camera.R);
  std::vector<cv::Mat> corrected(rotations.size());
  for (std::size_t i = 0; i < rotations.size(); ++i) corrected[i] = rotations[i].clone();
  cv::detail::waveCorrect(corrected, cv::detail::WAVE_CORRECT_HORIZ);
  const bool upright = corrected[corrected.size() / 2].at<float>(1, 1) > std::cos(CV_PI / 9);
  for (std::size_t i = 0; i < cameras.size(); ++i) cameras[i].R = upright ? corrected[i] : rotations[i];
}

// A plane keeps straight lines straight but stretches rays far from its
// axis; when the sweep reaches past about 50 degrees either side, a cylinder
// (which does not stretch along the sweep) gives the better picture.
bool needs_cylinder(const std::vector<CameraParams>& cameras) {
  const double limit = std::tan(50.0 * CV_PI / 180.0);
  for (const CameraParams& camera : cameras) {
    const cv::Mat ray_of = as_double(camera.R) * camera.K().inv();
    const double w = camera.ppx * 2, h = camera.ppy * 2;
    for (const cv::Point2d& corner : {cv::Point2d(0, 0), cv::Point2d(w, 0), cv::Point2d(w, h), cv::Point2d(0, h)}) {
      const cv::Mat ray = ray_of * (cv::Mat_<double>(3, 1) << corner.x, corner.y, 1.0);
      const double z = ray.at<double>(2);
      if (z <= 0 || std::abs(ray.at<double>(0)) > limit * z) return true;
    }
  }
  return false;
}

std::string implausible_focal(const std::vector<CameraParams>& cameras, double focal) {
  for (std::size_t i = 0; i < cameras.size(); ++i)
    if (cameras[i].focal < focal / 3 || cameras[i].focal > focal * 3)
      return "the refined focal length of keyframe " + std::to_string(i) + " is implausible";
  return std::string();
}

// Refined affine transforms must keep the kept images' orientation and about
// their scale: a mirrored or shrunken frame is a folded refinement.
std::string implausible_affine(const std::vector<CameraParams>& cameras) {
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    const double det = cv::determinant(as_double(cameras[i].R)(cv::Rect(0, 0, 2, 2)));
    if (!(det > 0.25 && det < 4.0)) return "the refined transform of keyframe " + std::to_string(i) + " is folded";
  }
  return std::string();
}

// The refinement's result, or why it has none: the adjustment failed, or
// gave something implausible.
Refinement judged(std::string adjustment_failure, std::string implausible) {
  if (!adjustment_failure.empty()) return Refinement::failed(RenderFallback::kAdjustmentFailed, adjustment_failure);
  if (!implausible.empty()) return Refinement::failed(RenderFallback::kImplausible, implausible);
  return Refinement();
}

Refinement turning_refinement(const MatchTable& table, const RenderOptions& options) {
  const double width = table.features.front().img_size.width;
  const double focal = width * 0.5 / std::tan(options.field_of_view * CV_PI / 360.0);
  std::vector<CameraParams> cameras;
  const std::string failure = adjust_all(table, Scene::kTurning, focal, options.refine_iterations, cameras);
  Refinement refinement = judged(failure, failure.empty() ? implausible_focal(cameras, focal) : std::string());
  if (refinement.failure != RenderFallback::kNone) return refinement;
  straighten(cameras);
  std::vector<double> focals;
  for (const CameraParams& camera : cameras) focals.push_back(camera.focal);
  std::nth_element(focals.begin(), focals.begin() + focals.size() / 2, focals.end());
  const bool cylindrical = needs_cylinder(cameras);
  refinement.warps = rotation_warps(std::move(cameras), focals[focals.size() / 2], cylindrical);
  return refinement;
}

Refinement flat_refinement(const MatchTable& table, const RenderOptions& options) {
  std::vector<CameraParams> cameras;
  const std::string failure = adjust_all(table, Scene::kFlat, 1.0, options.refine_iterations, cameras);
  Refinement refinement = judged(failure, failure.empty() ? implausible_affine(cameras) : std::string());
  if (refinement.failure != RenderFallback::kNone) return refinement;
  std::vector<cv::Mat> transforms;
  for (const CameraParams& camera : cameras) transforms.push_back(as_double(camera.R).inv());
  refinement.warps = homography_warps(std::move(transforms));
  return refinement;
}

}  // namespace

Refinement Refinement::failed(RenderFallback why, std::string message) {
  Refinement refinement;
  refinement.failure = why;
  refinement.message = std::move(message);
  return refinement;
}

Refinement refine_placements(const SweepRecord& record, const RenderOptions& options) {
  const MatchTable table = build_match_table(record, options);
  const int unlinked = first_unlinked(table.pairs, static_cast<int>(table.features.size()));
  if (unlinked >= 0)
    return Refinement::failed(RenderFallback::kUnlinked, "keyframe " + std::to_string(unlinked) +
                                                             " has no usable correspondences joining it to keyframe 0");
  try {
    return record.scene == Scene::kTurning ? turning_refinement(table, options) : flat_refinement(table, options);
  } catch (const cv::Exception& e) {
    return Refinement::failed(RenderFallback::kRaised, "the refinement raised: " + e.err);
  }
}

}  // namespace finish
}  // namespace zemb

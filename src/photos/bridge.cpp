// Groups of photos that no confident pair joins, bridged by a pair a turning
// camera explains. Photos of a bare wall share few features, so the pair
// across the wall may fall short of min_confidence although it is right; a
// wrong match reaches such a confidence too (a room's windows and screens
// repeat), but its inliers fit the homography RANSAC found, not a rotation
// of the camera with the lens the confident pairs agree on.
#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/stitching/detail/util.hpp>

#include "photos/photos_internal.h"

namespace zemb {
namespace photos {

namespace {

cv::Point2d centre_of(cv::Size size) { return {size.width * 0.5, size.height * 0.5}; }

cv::Vec3d ray(const cv::Point2f& point, cv::Size size, double focal) {
  const cv::Point2d centre = centre_of(size);
  return cv::normalize(cv::Vec3d((point.x - centre.x) / focal, (point.y - centre.y) / focal, 1.0));
}

// Where one rotation of the camera, the one that fits the pair best, puts
// each of i's inliers in j, as a distance from j's inlier over j's diagonal.
std::vector<double> rotation_errors(const MatchedPair& pair, const std::vector<cv::Size>& sizes, double focal) {
  const cv::Size a = sizes[std::size_t(pair.i)], b = sizes[std::size_t(pair.j)];
  const double a_focal = focal * std::hypot(a.width, a.height), b_diagonal = std::hypot(b.width, b.height);
  const double b_focal = focal * b_diagonal;
  // The rotation that best turns i's rays onto j's (Kabsch: the SVD of their
  // correlation, kept a rotation, not a reflection).
  cv::Matx33d correlation = cv::Matx33d::zeros();
  for (std::size_t k = 0; k < pair.i_points.size(); ++k)
    correlation += ray(pair.j_points[k], b, b_focal) * ray(pair.i_points[k], a, a_focal).t();
  cv::Mat w, u, vt;
  cv::SVD::compute(cv::Mat(correlation), w, u, vt);
  cv::Matx33d flip = cv::Matx33d::eye();
  flip(2, 2) = cv::determinant(u * vt) < 0 ? -1 : 1;
  const cv::Matx33d rotation = cv::Matx33d(cv::Mat(u)) * flip * cv::Matx33d(cv::Mat(vt));
  const cv::Point2d b_centre = centre_of(b);
  std::vector<double> errors;
  for (std::size_t k = 0; k < pair.i_points.size(); ++k) {
    const cv::Vec3d turned = rotation * ray(pair.i_points[k], a, a_focal);
    const cv::Point2d seen(b_focal * turned[0] / turned[2] + b_centre.x, b_focal * turned[1] / turned[2] + b_centre.y);
    errors.push_back(turned[2] > 0 ? cv::norm(seen - cv::Point2d(pair.j_points[k])) / b_diagonal
                                   : std::numeric_limits<double>::infinity());
  }
  return errors;
}

int count_within(const std::vector<double>& errors, double tolerance) {
  return static_cast<int>(std::count_if(errors.begin(), errors.end(), [&](double e) { return e <= tolerance; }));
}

}  // namespace

int rotation_inliers(const MatchedPair& pair, const std::vector<cv::Size>& sizes, double focal, double tolerance) {
  return count_within(rotation_errors(pair, sizes, focal), tolerance);
}

namespace {

// How well one lens explains the pairs as turns of the camera: the pairs
// explained, then (below 1) how close the explained pairs' points come,
// their median error against the tolerance.
double turn_score(const std::vector<MatchedPair>& pairs, const std::vector<cv::Size>& sizes, double focal,
                  const PhotoMatchOptions& options) {
  int explained = 0;
  double error_sum = 0;
  for (const MatchedPair& pair : pairs) {
    std::vector<double> errors = rotation_errors(pair, sizes, focal);
    if (count_within(errors, options.turn_tolerance) < options.turn_share * pair.inliers) continue;
    ++explained;
    std::nth_element(errors.begin(), errors.begin() + std::ptrdiff_t(errors.size() / 2), errors.end());
    error_sum += errors[errors.size() / 2];
  }
  if (explained == 0) return 0;
  return explained + 1 / (1 + error_sum / explained / options.turn_tolerance);
}

// The best-scoring focal length of `steps` spread evenly on a log scale
// from `low` to `high`.
double best_focal_between(const std::vector<MatchedPair>& pairs, const std::vector<cv::Size>& sizes, double low,
                          double high, int steps, const PhotoMatchOptions& options) {
  double best = 0, best_score = -1;
  for (int step = 0; step < steps; ++step) {
    const double focal = low * std::pow(high / low, step / (steps - 1.0));
    const double score = turn_score(pairs, sizes, focal, options);
    if (score > best_score) best = focal, best_score = score;
  }
  return best;
}

}  // namespace

double turning_focal(const std::vector<MatchedPair>& kept, const std::vector<cv::Size>& sizes,
                     const PhotoMatchOptions& options) {
  if (kept.empty()) return 0;
  // From a fisheye's (120 degrees across the diagonal) to a long lens's (10).
  constexpr double kWidest = 0.29, kLongest = 5.7, kCoarseStep = 1.05;
  constexpr int kFineSteps = 11;
  const int coarse_steps = static_cast<int>(std::ceil(std::log(kLongest / kWidest) / std::log(kCoarseStep))) + 1;
  const double coarse = best_focal_between(kept, sizes, kWidest, kLongest, coarse_steps, options);
  const double focal = best_focal_between(kept, sizes, coarse / kCoarseStep, coarse * kCoarseStep, kFineSteps, options);
  return turn_score(kept, sizes, focal, options) >= 1 ? focal : 0;
}

std::vector<MatchedPair> kept_for_turning(const std::vector<MatchedPair>& pairs,
                                          const std::vector<Described>& described,
                                          const std::vector<cv::Size>& sizes, const PhotoMatchOptions& options) {
  std::vector<MatchedPair> kept;
  std::copy_if(pairs.begin(), pairs.end(), std::back_inserter(kept),
               [&](const MatchedPair& pair) { return confident(pair, options); });
  const double focal = turning_focal(kept, sizes, options);
  const auto turn_explains = [&](const MatchedPair& pair) {
    return focal > 0 &&
           rotation_inliers(pair, sizes, focal, options.turn_tolerance) >= options.turn_share * pair.inliers;
  };
  kept.erase(std::remove_if(kept.begin(), kept.end(),
                            [&](const MatchedPair& pair) {
                              return (described[std::size_t(pair.i)].faint || described[std::size_t(pair.j)].faint) &&
                                     !turn_explains(pair);
                            }),
             kept.end());
  std::vector<const MatchedPair*> candidates;
  for (const MatchedPair& pair : pairs)
    if (!confident(pair, options) && pair.inliers >= options.min_inliers &&
        pair.confidence >= options.bridge_min_confidence && turn_explains(pair))
      candidates.push_back(&pair);
  std::sort(candidates.begin(), candidates.end(),
            [](const MatchedPair* a, const MatchedPair* b) { return a->confidence > b->confidence; });
  cv::detail::DisjointSets groups(static_cast<int>(sizes.size()));
  const auto join = [&groups](const MatchedPair& pair) {
    const int a = groups.findSetByElem(pair.i), b = groups.findSetByElem(pair.j);
    if (a != b) groups.mergeSets(a, b);
    return a != b;
  };
  for (const MatchedPair& pair : kept) join(pair);
  for (const MatchedPair* pair : candidates)
    if (join(*pair)) kept.push_back(*pair);
  return kept;
}

}  // namespace photos
}  // namespace zemb

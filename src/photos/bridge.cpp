// Groups of photos that no confident pair joins, bridged by a pair a turning
// camera explains. Photos of a bare wall share few features, so the pair
// across the wall may fall short of min_confidence although it is right; a
// wrong match reaches such a confidence too (a room's windows and screens
// repeat), but its inliers fit the homography RANSAC found, not a rotation
// of the camera with the lens the confident pairs agree on.
#include <algorithm>
#include <cmath>

#include <opencv2/stitching/detail/util.hpp>

#include <opencv2/calib3d.hpp>
#include <opencv2/stitching/detail/autocalib.hpp>

#include "photos/photos_internal.h"

namespace zemb {
namespace photos {

namespace {

cv::Point2d centre_of(cv::Size size) { return {size.width * 0.5, size.height * 0.5}; }

std::vector<cv::Point2f> centred(const std::vector<cv::Point2f>& points, cv::Size size) {
  std::vector<cv::Point2f> out;
  const cv::Point2f centre(centre_of(size));
  for (const cv::Point2f& point : points) out.push_back(point - centre);
  return out;
}

// A focal length, as a fraction of each photo's diagonal, from one pair's
// homography (cv::detail::estimateFocal's rule); 0 when it tells none.
double relative_focal(const MatchedPair& pair, const std::vector<cv::Size>& sizes) {
  const cv::Size a = sizes[std::size_t(pair.i)], b = sizes[std::size_t(pair.j)];
  const cv::Mat h = cv::findHomography(centred(pair.i_points, a), centred(pair.j_points, b), 0);
  if (h.empty()) return 0;
  double f0 = 0, f1 = 0;
  bool f0_ok = false, f1_ok = false;
  cv::detail::focalsFromHomography(h, f0, f1, f0_ok, f1_ok);
  if (!f0_ok || !f1_ok) return 0;
  return std::sqrt(f0 / std::hypot(b.width, b.height) * f1 / std::hypot(a.width, a.height));
}

cv::Vec3d ray(const cv::Point2f& point, cv::Size size, double focal) {
  const cv::Point2d centre = centre_of(size);
  return cv::normalize(cv::Vec3d((point.x - centre.x) / focal, (point.y - centre.y) / focal, 1.0));
}

}  // namespace

double median_focal(const std::vector<MatchedPair>& kept, const std::vector<cv::Size>& sizes) {
  std::vector<double> focals;
  for (const MatchedPair& pair : kept)
    if (const double focal = relative_focal(pair, sizes); focal > 0) focals.push_back(focal);
  if (focals.empty()) return 0;
  std::nth_element(focals.begin(), focals.begin() + std::ptrdiff_t(focals.size() / 2), focals.end());
  return focals[focals.size() / 2];
}

int rotation_inliers(const MatchedPair& pair, const std::vector<cv::Size>& sizes, double focal, double tolerance) {
  const cv::Size a = sizes[std::size_t(pair.i)], b = sizes[std::size_t(pair.j)];
  const double a_focal = focal * std::hypot(a.width, a.height), b_focal = focal * std::hypot(b.width, b.height);
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
  int inliers = 0;
  for (std::size_t k = 0; k < pair.i_points.size(); ++k) {
    const cv::Vec3d turned = rotation * ray(pair.i_points[k], a, a_focal);
    if (turned[2] <= 0) continue;
    const cv::Point2d seen(b_focal * turned[0] / turned[2] + b_centre.x, b_focal * turned[1] / turned[2] + b_centre.y);
    inliers += cv::norm(seen - cv::Point2d(pair.j_points[k])) <= tolerance * std::hypot(b.width, b.height);
  }
  return inliers;
}

std::vector<MatchedPair> kept_for_turning(const std::vector<MatchedPair>& pairs,
                                          const std::vector<Described>& described,
                                          const std::vector<cv::Size>& sizes, const PhotoMatchOptions& options) {
  std::vector<MatchedPair> kept;
  std::copy_if(pairs.begin(), pairs.end(), std::back_inserter(kept),
               [&](const MatchedPair& pair) { return confident(pair, options); });
  const double focal = median_focal(kept, sizes);
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

// The focal length of a turning camera, from the correspondences. For a
// camera turning about its centre every pair's homography is K R K^-1, so at
// the right focal length K^-1 H K is a rotation: a one-dimensional search
// over the focal length for the homographies closest to rotations finds it
// even on near-pure pans, where cv::detail::focalsFromHomography (OpenCV
// 4.6) often gives nothing. Its median, and the hint, are further starts;
// the adjustment and the fit to the correspondences decide between them.
#include <algorithm>
#include <cmath>

#include <opencv2/stitching/detail/autocalib.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

// The search spans lenses of 170 down to 0.5 degrees across the longer side.
constexpr double kWidestView = 170.0, kNarrowestView = 0.5;
constexpr int kSearchSteps = 96;     // logarithmic steps over that range
constexpr int kGoldenSteps = 40;     // then a golden-section search between the best step's neighbours
constexpr double kSameStart = 0.03;  // starts closer than this share of each other are one
// A camera that hardly turned (a still one) gives homographies that every
// focal length makes rotations: below this weighted misfit, everywhere over
// the range, the search knows nothing.
constexpr double kNoTurnMisfit = 1e-6;

double focal_for_view(double side, double degrees) { return side * 0.5 / std::tan(degrees * CV_PI / 360.0); }

struct PairHomography {
  cv::Matx33d h;  // centred
  double weight;  // correspondences behind it
};

// How far the homographies are from rotations at focal length f: the spread
// of the singular values of K^-1 H K, squared and weighted.
double rotation_misfit(const std::vector<PairHomography>& pairs, double f) {
  const cv::Matx33d k(f, 0, 0, 0, f, 0, 0, 0, 1), k_inv(1 / f, 0, 0, 0, 1 / f, 0, 0, 0, 1);
  double misfit = 0;
  for (const PairHomography& pair : pairs) {
    cv::Matx31d singular;
    cv::SVD::compute(k_inv * pair.h * k, singular, cv::SVD::NO_UV);
    const double spread = std::log(singular(0) / std::max(singular(2), 1e-12));
    misfit += pair.weight * spread * spread;
  }
  return misfit;
}

// The focal length, or 0 when the pairs do not tell one from another.
double most_rotation_like(const std::vector<PairHomography>& pairs, double side) {
  const double low = std::log(focal_for_view(side, kWidestView)), high = std::log(focal_for_view(side, kNarrowestView));
  const auto misfit_at = [&pairs](double log_f) { return rotation_misfit(pairs, std::exp(log_f)); };
  const double step = (high - low) / kSearchSteps;
  int best = 0;
  double least = misfit_at(low), most = least, weight = 0;
  for (int i = 1; i <= kSearchSteps; ++i) {
    const double misfit = misfit_at(low + i * step);
    if (misfit < least) best = i, least = misfit;
    most = std::max(most, misfit);
  }
  for (const PairHomography& pair : pairs) weight += pair.weight;
  if (most <= kNoTurnMisfit * weight) return 0.0;
  double a = low + std::max(0, best - 1) * step, b = low + std::min(kSearchSteps, best + 1) * step;
  const double ratio = (std::sqrt(5.0) - 1) / 2;
  for (int i = 0; i < kGoldenSteps; ++i) {
    const double c = b - ratio * (b - a), d = a + ratio * (b - a);
    if (misfit_at(c) < misfit_at(d))
      b = d;
    else
      a = c;
  }
  return std::exp((a + b) / 2);
}

// The median of OpenCV's estimates, pair by pair; 0 when it gives none.
double from_homographies(const std::vector<PairHomography>& pairs) {
  std::vector<double> focals;
  for (const PairHomography& pair : pairs) {
    double f0 = 0, f1 = 0;
    bool f0_ok = false, f1_ok = false;
    cv::detail::focalsFromHomography(cv::Mat(pair.h), f0, f1, f0_ok, f1_ok);
    if (f0_ok && f1_ok && f0 > 0 && f1 > 0) focals.push_back(std::sqrt(f0 * f1));
  }
  return focals.empty() ? 0.0 : median(focals);
}

double hint(const SweepRecord& record, const RenderOptions& options) {
  std::vector<double> recorded;
  for (const Keyframe& keyframe : record.keyframes)
    if (keyframe.focal > 0 && std::isfinite(keyframe.focal)) recorded.push_back(keyframe.focal);
  if (!recorded.empty()) return median(recorded);
  const cv::Size size = record.keyframes.front().image_size;
  return focal_for_view(std::max(size.width, size.height), options.field_of_view);
}

}  // namespace

std::vector<double> focal_starts(const SweepRecord& record, const LinkGraph& graph, const RenderOptions& options) {
  std::vector<PairHomography> pairs;
  for (const LinkedPair& pair : graph.pairs)
    pairs.push_back({cv::Matx33d(centred_homography(pair, graph.sizes)), double(pair.from_points.size())});
  const cv::Size size = graph.sizes[std::size_t(graph.joined.front())];
  std::vector<double> starts;
  for (double focal : {most_rotation_like(pairs, std::max(size.width, size.height)), from_homographies(pairs),
                       hint(record, options)}) {
    const bool known =
        std::any_of(starts.begin(), starts.end(), [focal](double start) { return same_focal(focal, start); });
    if (focal > 0 && std::isfinite(focal) && !known) starts.push_back(focal);
  }
  return starts;
}

bool same_focal(double a, double b) { return std::abs(std::log(a / b)) < kSameStart; }

}  // namespace rendering
}  // namespace zemb

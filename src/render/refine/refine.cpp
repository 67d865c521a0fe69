// The choice of model. The scene's own model is tried first (rotations for a
// turning camera, from every focal length worth starting at; similarities for
// a flat scene); the first model that leaves the correspondences within
// max_residual is used. When none does, the adjusted model that fits best is
// used, unless the live placements fit better still. A model is judged only
// by how well it fits the correspondences and whether it folds.
#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <utility>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

using cv::detail::CameraParams;

struct Attempt {
  Placements placements;  // no warps when the attempt failed
  Residuals fit;
  Failure failure;        // why, when it failed

  bool placed() const { return placements.warps != nullptr; }
  bool better_than(const Attempt& other) const { return placed() && (!other.placed() || fit.p90 < other.fit.p90); }
};

Attempt failed(Failure failure) {
  Attempt attempt;
  attempt.failure = std::move(failure);
  return attempt;
}

Attempt judged(Placements placements, const LinkGraph& graph, const Placements& live) {
  if (std::optional<Failure> why = implausibility(graph.sizes, placements, live)) return failed(std::move(*why));
  Attempt attempt;
  attempt.fit = residuals(graph, placements.to_world);
  attempt.placements = std::move(placements);
  return attempt;
}

// A rotation fit that converges does so within a few iterations (OpenCV's
// bundle adjuster has stopped by then on photo sets and sweeps that fit), so
// the adjustment is looked at after these: a fit within max_residual there
// is kept; one still this many times max_residual off (the focal length
// creeping on, as over a flat scene seen from a moving camera) will not come
// within it, and is left there when a cheaper model fits: the rest of
// refine_iterations would cost seconds on a few dozen photos for a model
// that is not used.
constexpr int kLookIterations = 20;
constexpr double kHopelessFit = 1.5;

Attempt judged_rotations(std::optional<Failure> failure, const std::vector<CameraParams>& cameras,
                         const SweepRecord& record, const LinkGraph& graph, const RenderOptions& options,
                         const Placements& live) {
  if (failure) return failed(std::move(*failure));
  return judged(placed_by_rotations(RenderModel::kRotation, cameras, graph.joined, options, record.direction), graph,
                live);
}

// The rotations adjusted from one focal length: kLookIterations, then,
// unless the fit is within max_residual, or hopeless and `cheaper_fits`
// says another model fits, the rest of refine_iterations from where they
// stopped.
Attempt rotations_from(double focal, const SweepRecord& record, const LinkGraph& graph, const RenderOptions& options,
                       const Placements& live, const std::function<bool()>& cheaper_fits) {
  const int first = std::min(options.refine_iterations, kLookIterations);
  std::vector<CameraParams> cameras;
  std::optional<Failure> failure = adjust_in_windows(graph, true, rotation_adjuster(focal, first), cameras);
  Attempt attempt = judged_rotations(failure, cameras, record, graph, options, live);
  const int rest = options.refine_iterations - first;
  if (rest <= 0 || failure || (attempt.placed() && attempt.fit.p90 <= options.max_residual)) return attempt;
  const bool hopeless = !attempt.placed() || attempt.fit.p90 > kHopelessFit * options.max_residual;
  if (hopeless && cheaper_fits()) return attempt;
  failure = adjust_in_windows(graph, true, rotation_adjuster(focal, rest), cameras);
  return judged_rotations(std::move(failure), cameras, record, graph, options, live);
}

// The starts are tried best first; the first whose adjustment fits is kept,
// else the one that fits best. Once two starts end at one focal length, that
// is where the model fits best, and the other starts would only come to it
// too (a start far from it at great cost).
Attempt rotation_attempt(const SweepRecord& record, const LinkGraph& graph, const RenderOptions& options,
                         const Placements& live, const std::function<bool()>& cheaper_fits) {
  Attempt best = failed({RenderFallback::kAdjustmentFailed, "no focal length to start the adjustment from"});
  std::vector<double> ends;
  for (double focal : focal_starts(record, graph, options)) {
    Attempt attempt = rotations_from(focal, record, graph, options, live, cheaper_fits);
    const double end = attempt.placed() ? attempt.placements.focal : 0.0;
    if (attempt.better_than(best) || !best.placed()) best = std::move(attempt);
    if (best.placed() && best.fit.p90 <= options.max_residual) break;
    if (end <= 0) continue;
    if (std::any_of(ends.begin(), ends.end(), [end](double other) { return same_focal(end, other); })) break;
    ends.push_back(end);
  }
  return best;
}

// Similarities hold their keyframes at one scale (a camera at a steady
// distance from a flat scene, or turning) when the kept images are of one
// size, as a sweep keeps them.
double scale_hold(const LinkGraph& graph, const RenderOptions& options) {
  const bool one_size = std::all_of(graph.sizes.begin(), graph.sizes.end(),
                                    [&](cv::Size size) { return size == graph.sizes.front(); });
  return one_size ? options.flat_scale_hold : 0.0;
}

Attempt plane_attempt(RenderModel model, const LinkGraph& graph, const RenderOptions& options,
                      const Placements& live) {
  const WindowAdjuster adjuster = model == RenderModel::kHomography
                                      ? homography_adjuster(options.refine_iterations)
                                      : similarity_adjuster(options.refine_iterations, scale_hold(graph, options));
  std::vector<CameraParams> cameras;
  if (std::optional<Failure> failure = adjust_in_windows(graph, false, adjuster, cameras))
    return failed(std::move(*failure));
  std::vector<cv::Mat> transforms;
  for (const CameraParams& camera : cameras) transforms.push_back(camera.R);
  if (model == RenderModel::kHomography) transforms = levelled(std::move(transforms), graph.joined, graph.sizes);
  return judged(placed_by_planes(model, std::move(transforms), graph.joined), graph, live);
}

Attempt attempt(RenderModel model, const SweepRecord& record, const LinkGraph& graph, const RenderOptions& options,
                const Placements& live, const std::function<bool()>& cheaper_fits) {
  try {
    return model == RenderModel::kRotation ? rotation_attempt(record, graph, options, live, cheaper_fits)
                                           : plane_attempt(model, graph, options, live);
  } catch (const cv::Exception& e) {
    return failed({RenderFallback::kRaised, "the adjustment raised: " + e.err});
  }
}

Refinement chosen(Attempt attempt, Failure fallback) {
  Refinement refinement;
  refinement.placements = std::move(attempt.placements);
  refinement.fit = attempt.fit;
  refinement.fallback = std::move(fallback);
  return refinement;
}

Attempt as_attempt(Placements live, const LinkGraph& graph) {
  Attempt attempt;
  attempt.fit = residuals(graph, live.to_world);
  attempt.placements = std::move(live);
  return attempt;
}

}  // namespace

Refinement refine(const SweepRecord& record, const LinkGraph& graph, const RenderOptions& options, Placements live) {
  const std::size_t joined = graph.joined.size(), all = graph.sizes.size();
  if (joined < 2 || (2 * joined < all && live.used.size() > joined))
    return chosen(as_attempt(std::move(live), graph),
                  {RenderFallback::kUnlinked, "correspondences join only " + std::to_string(joined) + " of the " +
                                                  std::to_string(all) + " keyframes"});
  const std::vector<RenderModel> models =
      record.scene == Scene::kTurning
          ? std::vector<RenderModel>{RenderModel::kRotation, RenderModel::kHomography, RenderModel::kSimilarity}
          : std::vector<RenderModel>{RenderModel::kSimilarity, RenderModel::kHomography};
  // The homography model, the cheaper one a turning camera's rotations give
  // way to, adjusted when the rotations ask whether it fits, or in turn.
  std::optional<Attempt> homography;
  const auto homography_fits = [&] {
    if (!homography) homography = attempt(RenderModel::kHomography, record, graph, options, live, nullptr);
    return homography->placed() && homography->fit.p90 <= options.max_residual;
  };
  Failure fallback;
  Attempt best;
  for (RenderModel model : models) {
    Attempt tried = model == RenderModel::kHomography && homography
                        ? std::move(*homography)
                        : attempt(model, record, graph, options, live, homography_fits);
    if (tried.placed() && tried.fit.p90 <= options.max_residual)
      return chosen(std::move(tried), std::move(fallback));
    if (model == models.front())
      fallback = tried.placed() ? Failure{RenderFallback::kPoorFit,
                                          cv::format("the %s model leaves a tenth of the correspondences more than "
                                                     "%.1f px apart (max_residual %.1f)",
                                                     model_name(model), tried.fit.p90, options.max_residual)}
                                : tried.failure;
    if (tried.better_than(best)) best = std::move(tried);
  }
  Attempt unrefined = as_attempt(std::move(live), graph);
  const bool live_fits_better = !unrefined.placements.used.empty() && unrefined.fit.count > 0 &&
                                (!best.placed() || unrefined.fit.p90 < best.fit.p90);
  return chosen(best.placed() && !live_fits_better ? std::move(best) : std::move(unrefined), std::move(fallback));
}

}  // namespace rendering
}  // namespace zemb

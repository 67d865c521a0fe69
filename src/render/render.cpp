// render: join the keyframes by their correspondences, place them with the
// model that fits (or as the sweep placed them live), and compose.
#include <algorithm>
#include <numeric>
#include <utility>

#include <opencv2/core.hpp>

#include "render/render_internal.h"

namespace zemb {

namespace {

// The keyframes of the record not in `used` (ascending).
std::vector<int> not_in(const std::vector<int>& used, std::size_t count) {
  std::vector<int> all(count), rest;
  std::iota(all.begin(), all.end(), 0);
  std::set_difference(all.begin(), all.end(), used.begin(), used.end(), std::back_inserter(rest));
  return rest;
}

// Where each keyframe used landed on the finished panorama of `size`, when a
// plane transform says it (a turned panorama was turned a quarter
// clockwise after composing).
std::vector<cv::Mat> on_panorama(const rendering::Placements& placed, std::size_t count,
                                 const rendering::Composition& composition, cv::Size size) {
  cv::Mat to_panorama = (cv::Mat_<double>(3, 3) << composition.scale, 0, -composition.origin.x, 0,
                         composition.scale, -composition.origin.y, 0, 0, 1);
  if (placed.projection.turned)
    to_panorama = (cv::Mat_<double>(3, 3) << 0, -1, size.width - 1, 1, 0, 0, 0, 0, 1) * to_panorama;
  std::vector<cv::Mat> placements(count);
  for (int index : placed.used) {
    const cv::Mat transform = placed.warps->plane_transform(index);
    if (!transform.empty()) placements[std::size_t(index)] = to_panorama * transform;
  }
  return placements;
}

}  // namespace

const char* fallback_name(RenderFallback fallback) {
  switch (fallback) {
    case RenderFallback::kNone: return "none";
    case RenderFallback::kUnlinked: return "unlinked";
    case RenderFallback::kAdjustmentFailed: return "adjustment failed";
    case RenderFallback::kImplausible: return "implausible";
    case RenderFallback::kRaised: return "raised";
    case RenderFallback::kPoorFit: return "poor fit";
  }
  return "unknown";
}

const char* model_name(RenderModel model) {
  switch (model) {
    case RenderModel::kRotation: return "rotation";
    case RenderModel::kHomography: return "homography";
    case RenderModel::kSimilarity: return "similarity";
    case RenderModel::kLive: return "live";
  }
  return "unknown";
}

namespace rendering {

Placements placed_keyframes(const SweepRecord& record, const RenderOptions& options, FinishReport& report) {
  options.check();
  if (record.keyframes.size() < 2) CV_Error(cv::Error::StsBadArg, "render: fewer than two keyframes");
  if (!record.image) CV_Error(cv::Error::StsBadArg, "render: the record has no way to read its images");
  cv::TickMeter clock;
  clock.start();
  Placements live = live_placements(record, options);
  const LinkGraph graph = link_graph(record, options, live);
  Refinement refinement = refine(record, graph, options, std::move(live));
  Placements& placements = refinement.placements;
  report.model = placements.model;
  report.refined = placements.model != RenderModel::kLive;
  report.fallback = refinement.fallback.why;
  report.fallback_message = refinement.fallback.message;
  report.focal = placements.model == RenderModel::kRotation ? placements.focal : 0.0;
  report.residual_median = refinement.fit.median;
  report.residual_p90 = refinement.fit.p90;
  clock.stop();
  report.seconds_refine = clock.getTimeSec();
  if (placements.used.empty())
    CV_Error(cv::Error::StsBadArg, "render: no model places the keyframes (" + refinement.fallback.message +
                                       ") and no live placement can be drawn");
  report.keyframes_used = static_cast<int>(placements.used.size());
  report.left_out = not_in(placements.used, record.keyframes.size());
  return std::move(placements);
}

namespace {

void report_times(const Composition& times, const cv::TickMeter& clock, FinishReport& report) {
  report.seconds_exposure = times.exposure;
  report.seconds_blend = times.blend;
  report.seconds_seams = times.seams;
  report.seconds_total = report.seconds_refine + clock.getTimeSec();
}

}  // namespace
}  // namespace rendering

FinishedPanorama render(const SweepRecord& record, const RenderOptions& options, const RenderStages& stages) {
  FinishedPanorama result;
  const rendering::Placements placements = rendering::placed_keyframes(record, options, result.report);
  cv::TickMeter clock;
  clock.start();
  result.projection = placements.projection;
  result.projection.scale = placements.focal;
  const rendering::Composition times =
      rendering::compose_panorama(record, placements.used, *placements.warps, options, stages, result.panorama,
                                  result.mask, result.projection);
  result.crop = largest_covered_rectangle(result.mask);
  result.report.size = result.panorama.size();
  result.report.placements = on_panorama(placements, record.keyframes.size(), times, result.report.size);
  clock.stop();
  rendering::report_times(times, clock, result.report);
  return result;
}

FinishReport render_tiled(const SweepRecord& record, const RenderOptions& options, PanoramaSink& sink,
                          const RenderStages& stages) {
  FinishReport report;
  const rendering::Placements placements = rendering::placed_keyframes(record, options, report);
  cv::TickMeter clock;
  clock.start();
  const rendering::Composition times =
      rendering::compose_tiled(record, placements.used, *placements.warps, options, stages,
                               placements.projection, sink, report.size);
  report.placements = on_panorama(placements, record.keyframes.size(), times, report.size);
  clock.stop();
  rendering::report_times(times, clock, report);
  return report;
}

}  // namespace zemb

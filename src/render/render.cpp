// render: join the keyframes by their correspondences, place them with the
// model that fits (or as the sweep placed them live), and compose.
#include <algorithm>
#include <numeric>
#include <utility>

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

// Where each keyframe used landed on the finished panorama, when a plane
// transform says it.
std::vector<cv::Mat> on_panorama(const rendering::FrameWarps& warps, const std::vector<int>& used, std::size_t count,
                                 const rendering::Composition& composition) {
  const cv::Mat to_panorama = (cv::Mat_<double>(3, 3) << composition.scale, 0, -composition.origin.x, 0,
                               composition.scale, -composition.origin.y, 0, 0, 1);
  std::vector<cv::Mat> placements(count);
  for (int index : used) {
    const cv::Mat transform = warps.plane_transform(index);
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

FinishedPanorama render(const SweepRecord& record, const RenderOptions& options, const RenderStages& stages) {
  options.check();
  if (record.keyframes.size() < 2) CV_Error(cv::Error::StsBadArg, "render: fewer than two keyframes");
  if (!record.image) CV_Error(cv::Error::StsBadArg, "render: the record has no way to read its images");
  cv::TickMeter clock;
  clock.start();
  FinishedPanorama result;
  FinishReport& report = result.report;

  rendering::Placements live = rendering::live_placements(record, options.surface);
  const rendering::LinkGraph graph = rendering::link_graph(record, options, live);
  rendering::Refinement refinement = rendering::refine(record, graph, options, std::move(live));
  const rendering::Placements& placements = refinement.placements;
  report.model = placements.model;
  report.refined = placements.model != RenderModel::kLive;
  report.fallback = refinement.fallback.why;
  report.fallback_message = refinement.fallback.message;
  report.focal = placements.model == RenderModel::kRotation ? placements.focal : 0.0;
  report.residual_median = refinement.fit.median;
  report.residual_p90 = refinement.fit.p90;
  clock.stop();
  report.seconds_refine = clock.getTimeSec();
  clock.start();
  if (placements.used.empty())
    CV_Error(cv::Error::StsBadArg, "render: no model places the keyframes (" + refinement.fallback.message +
                                       ") and no live placement can be drawn");

  const rendering::Composition times = rendering::compose_panorama(record, placements.used, *placements.warps,
                                                                   options, stages, result.panorama, result.mask);
  report.placements = on_panorama(*placements.warps, placements.used, record.keyframes.size(), times);
  report.keyframes_used = static_cast<int>(placements.used.size());
  report.left_out = not_in(placements.used, record.keyframes.size());
  report.size = result.panorama.size();
  report.seconds_exposure = times.exposure;
  report.seconds_blend = times.blend;
  report.seconds_seams = times.seams;
  clock.stop();
  report.seconds_total = clock.getTimeSec();
  return result;
}

}  // namespace zemb

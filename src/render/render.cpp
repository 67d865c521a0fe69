// render: refine, judge the refinement against the live placements,
// fall back to them when it failed or looks wrong, and compose.
#include <algorithm>
#include <cmath>
#include <numeric>

#include <opencv2/imgproc.hpp>

#include "render/render_internal.h"

namespace zemb {

namespace {

using finish::FrameWarps;

double seconds_since(int64 start) {
  return static_cast<double>(cv::getTickCount() - start) / cv::getTickFrequency();
}

// Beyond this many pixels from the origin a placement has left any canvas.
constexpr double kFarAway = 1e7;

// A live placement can be drawn when it is finite and keeps the kept image's
// outline convex, in front of the camera and within reach.
bool drawable(const Keyframe& keyframe) {
  if (keyframe.placement.size() != cv::Size(3, 3) || !cv::checkRange(keyframe.placement)) return false;
  cv::Mat h;
  keyframe.placement.convertTo(h, CV_64F);
  const double w = keyframe.image_size.width, ht = keyframe.image_size.height;
  std::vector<cv::Point2f> outline;
  for (const cv::Point2d& c : {cv::Point2d(0, 0), cv::Point2d(w, 0), cv::Point2d(w, ht), cv::Point2d(0, ht)}) {
    const cv::Mat p = h * (cv::Mat_<double>(3, 1) << c.x, c.y, 1.0);
    const double z = p.at<double>(2);
    if (!(z > 1e-9)) return false;
    const double x = p.at<double>(0) / z, y = p.at<double>(1) / z;
    if (std::abs(x) > kFarAway || std::abs(y) > kFarAway) return false;
    outline.emplace_back(static_cast<float>(x), static_cast<float>(y));
  }
  return cv::isContourConvex(outline) && cv::contourArea(outline, true) > 0;
}

std::vector<cv::Mat> live_placements(const SweepRecord& record) {
  std::vector<cv::Mat> placements;
  for (const Keyframe& keyframe : record.keyframes) {
    cv::Mat h;
    keyframe.placement.convertTo(h, CV_64F);
    placements.push_back(h);
  }
  return placements;
}

struct OutlineSizes {
  std::vector<double> areas;  // of each keyframe's footprint
  double median = 0;
  double box = 0;             // of the panorama's bounding box
};

OutlineSizes outline_sizes(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps) {
  OutlineSizes sizes;
  cv::Rect box;
  for (int index : used) {
    const cv::Rect footprint = warps.footprint(index, record.keyframes[std::size_t(index)].image_size, 1.0);
    sizes.areas.push_back(static_cast<double>(footprint.width) * footprint.height);
    box |= footprint;
  }
  std::vector<double> sorted = sizes.areas;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  sizes.median = sorted[sorted.size() / 2];
  sizes.box = static_cast<double>(box.width) * box.height;
  return sizes;
}

// Refined outlines wildly larger than the others, or a panorama much larger
// than the live one measured in frames, come from a refinement gone wrong.
std::string implausible_outlines(const SweepRecord& record, const std::vector<int>& all, const FrameWarps& refined,
                                 const std::vector<int>& drawn, const FrameWarps& live) {
  const OutlineSizes mine = outline_sizes(record, all, refined);
  if (!(mine.box > 0 && mine.box < kFarAway * kFarAway)) return "the refined panorama reaches beyond any canvas";
  for (std::size_t i = 0; i < mine.areas.size(); ++i)
    if (mine.areas[i] > 6 * mine.median)
      return "the refined outline of keyframe " + std::to_string(i) + " is " +
             std::to_string(cvRound(mine.areas[i] / mine.median)) + " times the median";
  if (drawn.empty()) return std::string();
  const OutlineSizes theirs = outline_sizes(record, drawn, live);
  const double growth = (mine.box / mine.median) / (theirs.box / theirs.median);
  if (growth > 3) return "the refined panorama is " + std::to_string(cvRound(growth)) + " times the live one";
  return std::string();
}

}  // namespace

const char* fallback_name(RenderFallback fallback) {
  switch (fallback) {
    case RenderFallback::kNone: return "none";
    case RenderFallback::kUnlinked: return "unlinked";
    case RenderFallback::kAdjustmentFailed: return "adjustment failed";
    case RenderFallback::kImplausible: return "implausible";
    case RenderFallback::kRaised: return "raised";
  }
  return "unknown";
}

FinishedPanorama render(const SweepRecord& record, const RenderOptions& options, const RenderStages& stages) {
  options.check();
  if (record.keyframes.size() < 2) CV_Error(cv::Error::StsBadArg, "render: fewer than two keyframes");
  if (!record.image) CV_Error(cv::Error::StsBadArg, "render: the record has no way to read its images");
  const int64 start = cv::getTickCount();
  FinishedPanorama result;
  FinishReport& report = result.report;

  std::vector<int> all(record.keyframes.size()), drawn;
  std::iota(all.begin(), all.end(), 0);
  std::copy_if(all.begin(), all.end(), std::back_inserter(drawn),
               [&record](int i) { return drawable(record.keyframes[std::size_t(i)]); });
  const std::unique_ptr<FrameWarps> live = finish::homography_warps(live_placements(record));
  SweepRecord sharpened = record;
  sharpened.links = finish::sharpened_links(record);
  finish::Refinement refinement = finish::refine_placements(sharpened, options);
  if (refinement.warps) {
    const std::string implausible = implausible_outlines(record, all, *refinement.warps, drawn, *live);
    if (!implausible.empty()) refinement = finish::Refinement::failed(RenderFallback::kImplausible, implausible);
  }
  report.refined = refinement.failure == RenderFallback::kNone;
  report.fallback = refinement.failure;
  report.fallback_message = refinement.message;
  report.seconds_refine = seconds_since(start);

  if (!report.refined && drawn.empty())
    CV_Error(cv::Error::StsBadArg, "render: the refinement failed (" + refinement.message +
                                       ") and no live placement can be drawn");
  const std::vector<int>& used = report.refined ? all : drawn;
  const finish::ComposeTimes times = finish::compose_panorama(
      record, used, report.refined ? *refinement.warps : *live, options, stages, result.panorama, result.mask);
  report.keyframes_used = static_cast<int>(used.size());
  report.size = result.panorama.size();
  report.seconds_exposure = times.exposure;
  report.seconds_seams = times.seams;
  report.seconds_blend = times.blend;
  report.seconds_total = seconds_since(start);
  return result;
}

}  // namespace zemb

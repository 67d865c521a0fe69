// Compositing of the finished panorama, as cv::Stitcher composes: gains and
// seams are found on small copies of the warped keyframes, then every
// keyframe is warped again at the render scale, compensated, cut along its
// seam and fed to one multi-band blender. Keyframes are read one at a time,
// so memory follows the panorama, not the sweep's length.
#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>

#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/blenders.hpp>
#include <opencv2/stitching/detail/exposure_compensate.hpp>
#include <opencv2/stitching/detail/seam_finders.hpp>
#include <opencv2/stitching/detail/util.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

cv::Size scaled_size(cv::Size size, double scale) {
  return cv::Size(std::max(1, cvRound(size.width * scale)), std::max(1, cvRound(size.height * scale)));
}

double median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(values.size() / 2), values.end());
  return values[values.size() / 2];
}

namespace {

cv::Mat kept_image(const SweepRecord& record, int index) {
  cv::Mat image = record.image(index);
  const cv::Size expected = record.keyframes[static_cast<std::size_t>(index)].image_size;
  if (image.type() != CV_8UC3 || image.size() != expected)
    CV_Error(cv::Error::StsBadArg, "render: a keyframe image is not CV_8UC3 of its recorded size");
  return image;
}

WarpedFrame warp_frame(const SweepRecord& record, const FrameWarps& warps, int index, const cv::Mat& kept,
                       double scale) {
  cv::Mat small = kept;
  if (scale != 1.0) cv::resize(kept, small, scaled_size(kept.size(), scale), 0, 0, cv::INTER_AREA);
  WarpedFrame frame;
  frame.corner = warps.warp(index, small, scene_mask(record, small.size()), scale, frame.image, frame.mask);
  return frame;
}

}  // namespace

cv::Mat scene_mask(const SweepRecord& record, cv::Size size) {
  if (record.overlay.empty()) return cv::Mat(size, CV_8U, cv::Scalar(255));
  cv::Mat overlay;
  cv::resize(record.overlay, overlay, size, 0, 0, cv::INTER_NEAREST);
  return overlay == 0;
}

namespace {

cv::Rect panorama_box(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                      double scale) {
  cv::Rect box;
  for (int index : used)
    box |= warps.footprint(index, scaled_size(record.keyframes[std::size_t(index)].image_size, scale), scale);
  return box;
}

// What the panorama shows at a scale: the box of warp coordinates it spans
// and, when it goes all the way round (the keyframes reach a whole turn, or
// the surface is the whole sphere), the columns of that turn, the box then
// being exactly one turn wide, centred on the heading straight ahead (and
// on the sphere, every row from the zenith, row 0, to the nadir).
struct Extent {
  cv::Rect box;
  int turn = 0;
};

Extent extent(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps, double scale,
              PanoramaSurface surface) {
  Extent result{panorama_box(record, used, warps, scale), 0};
  const int turn = cvRound(warps.turn_columns(scale));
  const bool sphere = surface == PanoramaSurface::kSphere;
  if (turn <= 1 || (!sphere && result.box.width < turn)) return result;
  result.turn = turn;
  result.box = sphere ? cv::Rect(-turn / 2, 0, turn, turn / 2)
                      : cv::Rect(-turn / 2, result.box.y, turn, result.box.height);
  return result;
}

double box_pixels(const cv::Rect& box) { return static_cast<double>(box.width) * box.height; }

// The largest scale, at most 1, at which the panorama's box holds no more
// than `max_megapixels`. A box follows the scale closely, so a few steps
// find it; one that does not shrink (warps that reach beyond any canvas) is
// an error, never a render at a vanishing scale.
double render_scale(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                    double max_megapixels, PanoramaSurface surface) {
  constexpr int kSteps = 64;
  const double cap = max_megapixels * 1e6;
  double scale = 1.0;
  for (int step = 0; step < kSteps; ++step) {
    const double pixels = box_pixels(extent(record, used, warps, scale, surface).box);
    if (pixels > 0 && pixels <= cap) return scale;
    scale *= pixels > 0 ? std::min(0.99, std::sqrt(cap / pixels)) : 0.5;
  }
  CV_Error(cv::Error::StsError, "render: the panorama's bounding box does not shrink to the megapixels allowed");
}

// On a surface that goes round, the scale nudged (by at most a column a
// turn) so that a turn is an even number of columns: a keyframe and its copy
// a turn away then meet pixel for pixel, and the whole sphere is exactly
// twice as wide as high.
double whole_turn_scale(const FrameWarps& warps, double scale) {
  const double turn = warps.turn_columns(scale);
  return turn > 2 ? scale * 2 * std::round(turn / 2) / turn : scale;
}

// The scale at which the first keyframe's own image, and the median drawn
// keyframe as warped, span at most about seam_megapixels, at most the
// render's: a zooming sweep draws its first keyframes several times their
// own size, and seams found on copies of their own size took three times as
// long.
double seam_scale_for(const SweepRecord& record, const std::vector<int>& used, const std::vector<Drawn>& drawn,
                      const FrameWarps& warps, double scale, const RenderOptions& options) {
  const double pixels = options.seam_megapixels * 1e6;
  std::vector<double> areas;
  for (const Drawn& d : drawn) {
    const cv::Size size = scaled_size(record.keyframes[std::size_t(d.index)].image_size, scale);
    areas.push_back(static_cast<double>(warps.footprint(d.index, size, scale).area()));
  }
  const double warped = median(areas);
  const double own = std::sqrt(pixels / record.keyframes[std::size_t(used.front())].image_size.area());
  return std::min({scale, own, warped > 0 ? scale * std::sqrt(pixels / warped) : scale});
}

// The stages the options name, where the caller gave none.
cv::Ptr<cv::detail::ExposureCompensator> compensator_for(const RenderOptions& options) {
  using cv::detail::ExposureCompensator;
  switch (options.exposure) {
    case ExposureCompensation::kNone: return ExposureCompensator::createDefault(ExposureCompensator::NO);
    case ExposureCompensation::kGain: return ExposureCompensator::createDefault(ExposureCompensator::GAIN);
    case ExposureCompensation::kGainBlocks: return ExposureCompensator::createDefault(ExposureCompensator::GAIN_BLOCKS);
    case ExposureCompensation::kChannels: return ExposureCompensator::createDefault(ExposureCompensator::CHANNELS);
  }
  CV_Error(cv::Error::StsBadArg, "RenderOptions::exposure names no compensator");
}

cv::Ptr<cv::detail::SeamFinder> seam_finder_for(const RenderOptions& options) {
  using cv::detail::SeamFinder;
  switch (options.seams) {
    case SeamFinding::kNone: return SeamFinder::createDefault(SeamFinder::NO);
    case SeamFinding::kVoronoi: return SeamFinder::createDefault(SeamFinder::VORONOI_SEAM);
    case SeamFinding::kDpColourGradient:
      return cv::makePtr<cv::detail::DpSeamFinder>(cv::detail::DpSeamFinder::COLOR_GRAD);
    case SeamFinding::kGraphCut:
      return cv::makePtr<cv::detail::GraphCutSeamFinder>(cv::detail::GraphCutSeamFinderBase::COST_COLOR);
  }
  CV_Error(cv::Error::StsBadArg, "RenderOptions::seams names no seam finder");
}

cv::Ptr<cv::detail::Blender> blender_for(const RenderOptions& options) {
  using cv::detail::Blender;
  switch (options.blending) {
    case Blending::kNone: return Blender::createDefault(Blender::NO);
    // Blender::createDefault(FEATHER) passes its try_gpu flag on as the
    // feather's sharpness: 0, every weight 0, and a black panorama.
    case Blending::kFeather: return cv::makePtr<cv::detail::FeatherBlender>();
    case Blending::kMultiBand: return cv::makePtr<cv::detail::MultiBandBlender>(false, options.blend_bands);
  }
  CV_Error(cv::Error::StsBadArg, "RenderOptions::blending names no blender");
}

// Every keyframe once, and on a panorama that goes round each copy that
// reaches within a keyframe's width of the panorama's box.
std::vector<Drawn> drawn_keyframes(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                                   double scale, const Extent& extent) {
  std::vector<Drawn> drawn;
  std::vector<cv::Rect> footprints;
  int margin = 0;
  for (int index : used) {
    footprints.push_back(
        warps.footprint(index, scaled_size(record.keyframes[std::size_t(index)].image_size, scale), scale));
    margin = std::max(margin, footprints.back().width);
  }
  for (std::size_t k = 0; k < used.size(); ++k) {
    if (extent.turn == 0) {
      drawn.push_back({used[k], 0});
      continue;
    }
    const int reach_left = extent.box.x - margin, reach_right = extent.box.br().x + margin;
    const cv::Rect& f = footprints[k];
    for (int turns = cvFloor(double(reach_left - f.br().x) / extent.turn);
         f.x + turns * extent.turn < reach_right; ++turns)
      if (f.br().x + turns * extent.turn > reach_left) drawn.push_back({used[k], turns});
  }
  return drawn;
}

}  // namespace

namespace {

WarpedFrame warp_drawn_image(const SweepRecord& record, const FrameWarps& warps, const Drawn& drawn,
                             const cv::Mat& kept, double scale, int turn) {
  WarpedFrame frame = warp_frame(record, warps, drawn.index, kept, scale);
  frame.corner.x += drawn.turns * turn;
  return frame;
}

}  // namespace

WarpedFrame warp_drawn(const SweepRecord& record, const FrameWarps& warps, const Drawn& drawn, double scale,
                       int turn) {
  return warp_drawn_image(record, warps, drawn, kept_image(record, drawn.index), scale, turn);
}

namespace {

// The seam mask found on the small copy, grown by a pixel and scaled up to
// the rendered frame, limited to what the frame covers.
void cut_along_seam(const cv::UMat& seam_mask, cv::Mat& mask) {
  cv::Mat dilated, seam;
  cv::dilate(seam_mask, dilated, cv::Mat());
  cv::resize(dilated, seam, mask.size(), 0, 0, cv::INTER_LINEAR_EXACT);
  mask &= seam;
}

// Where the panorama's pixels look, for keyframes placed by rotations: the
// warps put the ray straight ahead at warp coordinates (0, 0), or on the
// sphere at (0, a quarter turn) (row 0 being the zenith).
void describe_projection(PanoramaProjection& projection, double scale, const Extent& shown) {
  if (projection.surface == PanoramaSurface::kAuto) return;
  projection.scale *= scale;
  const double ahead_row = projection.surface == PanoramaSurface::kSphere ? projection.scale * CV_PI / 2 : 0.0;
  projection.centre = cv::Point2d(-shown.box.x, ahead_row - shown.box.y);
  projection.turn_columns = shown.turn;
}

}  // namespace

CompositionPlan plan_composition(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                                 const RenderOptions& options, const RenderStages& stages, PanoramaSurface surface,
                                 double max_megapixels) {
  CompositionPlan plan;
  plan.scale = whole_turn_scale(warps, render_scale(record, used, warps, max_megapixels, surface));
  const Extent shown = extent(record, used, warps, plan.scale, surface);
  plan.box = shown.box;
  plan.turn = shown.turn;
  plan.times.scale = plan.scale;
  plan.times.origin = plan.box.tl();
  plan.drawn = drawn_keyframes(record, used, warps, plan.scale, shown);
  const double seam_scale =
      whole_turn_scale(warps, seam_scale_for(record, used, plan.drawn, warps, plan.scale, options));
  plan.seams = {stages.compensator ? stages.compensator : compensator_for(options),
                stages.seam_finder ? stages.seam_finder : seam_finder_for(options), {}};
  const int seam_turn = shown.turn > 0 ? cvRound(warps.turn_columns(seam_scale)) : 0;
  find_gains_and_seams(record, plan.drawn, warps, options, seam_scale, plan.scale, seam_turn, plan.seams,
                       plan.times);
  for (const Drawn& d : plan.drawn) {
    const cv::Size size = scaled_size(record.keyframes[std::size_t(d.index)].image_size, plan.scale);
    plan.footprints.push_back(warps.footprint(d.index, size, plan.scale) + cv::Point(d.turns * plan.turn, 0));
    plan.reach |= plan.footprints.back();
  }
  plan.blender = stages.blender ? stages.blender : blender_for(options);
  return plan;
}

namespace {

// Drawn keyframe k composed from its kept image, which the caller read.
WarpedFrame composed_from(const SweepRecord& record, const FrameWarps& warps, const CompositionPlan& plan,
                          std::size_t k, const cv::Mat& kept) {
  WarpedFrame frame = warp_drawn_image(record, warps, plan.drawn[k], kept, plan.scale, plan.turn);
  plan.seams.compensator->apply(static_cast<int>(k), frame.corner, frame.image, frame.mask);
  cut_along_seam(plan.seams.masks[k], frame.mask);
  return frame;
}

// Two tasks run at once (as a cv::parallel_for_ of two); the first failure,
// if any, raised once both are done.
void both_at_once(const std::function<void()>& first, const std::function<void()>& second) {
  std::exception_ptr failures[2];
  cv::parallel_for_(cv::Range(0, 2), [&](const cv::Range& range) {
    for (int task = range.start; task < range.end; ++task) try {
        (task == 0 ? first : second)();
      } catch (...) {
        failures[task] = std::current_exception();
      }
  });
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

WarpedFrame composed_frame(const SweepRecord& record, const FrameWarps& warps, const CompositionPlan& plan,
                           std::size_t k) {
  return composed_from(record, warps, plan, k, kept_image(record, plan.drawn[k].index));
}

namespace {

// Every drawn keyframe composed and blended on one canvas; the panorama is
// the blend within the plan's box.
void blend_planned(const SweepRecord& record, const FrameWarps& warps, CompositionPlan& plan, cv::Mat& panorama,
                   cv::Mat& mask) {
  std::vector<cv::Point> corners;
  std::vector<cv::Size> sizes;
  for (const cv::Rect& footprint : plan.footprints) {
    corners.push_back(footprint.tl());
    sizes.push_back(footprint.size());
  }
  plan.blender->prepare(corners, sizes);
  // What the frames cover, gathered here: a blender's own mask is where its
  // weights add up to more than nothing, which a blender given as a stage
  // need not keep to.
  const cv::Rect box = cv::detail::resultRoi(corners, sizes);
  cv::Mat covered = cv::Mat::zeros(box.size(), CV_8U);
  // Warping a keyframe takes about as long as the blender takes to be fed
  // one: the next is composed while the blender is fed this one, in order.
  // Images are read here, on the calling thread (a record's reader need not
  // be safe to call from others).
  WarpedFrame next = composed_frame(record, warps, plan, 0);
  for (std::size_t k = 0; k < plan.drawn.size(); ++k) {
    const WarpedFrame frame = std::move(next);
    const bool last = k + 1 == plan.drawn.size();
    const cv::Mat kept = last ? cv::Mat() : kept_image(record, plan.drawn[k + 1].index);
    both_at_once(
        [&] {
          cv::Mat image16;
          frame.image.convertTo(image16, CV_16S);
          plan.blender->feed(image16, frame.mask, frame.corner);
          covered(cv::Rect(frame.corner - box.tl(), frame.mask.size())) |= frame.mask;
        },
        [&] {
          if (!last) next = composed_from(record, warps, plan, k + 1, kept);
        });
  }
  cv::Mat blended, blender_mask;
  plan.blender->blend(blended, blender_mask);
  blended.convertTo(blended, CV_8U);
  blended.setTo(cv::Scalar::all(0), covered == 0);
  // The blend within the panorama's box (the same box but on a panorama that
  // goes round, or on the whole sphere).
  panorama = cv::Mat::zeros(plan.box.size(), CV_8UC3);
  mask = cv::Mat::zeros(plan.box.size(), CV_8U);
  const cv::Rect common = box & plan.box;
  blended(common - box.tl()).copyTo(panorama(common - plan.box.tl()));
  covered(common - box.tl()).copyTo(mask(common - plan.box.tl()));
}

}  // namespace

Composition compose_panorama(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                              const RenderOptions& options, const RenderStages& stages, cv::Mat& panorama,
                              cv::Mat& mask, PanoramaProjection& projection) {
  CompositionPlan plan =
      plan_composition(record, used, warps, options, stages, projection.surface, options.max_render_megapixels);
  cv::TickMeter clock;
  clock.start();
  blend_planned(record, warps, plan, panorama, mask);
  describe_projection(projection, plan.scale, Extent{plan.box, plan.turn});
  if (projection.turned) {
    cv::rotate(panorama, panorama, cv::ROTATE_90_CLOCKWISE);
    cv::rotate(mask, mask, cv::ROTATE_90_CLOCKWISE);
  }
  projection.size = panorama.size();
  clock.stop();
  plan.times.blend = clock.getTimeSec();
  return plan.times;
}

}  // namespace rendering
}  // namespace zemb

// Compositing of the finished panorama, as cv::Stitcher composes: gains and
// seams are found on small copies of the warped keyframes, then every
// keyframe is warped again at the render scale, compensated, cut along its
// seam and fed to one multi-band blender. Keyframes are read one at a time,
// so memory follows the panorama, not the sweep's length.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/blenders.hpp>
#include <opencv2/stitching/detail/exposure_compensate.hpp>
#include <opencv2/stitching/detail/seam_finders.hpp>
#include <opencv2/stitching/detail/util.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

cv::Size scaled_size(cv::Size size, double scale) {
  return cv::Size(std::max(1, cvRound(size.width * scale)), std::max(1, cvRound(size.height * scale)));
}

cv::Mat kept_image(const SweepRecord& record, int index) {
  cv::Mat image = record.image(index);
  const cv::Size expected = record.keyframes[static_cast<std::size_t>(index)].image_size;
  if (image.type() != CV_8UC3 || image.size() != expected)
    CV_Error(cv::Error::StsBadArg, "render: a keyframe image is not CV_8UC3 of its recorded size");
  return image;
}

struct WarpedFrame {
  cv::Mat image;  // CV_8UC3, borders reflected so that blending draws no black in
  cv::Mat mask;   // CV_8U, 255 where the keyframe covers
  cv::Point corner;
};

WarpedFrame warp_frame(const FrameWarps& warps, int index, const cv::Mat& kept, double scale) {
  cv::Mat small = kept;
  if (scale != 1.0) cv::resize(kept, small, scaled_size(kept.size(), scale), 0, 0, cv::INTER_AREA);
  WarpedFrame frame;
  frame.corner = warps.warp(index, small, scale, cv::INTER_LINEAR, cv::BORDER_REFLECT, frame.image);
  warps.warp(index, cv::Mat(small.size(), CV_8U, cv::Scalar(255)), scale, cv::INTER_NEAREST,
             cv::BORDER_CONSTANT, frame.mask);
  return frame;
}

cv::Rect panorama_box(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                      double scale) {
  cv::Rect box;
  for (int index : used)
    box |= warps.footprint(index, scaled_size(record.keyframes[std::size_t(index)].image_size, scale), scale);
  return box;
}

double box_pixels(const cv::Rect& box) { return static_cast<double>(box.width) * box.height; }

// The largest scale, at most 1, at which the panorama's bounding box holds
// no more than max_render_megapixels. A box follows the scale closely, so a
// few steps find it; one that does not shrink (warps that reach beyond any
// canvas) is an error, never a render at a vanishing scale.
double render_scale(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                    const RenderOptions& options) {
  constexpr int kSteps = 64;
  const double cap = options.max_render_megapixels * 1e6;
  double scale = 1.0;
  for (int step = 0; step < kSteps; ++step) {
    const double pixels = box_pixels(panorama_box(record, used, warps, scale));
    if (pixels > 0 && pixels <= cap) return scale;
    scale *= pixels > 0 ? std::min(0.99, std::sqrt(cap / pixels)) : 0.5;
  }
  CV_Error(cv::Error::StsError, "render: the panorama's bounding box does not shrink to max_render_megapixels");
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
    case Blending::kFeather: return Blender::createDefault(Blender::FEATHER);
    case Blending::kMultiBand: return cv::makePtr<cv::detail::MultiBandBlender>(false, options.blend_bands);
  }
  CV_Error(cv::Error::StsBadArg, "RenderOptions::blending names no blender");
}

// Gains and seams from copies of about seam_megapixels each.
struct SeamPass {
  cv::Ptr<cv::detail::ExposureCompensator> compensator;
  cv::Ptr<cv::detail::SeamFinder> seam_finder;
  std::vector<cv::UMat> masks;
};

void find_gains_and_seams(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                          double scale, SeamPass& pass, Composition& times) {
  cv::TickMeter clock;
  clock.start();
  std::vector<cv::UMat> images(used.size());
  std::vector<cv::Point> corners(used.size());
  pass.masks.resize(used.size());
  for (std::size_t k = 0; k < used.size(); ++k) {
    WarpedFrame frame = warp_frame(warps, used[k], kept_image(record, used[k]), scale);
    frame.image.copyTo(images[k]);
    frame.mask.copyTo(pass.masks[k]);
    corners[k] = frame.corner;
  }
  pass.compensator->feed(corners, images, pass.masks);
  clock.stop();
  times.exposure = clock.getTimeSec();

  // Seam finders take float images, as cv::Stitcher gives them.
  clock.reset();
  clock.start();
  for (cv::UMat& image : images) image.convertTo(image, CV_32F);
  pass.seam_finder->find(images, corners, pass.masks);
  clock.stop();
  times.seams = clock.getTimeSec();
}

// The seam mask found on the small copy, grown by a pixel and scaled up to
// the rendered frame, limited to what the frame covers.
void cut_along_seam(const cv::UMat& seam_mask, cv::Mat& mask) {
  cv::Mat dilated, seam;
  cv::dilate(seam_mask, dilated, cv::Mat());
  cv::resize(dilated, seam, mask.size(), 0, 0, cv::INTER_LINEAR_EXACT);
  mask &= seam;
}

}  // namespace

Composition compose_panorama(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                              const RenderOptions& options, const RenderStages& stages, cv::Mat& panorama,
                              cv::Mat& mask) {
  Composition times;
  const double scale = render_scale(record, used, warps, options);
  times.scale = scale;
  const cv::Size first_size = record.keyframes[std::size_t(used.front())].image_size;
  const double seam_scale =
      std::min(scale, std::sqrt(options.seam_megapixels * 1e6 / first_size.area()));
  SeamPass pass{stages.compensator ? stages.compensator : compensator_for(options),
                stages.seam_finder ? stages.seam_finder : seam_finder_for(options), {}};
  find_gains_and_seams(record, used, warps, seam_scale, pass, times);

  cv::TickMeter clock;
  clock.start();
  std::vector<cv::Point> corners;
  std::vector<cv::Size> sizes;
  for (int index : used) {
    const cv::Rect box =
        warps.footprint(index, scaled_size(record.keyframes[std::size_t(index)].image_size, scale), scale);
    corners.push_back(box.tl());
    sizes.push_back(box.size());
  }
  const cv::Ptr<cv::detail::Blender> blender = stages.blender ? stages.blender : blender_for(options);
  blender->prepare(corners, sizes);
  // What the frames cover, gathered here: not every blender's own mask can be
  // trusted (OpenCV 4.6's feather blender hands back an empty one).
  const cv::Rect box = cv::detail::resultRoi(corners, sizes);
  times.origin = box.tl();
  mask = cv::Mat::zeros(box.size(), CV_8U);
  for (std::size_t k = 0; k < used.size(); ++k) {
    WarpedFrame frame = warp_frame(warps, used[k], kept_image(record, used[k]), scale);
    pass.compensator->apply(static_cast<int>(k), frame.corner, frame.image, frame.mask);
    cut_along_seam(pass.masks[k], frame.mask);
    cv::Mat image16;
    frame.image.convertTo(image16, CV_16S);
    blender->feed(image16, frame.mask, frame.corner);
    mask(cv::Rect(frame.corner - box.tl(), frame.mask.size())) |= frame.mask;
  }
  cv::Mat blended, blender_mask;
  blender->blend(blended, blender_mask);
  blended.convertTo(panorama, CV_8U);
  panorama.setTo(cv::Scalar::all(0), mask == 0);
  clock.stop();
  times.blend = clock.getTimeSec();
  return times;
}

}  // namespace rendering
}  // namespace zemb

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

#include "finish.h"

namespace zemb {
namespace finish {

namespace {

double seconds_since(int64 start) {
  return static_cast<double>(cv::getTickCount() - start) / cv::getTickFrequency();
}

cv::Size scaled_size(cv::Size size, double scale) {
  return cv::Size(std::max(1, cvRound(size.width * scale)), std::max(1, cvRound(size.height * scale)));
}

cv::Mat kept_image(const SweepRecord& record, int index) {
  cv::Mat image = record.image(index);
  const cv::Size expected = record.keyframes[static_cast<std::size_t>(index)].image_size;
  if (image.type() != CV_8UC3 || image.size() != expected)
    CV_Error(cv::Error::StsBadArg, "finish: a keyframe image is not CV_8UC3 of its recorded size");
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
                    const SweepOptions& options) {
  constexpr int kSteps = 64;
  const double cap = options.max_render_megapixels * 1e6;
  double scale = 1.0;
  for (int step = 0; step < kSteps; ++step) {
    const double pixels = box_pixels(panorama_box(record, used, warps, scale));
    if (pixels > 0 && pixels <= cap) return scale;
    scale *= pixels > 0 ? std::min(0.99, std::sqrt(cap / pixels)) : 0.5;
  }
  CV_Error(cv::Error::StsError, "finish: the panorama's bounding box does not shrink to max_render_megapixels");
}

// Gains and seams from copies of about seam_megapixels each.
struct SeamPass {
  cv::detail::GainCompensator compensator;
  std::vector<cv::UMat> masks;
};

void find_gains_and_seams(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                          double scale, SeamPass& pass, ComposeTimes& times) {
  const int64 start = cv::getTickCount();
  std::vector<cv::UMat> images(used.size());
  std::vector<cv::Point> corners(used.size());
  pass.masks.resize(used.size());
  for (std::size_t k = 0; k < used.size(); ++k) {
    WarpedFrame frame = warp_frame(warps, used[k], kept_image(record, used[k]), scale);
    frame.image.copyTo(images[k]);
    frame.mask.copyTo(pass.masks[k]);
    corners[k] = frame.corner;
  }
  static_cast<cv::detail::ExposureCompensator&>(pass.compensator).feed(corners, images, pass.masks);
  times.exposure = seconds_since(start);

  const int64 seams_start = cv::getTickCount();
  cv::detail::DpSeamFinder(cv::detail::DpSeamFinder::COLOR_GRAD).find(images, corners, pass.masks);
  times.seams = seconds_since(seams_start);
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

ComposeTimes compose_panorama(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                              const SweepOptions& options, cv::Mat& panorama, cv::Mat& mask) {
  ComposeTimes times;
  const double scale = render_scale(record, used, warps, options);
  const cv::Size first_size = record.keyframes[std::size_t(used.front())].image_size;
  const double seam_scale =
      std::min(scale, std::sqrt(options.seam_megapixels * 1e6 / first_size.area()));
  SeamPass pass;
  find_gains_and_seams(record, used, warps, seam_scale, pass, times);

  const int64 start = cv::getTickCount();
  std::vector<cv::Point> corners;
  std::vector<cv::Size> sizes;
  for (int index : used) {
    const cv::Rect box =
        warps.footprint(index, scaled_size(record.keyframes[std::size_t(index)].image_size, scale), scale);
    corners.push_back(box.tl());
    sizes.push_back(box.size());
  }
  cv::detail::MultiBandBlender blender(false, options.blend_bands);
  static_cast<cv::detail::Blender&>(blender).prepare(corners, sizes);
  for (std::size_t k = 0; k < used.size(); ++k) {
    WarpedFrame frame = warp_frame(warps, used[k], kept_image(record, used[k]), scale);
    pass.compensator.apply(static_cast<int>(k), frame.corner, frame.image, frame.mask);
    cut_along_seam(pass.masks[k], frame.mask);
    cv::Mat image16;
    frame.image.convertTo(image16, CV_16S);
    blender.feed(image16, frame.mask, frame.corner);
  }
  cv::Mat blended;
  blender.blend(blended, mask);
  blended.convertTo(panorama, CV_8U);
  times.blend = seconds_since(start);
  return times;
}

}  // namespace finish
}  // namespace zemb

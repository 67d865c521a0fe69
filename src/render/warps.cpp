// How keyframes land on the finished panorama: by a plane transform each
// (live placements, refined affine placements) or by the rotation of a camera
// turning about its centre, projected like cv::Stitcher projects.
#include <algorithm>
#include <cmath>
#include <utility>

#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/warpers.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

cv::Mat scaling(double scale) {
  return (cv::Mat_<double>(3, 3) << scale, 0, 0, 0, scale, 0, 0, 0, 1);
}

class HomographyWarps : public FrameWarps {
 public:
  explicit HomographyWarps(std::vector<cv::Mat> transforms) : transforms_(std::move(transforms)) {}

  cv::Rect footprint(int index, cv::Size scaled_size, double scale) const override {
    const std::vector<cv::Point2f> corners = {
        {0.0f, 0.0f}, {float(scaled_size.width), 0.0f},
        {float(scaled_size.width), float(scaled_size.height)}, {0.0f, float(scaled_size.height)}};
    std::vector<cv::Point2f> placed;
    cv::perspectiveTransform(corners, placed, scaled_transform(index, scale));
    float min_x = placed[0].x, max_x = placed[0].x, min_y = placed[0].y, max_y = placed[0].y;
    for (const cv::Point2f& p : placed) {
      min_x = std::min(min_x, p.x), max_x = std::max(max_x, p.x);
      min_y = std::min(min_y, p.y), max_y = std::max(max_y, p.y);
    }
    const cv::Point tl(cvFloor(min_x), cvFloor(min_y));
    return cv::Rect(tl, cv::Point(std::max(cvCeil(max_x), tl.x + 1), std::max(cvCeil(max_y), tl.y + 1)));
  }

  cv::Point warp(int index, const cv::Mat& scaled_image, const cv::Mat& scaled_mask, double scale, cv::Mat& out,
                 cv::Mat& out_mask) const override {
    const cv::Rect box = footprint(index, scaled_image.size(), scale);
    cv::Mat shift = cv::Mat::eye(3, 3, CV_64F);
    shift.at<double>(0, 2) = -box.x;
    shift.at<double>(1, 2) = -box.y;
    const cv::Mat transform = shift * scaled_transform(index, scale);
    cv::warpPerspective(scaled_image, out, transform, box.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
    cv::warpPerspective(scaled_mask, out_mask, transform, box.size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT);
    return box.tl();
  }

  cv::Mat plane_transform(int index) const override { return transforms_[static_cast<std::size_t>(index)].clone(); }

 private:
  // The transform of the kept image shrunk by `scale` onto the panorama
  // shrunk by `scale`.
  cv::Mat scaled_transform(int index, double scale) const {
    return scaling(scale) * transforms_[static_cast<std::size_t>(index)] * scaling(1.0 / scale);
  }

  std::vector<cv::Mat> transforms_;
};

class RotationWarps : public FrameWarps {
 public:
  RotationWarps(std::vector<cv::detail::CameraParams> cameras, double focal, PanoramaSurface surface,
                std::vector<double> headings)
      : cameras_(std::move(cameras)), focal_(focal), surface_(surface), headings_(std::move(headings)) {}

  cv::Rect footprint(int index, cv::Size scaled_size, double scale) const override {
    const int shift = column_shift(index, scale);
    return warper(scale)->warpRoi(scaled_size, intrinsics(index, scale), turned_back(index, shift, scale)) +
           cv::Point(shift, 0);
  }

  // The projection's maps (a sine and a cosine a pixel) built once for the
  // image and its mask: what RotationWarper::warp does for each.
  cv::Point warp(int index, const cv::Mat& scaled_image, const cv::Mat& scaled_mask, double scale, cv::Mat& out,
                 cv::Mat& out_mask) const override {
    const int shift = column_shift(index, scale);
    cv::Mat x_map, y_map;
    const cv::Rect box = warper(scale)->buildMaps(scaled_image.size(), intrinsics(index, scale),
                                                  turned_back(index, shift, scale), x_map, y_map);
    cv::remap(scaled_image, out, x_map, y_map, cv::INTER_LINEAR, cv::BORDER_REFLECT);
    cv::remap(scaled_mask, out_mask, x_map, y_map, cv::INTER_NEAREST, cv::BORDER_CONSTANT);
    return box.tl() + cv::Point(shift, 0);
  }

  double turn_columns(double scale) const override {
    return surface_ == PanoramaSurface::kPlane ? 0.0 : 2 * CV_PI * focal_ * scale;
  }

  // A plane warper at scale f puts a ray (x, y, z) at f (x / z, y / z); the
  // cylinder and the sphere have no plane transform.
  cv::Mat plane_transform(int index) const override {
    if (surface_ != PanoramaSurface::kPlane) return cv::Mat();
    cv::Mat rotation;
    camera(index).R.convertTo(rotation, CV_64F);
    return scaling(focal_) * rotation * camera(index).K().inv();
  }

 private:
  const cv::detail::CameraParams& camera(int index) const { return cameras_[static_cast<std::size_t>(index)]; }

  int column_shift(int index, double scale) const {
    if (surface_ == PanoramaSurface::kPlane) return 0;
    return cvRound(headings_[static_cast<std::size_t>(index)] * focal_ * scale);
  }

  // The keyframe's rotation turned back about the world's y axis by `shift`
  // columns' worth of heading.
  cv::Mat turned_back(int index, int shift, double scale) const {
    const double angle = -shift / (focal_ * scale);
    const cv::Matx33f turn(float(std::cos(angle)), 0.0f, float(std::sin(angle)), 0.0f, 1.0f, 0.0f,
                           float(-std::sin(angle)), 0.0f, float(std::cos(angle)));
    return cv::Mat(turn) * camera(index).R;
  }

  cv::Mat intrinsics(int index, double scale) const {
    cv::detail::CameraParams scaled = camera(index);
    scaled.focal *= scale;
    scaled.ppx *= scale;
    scaled.ppy *= scale;
    cv::Mat k;
    scaled.K().convertTo(k, CV_32F);
    return k;
  }

  std::unique_ptr<cv::detail::RotationWarper> warper(double scale) const {
    const float warp_scale = static_cast<float>(focal_ * scale);
    switch (surface_) {
      case PanoramaSurface::kCylinder: return std::make_unique<cv::detail::CylindricalWarper>(warp_scale);
      case PanoramaSurface::kSphere: return std::make_unique<cv::detail::SphericalWarper>(warp_scale);
      default: return std::make_unique<cv::detail::PlaneWarper>(warp_scale);
    }
  }

  std::vector<cv::detail::CameraParams> cameras_;
  double focal_;
  PanoramaSurface surface_;
  std::vector<double> headings_;
};

}  // namespace

std::unique_ptr<FrameWarps> homography_warps(std::vector<cv::Mat> transforms) {
  return std::make_unique<HomographyWarps>(std::move(transforms));
}

std::unique_ptr<FrameWarps> rotation_warps(std::vector<cv::detail::CameraParams> cameras, double focal,
                                           PanoramaSurface surface, std::vector<double> headings) {
  return std::make_unique<RotationWarps>(std::move(cameras), focal, surface, std::move(headings));
}

}  // namespace rendering
}  // namespace zemb

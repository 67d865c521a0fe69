// Where a panorama placed by rotations shows a ray: the projections of
// OpenCV's plane, cylindrical and spherical warpers, measured from the
// pixel straight ahead, wrapped round a whole turn and turned upright as the
// render turned the picture.
#include <cmath>

#include "zemb/render.h"

namespace zemb {

namespace {

// The ray's place relative to the ray straight ahead, in panorama pixels.
cv::Point2d projected(PanoramaSurface surface, double scale, const cv::Vec3d& ray) {
  const double x = ray[0], y = ray[1], z = ray[2];
  switch (surface) {
    case PanoramaSurface::kPlane: return {scale * x / z, scale * y / z};
    case PanoramaSurface::kCylinder: return {scale * std::atan2(x, z), scale * y / std::hypot(x, z)};
    case PanoramaSurface::kSphere: return {scale * std::atan2(x, z), scale * std::asin(y / cv::norm(ray))};
    case PanoramaSurface::kAuto: break;
  }
  CV_Error(cv::Error::StsBadArg, "PanoramaProjection::pixel_of: the panorama was not placed by rotations");
}

cv::Vec3d unprojected(PanoramaSurface surface, double scale, const cv::Point2d& offset) {
  const double across = offset.x / scale, down = offset.y / scale;
  switch (surface) {
    case PanoramaSurface::kPlane: return {across, down, 1.0};
    case PanoramaSurface::kCylinder: return {std::sin(across), down, std::cos(across)};
    case PanoramaSurface::kSphere:
      return {std::sin(across) * std::cos(down), std::sin(down), std::cos(across) * std::cos(down)};
    case PanoramaSurface::kAuto: break;
  }
  CV_Error(cv::Error::StsBadArg, "PanoramaProjection::ray_of: the panorama was not placed by rotations");
}

}  // namespace

cv::Vec3d PanoramaProjection::ray_of(const cv::Point2d& pixel) const {
  const cv::Point2d unturned = turned ? cv::Point2d(pixel.y, size.width - 1 - pixel.x) : pixel;
  return unprojected(surface, scale, unturned - centre);
}

cv::Point2d PanoramaProjection::pixel_of(const cv::Vec3d& ray) const {
  cv::Point2d pixel = centre + projected(surface, scale, ray);
  if (turn_columns > 0) pixel.x -= turn_columns * std::floor(pixel.x / turn_columns);
  if (turned) pixel = cv::Point2d(size.width - 1 - pixel.y, pixel.x);
  return pixel;
}

}  // namespace zemb

// The live canvas: a plane for a flat scene, a cylinder for a turning
// camera (its axis across the direction of travel, so that a sweep of any
// angle keeps its scale and a full turn meets itself). It grows in any
// direction.
#ifndef ZEMB_SWEEP_LIVE_CANVAS_H
#define ZEMB_SWEEP_LIVE_CANVAS_H

#include <opencv2/core.hpp>

#include "sweep/poses.h"

namespace zemb {

enum class Surface { kPlane, kUprightCylinder, kLyingCylinder };

// Scene point or ray -> canvas pixel, and back, `scale` canvas pixels per
// radian (a cylinder) or per plane pixel (a plane). A cylinder's canvas
// repeats every `period` pixels along its turning axis.
class Projection {
 public:
  Projection(Surface surface, double scale) : surface_(surface), scale_(scale) {}
  cv::Point2d to_canvas(const cv::Vec3d& world) const;
  cv::Vec3d to_world(cv::Point2d canvas) const;
  double period() const;  // 0 for a plane
  bool wraps_columns() const { return surface_ == Surface::kUprightCylinder; }
  Surface surface() const { return surface_; }

 private:
  Surface surface_;
  double scale_;
};

// The canvas rectangle a frame covers and the frame warped into it; the
// mask marks the pixels the frame really covers.
struct Patch {
  cv::Rect box;  // canvas pixels, before wrapping
  cv::Mat image;
  cv::Mat mask;
};

// Warps the working frame of `pose` onto the canvas; an empty patch when the
// frame does not lie in front of the surface or its box exceeds `max_side`.
Patch warp_to_canvas(const cv::Mat& working, const Pose& pose, const Projection& projection, int max_side);

class LiveCanvas {
 public:
  // Lays the patch over what is there (its mask's pixels only), growing the
  // canvas as needed; on a cylinder the canvas repeats every full turn.
  // False, and nothing changed, when the canvas would exceed `max_side`.
  bool lay(const Patch& patch, const Projection& projection, int max_side);
  const cv::Mat& image() const { return image_; }  // the covered rectangle; empty before the first patch
  cv::Point origin() const { return origin_; }     // canvas pixel of image()'s top-left corner

 private:
  bool grow_to(const cv::Rect& wanted, int max_side);
  cv::Rect buffer_for(const cv::Rect& covered, int max_side) const;
  void clear_around(const cv::Rect& kept);

  cv::Mat buffer_;   // with room to grow around image_
  cv::Mat image_;    // view into buffer_
  cv::Point origin_; // canvas pixel of image_(0, 0)
  cv::Point buffer_origin_;  // canvas pixel of buffer_(0, 0)
};

}  // namespace zemb

#endif  // ZEMB_SWEEP_LIVE_CANVAS_H

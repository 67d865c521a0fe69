// Range checks of the settings: a sweep refuses settings that would make a
// step meaningless (a zero window, a share beyond 1) before it sees a frame.
#include "zemb/options.h"

#include <cmath>
#include <string>

#include <opencv2/core.hpp>

namespace zemb {

namespace {

template <typename T>
void require(bool holds, const char* field, T value, const char* range) {
  if (!holds)
    CV_Error(cv::Error::StsBadArg,
             "SweepOptions::" + std::string(field) + " is " + std::to_string(value) + "; it must be " + range);
}

bool finite_in(double value, double low, double high) { return std::isfinite(value) && value >= low && value <= high; }

void check_preparation(const SweepOptions& o) {
  require(o.working_columns >= 16 && o.working_columns <= 8192, "working_columns", o.working_columns,
          "16 to 8192");
  require(o.tracking_rows >= 16 && o.tracking_rows <= 8192, "tracking_rows", o.tracking_rows, "16 to 8192");
  require(o.fast_threshold >= 1 && o.fast_threshold <= 255, "fast_threshold", o.fast_threshold, "1 to 255");
  require(o.min_keypoints >= 4, "min_keypoints", o.min_keypoints, "at least 4");
  require(o.adaptive_target >= o.min_keypoints, "adaptive_target", o.adaptive_target, "at least min_keypoints");
  require(o.fast_threshold_step >= 1, "fast_threshold_step", o.fast_threshold_step, "at least 1");
  require(o.fast_threshold_floor >= 1 && o.fast_threshold_floor <= o.fast_threshold, "fast_threshold_floor",
          o.fast_threshold_floor, "1 to fast_threshold");
}

void check_tracking(const SweepOptions& o) {
  require(o.flow_window >= 3 && o.flow_window <= 101, "flow_window", o.flow_window, "3 to 101");
  require(o.flow_levels >= 0 && o.flow_levels <= 8, "flow_levels", o.flow_levels, "0 to 8");
  require(o.flow_iterations >= 1 && o.flow_iterations <= 1000, "flow_iterations", o.flow_iterations,
          "1 to 1000");
  require(finite_in(o.flow_epsilon, 0.0, 10.0), "flow_epsilon", o.flow_epsilon, "0 to 10");
  require(finite_in(o.flow_min_eigen, 0.0, 1.0), "flow_min_eigen", o.flow_min_eigen, "0 to 1");
  require(finite_in(o.ransac_threshold, 0.01, 100.0), "ransac_threshold", o.ransac_threshold, "0.01 to 100");
  require(o.ransac_iterations >= 1 && o.ransac_iterations <= 100000, "ransac_iterations", o.ransac_iterations,
          "1 to 100000");
  require(finite_in(o.ransac_confidence, 0.0, 1.0) && o.ransac_confidence > 0.0, "ransac_confidence",
          o.ransac_confidence, "above 0 and at most 1");
}

void check_placement(const SweepOptions& o) {
  require(finite_in(o.growth_share, 0.0, 1.0), "growth_share", o.growth_share, "0 to 1");
  require(finite_in(o.max_placed_scale, 1.0, 100.0), "max_placed_scale", o.max_placed_scale, "1 to 100");
  require(o.max_canvas_side >= 64 && o.max_canvas_side <= 32767, "max_canvas_side", o.max_canvas_side,
          "64 to 32767");
  require(finite_in(o.seam_band, 0.0, 1000.0), "seam_band", o.seam_band, "0 to 1000");
}

void check_sweep(const SweepOptions& o) {
  require(o.recovery_keyframes >= 0 && o.recovery_keyframes <= 64, "recovery_keyframes", o.recovery_keyframes,
          "0 to 64");
  require(o.recovery_points >= o.min_inliers, "recovery_points", o.recovery_points, "at least min_inliers");
  require(o.min_inliers >= 4, "min_inliers", o.min_inliers, "at least 4");
  require(finite_in(o.min_inlier_share, 0.0, 1.0), "min_inlier_share", o.min_inlier_share, "0 to 1");
  require(finite_in(o.match_ratio, 0.0, 0.99), "match_ratio", o.match_ratio, "0 to 0.99");
  require(finite_in(o.keyframe_share, 0.0, 1.0), "keyframe_share", o.keyframe_share, "0 to 1");
  require(o.keep_columns >= 16 && o.keep_columns <= 8192, "keep_columns", o.keep_columns, "16 to 8192");
  require(o.max_links_per_pair >= 4, "max_links_per_pair", o.max_links_per_pair, "at least 4");
  require(o.link_keyframes >= 1 && o.link_keyframes <= 64, "link_keyframes", o.link_keyframes, "1 to 64");
}

void check_finish(const SweepOptions& o) {
  require(o.scene == Scene::kTurning || o.scene == Scene::kFlat, "scene", static_cast<int>(o.scene),
          "kTurning or kFlat");
  require(finite_in(o.field_of_view, 1.0, 170.0), "field_of_view", o.field_of_view, "1 to 170 degrees");
  require(o.refine_iterations >= 1 && o.refine_iterations <= 10000, "refine_iterations", o.refine_iterations,
          "1 to 10000");
  require(finite_in(o.max_render_megapixels, 0.1, 400.0), "max_render_megapixels", o.max_render_megapixels,
          "0.1 to 400");
  require(finite_in(o.seam_megapixels, 0.01, 10.0), "seam_megapixels", o.seam_megapixels, "0.01 to 10");
  require(o.blend_bands >= 0 && o.blend_bands <= 10, "blend_bands", o.blend_bands, "0 to 10");
}

}  // namespace

void SweepOptions::check() const {
  check_preparation(*this);
  check_tracking(*this);
  check_placement(*this);
  check_sweep(*this);
  check_finish(*this);
}

}  // namespace zemb

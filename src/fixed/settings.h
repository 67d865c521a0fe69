// The fixed path's settings, spelled out in one constant of its own. Its
// output must never change, so nothing here is derived from the sweep's
// defaults; the free functions that offer the fixed path's preparation and
// seam rule (frame_resize, frame_transform, OptimizeSeam) read it too.
#ifndef ZEMB_FIXED_SETTINGS_H
#define ZEMB_FIXED_SETTINGS_H

#include "zemb/options.h"

namespace zemb {

// Placing a frame on the fixed path's growing canvas.
struct FixedPlacementSettings {
  double growth_share;     // a frame's right edge must reach this share of the grown width
  float max_placed_scale;  // a placement wider or taller than this many times the frame's
                           // longer side comes from a mistracked frame and is refused
  int max_canvas_side;     // neither side of the canvas may exceed this many pixels
  float seam_band;         // pixels this close to a placed frame's edges keep the old canvas
};

struct FixedPathSettings {
  PreparationOptions preparation;
  int fast_threshold;  // FAST on the tracking image, non-maximum suppression, 9 of 16
  int min_keypoints;   // least keypoints and tracked points to go on
  FlowOptions flow;
  FitOptions fit;
  FixedPlacementSettings placement;
};

inline constexpr FixedPathSettings kFixedPath = {
    /* preparation: working_columns, tracking_rows */ {500, 300},
    /* fast_threshold */ 50,
    /* min_keypoints */ 20,
    /* flow: window, levels, iterations, epsilon, min_eigen */ {21, 3, 30, 0.01, 1e-4},
    /* fit: ransac_threshold, ransac_iterations, ransac_confidence */ {3.0, 2000, 0.995},
    /* placement: growth_share, max_placed_scale, max_canvas_side, seam_band */ {0.95, 2.0f, 32767, 10.0f},
};

}  // namespace zemb

#endif  // ZEMB_FIXED_SETTINGS_H

// Camera-frame sweeps made from one photograph: a window slides to the right
// across the photo, with optional small rotations and vertical jitter, and
// each window is turned a quarter turn counter-clockwise into camera
// orientation, so that the stitcher (which turns frames clockwise) sees the
// photo grow to the right of its frames.
#ifndef ZEMB_SWEEP_MAKER_H
#define ZEMB_SWEEP_MAKER_H

#include <vector>

#include <opencv2/core.hpp>

namespace zemb_tools {

struct SweepSettings {
  cv::Size window{360, 640};   // in photo pixels: width along the sweep, height across
  int step = 40;               // photo pixels between consecutive windows
  int frames = 30;             // how many windows (fewer when the photo ends)
  double max_rotation_deg = 0.0;  // each window turned by up to this much
  int max_jitter = 0;          // and shifted vertically by up to this much
  unsigned seed = 1;           // for rotation and jitter
  int top = -1;                // first row of the windows; centred when < 0
};

// The window of frame i: where it lies in the photo before rotation and jitter.
struct SweepFrame {
  cv::Mat camera_frame;   // BGR, camera orientation (window turned counter-clockwise)
  cv::Point2d origin;     // top-left of the window in the photo
  double rotation_deg = 0.0;
};

std::vector<SweepFrame> make_sweep(const cv::Mat& photo, const SweepSettings& settings);

}  // namespace zemb_tools

#endif  // ZEMB_SWEEP_MAKER_H

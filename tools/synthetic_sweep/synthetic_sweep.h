// Camera-frame sweeps made from one photograph, in camera orientation for a
// sweep toward the top edge of the frames: the stitcher turns frames
// clockwise and sees the photo grow to the right of them.
//
// Two cameras make the frames:
// - flat: a window slides to the right across the photo, with optional small
//   rotations and vertical jitter, and is turned a quarter turn
//   counter-clockwise into camera orientation;
// - turning: a pinhole camera turns about its centre in front of the photo,
//   which is taken as the image of a reference camera with the same focal
//   length (in photo pixels) and the same centre. A camera turned by R sees
//   the photo through the homography K * R^T * K^-1.
// Both can add what a real camera adds (exposure changes, blur, noise), and a
// sweep can be disturbed afterwards: runs of frames dropped, blacked out or
// blurred beyond use. Every frame keeps its ground truth.
#ifndef ZEMB_SYNTHETIC_SWEEP_H
#define ZEMB_SYNTHETIC_SWEEP_H

#include <vector>

#include <opencv2/core.hpp>

namespace zemb_tools {

enum class SweepCamera { flat, turning };

// The turning camera. Angles in degrees; the field of view and the pan are
// along the sweep, i.e. across the window's width (the camera frame's height).
struct TurningCamera {
  double fov_deg = 40.0;        // what the frame spans along the sweep
  double pan_step_deg = 3.0;    // turn between consecutive frames
  double max_roll_deg = 0.0;    // each frame rolled about the optical axis by up to this much
  double max_pitch_deg = 0.0;   // and tilted across the sweep by up to this much
};

// What the sensor and lens add to every frame, in this order: blur, an
// exposure change (the frame's gain, 1 +- up to max_exposure_change), noise.
struct CameraEffects {
  double blur_sigma = 0.0;           // Gaussian blur, camera-frame pixels
  double max_exposure_change = 0.0;  // e.g. 0.1 for gains between 0.9 and 1.1
  double noise_sigma = 0.0;          // Gaussian noise, grey levels
};

// Frames [first, first + count) of the undisturbed sweep.
struct FrameRun {
  int first = 0;
  int count = 0;
};

// Applied after the frames are made; runs index the undisturbed sweep and may
// overlap. Dropped frames leave the sweep (the scene jumps across the gap);
// dark and blurred ones stay in it, showing nothing useful.
struct SweepDisturbances {
  std::vector<FrameRun> dropped;
  std::vector<FrameRun> dark;     // black frames, as with the lens covered
  std::vector<FrameRun> blurred;  // blurred too heavily for any detail
};

struct SweepSettings {
  cv::Size window{360, 640};   // in photo orientation: width along the sweep, height across
  int frames = 30;             // how many frames (fewer when the photo ends)
  unsigned seed = 1;           // for every random choice below
  SweepCamera camera = SweepCamera::flat;
  // The flat camera.
  int step = 40;               // photo pixels between consecutive windows
  double max_rotation_deg = 0.0;  // each window turned by up to this much
  int max_jitter = 0;          // and shifted vertically by up to this much
  int top = -1;                // first row of the windows; centred when < 0
  // The turning camera.
  TurningCamera turning;
  CameraEffects effects;
  SweepDisturbances disturbances;
};

enum class FrameState { clear, dark, blurred };

struct SweepFrame {
  cv::Mat camera_frame;   // BGR, camera orientation
  // Ground truth. The origin is the photo point seen at the window's centre,
  // less half the window: for the flat camera the window's top-left corner
  // before it is turned.
  cv::Point2d origin;
  double rotation_deg = 0.0;  // flat: the window's turn; turning: the roll
  double pan_deg = 0.0;       // turning camera only
  double pitch_deg = 0.0;     // turning camera only
  cv::Matx33d photo_to_frame = cv::Matx33d::eye();  // photo pixel -> camera-frame pixel
  double gain = 1.0;          // the exposure change
  int index = 0;              // place in the sweep before frames were dropped
  FrameState state = FrameState::clear;
};

std::vector<SweepFrame> make_sweep(const cv::Mat& photo, const SweepSettings& settings);

}  // namespace zemb_tools

#endif  // ZEMB_SYNTHETIC_SWEEP_H

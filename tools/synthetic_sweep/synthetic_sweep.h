// Camera-frame sweeps made from one photograph. The flat and turning cameras
// give frames in camera orientation for a sweep toward the top edge of the
// frames: the stitcher turns frames clockwise and sees the photo grow to the
// right of them.
//
// Three cameras make the frames:
// - flat: a window slides to the right across the photo, with optional small
//   rotations and vertical jitter, and is turned a quarter turn
//   counter-clockwise into camera orientation;
// - turning: a pinhole camera turns about its centre in front of the photo,
//   which is taken as the image of a reference camera with the same focal
//   length (in photo pixels) and the same centre. A camera turned by R sees
//   the photo through the homography K * R^T * K^-1;
// - sphere: a pinhole camera at the centre of a full-sphere photo
//   (equirectangular, 360 by 180 degrees) turns along a path of any length,
//   a full turn and more, in any of four directions. Its frames come upright,
//   as the camera gives them, without a quarter turn.
// Each can add what a real camera adds (exposure changes, blur, noise), and a
// sweep can be disturbed afterwards: runs of frames dropped, blacked out or
// blurred beyond use. Every frame keeps its ground truth.
#ifndef ZEMB_SYNTHETIC_SWEEP_H
#define ZEMB_SYNTHETIC_SWEEP_H

#include <vector>

#include <opencv2/core.hpp>

namespace zemb_tools {

enum class SweepCamera { flat, turning, sphere };

// The turning camera. Angles in degrees; the field of view and the pan are
// along the sweep, i.e. across the window's width (the camera frame's height).
struct TurningCamera {
  double fov_deg = 40.0;        // what the frame spans along the sweep
  double pan_step_deg = 3.0;    // turn between consecutive frames
  double max_roll_deg = 0.0;    // each frame rolled about the optical axis by up to this much
  double max_pitch_deg = 0.0;   // and tilted across the sweep by up to this much
};

// Which way the sphere camera turns: a pan about the vertical axis (right,
// left) or a tilt about the camera's horizontal axis (up, down).
enum class TurnDirection { right, left, up, down };

// The sphere camera. Its sweep is `floor(turn_deg / pan_step_deg) + 1` frames
// long (at 0, one step, ... up to the whole turn), whatever SweepSettings::frames
// says. Angles in degrees. World axes are the camera's own at yaw 0 and pitch
// 0: x to the right, y down, z toward the photo's middle column on the horizon.
struct SphereCamera {
  cv::Size frame{640, 360};    // camera frame, columns by rows
  double fov_deg = 65.0;       // across the frame's longer side
  double pan_step_deg = 3.0;   // turn between consecutive frames
  double turn_deg = 360.0;     // the whole path; a little more than 360 closes the loop with room to spare
  TurnDirection direction = TurnDirection::right;
  double yaw_deg = 0.0;        // the first frame's yaw, positive to the right,
  double pitch_deg = 0.0;      // and pitch, positive up
  double max_roll_deg = 0.0;   // each frame rolled about its optical axis by up to this much
  double max_sway_deg = 0.0;   // and turned across its path (up or down in a pan, sideways in a tilt)
  // A rolled path: the camera's roll swings smoothly out to +roll_swing_deg,
  // back through 0 to -roll_swing_deg and home again over the path, as a
  // hand rolls while it turns (with pitch_deg, a tilted, rolled path).
  double roll_swing_deg = 0.0;
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
// dark and blurred ones stay in it, showing nothing useful. Overlays are
// burned in before, so a dark frame is black all over.
struct SweepDisturbances {
  std::vector<FrameRun> dropped;
  std::vector<FrameRun> dark;     // black frames, as with the lens covered
  std::vector<FrameRun> blurred;  // blurred too heavily for any detail
};

// Content burned into every frame at the same place, as a camera, an app or
// a broadcaster burns it: a logo in the top-right corner and a timestamp in
// the bottom-left one whose seconds tick every `frames_per_second` frames.
// Neither moves with the scene; the ground truth knows nothing of them.
struct FrameOverlays {
  bool logo = false;
  bool timestamp = false;
  int frames_per_second = 30;
};

// An opaque figure crossing the scene while the camera sweeps, as a person
// walks or a car drives past: it stands in the photo, centred across the
// sweep, and goes along it by `speed` photo pixels a frame (negative: against
// the sweep), at the middle frame's centre halfway through the sweep. Its
// box is `size` of the window (along the sweep, across it). The flat and
// turning cameras only.
struct MovingFigure {
  bool present = false;
  double speed = 0.0;
  cv::Size2d size{0.2, 0.4};
};

struct SweepSettings {
  // Flat and turning: the window in photo orientation (width along the
  // sweep, height across) and how many frames (fewer when the photo ends).
  cv::Size window{360, 640};
  int frames = 30;
  unsigned seed = 1;           // for every random choice below
  SweepCamera camera = SweepCamera::flat;
  // The flat camera.
  int step = 40;               // photo pixels between consecutive windows
  double max_rotation_deg = 0.0;  // each window turned by up to this much
  int max_jitter = 0;          // and shifted vertically by up to this much
  int top = -1;                // first row of the windows; centred when < 0
  // The turning camera.
  TurningCamera turning;
  // The sphere camera.
  SphereCamera sphere;
  CameraEffects effects;
  FrameOverlays overlays;
  MovingFigure mover;
  SweepDisturbances disturbances;
};

enum class FrameState { clear, dark, blurred };

struct SweepFrame {
  cv::Mat camera_frame;   // BGR, camera orientation
  // Ground truth. The origin is the photo point seen at the window's centre,
  // less half the window: for the flat camera the window's top-left corner
  // before it is turned. For the sphere camera it is the photo pixel seen at
  // the frame's centre, nothing taken off.
  cv::Point2d origin;
  double rotation_deg = 0.0;  // flat: the window's turn; turning, sphere: the roll
  // Turning: the pan and pitch. Sphere: the yaw and pitch the path has
  // reached, not wrapped (a full turn right from 0 ends at 360); the sway is
  // only in `rotation`.
  double pan_deg = 0.0;
  double pitch_deg = 0.0;
  // Photo pixel -> camera-frame pixel. The identity for the sphere camera,
  // which no homography relates to its photo: its truth is `rotation`.
  cv::Matx33d photo_to_frame = cv::Matx33d::eye();
  // Sphere camera only: camera-to-world rotation (camera axes x right, y
  // down, z along the optical axis) and the focal length in frame pixels,
  // the optical axis through the frame's middle, ((cols - 1) / 2, (rows - 1) / 2).
  // A frame pixel p looks along rotation * K^-1 * p.
  cv::Matx33d rotation = cv::Matx33d::eye();
  double focal = 0.0;
  // The moving figure's box in photo pixels in this frame (it is drawn in
  // the ellipse inside the box, figure() pixels stretched over it); empty
  // without one.
  cv::Rect2d mover;
  double gain = 1.0;          // the exposure change
  int index = 0;              // place in the sweep before frames were dropped
  FrameState state = FrameState::clear;
};

// A grey facade of `size`: the same window every 130 px across and 170 px
// down, a little noise and blur. Every part of it has twins, which is what
// defeats matching that trusts appearance alone.
cv::Mat periodic_facade(cv::Size size);

// A sea under a sky of `size`: two smooth gradients meeting at a soft
// horizon across the middle, faint ripples on the water and a little noise.
// Almost nothing in it gives a keypoint: the textureless scene a phone pans
// over at a coast.
cv::Mat sea_and_sky(cv::Size size);

// The moving figure's look at `size`: saturated colour bands crossed by
// stripes (BGR), and its shape, 255 in the ellipse that fills the box (CV_8U).
// Colours no photo of a scene holds over an area, so a mix of figure and
// scene is told from both.
cv::Mat figure(cv::Size size);
cv::Mat figure_shape(cv::Size size);

// The figure's own pixel grid over `box` (photo pixels): its size, and the
// transform from its pixels to the photo's.
cv::Size figure_grid(const cv::Rect2d& box);
cv::Matx33d figure_to_photo(const cv::Rect2d& box);

// The figure drawn over `box` (photo pixels) onto `image`, which shows the
// photo through `photo_to_image`; its edge antialiased.
void draw_figure_over(cv::Mat& image, const cv::Rect2d& box, const cv::Matx33d& photo_to_image);

// `photo` is the full-sphere photo for the sphere camera: twice as wide as
// high, its left and right edges meeting.
std::vector<SweepFrame> make_sweep(const cv::Mat& photo, const SweepSettings& settings);

}  // namespace zemb_tools

#endif  // ZEMB_SYNTHETIC_SWEEP_H

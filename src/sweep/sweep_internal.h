// The pieces of zemb::Sweep: where a frame lies in the scene (its pose), the
// live canvas it is shown on, adaptive detection, tracking against a view
// (the last accepted frame or a keyframe), recovery within a time budget,
// keyframe links and the store of kept images.
#ifndef ZEMB_SWEEP_INTERNAL_H
#define ZEMB_SWEEP_INTERNAL_H

#include <deque>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "shared/steps.h"
#include "zemb/sweep.h"

namespace zemb {

// The working frame of the sweep: the camera frame reduced so that its
// longer side is at most working_columns, upright (never turned), and its
// gray tracking image with the longer side at most tracking_rows.
PreparedFrame prepare_upright(const cv::Mat& frame, const PreparationOptions& options);

// ---------------------------------------------------------------------------
// Poses. A frame's pose maps its working-frame pixels into the scene:
// - a turning camera: pixel -> ray, `to_world` = R * K^-1 with R the
//   camera-to-world rotation (the world is the first frame's camera) and K
//   the intrinsics (focal length `focal`, principal point at the centre);
// - a flat scene: pixel -> point of the plane, a similarity, in the first
//   frame's working pixels.
// Either way, a view's pixel p lies in another view at (to_world_b^-1 *
// to_world_a) p, which is all that tracking, links and keyframes need.
struct Pose {
  cv::Matx33d to_world = cv::Matx33d::eye();
  double focal = 0;  // a turning camera's, in working pixels; 0 over a flat scene

  cv::Matx33d rotation(cv::Size working) const;  // R of a turning camera
};

cv::Matx33d intrinsics(double focal, cv::Size size);

// The pose of the first frame.
Pose first_pose(Scene scene, double focal, cv::Size working);

// The pose of a frame from its view's pose and `relative` (frame working
// pixel -> view working pixel). A turning camera's rotation is made a true
// rotation again, so that fitting noise cannot shear it, and its focal
// length follows a zoom that `relative` shows.
Pose pose_from(Scene scene, const Pose& view, const cv::Matx33d& relative, cv::Size view_size, cv::Size frame_size);

// Working pixel of `from` -> working pixel of `to`.
cv::Matx33d relative_between(const Pose& to, const Pose& from);

// The focal length of a camera turning about its centre, from homographies
// between its frames of `size` (frame pixel -> frame pixel): the one that
// makes them rotations, searched from a third to four times `hint`; 0 when
// they do not tell it clearly (too little turn, or not a turning camera).
double estimate_focal(const std::vector<cv::Matx33d>& homographies, cv::Size size, double hint);

// ---------------------------------------------------------------------------
// The live canvas: a plane for a flat scene, a cylinder for a turning
// camera (its axis across the direction of travel, so that a sweep of any
// angle keeps its scale and a full turn meets itself). It grows in any
// direction.

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

  cv::Mat buffer_;   // with room to grow around image_
  cv::Mat image_;    // view into buffer_
  cv::Point origin_; // canvas pixel of image_(0, 0)
  cv::Point buffer_origin_;  // canvas pixel of buffer_(0, 0)
};

// ---------------------------------------------------------------------------
// Tracking.

// Keypoints of a working frame and their descriptors.
struct Description {
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  bool made = false;
};

// The two ways recovery describes frames: binary descriptors, cheap enough
// for a video's lost frame, and float ones that match where the binary ones
// find too little (foliage, grass, a photo set's long jumps), at ten times
// the cost.
enum class Describer { kBinary, kThorough };

struct Descriptions {
  Description binary, thorough;
  Description& of(Describer describer) { return describer == Describer::kBinary ? binary : thorough; }
};

// The sweep's own describers (a Feature2D is not safe to share between threads).
struct Describers {
  cv::Ptr<cv::Feature2D> binary, thorough;
  static Describers make();
  cv::Feature2D& of(Describer describer) const { return describer == Describer::kBinary ? *binary : *thorough; }
};

// A frame something can be tracked against: its tracking image, its points
// there, and its pose.
struct View {
  cv::Mat gray;
  std::vector<cv::Point2f> points;  // tracking-image positions
  float scale = 1.0f;               // tracking-image pixels per working-frame pixel
  Pose pose;
  // Working pixel -> the first frame's working pixels, through the fitted
  // relative transforms as they came: what a rotation cannot say (a moving
  // camera's parallax, a lens's distortion) stays in it, so between nearby
  // frames it predicts better than the poses.
  cv::Matx33d chain = cv::Matx33d::eye();
  // Working pixel -> working pixel of the frame placed before it, when it
  // was tracked from that frame; else the identity.
  cv::Matx33d step = cv::Matx33d::eye();
  cv::Size working_size;
  int frame_index = 0;              // the add() call that gave the frame
  cv::Mat detail;                   // the working frame in gray, for descriptors
  // Described once by each describer, when recovery first needs it, on `detail`.
  Descriptions descriptions;
};

View make_view(const PreparedFrame& frame, const std::vector<cv::KeyPoint>& keypoints, const Pose& pose,
               const cv::Matx33d& chain, int frame_index);

// FAST keypoints of `gray` at options.detection.fast_threshold; with adaptive
// detection and too few of them, again at lower thresholds down to the
// floor, until enough are found. `threshold` receives the threshold that
// found them.
std::vector<cv::KeyPoint> detect_adaptive(const cv::Mat& gray, const SweepOptions& options,
                                          cv::FastFeatureDetector& fast, int& threshold);

// Where a frame lies against a view.
struct Candidate {
  cv::Matx33d relative;  // frame working pixel -> view working pixel
  bool found = false;
  int tracked = 0;       // pairs that went into the fit
  int inliers = 0;
  int keyframe = -1;     // the keyframe it was found against, -1 for the last accepted frame
  bool recovered = false;  // found by recovery, not by tracking
};

// A guess of where the frame lies against a view: the shift of its content,
// in tracking pixels. A precise guess (from phase correlation) lands within
// a few pixels of the truth or nowhere near it; a coarse one (from the
// sweep's direction) needs the whole pyramid to close in.
struct Seed {
  cv::Point2f shift;
  bool precise = true;
};

// Fits `relative` from pairs in working-frame pixels: `in_view` of the view,
// `in_frame` of the frame; a homography for a turning camera, a similarity
// over a flat scene (the four degrees of freedom a camera moving over it
// has: a homography's small perspective errors would bend a long strip).
Candidate fit_relative(const std::vector<cv::Point2f>& in_view, const std::vector<cv::Point2f>& in_frame,
                       const SweepOptions& options);

// A tracking-image position carried to working-frame pixels.
inline cv::Point2f scaled(cv::Point2f p, float scale) { return {p.x / scale, p.y / scale}; }

// Tracks the view's points into the frame, from where the view's own last
// step predicts them (a camera keeps its pace from frame to frame), and
// fits `relative` from the pairs the flow found.
Candidate track_moving(const View& view, const PreparedFrame& frame, const SweepOptions& options);

// The same from a seed: an even spread of recovery.points of the points,
// tracked from the seed's shift on: enough to tell whether it is right.
Candidate track_view(const View& view, const PreparedFrame& frame, const SweepOptions& options, const Seed& seed);

// True when the candidate has enough inliers, and they are a fair share of
// the pairs, and it moves the frame against its view by something a camera
// could do between two frames (no large change of scale, no fold).
bool trustworthy(const Candidate& candidate, const View& view, const SweepOptions& options);

// Which way the camera moved from a view to a frame: where the frame's
// centre lies in the view, less the centre (view working pixels), from
// their relative transform (frame pixel -> view pixel).
cv::Point2d camera_motion(const cv::Matx33d& relative, cv::Size frame_size);

// ---------------------------------------------------------------------------
// Recovery.

// Coarse guesses of where the frame's content lies against a view: a third
// to four fifths of a frame along `travel` (the direction the camera moves,
// as a unit vector; zero while not known: guesses in all four directions),
// for a jump too far for phase correlation to find.
std::vector<Seed> coarse_seeds(const PreparedFrame& frame, cv::Point2d travel);

// Matches the descriptors of the view and the frame (ratio test both ways)
// at the working frames' size, where a tracking image is too coarse for a
// jump across much of a frame, and fits `relative`; describes the view and
// the frame the first time each is needed (`frame_descriptions` lasts one
// frame).
Candidate match_view(View& view, const PreparedFrame& frame, Descriptions& frame_descriptions, Describer describer,
                     const Describers& describers, const SweepOptions& options);

// Recovers frames that the last accepted frame cannot place, trying views
// (the last accepted frame, then the newest keyframes) by binary descriptor
// matching, by flow from the shift phase correlation finds, by thorough
// descriptor matching and by flow from coarse guesses. The work is a queue of attempts that goes on over the
// lost frames: each frame spends at most its time budget on it, always
// against itself, and the next lost frame takes up where it stopped; once
// every attempt was made, the queue starts again.
class Recovery {
 public:
  // Forgets the queue: tracking is back.
  void reset() { position_ = 0; }
  // Tries attempts against `frame` until one gives a trustworthy candidate
  // or `seconds` have passed (at least one attempt is made).
  // A thorough description is tried only when the time left covers what
  // the last one took.
  Candidate run(View& reference, std::vector<View>& keyframes, const PreparedFrame& frame, cv::Point2d travel,
                const Describers& describers, const SweepOptions& options, double seconds);

 private:
  std::size_t position_ = 0;
  // What the last thorough attempt took; at first, about what describing two
  // 500-column frames takes on a phone-class core.
  double thorough_seconds_ = 0.2;
};

// ---------------------------------------------------------------------------
// The record.

// Correspondences between an earlier and a later keyframe, found by flow
// from the later one into the earlier, seeded with where a prediction puts
// the points, and kept when a homography explains them. Returned in kept-image
// pixels (`kept_scale`: kept pixels per working pixel, per axis); empty when
// the two do not overlap enough.
// `later_to_earlier` predicts where the later keyframe's points lie in the
// earlier one; a link that puts the later frame's corners further than
// `slack` working pixels from the prediction is refused.
KeyframeLink link_views(const View& earlier, int earlier_index, const View& later, int later_index,
                        const cv::Matx33d& later_to_earlier, double slack, cv::Point2d earlier_kept_scale,
                        cv::Point2d later_kept_scale, const SweepOptions& options);

// Keyframe images: in memory while they fit the budget, beyond it written
// (raw bytes, read back bit for bit) into a folder of the sweep's own, made
// inside `parent` the first time one is spilled. The folder goes with the
// object, or earlier by remove_folder(); nothing else is touched.
class KeptImages {
 public:
  KeptImages(std::string parent, std::size_t budget);
  ~KeptImages();
  KeptImages(const KeptImages&) = delete;
  KeptImages& operator=(const KeptImages&) = delete;
  // Keeps `image` as the next index; spills the oldest images held in memory
  // while over the budget. A spill that fails keeps the image in memory and
  // is counted, never lost.
  void add(const cv::Mat& image, SweepCounts& counts);
  cv::Mat get(int index) const;
  int size() const { return static_cast<int>(entries_.size()); }
  const std::string& folder() const { return folder_; }
  void remove_folder();

 private:
  struct Entry {
    cv::Mat image;     // empty once spilled
    std::string file;  // set once spilled
    cv::Size size;
    int type = 0;
  };
  bool spill(Entry& entry, int index);
  bool make_folder();

  std::string parent_;
  std::string folder_;  // empty until made
  std::size_t budget_;
  std::vector<Entry> entries_;
  size_t next_to_spill_ = 0;
};

// The camera frame as a keyframe keeps it: reduced to at most keep_columns
// columns, upright.
cv::Mat kept_image(const cv::Mat& camera_frame, const SweepOptions& options);

// A running median of the last few values.
class RunningMedian {
 public:
  void add(double value);
  double median() const;  // 0 before the first value

 private:
  std::deque<double> values_;
};

}  // namespace zemb

#endif  // ZEMB_SWEEP_INTERNAL_H

// The steps only the fixed path takes, beside the core of shared/steps.h:
// preparation and detection, and the placement of a frame on a growing
// canvas (its geometry, the canvas memory, the warp and the seam rule). Each
// is a function that can be called and tested on its own, and each takes its
// settings explicitly.
#ifndef ZEMB_FIXED_STEPS_H
#define ZEMB_FIXED_STEPS_H

#include <array>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "fixed/settings.h"
#include "shared/steps.h"
#include "zemb/status.h"

namespace zemb {

// The common band: rows [top, bottom) and columns [0, right) of the canvas.
struct Band {
  float top = 0.0f;
  float bottom = 0.0f;
  float right = 0.0f;
};

// Everything about a placement that is known before pixels are touched.
struct Geometry {
  float dx = 0.0f, dy = 0.0f;  // canvas offset of the old panorama
  float left = 0.0f, top = 0.0f, right = 0.0f, bottom = 0.0f;  // the placed frame's bounds
  cv::Mat homography;                // refitted: working frame -> new canvas
  std::vector<cv::Point2f> placed;   // frame corners through `homography`
  cv::Size canvas_size;
  cv::Rect patch_rect;  // where the patch goes, clipped to the canvas
  cv::Size patch_size;
  Band band;
  cv::Rect band_rect;  // the new band, clipped to the canvas
};

// A frame placed on a new canvas, ready to be committed: `outcome` is
// kAccepted, or the refusal (kNotExtended, kNotPlaceable) with nothing else
// set.
struct Placement {
  FrameOutcome outcome = FrameOutcome::kNotPlaceable;
  cv::Mat canvas;
  cv::Mat cropped;
  Band band;
  cv::Mat homography;  // working frame -> new canvas
  cv::Point2f shift;   // where the old panorama lies on the new canvas: whole pixels, as it is copied

  bool placed() const { return outcome == FrameOutcome::kAccepted; }
};

// The working frame (at most working_columns across the camera frame, then
// turned clockwise) and its gray tracking image (at most tracking_rows high).
PreparedFrame prepare_frame(const cv::Mat& frame, const PreparationOptions& options);

// Keypoints of the tracking image found by `detector`.
std::vector<cv::KeyPoint> detect_keypoints(const cv::Mat& gray, cv::FeatureDetector& detector);

// The first `count` points, each coordinate divided by `scale`: tracking-image
// positions carried back to the working frame.
std::vector<cv::Point2f> divided(const std::vector<cv::Point2f>& points, size_t count, float scale);

// A descriptor finder: SURF (Hessian threshold 1000, 4 octaves, 3 layers,
// upright, 64 elements) where OpenCV has it, else an upright KAZE with
// 64-element float descriptors; empty only when neither can be made.
cv::Ptr<cv::Feature2D> make_feature_finder() noexcept;

using CanvasBuffers = std::array<cv::Mat, 2>;

// Views the owner of a CanvasBuffers keeps of its current panorama's memory:
// the panorama and its band.
constexpr int kOwnerViews = 2;

// A CV_8UC3 canvas of `size` on which `panorama` is to sit at `old_origin`:
// a view into one of `buffers`. When `panorama` lies in one of them and only
// that buffer and the owner's kOwnerViews views refer to it, and the buffer
// has room, the canvas is `panorama`'s view grown in place, so the old pixels
// already sit at `old_origin`. Otherwise it lies in a buffer that nothing
// else refers to, growing or replacing one when none fits (never the one
// under `panorama`). A fresh image when `buffers` is null. Buffers never get
// a side beyond `max_side` (unless the canvas itself has one).
cv::Mat acquire_canvas(CanvasBuffers* buffers, cv::Size size, const cv::Mat& panorama, cv::Point old_origin,
                       int max_side);

// The steps of a placement, in their order. plan_placement decides all the
// geometry and returns kAccepted, or returns the refusal (kNotExtended,
// kNotPlaceable); compose_canvas makes the new canvas with the old panorama
// on it; warp_patch warps the frame into its patch; lay_patch lays the patch
// onto the canvas through the seam rule.
FrameOutcome plan_placement(const cv::Mat& panorama, const Band& band, cv::Size frame_size,
                            const cv::Mat& homography, const FixedPlacementSettings& placement, const FitOptions& fit,
                            Geometry& geometry);
cv::Mat compose_canvas(const cv::Mat& panorama, const Geometry& geometry, CanvasBuffers* buffers, int max_side);
cv::Mat warp_patch(const cv::Mat& working, const Geometry& geometry);
void lay_patch(cv::Mat& canvas, const cv::Mat& patch, const Geometry& geometry, float seam_band);

// Places `working` on a new canvas through `homography` and composes it with
// `panorama`: the four steps above. The canvas memory comes from `buffers`
// when given; there the canvas may be `panorama` grown in place (see
// acquire_canvas), whose pixels then change. A refused frame or an exception
// leaves `panorama` as it was.
Placement place_frame(const cv::Mat& panorama, const Band& band, const cv::Mat& working,
                      const cv::Mat& homography, CanvasBuffers* buffers, const FixedPlacementSettings& placement,
                      const FitOptions& fit);

// The 3x3 CV_64F translation by (tx, ty).
cv::Mat translation(double tx, double ty);

// ---------------------------------------------------------------------------
// Watching the steps: a benchmark or a profiler times the path a frame
// really takes. Unwatched, each step costs one check of a thread-local
// pointer; watched or not, the steps compute the same.

// The steps of a frame's road through ofcheck_stitch, in their order.
enum class FixedStep { kPrepare, kDetect, kFlow, kFit, kPlan, kCompose, kWarp, kLay, kCommit };
constexpr int kFixedSteps = 9;

// Hears of each step as it ends, on the thread that took it. It reads what
// it is shown and changes nothing the steps work on.
class StepObserver {
 public:
  virtual ~StepObserver() = default;
  virtual void ended(FixedStep step) = 0;
  // A placement's geometry, once planned and before any pixel is touched.
  virtual void planned(const Geometry& geometry);
};

// While it lives, `observer` hears of the steps taken on the thread that
// made it (instead of the observer before, which it puts back).
class ObservedSteps {
 public:
  explicit ObservedSteps(StepObserver& observer);
  ~ObservedSteps();
  ObservedSteps(const ObservedSteps&) = delete;
  ObservedSteps& operator=(const ObservedSteps&) = delete;

 private:
  StepObserver* previous_;
};

// Tell this thread's observer, if there is one.
void step_ended(FixedStep step);
void placement_planned(const Geometry& geometry);

}  // namespace zemb

#endif  // ZEMB_FIXED_STEPS_H

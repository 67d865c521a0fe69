// The pieces of zemb::Sweep: adaptive detection, tracking against a view
// (the last accepted frame or a keyframe), recovery, keyframe links and the
// store of kept images.
#ifndef ZEMB_SWEEP_INTERNAL_H
#define ZEMB_SWEEP_INTERNAL_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "shared/steps.h"
#include "zemb/sweep.h"

namespace zemb {

// A frame something can be tracked against: its tracking image, its points
// there, and where its working frame lies on the canvas.
struct View {
  cv::Mat gray;
  std::vector<cv::Point2f> points;  // tracking-image positions
  float scale = 1.0f;               // tracking-image pixels per working-frame pixel
  cv::Mat to_canvas;                // working frame -> canvas, 3x3 CV_64F
  cv::Size working_size;
  int frame_index = 0;              // the add() call that gave the frame
  // Described once, when recovery first needs it.
  std::vector<cv::KeyPoint> described;
  cv::Mat descriptors;
  bool is_described = false;
};

View make_view(const PreparedFrame& frame, const std::vector<cv::KeyPoint>& keypoints, const cv::Mat& to_canvas,
               int frame_index);

// FAST keypoints of `gray` at options.detection.fast_threshold; with adaptive detection
// and too few of them, again at lower thresholds down to the floor, until
// enough are found. `threshold` receives the threshold that found them.
std::vector<cv::KeyPoint> detect_adaptive(const cv::Mat& gray, const SweepOptions& options,
                                          cv::FastFeatureDetector& fast, int& threshold);

// A frame homography found against a view.
struct Candidate {
  cv::Mat homography;  // working frame -> canvas; empty when nothing fitted
  int tracked = 0;     // pairs that went into the fit
  int inliers = 0;
  int keyframe = -1;   // the keyframe it was found against, -1 for the last accepted frame
};

// A guess of where the frame lies against a view: the shift of its content,
// in tracking pixels. A precise guess (from phase correlation) lands within
// a few pixels of the truth or nowhere near it; a coarse one (from the
// sweep's direction) needs the whole pyramid to close in.
struct Seed {
  cv::Point2f shift;
  bool precise = true;
};

// Tracks the view's points into the frame and fits the frame homography
// onto the canvas from the pairs the flow found. From a seed, an even spread
// of recovery_points of them is tracked from the seed's shift on: enough to
// tell whether the shift is right.
// Fits the frame homography onto the canvas from pairs in working-frame
// pixels: `in_view` of the view, `in_frame` of the frame (a similarity over
// a flat scene, a homography for a turning camera).
Candidate fit_onto_canvas(const View& view, const std::vector<cv::Point2f>& in_view,
                          const std::vector<cv::Point2f>& in_frame, const SweepOptions& options);

// A tracking-image position carried to working-frame pixels.
inline cv::Point2f scaled(cv::Point2f p, float scale) { return {p.x / scale, p.y / scale}; }

Candidate track_view(const View& view, const PreparedFrame& frame, const SweepOptions& options,
                     const Seed* seed = nullptr);

// True when the candidate has enough inliers, and they are a fair share of
// the pairs, and it moves the frame against its view by something a camera
// could do between two frames (no large change of scale, no fold).
bool trustworthy(const Candidate& candidate, const View& view, const SweepOptions& options);

// Where the frame's content may lie against the view's, most likely first:
// the shift phase correlation finds and the shifts one image width either
// side of it (the correlation only knows the shift modulo the image), then
// coarse guesses a quarter to four fifths of a frame along the sweep, for
// when the overlap is too narrow for the correlation to find.
std::vector<Seed> candidate_shifts(const View& view, const PreparedFrame& frame);

// The frame's keypoints described, made once per frame.
struct FrameDescription {
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  bool made = false;
};

// Matches descriptors of the view and the frame (double_match) and fits the
// frame homography onto the canvas; describes the view the first time.
Candidate match_view(View& view, const PreparedFrame& frame, FrameDescription& description, cv::Feature2D& finder,
                     const SweepOptions& options);

// Recovers a frame that the last accepted frame could not place: against
// `reference`, then the newest `options.recovery.keyframes` of `keyframes`,
// first by seeded flow, then by descriptor matching. A quick recovery tries
// only the reference and the newest keyframe, by seeded flow: a sweep that
// stays lost for many frames (the camera turned away) costs little a frame.
// Returns trustworthy candidates one at a time; an empty homography when
// there are no more.
class Recovery {
 public:
  Recovery(View& reference, std::vector<View>& keyframes, const PreparedFrame& frame,
           const cv::Ptr<cv::Feature2D>& finder, const SweepOptions& options, bool thorough);
  Candidate next();

 private:
  Candidate try_view(View& view, int keyframe, int stage);
  View& view_at(size_t index, int& keyframe);

  View& reference_;
  std::vector<View>& keyframes_;
  const PreparedFrame& frame_;
  const cv::Ptr<cv::Feature2D>& finder_;  // the sweep's own descriptor finder; may be empty
  const SweepOptions& options_;
  FrameDescription description_;
  size_t views_ = 0;     // views to try: the reference and the newest keyframes
  size_t stages_ = 0;    // seeded flow, then descriptor matching
  size_t position_ = 0;  // next (stage, view) pair, stage-major
};

// Correspondences between an earlier and a later keyframe, found by flow
// from the later one into the earlier, seeded with where their placements
// put the points, and kept when a homography explains them. Returned in
// kept-image pixels (`kept_scale`: kept pixels per working pixel, per axis);
// empty when the two do not overlap enough.
KeyframeLink link_views(const View& earlier, int earlier_index, const View& later, int later_index,
                        cv::Point2d earlier_kept_scale, cv::Point2d later_kept_scale, const SweepOptions& options);

// Keyframe images: in memory while they fit the budget, beyond it written
// (PNG, lossless) into a folder of the sweep's own, made inside `parent` the
// first time one is spilled, and read back when asked for. The folder goes
// with the object, or earlier by remove_folder(); nothing else is touched.
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
// columns and turned like the working frame.
cv::Mat kept_image(const cv::Mat& camera_frame, const SweepOptions& options);

}  // namespace zemb

#endif  // ZEMB_SWEEP_INTERNAL_H

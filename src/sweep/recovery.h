// Recovery of frames that the last accepted frame cannot place, within a
// time budget per frame.
#ifndef ZEMB_SWEEP_RECOVERY_H
#define ZEMB_SWEEP_RECOVERY_H

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "shared/steps.h"
#include "sweep/tracking.h"
#include "sweep/view.h"
#include "zemb/options.h"

namespace zemb {

// The sweep's own describers (a Feature2D is not safe to share between threads).
struct Describers {
  cv::Ptr<cv::Feature2D> binary, thorough;
  static Describers make(const RecoveryOptions& options);
  cv::Feature2D& of(Describer describer) const { return describer == Describer::kBinary ? *binary : *thorough; }
};

// The time a lost frame gives recovery, in seconds: what is left of it when
// recovery starts, and the whole of it, which bounds what any one attempt
// may ever take on a frame.
struct RecoveryTime {
  double left = 0;
  double whole = 0;
};

// Recovers frames that the last accepted frame cannot place, trying views
// (the last accepted frame, then the newest keyframes) by binary descriptor
// matching, by flow from the shift phase correlation finds, by thorough
// descriptor matching and by flow from coarse guesses. The work is a queue
// of attempts that goes on over the lost frames: each frame spends at most
// its time budget on it, always against itself, and the next lost frame
// takes up where it stopped; once every attempt was made, the queue starts
// again. Every lost frame makes its first attempt, so that the queue
// moves on however little time tracking left; a further one is started
// only when what the last attempt of its kind took fits in the time the
// frame has left, and is left to the next lost frame when it does not. An
// attempt that could never fit in a frame's whole budget is passed over.
class Recovery {
 public:
  Recovery(Scene scene, const TrackingOptions& tracking, const RecoveryOptions& options);
  // Forgets the queue: tracking is back (the sweep calls it whenever a frame
  // is placed, by tracking or by recovery).
  void reset() { position_ = 0; }
  // Describes frames only where `scene_mask` (working-frame size, CV_8U) is
  // non-zero: off the overlay the sweep found.
  void describe_only(cv::Mat scene_mask) { scene_mask_ = std::move(scene_mask); }
  // Tries attempts against `frame` until one gives a trustworthy candidate
  // or the next one cannot fit in `time` (the first is made all the same).
  // `travel` is the way the camera goes, as a unit vector; zero while not
  // known. Views are described the first time an attempt needs it.
  Candidate run(View& reference, std::vector<View>& keyframes, const PreparedFrame& frame, cv::Point2d travel,
                const RecoveryTime& time);
  // The queue's next attempt, counted from its start.
  std::size_t next_attempt() const { return position_; }

 private:
  struct Attempt;
  enum Kind { kCorrelation, kGuess, kBinaryDescriptors, kThoroughDescriptors, kKinds };
  std::vector<Attempt> attempts(const View& reference, const std::vector<View>& keyframes,
                                const PreparedFrame& frame, cv::Point2d travel) const;
  Candidate try_attempt(const Attempt& attempt, View& view, const PreparedFrame& frame, Descriptions& descriptions);
  Candidate match(View& view, const PreparedFrame& frame, Descriptions& frame_descriptions,
                  Describer describer) const;
  Candidate track_correlated(const View& view, const PreparedFrame& frame) const;

  Scene scene_;
  TrackingOptions tracking_;
  RecoveryOptions options_;
  Describers describers_;
  cv::Mat scene_mask_;
  std::size_t position_ = 0;
  // What the last attempt of each kind took; unknown (none) until one is
  // made, except a thorough one's: about what describing two 500-column
  // frames takes on a phone-class core.
  std::array<double, kKinds> seconds_{0, 0, 0, 0.2};
};

}  // namespace zemb

#endif  // ZEMB_SWEEP_RECOVERY_H

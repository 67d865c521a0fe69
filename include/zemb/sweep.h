// zemb::Sweep: the configurable way in. Like ZembStitcher it takes camera
// frames one at a time and keeps a live preview, but it lowers the detector
// threshold on soft scenes, recovers lost tracking against its keyframes,
// and records the keyframes (images, placements and point correspondences)
// that finish() renders into the finished panorama.
#ifndef ZEMB_SWEEP_H
#define ZEMB_SWEEP_H

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zemb/options.h"
#include "zemb/record.h"
#include "zemb/render.h"
#include "zemb/status.h"

namespace zemb {

// Running counts over a sweep.
struct SweepCounts {
  int frames = 0;                                 // calls of add() that returned
  std::array<int, kFrameOutcomes> by_outcome{};   // indexed by FrameOutcome
  int keyframes = 0;
  int spilled = 0;          // keyframe images written to the sweep's folder
  int spill_failures = 0;   // images that could not be written and stayed in memory
  std::size_t kept_bytes = 0;  // bytes of keyframe images held in memory now

  int count(FrameOutcome outcome) const { return by_outcome[static_cast<int>(outcome)]; }
};

class Sweep {
 public:
  // Keyframe images beyond options.memory.budget_bytes are spilled into a
  // folder the sweep makes for itself inside `directory` (the system's
  // temporary folder when empty), when it first needs one. The sweep never
  // touches anything else there, and removes its folder when it is
  // destroyed or asked to. Throws cv::Exception (StsBadArg) when `options`
  // fail check().
  explicit Sweep(std::string directory = std::string(), const SweepOptions& options = SweepOptions());
  ~Sweep();
  Sweep(Sweep&&) noexcept;
  Sweep& operator=(Sweep&&) noexcept;
  Sweep(const Sweep&) = delete;
  Sweep& operator=(const Sweep&) = delete;

  // Adds one camera frame (CV_8UC3, every frame of the first frame's size;
  // otherwise cv::Exception StsBadArg and nothing changes). `frame` is only
  // read. Any exception leaves the sweep as it was.
  FrameStatus add(const cv::Mat& frame);

  // The live preview, built as ZembStitcher builds its panorama, and its
  // common band (a view of it). Empty before the first accepted frame.
  const cv::Mat& preview() const;
  const cv::Mat& preview_band() const;

  const SweepOptions& options() const;
  const SweepCounts& counts() const;
  const std::vector<Keyframe>& keyframes() const;
  // The links between keyframes, found on the sweep's own thread in the
  // time a capture loop leaves between frames (keyframes.link_while_sweeping)
  // or else the first time they are asked for (here, by record() or by
  // finish()), and found again after a turn settles the focal length or an
  // overlay is found, which change the keyframes: a sweep asked for them as
  // it goes gives the record of one asked at the end. Like every const call,
  // it may be made from several threads at once, while no add() or other
  // non-const call runs.
  const std::vector<KeyframeLink>& links() const;
  // The kept image of keyframe `index`, read back from the sweep's folder
  // when it was spilled; bit-identical to what was kept. Spilled images are
  // readable until remove_working_directory() or the sweep's end.
  cv::Mat keyframe_image(int index) const;
  // The folder the sweep made for its spilled images; empty until it needs one.
  const std::string& working_directory() const;

  // What finish() renders: the keyframes, their links, and the newest
  // accepted frame as a last keyframe when it is not one. Its images are
  // read from this sweep, so the record is valid while the sweep lives.
  SweepRecord record() const;

  // Renders the record (see zemb::render) with options().render, or with
  // the options and stages given. Fewer than two keyframes: cv::Exception
  // (StsBadArg).
  FinishedPanorama finish() const;
  FinishedPanorama finish(const RenderOptions& options, const RenderStages& stages = RenderStages()) const;

  // Removes the folder the sweep made, with the spilled images in it; after
  // this, keyframe_image() of a spilled keyframe throws cv::Exception.
  void remove_working_directory();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zemb

#endif  // ZEMB_SWEEP_H

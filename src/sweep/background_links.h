// Keyframes linked on a thread of the sweep's own in the time the capture
// loop leaves between frames, so that the finish finds most links ready.
#ifndef ZEMB_SWEEP_BACKGROUND_LINKS_H
#define ZEMB_SWEEP_BACKGROUND_LINKS_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "zemb/record.h"

namespace zemb {

// A queue of links to find, each from copies of its two keyframes as they
// stood when it was queued: what linking them later would give, until the
// keyframes change (forget() drops every link queued or being found then).
//
// A link is found only between frames, and only when the next frame is not
// due before it would be done: the frames' starts give the loop's rhythm,
// the links found so far how long one takes. A frame never shares the cores
// with a link (OpenCV runs a parallel loop on one thread while another
// thread's runs). A loop that sends its frames back to back leaves no such
// time, and its links are found when asked for; one that waits for a camera
// leaves most of the time between frames.
class BackgroundLinks {
 public:
  using Link = std::function<KeyframeLink()>;
  using Clock = std::chrono::steady_clock;

  BackgroundLinks() = default;
  BackgroundLinks(const BackgroundLinks&) = delete;
  BackgroundLinks& operator=(const BackgroundLinks&) = delete;
  // Waits for the link being found, if any; the queued ones are dropped.
  ~BackgroundLinks();

  // A keyframe's links with the earlier keyframes, in their order (dropped
  // when too many wait already: the keyframe is then linked when asked for).
  void queue(std::size_t keyframe, std::vector<Link> links);
  void forget();
  // The links found for keyframes first, first + 1, ... first + count - 1;
  // none for one not wholly linked yet, which the caller links itself: the
  // links still queued are taken back, the one being found is waited for.
  std::vector<std::optional<std::vector<KeyframeLink>>> collect(std::size_t first, std::size_t count);

  void frame_started(Clock::time_point now);
  void frame_ended();

 private:
  struct Queued {
    std::size_t keyframe;
    Link link;
  };
  struct Found {
    std::size_t left = 0;  // links of the keyframe still to find
    std::vector<KeyframeLink> links;
  };

  void run();
  bool time_for_a_link(Clock::time_point now) const;
  void found(std::size_t keyframe, std::optional<KeyframeLink> link, Clock::duration took);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Queued> queued_;
  std::map<std::size_t, Found> found_;
  std::uint64_t generation_ = 0;  // counts forget(): a link of an older one is stale
  bool busy_ = false;
  bool stopping_ = false;
  // The capture loop's rhythm.
  bool in_frame_ = false;
  std::optional<Clock::time_point> last_start_;
  std::deque<Clock::duration> intervals_;   // between the latest frames' starts
  std::deque<Clock::duration> link_times_;  // of the latest links found
  std::thread thread_;                      // started by the first keyframe queued
};

}  // namespace zemb

#endif  // ZEMB_SWEEP_BACKGROUND_LINKS_H

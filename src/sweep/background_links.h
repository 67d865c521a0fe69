// Keyframes linked on a thread of the sweep's own while frames go on
// arriving, so that the finish finds most of their links ready.
#ifndef ZEMB_SWEEP_BACKGROUND_LINKS_H
#define ZEMB_SWEEP_BACKGROUND_LINKS_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "zemb/record.h"

namespace zemb {

// A queue of jobs, one a keyframe, each finding that keyframe's links with
// the earlier ones from a copy of the keyframes as they stood when it was
// queued. A result is what linking the keyframe later would give until the
// keyframes change: forget() drops every job queued or running then, and
// their results.
class BackgroundLinks {
 public:
  using Job = std::function<std::vector<KeyframeLink>()>;

  BackgroundLinks() = default;
  BackgroundLinks(const BackgroundLinks&) = delete;
  BackgroundLinks& operator=(const BackgroundLinks&) = delete;
  // Waits for the job running, if any; the queued ones are dropped.
  ~BackgroundLinks();

  void queue(std::size_t keyframe, Job job);
  void forget();
  // The links found for keyframes first, first + 1, ... first + count - 1;
  // none for one not linked yet, which the caller links itself: the jobs
  // still queued are taken back, the one running is waited for.
  std::vector<std::optional<std::vector<KeyframeLink>>> collect(std::size_t first, std::size_t count);

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<std::size_t, Job>> queued_;
  std::map<std::size_t, std::vector<KeyframeLink>> found_;
  std::uint64_t generation_ = 0;  // counts forget(): a job of an older one is stale
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;  // started by the first job
};

}  // namespace zemb

#endif  // ZEMB_SWEEP_BACKGROUND_LINKS_H

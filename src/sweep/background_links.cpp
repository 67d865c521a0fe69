#include "sweep/background_links.h"

#include <algorithm>
#include <utility>

namespace zemb {

namespace {

// How many of the latest intervals and link times are kept to judge by.
constexpr std::size_t kKept = 8;
// The most links waiting: a loop that leaves no time between frames would
// otherwise pile up a copy of two views a link for the whole sweep. Past it
// a keyframe is linked when asked for.
constexpr std::size_t kMostQueued = 256;

template <typename T>
void keep_latest(std::deque<T>& latest, T value) {
  latest.push_back(value);
  if (latest.size() > kKept) latest.pop_front();
}

}  // namespace

BackgroundLinks::~BackgroundLinks() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queued_.clear();
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BackgroundLinks::queue(std::size_t keyframe, std::vector<Link> links) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (queued_.size() + links.size() > kMostQueued) return;
    found_[keyframe].left = links.size();
    for (Link& link : links) queued_.push_back({keyframe, std::move(link)});
    if (!thread_.joinable()) thread_ = std::thread(&BackgroundLinks::run, this);
  }
  changed_.notify_all();
}

void BackgroundLinks::forget() {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++generation_;
  queued_.clear();
  found_.clear();
}

std::vector<std::optional<std::vector<KeyframeLink>>> BackgroundLinks::collect(std::size_t first, std::size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  queued_.clear();
  changed_.wait(lock, [this] { return !busy_; });
  std::vector<std::optional<std::vector<KeyframeLink>>> links(count);
  for (std::size_t k = 0; k < count; ++k) {
    const auto found = found_.find(first + k);
    if (found != found_.end() && found->second.left == 0) links[k] = std::move(found->second.links);
  }
  found_.clear();
  return links;
}

void BackgroundLinks::frame_started(Clock::time_point now) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (last_start_) keep_latest(intervals_, now - *last_start_);
  last_start_ = now;
  in_frame_ = true;
}

void BackgroundLinks::frame_ended() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    in_frame_ = false;
  }
  changed_.notify_all();
}

// Between frames, when the next frame is due after the longest of the latest
// links would be done (the first link: with half the interval left), or is
// late by a whole interval: the loop has paused, or ended.
bool BackgroundLinks::time_for_a_link(Clock::time_point now) const {
  if (in_frame_ || intervals_.empty()) return false;
  std::vector<Clock::duration> sorted(intervals_.begin(), intervals_.end());
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  const Clock::duration interval = sorted[sorted.size() / 2];
  const Clock::time_point due = *last_start_ + interval;
  if (now >= due + interval) return true;
  const Clock::duration link =
      link_times_.empty() ? interval / 2 : *std::max_element(link_times_.begin(), link_times_.end());
  return now + link <= due;
}

void BackgroundLinks::found(std::size_t keyframe, std::optional<KeyframeLink> link, Clock::duration took) {
  keep_latest(link_times_, took);
  const auto pending = found_.find(keyframe);
  if (pending == found_.end()) return;
  if (!link) {  // it threw: the keyframe is linked again when asked for, and throws there
    found_.erase(pending);
    return;
  }
  if (!link->from_points.empty()) pending->second.links.push_back(std::move(*link));
  --pending->second.left;
}

// One link at a time, in the order queued. When it is not time for one, the
// next frame's end is waited for, or a timeout of the loop's own interval,
// which finds a paused loop.
void BackgroundLinks::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
    if (stopping_) return;
    if (!time_for_a_link(Clock::now())) {
      const Clock::duration wait = intervals_.empty() ? std::chrono::milliseconds(100) : intervals_.back();
      changed_.wait_for(lock, wait);
      continue;
    }
    Queued next = std::move(queued_.front());
    queued_.pop_front();
    const std::uint64_t generation = generation_;
    busy_ = true;
    lock.unlock();
    const Clock::time_point start = Clock::now();
    std::optional<KeyframeLink> link;
    try {
      link = next.link();
    } catch (...) {
    }
    const Clock::duration took = Clock::now() - start;
    lock.lock();
    busy_ = false;
    if (generation == generation_) found(next.keyframe, std::move(link), took);
    changed_.notify_all();
  }
}

}  // namespace zemb

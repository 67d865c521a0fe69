#include "sweep/background_links.h"

namespace zemb {

BackgroundLinks::~BackgroundLinks() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queued_.clear();
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BackgroundLinks::queue(std::size_t keyframe, Job job) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    queued_.emplace_back(keyframe, std::move(job));
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
    if (found != found_.end()) links[k] = std::move(found->second);
  }
  found_.clear();
  return links;
}

// One job at a time, in the order queued. A job that throws leaves its
// keyframe unlinked: linked again on the caller's thread, it throws there.
void BackgroundLinks::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
    if (stopping_) return;
    auto [keyframe, job] = std::move(queued_.front());
    queued_.pop_front();
    const std::uint64_t generation = generation_;
    busy_ = true;
    lock.unlock();
    std::optional<std::vector<KeyframeLink>> links;
    try {
      links = job();
    } catch (...) {
    }
    lock.lock();
    busy_ = false;
    if (links && generation == generation_) found_[keyframe] = std::move(*links);
    changed_.notify_all();
  }
}

}  // namespace zemb

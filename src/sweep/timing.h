// The sweep's clock: how long a step took, and what a placed frame
// typically takes, which sets recovery's budget.
#ifndef ZEMB_SWEEP_TIMING_H
#define ZEMB_SWEEP_TIMING_H

#include <algorithm>
#include <cstddef>
#include <deque>
#include <vector>

#include <opencv2/core.hpp>

namespace zemb {

// Seconds since `start`, a cv::getTickCount() reading. (A cv::TickMeter
// tells only the spans it was stopped after; recovery reads its clock
// while it runs, between attempts.)
inline double seconds_since(int64 start) {
  return static_cast<double>(cv::getTickCount() - start) / cv::getTickFrequency();
}

// A running median of the last few values.
class RunningMedian {
 public:
  void add(double value) {
    values_.push_back(value);
    if (values_.size() > kKept) values_.pop_front();
  }
  double median() const {  // 0 before the first value
    if (values_.empty()) return 0.0;
    std::vector<double> sorted(values_.begin(), values_.end());
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    return sorted[sorted.size() / 2];
  }

 private:
  static constexpr std::size_t kKept = 31;
  std::deque<double> values_;
};

}  // namespace zemb

#endif  // ZEMB_SWEEP_TIMING_H

// Range checks of the settings, made from each struct's field list: a sweep
// refuses settings that would make a step meaningless (a zero window, a share
// beyond 1) before it sees a frame.
#include "zemb/options.h"

#include <cmath>
#include <string>

#include <opencv2/core.hpp>

namespace zemb {

namespace {

std::string number_text(double value) {
  return value == std::floor(value) && std::abs(value) < 1e15 ? std::to_string(static_cast<long long>(value))
                                                              : cv::format("%g", value);
}

void require(bool holds, const std::string& field, double value, const std::string& range) {
  if (!holds) CV_Error(cv::Error::StsBadArg, field + " is " + number_text(value) + "; it must be " + range);
}

// Checks every plain field of one struct against its range; nested structs
// check themselves.
class RangeCheck {
 public:
  explicit RangeCheck(const char* owner) : owner_(owner) {}

  template <typename T>
  void operator()(const char* name, const T& value, double low, double high, const char*) const {
    check_field(owner_ + "::" + name, value, low, high);
  }
  template <typename Nested>
  void operator()(const char*, const Nested& nested) const {
    nested.check();
  }

 private:
  std::string owner_;
};

template <typename Options>
void check_ranges(const Options& options, const char* owner) {
  Options::for_each_field(options, RangeCheck(owner));
}

}  // namespace

void check_range(const std::string& field, double value, double low, double high) {
  require(std::isfinite(value) && value >= low && value <= high, field, value,
          number_text(low) + " to " + number_text(high));
}

void PreparationOptions::check() const { check_ranges(*this, "PreparationOptions"); }

void DetectionOptions::check() const {
  check_ranges(*this, "DetectionOptions");
  require(adaptive_target >= min_keypoints, "DetectionOptions::adaptive_target", adaptive_target,
          "at least min_keypoints");
  require(threshold_floor <= fast_threshold, "DetectionOptions::threshold_floor", threshold_floor,
          "at most fast_threshold");
}

void FlowOptions::check() const { check_ranges(*this, "FlowOptions"); }
void FitOptions::check() const { check_ranges(*this, "FitOptions"); }
void TrackingOptions::check() const { check_ranges(*this, "TrackingOptions"); }
void PlacementOptions::check() const { check_ranges(*this, "PlacementOptions"); }
void RecoveryOptions::check() const { check_ranges(*this, "RecoveryOptions"); }
void OverlayOptions::check() const { check_ranges(*this, "OverlayOptions"); }
void KeyframeOptions::check() const { check_ranges(*this, "KeyframeOptions"); }
void MemoryOptions::check() const { check_ranges(*this, "MemoryOptions"); }
void RenderOptions::check() const { check_ranges(*this, "RenderOptions"); }

void SweepOptions::check() const {
  check_ranges(*this, "SweepOptions");
  require(recovery.points >= tracking.min_inliers, "RecoveryOptions::points", recovery.points,
          "at least TrackingOptions::min_inliers");
}

}  // namespace zemb

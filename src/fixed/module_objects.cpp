// The module-wide objects, created during static initialisation in the order
// feature_finder, detector, ERROR_PLACE (one translation unit keeps the order).
#include "fixed/fixed_path.h"

namespace {

// Static initialisation must never throw: a detector that cannot be made is
// left empty.
cv::Ptr<cv::FastFeatureDetector> make_detector() noexcept {
  try {
    return cv::FastFeatureDetector::create(zemb::kFixedPath.fast_threshold, true,
                                           cv::FastFeatureDetector::TYPE_9_16);
  } catch (...) {
    return cv::Ptr<cv::FastFeatureDetector>();
  }
}

}  // namespace

cv::Ptr<cv::Feature2D> feature_finder = zemb::make_feature_finder();
cv::Ptr<cv::FastFeatureDetector> detector = make_detector();

namespace {
// Marker text of the unit; nothing reads it.
[[maybe_unused]] const char* const ERROR_PLACE = "PANORAMA_ERROR_PLACE";
}  // namespace

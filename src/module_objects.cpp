// The module-wide objects, created during static initialisation in the order
// feature_finder, detector, ERROR_PLACE (one translation unit keeps the order).
#include "zemb/options.h"
#include "zemb_stitcher.h"

#ifdef ZEMB_HAVE_XFEATURES2D
#include <opencv2/xfeatures2d.hpp>
#endif

namespace {

// Upright KAZE with 64-element float descriptors: free to use, and shaped like
// upright SURF descriptors, so the library's L2 matching suits both.
cv::Ptr<cv::Feature2D> make_kaze_finder() { return cv::KAZE::create(false, true, 0.001f, 4, 3); }

// SURF is patented and left out of OpenCV builds without non-free code, whose
// SURF::create throws; static initialisation must never throw, so every
// failure falls back to KAZE.
cv::Ptr<cv::Feature2D> make_feature_finder() noexcept {
  try {
#ifdef ZEMB_HAVE_XFEATURES2D
    try {
      return cv::xfeatures2d::SURF::create(1000.0, 4, 3, false, true);
    } catch (const cv::Exception&) {
    }
#endif
    return make_kaze_finder();
  } catch (...) {
    return cv::Ptr<cv::Feature2D>();
  }
}

cv::Ptr<cv::FastFeatureDetector> make_detector() noexcept {
  try {
    return cv::FastFeatureDetector::create(zemb::fixed_path_options().fast_threshold, true,
                                           cv::FastFeatureDetector::TYPE_9_16);
  } catch (...) {
    return cv::Ptr<cv::FastFeatureDetector>();
  }
}

}  // namespace

cv::Ptr<cv::Feature2D> feature_finder = make_feature_finder();
cv::Ptr<cv::FastFeatureDetector> detector = make_detector();

namespace {
// Marker text of the unit; nothing reads it.
[[maybe_unused]] const char* const ERROR_PLACE = "PANORAMA_ERROR_PLACE";
}  // namespace

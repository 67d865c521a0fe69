// The descriptor finder: SURF where the OpenCV at hand has it, otherwise an
// upright KAZE with descriptors of the same shape.
#include "fixed/steps.h"

#ifdef ZEMB_HAVE_XFEATURES2D
#include <opencv2/xfeatures2d.hpp>
#endif

namespace zemb {

namespace {

// Upright KAZE with 64-element float descriptors: free to use, and shaped like
// upright SURF descriptors, so the library's L2 matching suits both.
cv::Ptr<cv::Feature2D> make_kaze_finder() { return cv::KAZE::create(false, true, 0.001f, 4, 3); }

}  // namespace

// SURF is patented and left out of OpenCV builds without non-free code, whose
// SURF::create throws; every failure falls back to KAZE.
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

}  // namespace zemb

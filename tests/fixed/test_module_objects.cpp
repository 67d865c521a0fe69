#include <opencv2/imgproc.hpp>

#include "test_support.h"
#include "zemb_stitcher.h"

namespace {

// Matching and the golden panoramas assume 64-float descriptors, whichever
// finder the build chose.
TEST(ModuleObjects, FeatureFinderDescribesARealPhotoWith64Floats) {
  ASSERT_FALSE(detector.empty());
  ASSERT_FALSE(feature_finder.empty());
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  cv::Mat small;
  cv::resize(photo, small, cv::Size(480, 320), 0, 0, cv::INTER_AREA);
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  feature_finder->detectAndCompute(small, cv::noArray(), keypoints, descriptors);
  ASSERT_GT(keypoints.size(), 50u);
  EXPECT_EQ(descriptors.size(), cv::Size(64, static_cast<int>(keypoints.size())));
  EXPECT_EQ(descriptors.type(), CV_32F);
}

}  // namespace

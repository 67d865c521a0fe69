#include <opencv2/imgproc.hpp>

#include "test_support.h"
#include "zemb_stitcher.h"

namespace {

TEST(ModuleObjects, ExistBeforeAnyStitcher) {
  ASSERT_FALSE(detector.empty());
  EXPECT_EQ(detector->getThreshold(), 50);
  EXPECT_TRUE(detector->getNonmaxSuppression());
  EXPECT_EQ(detector->getType(), cv::FastFeatureDetector::TYPE_9_16);
  ASSERT_FALSE(feature_finder.empty());
}

TEST(ModuleObjects, FeatureFinderDescribesARealPhotoWith64Floats) {
  ZEMB_LOAD_PHOTO_OR_SKIP(photo, "life.jpg");
  cv::Mat small;
  cv::resize(photo, small, cv::Size(480, 320), 0, 0, cv::INTER_AREA);
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  feature_finder->detectAndCompute(small, cv::noArray(), keypoints, descriptors);
  ASSERT_GT(keypoints.size(), 50u);
  EXPECT_EQ(descriptors.rows, static_cast<int>(keypoints.size()));
  EXPECT_EQ(descriptors.cols, 64);
  EXPECT_EQ(descriptors.type(), CV_32F);
}

}  // namespace

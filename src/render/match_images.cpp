// Correspondences found from the kept images alone, for keyframes whose
// recorded links are missing or unusable: SIFT keypoints on a reduced grey
// copy of each image, matched with Lowe's ratio test (RenderOptions'
// match_features, match_megapixels, match_ratio). The pair's homography fit
// then keeps those one transform explains.
#include <algorithm>
#include <cmath>

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

struct ImageMatcher::Features {
  std::vector<cv::Point2f> points;  // kept pixels
  cv::Mat descriptors;
};

ImageMatcher::ImageMatcher(const SweepRecord& record, const RenderOptions& options)
    : record_(record), options_(options), features_(record.keyframes.size()) {}

ImageMatcher::~ImageMatcher() = default;

const ImageMatcher::Features& ImageMatcher::features_of(int index) {
  std::unique_ptr<Features>& features = features_[std::size_t(index)];
  if (features) return *features;
  features = std::make_unique<Features>();
  cv::Mat gray;
  cv::cvtColor(record_.image(index), gray, cv::COLOR_BGR2GRAY);
  const double scale = std::min(1.0, std::sqrt(options_.match_megapixels * 1e6 / std::max(1, gray.cols * gray.rows)));
  if (scale < 1.0) cv::resize(gray, gray, cv::Size(), scale, scale, cv::INTER_AREA);
  std::vector<cv::KeyPoint> keypoints;
  cv::SIFT::create(options_.match_features)
      ->detectAndCompute(gray, scene_mask(record_, gray.size()), keypoints, features->descriptors);
  for (const cv::KeyPoint& keypoint : keypoints)
    features->points.push_back((keypoint.pt + cv::Point2f(0.5f, 0.5f)) / scale - cv::Point2f(0.5f, 0.5f));
  return *features;
}

KeyframeLink ImageMatcher::link(int from, int to) {
  KeyframeLink link{from, to, {}, {}};
  const Features& a = features_of(from);
  const Features& b = features_of(to);
  if (a.descriptors.rows < 2 || b.descriptors.rows < 2) return link;
  std::vector<std::vector<cv::DMatch>> nearest;
  cv::BFMatcher(cv::NORM_L2).knnMatch(a.descriptors, b.descriptors, nearest, 2);
  for (const std::vector<cv::DMatch>& m : nearest)
    if (m.size() == 2 && m[0].distance < options_.match_ratio * m[1].distance) {
      link.from_points.push_back(a.points[std::size_t(m[0].queryIdx)]);
      link.to_points.push_back(b.points[std::size_t(m[0].trainIdx)]);
    }
  return link;
}

}  // namespace rendering
}  // namespace zemb

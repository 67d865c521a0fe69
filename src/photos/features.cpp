// Each photo described once, at the resolution matching needs: SIFT on a
// gray copy of at most feature_megapixels, whatever size the photo comes in.
// A photo of a bare wall gives SIFT's default contrast threshold too little
// to hold on to; it is described again with a lower one.
#include <algorithm>
#include <cmath>

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "photos/photos_internal.h"

namespace zemb {
namespace photos {

namespace {

// The faint gradients of a bare wall, a room's corners, a ceiling's lines
// fall below SIFT's default contrast threshold (0.04): a photo with fewer
// than faint_below features is described again at faint_contrast_threshold,
// which keeps the strongest features first, up to the same cap.
void described_again_if_faint(const cv::Mat& gray, const PhotoMatchOptions& options, Described& photo) {
  if (static_cast<int>(photo.features.keypoints.size()) >= options.faint_below) return;
  constexpr int kOctaveLayers = 3;  // SIFT's own
  photo.features.keypoints.clear();
  cv::SIFT::create(options.features, kOctaveLayers, options.faint_contrast_threshold)
      ->detectAndCompute(gray, cv::noArray(), photo.features.keypoints, photo.features.descriptors);
  photo.faint = true;
}

Described described(const cv::Mat& image, int index, const PhotoMatchOptions& options) {
  Described photo;
  cv::Mat gray;
  cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
  const double area = std::max(1, gray.cols * gray.rows);
  photo.scale = std::min(1.0, std::sqrt(options.feature_megapixels * 1e6 / area));
  if (photo.scale < 1.0) cv::resize(gray, gray, cv::Size(), photo.scale, photo.scale, cv::INTER_AREA);
  cv::SIFT::create(options.features)
      ->detectAndCompute(gray, cv::noArray(), photo.features.keypoints, photo.features.descriptors);
  described_again_if_faint(gray, options, photo);
  photo.features.img_idx = index;
  photo.features.img_size = gray.size();
  return photo;
}

}  // namespace

std::vector<Described> describe(const std::vector<cv::Mat>& images, const PhotoMatchOptions& options) {
  std::vector<Described> photos(images.size());
  cv::parallel_for_(cv::Range(0, static_cast<int>(images.size())), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i)
      photos[std::size_t(i)] = described(images[std::size_t(i)], i, options);
  });
  return photos;
}

}  // namespace photos
}  // namespace zemb

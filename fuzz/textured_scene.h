// The synthetic scene the stitcher's and the sweep's fuzz targets cut their
// camera frames from, shared with the regression tests that replay their
// findings: smooth colour blobs under many sharp-edged shapes, so plenty of
// FAST corners but little texture inside each shape. Fully determined by a fixed seed.
#ifndef ZEMB_TEXTURED_SCENE_H
#define ZEMB_TEXTURED_SCENE_H

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace zemb_fuzz {

constexpr int kSceneRows = 1024;
constexpr int kSceneCols = 640;

inline cv::Mat make_textured_scene() {
  cv::RNG random(20240601);
  cv::Mat blobs(16, 10, CV_8UC3), scene;
  random.fill(blobs, cv::RNG::UNIFORM, 0, 256);
  cv::resize(blobs, scene, cv::Size(kSceneCols, kSceneRows), 0, 0, cv::INTER_CUBIC);
  for (int i = 0; i < 900; ++i) {
    // Braced lists draw from left to right under every compiler, so the
    // scene is the same wherever it is made.
    const cv::Point corner{random.uniform(0, kSceneCols), random.uniform(0, kSceneRows)};
    const cv::Scalar colour{double(random.uniform(0, 256)), double(random.uniform(0, 256)),
                            double(random.uniform(0, 256))};
    const cv::Point extent{random.uniform(3, 30), random.uniform(3, 30)};
    if (i % 3 == 0)
      cv::circle(scene, corner, extent.x / 2, colour, cv::FILLED);
    else
      cv::rectangle(scene, corner, corner + extent, colour, cv::FILLED);
  }
  return scene;
}

// The scene, made once per process: what the fuzz targets cut frames from.
inline const cv::Mat& textured_scene() {
  static const cv::Mat made = make_textured_scene();
  return made;
}

}  // namespace zemb_fuzz

#endif  // ZEMB_TEXTURED_SCENE_H

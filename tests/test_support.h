// Helpers shared by the tests: the real photographs and camera-frame sweeps
// made from them.
#ifndef ZEMB_TEST_SUPPORT_H
#define ZEMB_TEST_SUPPORT_H

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sweep_maker.h"

namespace zemb_test {

inline std::string shared_photo_path(const std::string& file) {
  return std::string(ZEMB_SHARED_DATA_DIR) + "/" + file;
}

// Loads a photograph of the shared data folder (BGR, 8-bit, 3 channels); an
// empty matrix when it is not there, so a test can skip.
inline cv::Mat load_shared_photo(const std::string& file) {
  return cv::imread(shared_photo_path(file), cv::IMREAD_COLOR);
}

// The photo scaled so that a 360x640 window (a 640x360 camera frame) sees a
// useful part of it; sweeps made from it stitch in a few milliseconds a frame.
inline cv::Mat small_photo(const cv::Mat& photo, double scale = 0.35) {
  cv::Mat small;
  cv::resize(photo, small, cv::Size(), scale, scale, cv::INTER_AREA);
  return small;
}

// A sweep of 640x360 camera frames across the scaled photo, with small
// rotations and vertical jitter.
inline std::vector<zemb_tools::SweepFrame> jittered_sweep(const cv::Mat& small, double max_rotation_deg = 1.0,
                                                          int frames = 20, int step = 30) {
  zemb_tools::SweepSettings settings;
  settings.window = cv::Size(360, 640);
  settings.step = step;
  settings.frames = frames;
  settings.max_rotation_deg = max_rotation_deg;
  settings.max_jitter = 6;
  return zemb_tools::make_sweep(small, settings);
}

}  // namespace zemb_test

#define ZEMB_LOAD_PHOTO_OR_SKIP(var, file)                                  \
  cv::Mat var = zemb_test::load_shared_photo(file);                         \
  if (var.empty()) GTEST_SKIP() << "photo not found: " << zemb_test::shared_photo_path(file)

#endif  // ZEMB_TEST_SUPPORT_H

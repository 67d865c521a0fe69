// Helpers shared by the tests: the real photographs and camera-frame sweeps
// made from them.
#ifndef ZEMB_TEST_SUPPORT_H
#define ZEMB_TEST_SUPPORT_H

#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

namespace zemb_test {

inline std::string shared_photo_path(const std::string& file) {
  return std::string(ZEMB_SHARED_DATA_DIR) + "/" + file;
}

// Loads a photograph of the shared data folder (BGR, 8-bit, 3 channels); an
// empty matrix when it is not there, so a test can skip.
inline cv::Mat load_shared_photo(const std::string& file) {
  return cv::imread(shared_photo_path(file), cv::IMREAD_COLOR);
}

}  // namespace zemb_test

#define ZEMB_LOAD_PHOTO_OR_SKIP(var, file)                                  \
  cv::Mat var = zemb_test::load_shared_photo(file);                         \
  if (var.empty()) GTEST_SKIP() << "photo not found: " << zemb_test::shared_photo_path(file)

#endif  // ZEMB_TEST_SUPPORT_H

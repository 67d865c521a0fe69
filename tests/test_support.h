// Helpers shared by the tests: the real photographs of data/photos and
// camera-frame sweeps made from them.
#ifndef ZEMB_TEST_SUPPORT_H
#define ZEMB_TEST_SUPPORT_H

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/core/parallel/parallel_backend.hpp>
#include <opencv2/imgproc.hpp>

#include "synthetic_sweep.h"

namespace zemb_test {

inline std::string photo_path(const std::string& file) { return std::string(ZEMB_PHOTO_DIR) + "/" + file; }

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

// Runs OpenCV's parallel loops on the calling thread and fails the one with
// the given index, so a failure can be made to strike each parallel step of a
// call in turn: frame preparation, optical flow, the canvas composition, the
// warp and the seam rule, which writes onto the panorama grown in place.
class FailingParallelLoops : public cv::parallel::ParallelForAPI {
 public:
  explicit FailingParallelLoops(int failing_call) : failing_call_(failing_call) {}
  void parallel_for(int tasks, FN_parallel_for_body_cb_t body, void* data) override {
    if (calls_++ == failing_call_) CV_Error(cv::Error::StsInternal, "parallel loop failure");
    body(0, tasks, data);
  }
  int getThreadNum() const override { return 0; }
  int getNumThreads() const override { return 2; }
  int setNumThreads(int) override { return 2; }
  const char* getName() const override { return "failing"; }

 private:
  int failing_call_;
  int calls_ = 0;
};

}  // namespace zemb_test

// Loads a photograph of data/photos (BGR, 8-bit, 3 channels) into `var`. The
// photos are part of the repository, so a missing one fails the test.
#define ZEMB_LOAD_PHOTO(var, file)                                       \
  cv::Mat var = cv::imread(zemb_test::photo_path(file), cv::IMREAD_COLOR); \
  ASSERT_FALSE(var.empty()) << "photo not found: " << zemb_test::photo_path(file)

#endif  // ZEMB_TEST_SUPPORT_H

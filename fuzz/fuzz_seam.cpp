// OptimizeSeam with arbitrary corners on canvases of any size, the two
// canvases of different sizes and sometimes of the wrong type. The canvases
// sit in buffers of exactly their size, so AddressSanitizer sees any access
// past them. Only a wrong type may throw; the old canvas is never written,
// and a new pixel either stays or takes the old pixel at the same place,
// and only inside the corners' bounding box.
#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/core.hpp>

#include "fuzz_check.h"
#include "zemb_stitcher.h"

namespace {

using Outline = std::vector<cv::Point_<float>>;

// A canvas over `buffer`, filled from the input: mostly the type the repair
// works on, with a few empty (zero) pixels; sometimes another type.
cv::Mat read_canvas(zemb_fuzz::ByteReader& input, std::vector<uint8_t>& buffer) {
  static const int kOtherTypes[] = {CV_8UC1, CV_8UC4, CV_16UC3, CV_32FC3};
  const uint8_t type_choice = input.byte();
  const int type = type_choice < 240 ? CV_8UC3 : kOtherTypes[type_choice % 4];
  const int rows = input.byte() % 65, cols = input.byte() % 65;
  buffer.assign(static_cast<size_t>(rows) * cols * CV_ELEM_SIZE(type), 0);
  const cv::Mat canvas(rows, cols, type, buffer.data());
  const uint8_t zero_share = input.byte();
  cv::RNG random(input.byte());
  for (uint8_t& value : buffer) value = random.uniform(0, 256) < zero_share ? 0 : random.uniform(1, 256);
  return canvas;
}

// The bounding box of the first four corners, NaN coordinates left out,
// truncated and clipped to both canvases: the repair must stay within it.
cv::Rect allowed_box(const Outline& corners, const cv::Mat& a, const cv::Mat& b) {
  if (corners.size() < 4) return cv::Rect();
  double low_x = INFINITY, high_x = -INFINITY, low_y = INFINITY, high_y = -INFINITY;
  for (size_t i = 0; i < 4; ++i) {  // std::min and std::max keep the bound when given NaN second
    low_x = std::min(low_x, double{corners[i].x});
    high_x = std::max(high_x, double{corners[i].x});
    low_y = std::min(low_y, double{corners[i].y});
    high_y = std::max(high_y, double{corners[i].y});
  }
  if (low_x > high_x || low_y > high_y) return cv::Rect();
  const double width = std::min(a.cols, b.cols), height = std::min(a.rows, b.rows);
  const auto clip = [](double value, double limit) { return static_cast<int>(std::clamp(value, 0.0, limit)); };
  return cv::Rect(cv::Point(clip(low_x, width), clip(low_y, height)),
                  cv::Point(clip(high_x, width), clip(high_y, height)));
}

void check_repair(const cv::Mat& old_canvas, const cv::Mat& before, const cv::Mat& after, const cv::Rect& box) {
  for (int row = 0; row < after.rows; ++row) {
    for (int col = 0; col < after.cols; ++col) {
      const cv::Vec3b now = after.at<cv::Vec3b>(row, col);
      if (now == before.at<cv::Vec3b>(row, col)) continue;
      FUZZ_CHECK(box.contains(cv::Point(col, row)));
      FUZZ_CHECK(now == old_canvas.at<cv::Vec3b>(row, col));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zemb_fuzz::ByteReader input(data, size);
  std::vector<uint8_t> old_buffer, new_buffer;
  cv::Mat old_canvas = read_canvas(input, old_buffer);
  cv::Mat new_canvas = read_canvas(input, new_buffer);
  Outline corners(input.byte() % 7);
  for (cv::Point_<float>& corner : corners) corner = {input.coordinate(-20, 90), input.coordinate(-20, 90)};

  const std::vector<uint8_t> old_bytes = old_buffer;
  const cv::Mat new_before = new_canvas.clone();
  const bool types_fit = old_canvas.type() == CV_8UC3 && new_canvas.type() == CV_8UC3;
  try {
    OptimizeSeam(old_canvas, new_canvas, corners);
    FUZZ_CHECK(types_fit);
  } catch (const cv::Exception&) {
    FUZZ_CHECK(!types_fit);
  }
  FUZZ_CHECK(old_buffer == old_bytes);
  if (types_fit) check_repair(old_canvas, new_before, new_canvas, allowed_box(corners, old_canvas, new_canvas));
  return 0;
}

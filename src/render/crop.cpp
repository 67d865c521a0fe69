// The largest axis-aligned rectangle of covered pixels in a panorama's mask,
// exactly, in one pass over it: each row turns the mask above it into a
// histogram of covered runs ending there, and the largest rectangle under a
// histogram is found with a stack of rising bars, each bar pushed and popped
// once.
#include <vector>

#include "zemb/render.h"

namespace zemb {

namespace {

struct Bar {
  int start = 0;   // first column the bar's height reaches back to
  int height = 0;
};

// The largest rectangle under `heights` whose bottom row is `row`; kept in
// `best` when it beats it.
void best_under_histogram(const std::vector<int>& heights, int row, std::vector<Bar>& stack, cv::Rect& best) {
  stack.clear();
  const int cols = static_cast<int>(heights.size());
  for (int x = 0; x <= cols; ++x) {
    const int height = x < cols ? heights[std::size_t(x)] : 0;
    int start = x;
    while (!stack.empty() && stack.back().height >= height) {
      const Bar bar = stack.back();
      stack.pop_back();
      const cv::Rect candidate(bar.start, row - bar.height + 1, x - bar.start, bar.height);
      if (candidate.area() > best.area()) best = candidate;
      start = bar.start;
    }
    if (height > 0) stack.push_back({start, height});
  }
}

}  // namespace

cv::Rect largest_covered_rectangle(const cv::Mat& mask) {
  if (mask.empty() || mask.type() != CV_8UC1)
    CV_Error(cv::Error::StsBadArg, "largest_covered_rectangle: the mask must be a non-empty CV_8UC1 image");
  std::vector<int> heights(std::size_t(mask.cols), 0);
  std::vector<Bar> stack;
  stack.reserve(std::size_t(mask.cols) + 1);
  cv::Rect best;
  for (int y = 0; y < mask.rows; ++y) {
    const uchar* row = mask.ptr<uchar>(y);
    for (int x = 0; x < mask.cols; ++x) heights[std::size_t(x)] = row[x] ? heights[std::size_t(x)] + 1 : 0;
    best_under_histogram(heights, y, stack, best);
  }
  return best;
}

}  // namespace zemb

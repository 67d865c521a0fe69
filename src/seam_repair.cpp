// Seam repair: after a warped patch is pasted onto the canvas, the earlier
// canvas content comes back wherever the paste left the canvas empty and
// wherever a pixel lies within 10 pixels of one of the outline's edge lines.
// Pixels are replaced whole, never blended, so the result is bit-exact and
// independent of the order (and the threads) in which rows are visited.
#include "seam_repair.h"

#include <algorithm>
#include <cmath>

#include "zemb_stitcher.h"

namespace {

constexpr float kSeamBandWidth = 10.0f;

struct EdgeLine {
  float k;
  float b;
  float norm;
};

std::vector<EdgeLine> outline_edge_lines(const std::vector<cv::Point2f>& q) {
  std::vector<EdgeLine> lines;
  for (size_t i = 0; i < 4; ++i) {
    const cv::Point2f& from = q[i];
    const cv::Point2f& to = q[(i + 1) % 4];
    LinePara line{};
    getLinePara(from.x, from.y, to.x, to.y, line);
    lines.push_back({line.k, line.b, std::sqrt(line.k * line.k + 1.0f)});
  }
  return lines;
}

bool is_empty_pixel(const uchar* pixel) { return pixel[0] == 0 && pixel[1] == 0 && pixel[2] == 0; }

bool in_band(const EdgeLine& line, int col, float y) {
  return point_2_line(line.k, line.b, line.norm, static_cast<float>(col), y) < kSeamBandWidth;
}

// The signed offset k*x + b - y, rounded exactly as the distance rounds it.
float signed_offset(const EdgeLine& line, int col, float y) {
  return line.k * static_cast<float>(col) + line.b - y;
}

// First column of [begin, end) where `reached` holds; `reached` must be false
// up to some column and true from there on.
template <typename Predicate>
int first_column(int begin, int end, Predicate reached) {
  while (begin < end) {
    const int middle = begin + (end - begin) / 2;
    if (reached(middle))
      end = middle;
    else
      begin = middle + 1;
  }
  return begin;
}

// The columns of [begin, end) within the band of `line` on row `y`. Each
// rounding step of the offset is monotonic in the column, so the offset runs
// one way along the row and the band is one run of columns, found by
// bisection with the very test the per-pixel rule uses: before the run the
// offset lies too far on one side of the line, after it on the other.
cv::Range band_columns(const EdgeLine& line, float y, int begin, int end) {
  const float direction = line.k < 0 ? -1.0f : 1.0f;
  const auto not_before = [&](int col) {
    return in_band(line, col, y) || direction * signed_offset(line, col, y) >= 0;
  };
  const auto after = [&](int col) {
    return !in_band(line, col, y) && direction * signed_offset(line, col, y) > 0;
  };
  const int first = first_column(begin, end, not_before);
  return cv::Range(first, first_column(first, end, after));
}

// Marks the columns of [begin, end) that lie in the band of any edge line.
void mark_band_columns(const std::vector<EdgeLine>& lines, int row, int begin, int end,
                       std::vector<uchar>& near) {
  near.assign(static_cast<size_t>(end - begin), 0);
  for (const EdgeLine& line : lines) {
    const cv::Range run = band_columns(line, static_cast<float>(row), begin, end);
    std::fill(near.begin() + (run.start - begin), near.begin() + (run.end - begin), 1);
  }
}

void copy_pixel(const uchar* from, uchar* to) {
  to[0] = from[0];
  to[1] = from[1];
  to[2] = from[2];
}

void repair_row(const uchar* old_row, uchar* new_row, const std::vector<uchar>& near) {
  for (size_t i = 0; i < near.size(); ++i, old_row += 3, new_row += 3) {
    if (is_empty_pixel(old_row)) continue;
    if (near[i] || is_empty_pixel(new_row)) copy_pixel(old_row, new_row);
  }
}

// Truncates toward zero after clamping into [low, high]; clamping first keeps
// infinities and huge values away from an undefined float-to-int conversion.
int clamp_truncate(float value, int low, int high) {
  if (value <= static_cast<float>(low)) return low;
  if (value >= static_cast<float>(high)) return high;
  return static_cast<int>(value);
}

}  // namespace

void getLinePara(float x1, float y1, float x2, float y2, LinePara& line) {
  const float dx = x2 - x1;
  line.k = dx == 0.0f ? 10000.0f : (y2 - y1) / dx;
  line.b = y1 - line.k * x1;
}

float point_2_line(float k, float b, float norm, float x, float y) {
  return std::fabs(k * x + b - y) / norm;
}

namespace zemb {

cv::Rect seam_box(const std::vector<cv::Point2f>& corners, const cv::Rect& limits) {
  if (corners.size() < 4) return cv::Rect();
  std::vector<float> xs, ys;
  for (size_t i = 0; i < 4; ++i) {
    xs.push_back(corners[i].x);
    ys.push_back(corners[i].y);
  }
  const float bounds[] = {min_axis(xs), max_axis(xs), min_axis(ys), max_axis(ys)};
  for (float bound : bounds)
    if (std::isnan(bound)) return cv::Rect();
  const int x0 = clamp_truncate(bounds[0], limits.x, limits.x + limits.width);
  const int x1 = clamp_truncate(bounds[1], limits.x, limits.x + limits.width);
  const int y0 = clamp_truncate(bounds[2], limits.y, limits.y + limits.height);
  const int y1 = clamp_truncate(bounds[3], limits.y, limits.y + limits.height);
  if (x1 <= x0 || y1 <= y0) return cv::Rect();
  return cv::Rect(x0, y0, x1 - x0, y1 - y0);
}

void repair_seam(const cv::Mat& old_pixels, cv::Point old_origin, cv::Mat& new_canvas,
                 const std::vector<cv::Point2f>& corners, const cv::Rect& box) {
  if (box.empty()) return;
  const std::vector<EdgeLine> lines = outline_edge_lines(corners);
  cv::parallel_for_(cv::Range(box.y, box.y + box.height), [&](const cv::Range& rows) {
    std::vector<uchar> near;
    for (int row = rows.start; row < rows.end; ++row) {
      mark_band_columns(lines, row, box.x, box.x + box.width, near);
      const uchar* old_row = old_pixels.ptr<uchar>(row - old_origin.y, box.x - old_origin.x);
      repair_row(old_row, new_canvas.ptr<uchar>(row, box.x), near);
    }
  });
}

}  // namespace zemb

void OptimizeSeam(cv::Mat& old_canvas, cv::Mat& new_canvas, std::vector<cv::Point_<float>>& corners) {
  CV_Assert(old_canvas.type() == CV_8UC3 && new_canvas.type() == CV_8UC3);
  const cv::Rect both_images = cv::Rect(0, 0, old_canvas.cols, old_canvas.rows) &
                               cv::Rect(0, 0, new_canvas.cols, new_canvas.rows);
  zemb::repair_seam(old_canvas, cv::Point(0, 0), new_canvas, corners,
                    zemb::seam_box(corners, both_images));
}

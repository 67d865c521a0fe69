// Seam repair: after a warped patch is pasted onto the canvas, the earlier
// canvas content comes back wherever the paste left the canvas empty and
// wherever a pixel lies within 10 pixels of one of the outline's edge lines.
// Pixels are chosen whole, never blended, so the result is bit-exact and
// independent of the order (and the threads) in which rows are visited.
#include "fixed/seam_repair.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "fixed/settings.h"
#include "zemb_stitcher.h"

namespace {

struct EdgeLine {
  float k;
  float b;
  float norm;
  float band_width;
};

using EdgeLines = std::array<EdgeLine, 4>;

EdgeLines outline_edge_lines(const std::vector<cv::Point2f>& q, float band_width) {
  EdgeLines lines{};
  for (size_t i = 0; i < 4; ++i) {
    const cv::Point2f& from = q[i];
    const cv::Point2f& to = q[(i + 1) % 4];
    LinePara line{};
    getLinePara(from.x, from.y, to.x, to.y, line);
    lines[i] = {line.k, line.b, std::sqrt(line.k * line.k + 1.0f), band_width};
  }
  return lines;
}

bool is_empty_pixel(const uchar* pixel) { return pixel[0] == 0 && pixel[1] == 0 && pixel[2] == 0; }

bool in_band(const EdgeLine& line, int col, float y) {
  return point_2_line(line.k, line.b, line.norm, static_cast<float>(col), y) < line.band_width;
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

// The columns of [begin, end) in the band of any edge line on `row`: the
// four lines' runs, in column order.
std::array<cv::Range, 4> band_runs(const EdgeLines& lines, int row, int begin, int end) {
  std::array<cv::Range, 4> runs;
  for (size_t i = 0; i < lines.size(); ++i) runs[i] = band_columns(lines[i], static_cast<float>(row), begin, end);
  std::sort(runs.begin(), runs.end(), [](const cv::Range& a, const cv::Range& b) { return a.start < b.start; });
  return runs;
}

void copy_pixel(const uchar* from, uchar* to) {
  to[0] = from[0];
  to[1] = from[1];
  to[2] = from[2];
}

// The rule for `count` pixels from column offset `first`, all in the band or
// all outside it: an old pixel with content wins in the band and where the
// new pixel is empty; the new pixel wins elsewhere. Only pixels whose choice
// differs from what `out` holds are written, so `out` may be either source.
void choose_pixels(const uchar* old_row, const uchar* new_row, uchar* out_row, int first, int count, bool in_band) {
  const size_t offset = static_cast<size_t>(first) * 3;
  const uchar* old_pixel = old_row + offset;
  const uchar* new_pixel = new_row + offset;
  uchar* out = out_row + offset;
  for (int i = 0; i < count; ++i, old_pixel += 3, new_pixel += 3, out += 3) {
    const bool keep_old = !is_empty_pixel(old_pixel) && (in_band || is_empty_pixel(new_pixel));
    const uchar* chosen = keep_old ? old_pixel : new_pixel;
    if (chosen != out) copy_pixel(chosen, out);
  }
}

// One row of the box: the stretches between the band runs, and the runs
// (which may overlap) each from where the row has got to.
void choose_row(const uchar* old_row, const uchar* new_row, uchar* out_row, const std::array<cv::Range, 4>& runs,
                int begin, int end) {
  int done = begin;
  for (const cv::Range& run : runs) {
    if (run.start > done) choose_pixels(old_row, new_row, out_row, done - begin, run.start - done, false);
    if (run.end > done) {
      const int from = std::max(done, run.start);
      choose_pixels(old_row, new_row, out_row, from - begin, run.end - from, true);
      done = run.end;
    }
  }
  choose_pixels(old_row, new_row, out_row, done - begin, end - done, false);
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

void apply_seam_rule(const cv::Mat& old_pixels, const cv::Mat& new_pixels, cv::Mat out,
                     const std::vector<cv::Point2f>& corners, const cv::Rect& box, float band_width) {
  if (box.empty()) return;
  const EdgeLines lines = outline_edge_lines(corners, band_width);
  cv::parallel_for_(cv::Range(0, box.height), [&](const cv::Range& rows) {
    for (int row = rows.start; row < rows.end; ++row) {
      const int canvas_row = box.y + row;
      choose_row(old_pixels.ptr<uchar>(row), new_pixels.ptr<uchar>(row), out.ptr<uchar>(row),
                 band_runs(lines, canvas_row, box.x, box.x + box.width), box.x, box.x + box.width);
    }
  });
}

}  // namespace zemb

void OptimizeSeam(cv::Mat& old_canvas, cv::Mat& new_canvas, std::vector<cv::Point_<float>>& corners) {
  CV_Assert(old_canvas.type() == CV_8UC3 && new_canvas.type() == CV_8UC3);
  const cv::Rect both_images = cv::Rect(0, 0, old_canvas.cols, old_canvas.rows) &
                               cv::Rect(0, 0, new_canvas.cols, new_canvas.rows);
  const cv::Rect box = zemb::seam_box(corners, both_images);
  zemb::apply_seam_rule(old_canvas(box), new_canvas(box), new_canvas(box), corners, box,
                        zemb::kFixedPath.placement.seam_band);
}

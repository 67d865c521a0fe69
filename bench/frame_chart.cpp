#include "frame_chart.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace zemb_bench {

namespace {

const cv::Scalar kInk(40, 40, 40);
const cv::Scalar kGrid(225, 225, 225);
const cv::Scalar kNote(120, 120, 120);
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
constexpr double kSmallText = 0.45;

// 1, 2 or 5 times a power of ten, so that `range` spans about `ticks` steps.
double tick_step(double range, int ticks) {
  const double raw = range / ticks;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0})
    if (factor * power >= raw) return factor * power;
  return 10.0 * power;
}

std::string tick_text(double value) {
  const double rounded = std::round(value);
  return std::abs(value - rounded) < 1e-9 ? cv::format("%.0f", value) : cv::format("%.1f", value);
}

// Maps index and value to a pixel of the plot area.
struct Axes {
  cv::Rect area;
  double x_max;
  double y_max;
  cv::Point at(double x, double y) const {
    return {area.x + cvRound(area.width * x / x_max), area.y + area.height - cvRound(area.height * y / y_max)};
  }
};

double largest_value(const std::vector<ChartSeries>& series) {
  double largest = 0.0;
  for (const ChartSeries& s : series)
    for (double v : s.values)
      if (std::isfinite(v)) largest = std::max(largest, v);
  return largest > 0.0 ? largest : 1.0;
}

size_t longest_series(const std::vector<ChartSeries>& series) {
  size_t longest = 2;
  for (const ChartSeries& s : series) longest = std::max(longest, s.values.size());
  return longest;
}

void draw_text(cv::Mat& image, const std::string& text, cv::Point where, double scale = kSmallText) {
  cv::putText(image, text, where, kFont, scale, kInk, 1, cv::LINE_AA);
}

void draw_y_grid(cv::Mat& image, const Axes& axes, double step) {
  for (double y = 0.0; y <= axes.y_max + 1e-9; y += step) {
    const cv::Point left = axes.at(0.0, y);
    cv::line(image, left, {axes.area.br().x, left.y}, kGrid, 1);
    draw_text(image, tick_text(y), {left.x - 40, left.y + 5});
  }
}

void draw_x_grid(cv::Mat& image, const Axes& axes, double step, const std::vector<double>& notes) {
  for (double x = 0.0; x <= axes.x_max + 1e-9; x += step) {
    const cv::Point bottom = axes.at(x, 0.0);
    cv::line(image, {bottom.x, axes.area.y}, bottom, kGrid, 1);
    draw_text(image, tick_text(x), {bottom.x - 10, bottom.y + 20});
    const size_t index = static_cast<size_t>(x);
    if (index < notes.size())
      cv::putText(image, tick_text(notes[index]), {bottom.x - 14, bottom.y + 40}, kFont, kSmallText, kNote, 1,
                  cv::LINE_AA);
  }
}

void draw_series(cv::Mat& image, const Axes& axes, const ChartSeries& series) {
  for (size_t i = 1; i < series.values.size(); ++i) {
    const double a = series.values[i - 1], b = series.values[i];
    if (!std::isfinite(a) || !std::isfinite(b)) continue;
    cv::line(image, axes.at(double(i - 1), a), axes.at(double(i), b), series.colour, 2, cv::LINE_AA);
  }
}

void draw_legend(cv::Mat& image, const Axes& axes, const std::vector<ChartSeries>& series) {
  cv::Point where = axes.area.tl() + cv::Point(15, 20);
  for (const ChartSeries& s : series) {
    cv::line(image, where, where + cv::Point(25, 0), s.colour, 3, cv::LINE_AA);
    draw_text(image, s.label, where + cv::Point(35, 5));
    where.y += 22;
  }
}

}  // namespace

cv::Mat draw_line_chart(const ChartText& text, const std::vector<ChartSeries>& series, cv::Size size) {
  cv::Mat image(size, CV_8UC3, cv::Scalar::all(255));
  const Axes axes{cv::Rect(70, 45, size.width - 95, size.height - 125), double(longest_series(series) - 1),
                  largest_value(series) * 1.05};
  draw_y_grid(image, axes, tick_step(axes.y_max, 8));
  draw_x_grid(image, axes, tick_step(axes.x_max, 10), text.x_notes);
  cv::rectangle(image, axes.area, kInk, 1);
  for (const ChartSeries& s : series) draw_series(image, axes, s);
  draw_legend(image, axes, series);
  draw_text(image, text.title, {axes.area.x, 28}, 0.6);
  draw_text(image, text.x_label, {axes.area.x + axes.area.width / 2 - 40, size.height - 15}, 0.5);
  if (!text.x_notes.empty())
    cv::putText(image, "grey: " + text.x_note_label, {8, size.height - 15}, kFont, kSmallText, kNote, 1, cv::LINE_AA);
  draw_text(image, text.y_label, {8, axes.area.y - 12}, 0.5);
  return image;
}

}  // namespace zemb_bench

#include "frame_chart.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace zemb_bench {

namespace {

const cv::Scalar kInk(40, 40, 40), kGrid(225, 225, 225), kNote(120, 120, 120);
const cv::Size kImage(900, 480);
const cv::Rect kPlot(70, 45, 805, 355);

// 1, 2 or 5 times a power of ten, so that `range` spans about `ticks` steps.
double tick_step(double range, int ticks) {
  const double raw = range / ticks;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0})
    if (factor * power >= raw) return factor * power;
  return 10.0 * power;
}

void write(cv::Mat& image, const std::string& text, cv::Point where, double scale = 0.45,
           const cv::Scalar& colour = kInk) {
  cv::putText(image, text, where, cv::FONT_HERSHEY_SIMPLEX, scale, colour, 1, cv::LINE_AA);
}

// Maps frame index and ms to a pixel of the plot.
struct Axes {
  double x_max;
  double y_max;
  cv::Point at(double x, double y) const {
    return {kPlot.x + cvRound(kPlot.width * x / x_max), kPlot.br().y - cvRound(kPlot.height * y / y_max)};
  }
};

Axes axes_for(const std::vector<ChartSeries>& series) {
  double frames = 2.0, largest = 1.0;
  for (const ChartSeries& s : series) {
    frames = std::max(frames, double(s.values.size()));
    for (double v : s.values)
      if (std::isfinite(v)) largest = std::max(largest, v);
  }
  return {frames - 1.0, largest * 1.05};
}

void draw_grid(cv::Mat& image, const Axes& axes, const std::vector<double>& canvas_cols) {
  const double y_step = tick_step(axes.y_max, 8), x_step = tick_step(axes.x_max, 10);
  for (double y = 0.0; y <= axes.y_max; y += y_step) {
    const cv::Point left = axes.at(0.0, y);
    cv::line(image, left, {kPlot.br().x, left.y}, kGrid);
    write(image, cv::format("%g", y), {left.x - 40, left.y + 5});
  }
  for (double x = 0.0; x <= axes.x_max; x += x_step) {
    const cv::Point bottom = axes.at(x, 0.0);
    cv::line(image, {bottom.x, kPlot.y}, bottom, kGrid);
    write(image, cv::format("%g", x), {bottom.x - 10, bottom.y + 20});
    if (size_t(x) < canvas_cols.size())
      write(image, cv::format("%.0f", canvas_cols[size_t(x)]), {bottom.x - 14, bottom.y + 40}, 0.45, kNote);
  }
  cv::rectangle(image, kPlot, kInk);
}

}  // namespace

cv::Mat draw_frame_chart(const std::string& title, const std::vector<ChartSeries>& series,
                         const std::vector<double>& canvas_cols) {
  cv::Mat image(kImage, CV_8UC3, cv::Scalar::all(255));
  const Axes axes = axes_for(series);
  draw_grid(image, axes, canvas_cols);
  for (const ChartSeries& s : series)
    for (size_t i = 1; i < s.values.size(); ++i)
      if (std::isfinite(s.values[i - 1]) && std::isfinite(s.values[i]))
        cv::line(image, axes.at(i - 1.0, s.values[i - 1]), axes.at(i, s.values[i]), s.colour, 2, cv::LINE_AA);
  cv::Point legend = kPlot.tl() + cv::Point(15, 20);
  for (const ChartSeries& s : series) {
    cv::line(image, legend, legend + cv::Point(25, 0), s.colour, 3, cv::LINE_AA);
    write(image, s.label, legend + cv::Point(35, 5));
    legend.y += 22;
  }
  write(image, title, {kPlot.x, 28}, 0.6);
  write(image, "ms", {8, kPlot.y - 12}, 0.5);
  write(image, "frame index", {kPlot.x + kPlot.width / 2 - 40, kImage.height - 15}, 0.5);
  write(image, "grey: canvas columns", {8, kImage.height - 15}, 0.45, kNote);
  return image;
}

}  // namespace zemb_bench

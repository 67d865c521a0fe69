// A line chart drawn with OpenCV: one or more series of values against their
// index, on a white image with a grid, axis labels and a legend.
#ifndef ZEMB_FRAME_CHART_H
#define ZEMB_FRAME_CHART_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zemb_bench {

struct ChartSeries {
  std::string label;
  std::vector<double> values;  // NaN leaves a gap
  cv::Scalar colour;           // BGR
};

struct ChartText {
  std::string title;
  std::string x_label;
  std::string y_label;
  // A second row under the x ticks: the value at each tick's index.
  std::string x_note_label;
  std::vector<double> x_notes;
};

cv::Mat draw_line_chart(const ChartText& text, const std::vector<ChartSeries>& series,
                        cv::Size size = cv::Size(900, 480));

}  // namespace zemb_bench

#endif  // ZEMB_FRAME_CHART_H

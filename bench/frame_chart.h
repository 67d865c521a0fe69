// The chart of per-frame times along a sweep, drawn with OpenCV.
#ifndef ZEMB_FRAME_CHART_H
#define ZEMB_FRAME_CHART_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zemb_bench {

struct ChartSeries {
  std::string label;
  std::vector<double> values;  // ms, one a frame; NaN leaves a gap
  cv::Scalar colour;           // BGR
};

// `series` against frame index on a white image with a grid and a legend;
// under each frame-index tick, in grey, the canvas columns at that frame.
cv::Mat draw_frame_chart(const std::string& title, const std::vector<ChartSeries>& series,
                         const std::vector<double>& canvas_cols);

}  // namespace zemb_bench

#endif  // ZEMB_FRAME_CHART_H

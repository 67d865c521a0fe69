// Running minimum and maximum in list order. Written out rather than taken from
// std::min_element so that ties and NaNs behave exactly as documented: an
// element replaces the running value only when a strict comparison says so.
#include "zemb_stitcher.h"

namespace {

template <typename Replaces>
float running_extremum(const std::vector<float>& values, Replaces replaces) {
  CV_Assert(!values.empty());
  float result = values.front();
  for (size_t i = 1; i < values.size(); ++i)
    if (replaces(values[i], result)) result = values[i];
  return result;
}

}  // namespace

float min_axis(std::vector<float> values) {
  return running_extremum(values, [](float candidate, float current) { return candidate < current; });
}

float max_axis(std::vector<float> values) {
  return running_extremum(values, [](float candidate, float current) { return candidate > current; });
}

// A long sweep: the photographs placed side by side in one wide strip,
// followed by the same row mirrored, with a camera-sized window sliding along
// it. The strip reads the same from either end, so the last frames see the
// picture the first ones saw; the panorama grows to thousands of columns.
// Frames are cut one at a time when asked for; only the strip stays in memory.
#ifndef ZEMB_LONG_SWEEP_H
#define ZEMB_LONG_SWEEP_H

#include <vector>

#include <opencv2/core.hpp>

namespace zemb_tools {

struct LongSweepSettings {
  int strip_height = 2000;      // every photo is scaled to this height
  cv::Size window{1080, 1920};  // in strip pixels: a 1920x1080 camera frame
  int step = 64;                // strip pixels between consecutive windows
};

// `photo` scaled to `height` rows, keeping its proportions.
cv::Mat scaled_to_height(const cv::Mat& photo, int height);

// The photos scaled to `height` rows side by side, then the same row
// mirrored: a strip that reads the same from either end.
cv::Mat photo_strip(const std::vector<cv::Mat>& photos, int height);

class LongSweep {
 public:
  LongSweep(const std::vector<cv::Mat>& photos, const LongSweepSettings& settings);

  // Every window that fits in the strip, the last one ending at most `step`
  // pixels short of the strip's end.
  int frame_count() const;

  // Window `index` turned into camera orientation, like make_sweep's frames.
  cv::Mat camera_frame(int index) const;

 private:
  LongSweepSettings settings_;
  cv::Mat strip_;
};

}  // namespace zemb_tools

#endif  // ZEMB_LONG_SWEEP_H

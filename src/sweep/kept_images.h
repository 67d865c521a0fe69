// Keyframe images kept for the finished render, in memory up to a budget
// and beyond it in a folder of the sweep's own.
#ifndef ZEMB_SWEEP_KEPT_IMAGES_H
#define ZEMB_SWEEP_KEPT_IMAGES_H

#include <cstddef>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zemb/options.h"
#include "zemb/sweep.h"

namespace zemb {

// The camera frame as a keyframe keeps it: reduced to at most
// options.keep_columns columns, upright.
cv::Mat keyframe_image_from(const cv::Mat& camera_frame, const MemoryOptions& options);

// Keyframe images: in memory while they fit the budget, beyond it written
// (raw bytes, read back bit for bit) into a folder of the sweep's own, made
// inside `parent` the first time one is spilled. The folder goes with the
// object, or earlier by remove_folder(); nothing else is touched.
class KeptImages {
 public:
  KeptImages(std::string parent, std::size_t budget);
  ~KeptImages();
  KeptImages(const KeptImages&) = delete;
  KeptImages& operator=(const KeptImages&) = delete;
  // Keeps `image` as the next index; spills the oldest images held in memory
  // while over the budget. A spill that fails keeps the image in memory and
  // is counted, never lost.
  void add(const cv::Mat& image, SweepCounts& counts);
  cv::Mat get(int index) const;
  int size() const { return static_cast<int>(entries_.size()); }
  const std::string& folder() const { return folder_; }
  void remove_folder();

 private:
  struct Entry {
    cv::Mat image;     // empty once spilled
    std::string file;  // set once spilled
    cv::Size size;
    int type = 0;
  };
  bool spill(Entry& entry, int index);
  bool make_folder();

  std::string parent_;
  std::string folder_;  // empty until made
  std::size_t budget_;
  std::vector<Entry> entries_;
  size_t next_to_spill_ = 0;
};

}  // namespace zemb

#endif  // ZEMB_SWEEP_KEPT_IMAGES_H

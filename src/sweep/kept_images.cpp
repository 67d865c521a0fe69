// Keyframe images kept for the finished render. They stay in memory up to a
// budget; beyond it the oldest go into the sweep's own folder as raw files,
// which give back exactly the pixels written.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <opencv2/imgproc.hpp>

#include "sweep/kept_images.h"

namespace zemb {

namespace {

std::size_t bytes_of(const cv::Mat& image) { return image.total() * image.elemSize(); }

}  // namespace

// A bilinear reduction, a small part of a keyframe's cost, where an area
// reduction by an uneven factor would cost as much as the frame's tracking.
cv::Mat keyframe_image_from(const cv::Mat& camera_frame, const MemoryOptions& options) {
  if (camera_frame.cols <= options.keep_columns) return camera_frame.clone();
  const double factor = static_cast<double>(options.keep_columns) / camera_frame.cols;
  cv::Mat reduced;
  cv::resize(camera_frame, reduced, cv::Size(), factor, factor, cv::INTER_LINEAR);
  return reduced;
}

KeptImages::KeptImages(std::string parent, std::size_t budget) : parent_(std::move(parent)), budget_(budget) {
  if (parent_.empty()) {
    std::error_code error;
    parent_ = std::filesystem::temp_directory_path(error).string();
  }
}

KeptImages::~KeptImages() { remove_folder(); }

bool KeptImages::make_folder() {
  if (!folder_.empty()) return true;
  if (parent_.empty()) return false;
  std::string pattern = parent_ + "/zemb_sweep.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return false;
  folder_ = std::move(pattern);
  return true;
}

// Only the files this object wrote go, then the folder if that left it
// empty: whatever someone else put there stays.
void KeptImages::remove_folder() {
  for (Entry& entry : entries_)
    if (!entry.file.empty()) {
      std::remove(entry.file.c_str());
      entry.file.clear();
    }
  if (!folder_.empty()) ::rmdir(folder_.c_str());
  folder_.clear();
}

// Raw rows: a spill costs about a copy of the image, where even the fastest
// PNG would cost a frame's worth of time on the capture loop's thread.
bool KeptImages::spill(Entry& entry, int index) {
  if (!make_folder()) return false;
  const std::string file = folder_ + cv::format("/keyframe_%05d.raw", index);
  std::ofstream out(file, std::ios::binary);
  const std::size_t row_bytes = entry.image.cols * entry.image.elemSize();
  for (int row = 0; out && row < entry.image.rows; ++row)
    out.write(reinterpret_cast<const char*>(entry.image.ptr(row)), static_cast<std::streamsize>(row_bytes));
  out.close();
  if (!out) {
    std::remove(file.c_str());  // a part written before the failure is ours
    return false;
  }
  entry.file = file;
  entry.size = entry.image.size();
  entry.type = entry.image.type();
  entry.image.release();
  return true;
}

void KeptImages::add(const cv::Mat& image, SweepCounts& counts) {
  entries_.push_back({image, std::string(), image.size(), image.type()});
  counts.kept_bytes += bytes_of(image);
  while (counts.kept_bytes > budget_ && next_to_spill_ < entries_.size()) {
    Entry& oldest = entries_[next_to_spill_];
    const std::size_t bytes = bytes_of(oldest.image);
    if (spill(oldest, static_cast<int>(next_to_spill_))) {
      counts.kept_bytes -= bytes;
      ++counts.spilled;
    } else {
      ++counts.spill_failures;
    }
    ++next_to_spill_;
  }
}

cv::Mat KeptImages::get(int index) const {
  CV_Assert(index >= 0 && index < size());
  const Entry& entry = entries_[index];
  if (!entry.image.empty()) return entry.image;
  if (entry.file.empty())
    CV_Error(cv::Error::StsError, cv::format("keyframe %d was spilled and its folder has been removed", index));
  cv::Mat image(entry.size, entry.type);
  std::ifstream in(entry.file, std::ios::binary);
  in.read(reinterpret_cast<char*>(image.data), static_cast<std::streamsize>(image.total() * image.elemSize()));
  if (!in) CV_Error(cv::Error::StsError, "a spilled keyframe image cannot be read back: " + entry.file);
  return image;
}

}  // namespace zemb

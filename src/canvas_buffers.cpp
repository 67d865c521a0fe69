// Canvas memory reused from frame to frame. Every accepted frame needs a new
// canvas a little larger than the last; allocating it afresh touches new
// pages, whose faults cost as much as the copy of the old panorama itself
// once the panorama is large. Two buffers alternate: the canvas of the frame
// before last is written over once nothing but the stitcher refers to it, so
// a caller's copy of an earlier panorama or band never changes.
#include <climits>

#include "stitch_steps.h"

namespace zemb {

namespace {

// Room for the canvas to grow a while before a buffer must be replaced.
size_t capacity_for(size_t bytes) { return bytes + bytes / 4 + (size_t(1) << 20); }

// A one-row buffer counts its bytes in an int; larger canvases (beyond some
// 500 megapixels) are allocated afresh each time.
bool fits_a_buffer(size_t bytes) { return capacity_for(bytes) <= size_t(INT_MAX); }

bool held_only_here(const cv::Mat& buffer) { return buffer.u != nullptr && buffer.u->refcount == 1; }

// A continuous image laid over the start of a one-row byte buffer; it shares
// the buffer's reference count, so a caller's copy keeps the buffer busy.
cv::Mat canvas_in(const cv::Mat& buffer, cv::Size size) {
  return buffer.colRange(0, size.width * size.height * 3).reshape(3, size.height);
}

// The buffer to replace: an empty one, else one that only the stitcher
// holds, else one a caller still holds (it stays alive with the caller), but
// not the one under the current panorama, which comes back next time.
cv::Mat& slot_to_replace(CanvasBuffers& buffers, const cv::Mat& panorama) {
  for (cv::Mat& buffer : buffers)
    if (buffer.empty()) return buffer;
  for (cv::Mat& buffer : buffers)
    if (held_only_here(buffer)) return buffer;
  return buffers[0].u == panorama.u ? buffers[1] : buffers[0];
}

}  // namespace

cv::Mat acquire_canvas(CanvasBuffers* buffers, cv::Size size, const cv::Mat& panorama) {
  const size_t bytes = size_t(size.width) * size_t(size.height) * 3;
  if (buffers == nullptr || !fits_a_buffer(bytes)) return cv::Mat(size, CV_8UC3);
  for (const cv::Mat& buffer : *buffers)
    if (held_only_here(buffer) && buffer.total() >= bytes) return canvas_in(buffer, size);
  cv::Mat& slot = slot_to_replace(*buffers, panorama);
  slot = cv::Mat(1, static_cast<int>(capacity_for(bytes)), CV_8UC1);
  return canvas_in(slot, size);
}

}  // namespace zemb

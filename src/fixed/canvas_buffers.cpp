// Canvas memory reused from frame to frame. Every accepted frame needs a new
// canvas a little larger than the last, with the old panorama in it. A canvas
// is a view into a buffer that has room around it, so when nothing but the
// stitcher refers to the panorama, the next canvas is the same view grown in
// place: the old panorama is neither copied nor moved, only the margins the
// canvas gains are written. When a caller keeps the panorama or its band, or
// the buffer runs out of room, the canvas goes into the other buffer (reused
// once only the stitcher holds it, else allocated afresh) and the old
// panorama is copied in, so a caller's copy never changes under its feet.
#include <algorithm>

#include "fixed/steps.h"

namespace zemb {

namespace {

// Room for a canvas to grow before its buffer runs out: sweeps grow the
// canvas to the right by a few dozen columns a frame and drift up or down
// by a few rows, so a new buffer has half the canvas's width to its right
// and a quarter of its height above and below. A canvas never exceeds the
// largest canvas side, and neither does the room made for it.
int room_for(int side, int extra, int max_side) { return std::max(side, std::min(side + extra, max_side)); }

cv::Size buffer_size_for(cv::Size canvas, int max_side) {
  return {room_for(canvas.width, canvas.width / 2 + 64, max_side),
          room_for(canvas.height, canvas.height / 2 + 64, max_side)};
}

// `references` matrices, the buffer's own slot included, refer to its memory.
bool referenced_by(const cv::Mat& buffer, int references) {
  return buffer.u != nullptr && buffer.u->refcount == references;
}

bool held_only_here(const cv::Mat& buffer) { return referenced_by(buffer, 1); }

bool fits(const cv::Mat& buffer, cv::Size size) { return buffer.cols >= size.width && buffer.rows >= size.height; }

// The canvas as `panorama`'s own view grown, so that the panorama sits at
// `old_origin` on it; empty when `panorama` is not in `buffer`, someone else
// holds it, or the buffer has no room for the growth.
cv::Mat grown_in_place(const cv::Mat& buffer, const cv::Mat& panorama, cv::Size size, cv::Point old_origin) {
  if (panorama.empty() || panorama.u != buffer.u || !referenced_by(buffer, 1 + kOwnerViews)) return cv::Mat();
  cv::Size whole;
  cv::Point offset;
  panorama.locateROI(whole, offset);
  const cv::Rect grown(offset - old_origin, size);
  if ((grown & cv::Rect(cv::Point(0, 0), buffer.size())) != grown) return cv::Mat();
  return buffer(grown);
}

// A canvas against the buffer's left edge, with equal room above and below.
cv::Mat canvas_in(const cv::Mat& buffer, cv::Size size) {
  return buffer(cv::Rect(0, (buffer.rows - size.height) / 2, size.width, size.height));
}

// The buffer to replace: an empty one, else one that only the stitcher
// holds, else one a caller still holds (it stays alive with the caller), but
// not the one under the current panorama, which may come back next time.
cv::Mat& slot_to_replace(CanvasBuffers& buffers, const cv::Mat& panorama) {
  for (cv::Mat& buffer : buffers)
    if (buffer.empty()) return buffer;
  for (cv::Mat& buffer : buffers)
    if (held_only_here(buffer)) return buffer;
  return buffers[0].u == panorama.u ? buffers[1] : buffers[0];
}

}  // namespace

cv::Mat acquire_canvas(CanvasBuffers* buffers, cv::Size size, const cv::Mat& panorama, cv::Point old_origin,
                       int max_side) {
  if (buffers == nullptr) return cv::Mat(size, CV_8UC3);
  for (const cv::Mat& buffer : *buffers) {
    cv::Mat grown = grown_in_place(buffer, panorama, size, old_origin);
    if (!grown.empty()) return grown;
  }
  for (const cv::Mat& buffer : *buffers)
    if (held_only_here(buffer) && fits(buffer, size)) return canvas_in(buffer, size);
  cv::Mat& slot = slot_to_replace(*buffers, panorama);
  slot = cv::Mat(buffer_size_for(size, max_side), CV_8UC3);
  return canvas_in(slot, size);
}

}  // namespace zemb

// The sweep's live preview: the placed frames laid on the live canvas, and
// its band.
#ifndef ZEMB_SWEEP_PREVIEW_H
#define ZEMB_SWEEP_PREVIEW_H

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "sweep/kept_images.h"
#include "sweep/live_canvas.h"
#include "sweep/view.h"
#include "zemb/options.h"

namespace zemb {

// The live canvas and its band: the rows (or columns, as the camera's way
// goes) that every laid frame covered, across the whole canvas. Until the
// canvas's surface is chosen (a turning sweep's way not yet found) the
// preview is the first working frame alone. `direction` is the camera's way
// as the sweep knows it when a call is made (kAuto while not known).
class LivePreview {
 public:
  explicit LivePreview(int max_side) : max_side_(max_side) {}

  // Shows the first working frame. A copy: a frame at the working size is
  // the caller's own buffer, which the caller may reuse or free once add()
  // returns; it is laid on the surface once that is chosen (the frames
  // placed until then lie within a tenth of a frame of it).
  void start(const cv::Mat& first_working, Direction direction);
  // The first frame warped onto `projection`, before the surface is chosen.
  Patch first_frame_on(const Projection& projection, const Pose& first_pose) const;
  // Chooses the surface and lays `first_patch` (from first_frame_on) on it;
  // false when the canvas cannot show it.
  bool choose_surface(const Projection& projection, const Patch& first_patch, Direction direction);
  const std::optional<Projection>& projection() const { return projection_; }

  // Lays a frame's patch (see warp_to_canvas) and narrows the band; false
  // when the canvas cannot show it. `canvas_shift` receives how far the
  // canvas grew left or up.
  bool show(const Patch& patch, Direction direction, cv::Point2f& canvas_shift);
  // The preview and its band again.
  void refresh(Direction direction);
  // Starts laying the keyframes again on a surface at `scale` (a new focal
  // length), on a canvas of its own, so that they show at their own
  // resolution; the preview stays as it is until every one is laid.
  void start_redraw(double scale);
  // Lays the next keyframe (of `views`, their images in `images`) that is
  // not laid again yet, one a frame, so that no frame pays for them all; the
  // preview shows the new canvas once every keyframe so far is laid. An
  // exception leaves the preview as it was. Nothing while none is started.
  void redraw_step(const std::vector<View>& views, const KeptImages& images, Direction direction);

  const cv::Mat& image() const { return image_; }
  const cv::Mat& band() const { return band_view_; }
  cv::Point origin() const { return canvas_.origin(); }  // canvas pixel of image()'s top-left corner
  int max_side() const { return max_side_; }

 private:
  int max_side_;
  std::optional<Projection> projection_;  // the live canvas's surface, once chosen
  LiveCanvas canvas_;
  cv::Mat image_, band_view_;
  cv::Rect band_;  // canvas pixels that every laid frame covered across the sweep
  cv::Mat first_working_;  // until the surface is chosen
  // The canvas the keyframes are laid on again while a redraw goes on, and
  // how many of them are.
  std::shared_ptr<LivePreview> redrawn_;
  std::size_t laid_again_ = 0;
};

}  // namespace zemb

#endif  // ZEMB_SWEEP_PREVIEW_H

// The live preview: frames laid on the live canvas as they are placed, and
// the band across the sweep that every one of them covered.
#include "sweep/preview.h"

#include <algorithm>
#include <utility>

#include <opencv2/imgproc.hpp>

namespace zemb {

namespace {

bool across_rows(Direction direction) { return direction == Direction::kRight || direction == Direction::kLeft; }

}  // namespace

void LivePreview::start(const cv::Mat& first_working, Direction direction) {
  first_working_ = first_working.clone();
  refresh(direction);
}

Patch LivePreview::first_frame_on(const Projection& projection, const Pose& first_pose) const {
  return warp_to_canvas(first_working_, first_pose, projection, max_side_);
}

bool LivePreview::choose_surface(const Projection& projection, const Patch& first_patch, Direction direction) {
  projection_.emplace(projection);
  cv::Point2f ignored;
  const bool laid = show(first_patch, direction, ignored);
  // The first frame stays the preview until a frame is laid on the surface.
  if (laid) first_working_.release();
  return laid;
}

bool LivePreview::show(const Patch& patch, Direction direction, cv::Point2f& canvas_shift) {
  const cv::Point before = canvas_.origin();
  if (patch.image.empty() || !canvas_.lay(patch, *projection_, max_side_)) return false;
  canvas_shift = cv::Point2f(before - canvas_.origin());
  const cv::Rect box = patch.box;
  if (band_.empty())
    band_ = box;
  else if (across_rows(direction))
    band_ = cv::Rect(0, std::max(band_.y, box.y), 1, std::min(band_.br().y, box.br().y) - std::max(band_.y, box.y));
  else
    band_ = cv::Rect(std::max(band_.x, box.x), 0, std::min(band_.br().x, box.br().x) - std::max(band_.x, box.x), 1);
  refresh(direction);
  return true;
}

// The rows (or columns) every frame covered, across the whole canvas; the
// whole canvas when there are none.
void LivePreview::refresh(Direction direction) {
  image_ = canvas_.image().empty() ? first_working_ : canvas_.image();
  const cv::Rect whole(cv::Point(0, 0), image_.size());
  cv::Rect wanted = whole;
  if (!canvas_.image().empty() && !band_.empty()) {
    const cv::Rect in_image = band_ - canvas_.origin();
    wanted = across_rows(direction) ? cv::Rect(0, in_image.y, whole.width, in_image.height)
                                    : cv::Rect(in_image.x, 0, in_image.width, whole.height);
  }
  wanted &= whole;
  band_view_ = image_(wanted.empty() ? whole : wanted);
}

// Drawn on a fresh canvas (the preview's old image stays until the first
// frame is laid) and taken over only once every keyframe is laid.
void LivePreview::start_redraw(double scale) {
  auto redrawn = std::make_shared<LivePreview>(*this);
  redrawn->projection_.emplace(projection_->surface(), scale);
  redrawn->canvas_ = LiveCanvas();
  redrawn->band_ = cv::Rect();
  redrawn->redrawn_.reset();
  redrawn_ = std::move(redrawn);
  laid_again_ = 0;
}

void LivePreview::redraw_step(const std::vector<View>& views, const KeptImages& images, Direction direction) {
  if (!redrawn_) return;
  if (laid_again_ < views.size()) {
    const View& view = views[laid_again_];
    cv::Mat working;
    cv::resize(images.get(static_cast<int>(laid_again_)), working, view.working_size, 0, 0, cv::INTER_AREA);
    cv::Point2f ignored;
    redrawn_->show(warp_to_canvas(working, view.pose, *redrawn_->projection_, max_side_), direction, ignored);
    ++laid_again_;
  }
  if (laid_again_ < views.size()) return;
  const std::shared_ptr<LivePreview> redrawn = std::move(redrawn_);
  *this = std::move(*redrawn);
}

}  // namespace zemb

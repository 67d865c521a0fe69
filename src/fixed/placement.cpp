// The second half of a frame's road: the frame homography becomes a placement
// on a new canvas, the frame is warped and laid onto it through the seam
// rule, and the common band is narrowed. All geometry is decided
// before any pixel is touched, so a refused frame costs no canvas work.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "fixed/seam_repair.h"
#include "fixed/steps.h"
#include "zemb_stitcher.h"

namespace zemb {

namespace {

// A placed frame is compared against its own edges with this slack: the refit
// reproduces the straightened corners only to about 1e-4 px.
constexpr float kEdgeTolerance = 0.5f;

using Outline = std::vector<cv::Point2f>;

// How far the old panorama moves right and down so that no corner of the
// frame is negative; a NaN minimum gives no shift.
void canvas_offset(const Outline& q, float& dx, float& dy) {
  const float min_x = min_axis({q[0].x, q[1].x, q[2].x, q[3].x});
  const float min_y = min_axis({q[0].y, q[1].y, q[2].y, q[3].y});
  dx = min_x < 0 ? -min_x : 0.0f;
  dy = min_y < 0 ? -min_y : 0.0f;
}

void set_bounds(const Outline& q, Geometry& g) {
  g.left = min_axis({q[0].x, q[3].x});
  g.top = min_axis({q[0].y, q[1].y});
  g.right = min_axis({q[1].x, q[2].x});
  g.bottom = max_axis({q[2].y, q[3].y});
}

bool all_finite(const Outline& q) {
  for (const cv::Point2f& p : q)
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
  return true;
}

// The frame must reach at least growth_share of the way to the panorama's
// right end.
bool extends_panorama(int panorama_cols, float dx, float right, double growth_share) {
  const float grown_width = static_cast<float>(panorama_cols) + dx;
  return !(static_cast<double>(grown_width) * growth_share > static_cast<double>(right));
}

// A convex outline whose left corners lie left of its right edge and whose top
// corners lie above its bottom edge, with no corner beyond either edge: a
// mirrored or folded placement would spill outside the canvas.
bool keeps_orientation(const Outline& q, const Geometry& b) {
  if (!all_finite(q) || !cv::isContourConvex(q)) return false;
  for (const cv::Point2f& p : q)
    if (p.x < -kEdgeTolerance || p.y < -kEdgeTolerance || p.x > b.right + kEdgeTolerance ||
        p.y > b.bottom + kEdgeTolerance)
      return false;
  return q[0].x < b.right && q[3].x < b.right && q[0].y < b.bottom && q[1].y < b.bottom;
}

// A sweep never enlarges a frame much from one step to the next; a placement
// larger than max_placed_scale, or one detached from the panorama, comes from
// a mistracked frame and would only blow the canvas up. Chained placements
// also gather magnification along a long sweep; frames placed beyond it are
// refused until one tracked against the last accepted frame fits again,
// which keeps the work per frame bounded.
bool plausible_placement(const Outline& q, cv::Size frame_size, float old_right_end, float max_placed_scale) {
  const float limit = max_placed_scale * static_cast<float>(std::max(frame_size.width, frame_size.height));
  const float width = max_axis({q[0].x, q[1].x, q[2].x, q[3].x}) - min_axis({q[0].x, q[1].x, q[2].x, q[3].x});
  const float height = max_axis({q[0].y, q[1].y, q[2].y, q[3].y}) - min_axis({q[0].y, q[1].y, q[2].y, q[3].y});
  return width <= limit && height <= limit && min_axis({q[0].x, q[3].x}) <= old_right_end;
}

// Straightens the right edge onto x = right and refits the homography to the
// four corners; false when the refit is unusable or the outline degenerate.
bool refit_to_straight_edge(const Outline& corners, Outline straightened, const FitOptions& options,
                            Geometry& g) {
  straightened[1].x = g.right;
  straightened[2].x = g.right;
  g.homography = fit_homography(corners, straightened, options);
  if (g.homography.empty()) return false;
  g.placed = project(corners, g.homography);
  return keeps_orientation(g.placed, g);
}

bool within_canvas_limit(float side, int max_side) { return side < static_cast<float>(max_side) + 1.0f; }

// Sizes and rectangles of the new canvas, the patch and the band; false when
// any of them would be empty or the canvas too large.
bool size_canvas(const cv::Mat& panorama, const Band& old_band, int max_side, Geometry& g) {
  const float width = max_axis({static_cast<float>(panorama.cols) + g.dx, g.right});
  const float height = max_axis({static_cast<float>(panorama.rows) + g.dy, g.bottom});
  if (!within_canvas_limit(width, max_side) || !within_canvas_limit(height, max_side)) return false;
  g.canvas_size = cv::Size(static_cast<int>(width), static_cast<int>(height));
  const cv::Rect canvas_rect(cv::Point(0, 0), g.canvas_size);
  const Geometry& b = g;
  g.patch_size = cv::Size(static_cast<int>(b.right - b.left), static_cast<int>(b.bottom - b.top));
  g.patch_rect = cv::Rect(cv::Point(static_cast<int>(b.left), static_cast<int>(b.top)), g.patch_size) &
                 canvas_rect;
  const Outline& q = g.placed;
  g.band.top = max_axis({old_band.top + g.dy, q[0].y, q[1].y});
  g.band.bottom = min_axis({old_band.bottom + g.dy, q[2].y, q[3].y});
  g.band.right = min_axis({q[1].x, q[2].x});
  g.band_rect = cv::Rect(0, static_cast<int>(g.band.top), static_cast<int>(g.band.right),
                         static_cast<int>(g.band.bottom - g.band.top)) &
                canvas_rect;
  return g.patch_size.width >= 1 && g.patch_size.height >= 1 && !g.patch_rect.empty() &&
         g.band_rect.height >= 1 && g.band_rect.width >= 1;
}

// One canvas row: zeros around the old panorama's row, or zeros only. On a
// canvas grown in place the old row is already there and only the margins
// are written.
void compose_row(const cv::Mat& panorama, const cv::Rect& old_rect, cv::Mat& canvas, int row) {
  uchar* out = canvas.ptr<uchar>(row);
  const size_t row_bytes = canvas.cols * size_t(3);
  if (row < old_rect.y || row >= old_rect.y + old_rect.height) {
    std::memset(out, 0, row_bytes);
    return;
  }
  const size_t left_bytes = old_rect.x * size_t(3), old_bytes = old_rect.width * size_t(3);
  const uchar* old_row = panorama.ptr<uchar>(row - old_rect.y);
  std::memset(out, 0, left_bytes);
  if (out + left_bytes != old_row) std::memcpy(out + left_bytes, old_row, old_bytes);
  std::memset(out + left_bytes + old_bytes, 0, row_bytes - left_bytes - old_bytes);
}

// The parts of `rect` outside `box`, which lies inside it: rows above and
// below the box, then columns left and right of it. Some may be empty.
std::array<cv::Rect, 4> around(const cv::Rect& rect, const cv::Rect& box) {
  if (box.empty()) return {rect, cv::Rect(), cv::Rect(), cv::Rect()};
  return {cv::Rect(rect.x, rect.y, rect.width, box.y - rect.y),
          cv::Rect(rect.x, box.br().y, rect.width, rect.br().y - box.br().y),
          cv::Rect(rect.x, box.y, box.x - rect.x, box.height),
          cv::Rect(box.br().x, box.y, rect.br().x - box.br().x, box.height)};
}

}  // namespace

FrameOutcome plan_placement(const cv::Mat& panorama, const Band& band, cv::Size frame_size,
                            const cv::Mat& homography, const FixedPlacementSettings& settings, const FitOptions& fit,
                            Geometry& g) {
  if (!usable_homography(homography)) return FrameOutcome::kNotPlaceable;
  const Outline corners = frame_corners(frame_size);
  canvas_offset(project(corners, homography), g.dx, g.dy);
  g.homography = translation(g.dx, g.dy) * homography;
  const Outline shifted = project(corners, g.homography);
  if (!all_finite(shifted)) return FrameOutcome::kNotPlaceable;
  set_bounds(shifted, g);
  if (!extends_panorama(panorama.cols, g.dx, g.right, settings.growth_share)) return FrameOutcome::kNotExtended;
  const bool placeable = plausible_placement(shifted, frame_size, static_cast<float>(panorama.cols) + g.dx,
                                             settings.max_placed_scale) &&
                         refit_to_straight_edge(corners, shifted, fit, g) &&
                         size_canvas(panorama, band, settings.max_canvas_side, g);
  return placeable ? FrameOutcome::kAccepted : FrameOutcome::kNotPlaceable;
}

// The new canvas: zeros around the old panorama, which sits at the offset.
// One pass writes every byte once, rows shared among the threads; nothing in
// it can change the old panorama's pixels.
cv::Mat compose_canvas(const cv::Mat& panorama, const Geometry& g, CanvasBuffers* buffers, int max_side) {
  const cv::Rect old_rect(static_cast<int>(g.dx), static_cast<int>(g.dy), panorama.cols, panorama.rows);
  cv::Mat canvas = acquire_canvas(buffers, g.canvas_size, panorama, old_rect.tl(), max_side);
  cv::parallel_for_(cv::Range(0, canvas.rows), [&](const cv::Range& rows) {
    for (int row = rows.start; row < rows.end; ++row) compose_row(panorama, old_rect, canvas, row);
  });
  return canvas;
}

cv::Mat warp_patch(const cv::Mat& working, const Geometry& g) {
  const cv::Mat to_patch = translation(-g.left, -g.top) * g.homography;
  cv::Mat patch;
  cv::warpPerspective(working, patch, to_patch, g.patch_size, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                      cv::Scalar::all(0));
  return patch;
}

// Lays the patch onto the canvas over the patch rectangle: the same as
// pasting it and repairing the seam box from the pixels the paste overwrote,
// with the canvas's own pixels as the old ones, so nothing is copied aside.
// The canvas may be the old panorama grown in place: everything that can
// fail comes before the first write, and the seam rule, which goes first,
// either runs whole or fails before writing.
void lay_patch(cv::Mat& canvas, const cv::Mat& patch, const Geometry& g, float seam_band) {
  const cv::Point patch_origin(static_cast<int>(g.left), static_cast<int>(g.top));
  const cv::Rect box = seam_box(g.placed, g.patch_rect);
  apply_seam_rule(canvas(box), patch(box - patch_origin), canvas(box), g.placed, box, seam_band);
  for (const cv::Rect& part : around(g.patch_rect, box))
    if (!part.empty()) patch(part - patch_origin).copyTo(canvas(part));
}

cv::Mat translation(double tx, double ty) { return (cv::Mat_<double>(3, 3) << 1, 0, tx, 0, 1, ty, 0, 0, 1); }

Placement place_frame(const cv::Mat& panorama, const Band& band, const cv::Mat& working,
                      const cv::Mat& homography, CanvasBuffers* buffers, const FixedPlacementSettings& settings,
                      const FitOptions& fit) {
  Placement placement;
  Geometry g;
  placement.outcome = plan_placement(panorama, band, working.size(), homography, settings, fit, g);
  step_ended(FixedStep::kPlan);
  if (!placement.placed()) return placement;
  placement_planned(g);
  placement.canvas = compose_canvas(panorama, g, buffers, settings.max_canvas_side);
  step_ended(FixedStep::kCompose);
  const cv::Mat patch = warp_patch(working, g);
  step_ended(FixedStep::kWarp);
  lay_patch(placement.canvas, patch, g, settings.seam_band);
  step_ended(FixedStep::kLay);
  placement.cropped = placement.canvas(g.band_rect);
  placement.band = g.band;
  placement.homography = g.homography;
  placement.shift = cv::Point2f(static_cast<float>(static_cast<int>(g.dx)), static_cast<float>(static_cast<int>(g.dy)));
  return placement;
}

}  // namespace zemb

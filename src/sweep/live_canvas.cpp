// The live canvas: each placed frame warped onto the sweep's surface and
// laid over what is there, the canvas growing in any direction. A cylinder
// repeats every full turn, so a sweep that comes round meets its start.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "sweep/live_canvas.h"

namespace zemb {

namespace {

// A frame stretched beyond this many times its own area (close to a
// cylinder's axis) is not shown: it would cost more than it shows.
constexpr double kMostStretch = 16.0;
// Points sampled along each edge of a frame to find its box on the canvas.
constexpr int kEdgeSamples = 16;

std::vector<cv::Point2d> outline_samples(cv::Size size) {
  std::vector<cv::Point2d> points;
  const double w = size.width, h = size.height;
  for (int i = 0; i < kEdgeSamples; ++i) {
    const double t = static_cast<double>(i) / kEdgeSamples;
    points.insert(points.end(), {{t * w, 0}, {w, t * h}, {w - t * w, h}, {0, h - t * h}});
  }
  return points;
}

// The period of the canvas along the axis a cylinder turns about (0 or 1),
// in whole pixels; 0 for a plane.
int whole_period(const Projection& projection) { return cvRound(projection.period()); }
int wrap_axis(const Projection& projection) { return projection.wraps_columns() ? 0 : 1; }

double& along(cv::Point2d& p, int axis) { return axis == 0 ? p.x : p.y; }

// The canvas box of a frame: its outline's samples, unwrapped around its
// centre on a cylinder. Empty when a sample lies behind a plane.
cv::Rect canvas_box(cv::Size size, const Pose& pose, const Projection& projection) {
  const double period = projection.period();
  const int axis = wrap_axis(projection);
  const cv::Vec3d centre_ray = pose.to_world * cv::Vec3d(size.width / 2.0, size.height / 2.0, 1.0);
  cv::Point2d centre = projection.to_canvas(centre_ray);
  double min_x = 1e300, min_y = 1e300, max_x = -1e300, max_y = -1e300;
  for (const cv::Point2d& p : outline_samples(size)) {
    const cv::Vec3d world = pose.to_world * cv::Vec3d(p.x, p.y, 1.0);
    if (projection.surface() == Surface::kPlane && !(world[2] > 1e-9)) return cv::Rect();
    cv::Point2d c = projection.to_canvas(world);
    if (period > 0) along(c, axis) += period * std::round((along(centre, axis) - along(c, axis)) / period);
    if (!std::isfinite(c.x) || !std::isfinite(c.y)) return cv::Rect();
    min_x = std::min(min_x, c.x), max_x = std::max(max_x, c.x);
    min_y = std::min(min_y, c.y), max_y = std::max(max_y, c.y);
  }
  const double limit = 1e6;
  if (max_x - min_x > limit || max_y - min_y > limit) return cv::Rect();
  return cv::Rect(cv::Point(cvFloor(min_x), cvFloor(min_y)), cv::Point(cvCeil(max_x) + 1, cvCeil(max_y) + 1));
}

// Canvas pixel (x, y) of the surface is the world vector column(x) + row(y)
// on every surface; with the frame's pixel-from-world matrix A applied to
// each table once, a pixel costs two additions and a division.
struct WarpTables {
  std::vector<cv::Vec3d> columns, rows;
};

WarpTables warp_tables(const cv::Rect& box, const Projection& projection, const cv::Matx33d& frame_from_world) {
  WarpTables tables;
  const cv::Vec3d origin = projection.to_world({0.0, 0.0});
  for (int x = box.x; x < box.br().x; ++x) {
    const cv::Vec3d w = projection.to_world({static_cast<double>(x), 0.0});
    // The row part carries the origin's terms, so the column part leaves them out.
    tables.columns.push_back(frame_from_world * (projection.surface() == Surface::kLyingCylinder
                                                     ? cv::Vec3d(w[0], 0, 0)
                                                     : cv::Vec3d(w[0], 0, w[2] - origin[2])));
  }
  for (int y = box.y; y < box.br().y; ++y) {
    const cv::Vec3d w = projection.to_world({0.0, static_cast<double>(y)});
    tables.rows.push_back(frame_from_world * (projection.surface() == Surface::kLyingCylinder
                                                  ? cv::Vec3d(0, w[1], w[2])
                                                  : cv::Vec3d(0, w[1], origin[2])));
  }
  return tables;
}

}  // namespace

cv::Point2d Projection::to_canvas(const cv::Vec3d& w) const {
  switch (surface_) {
    case Surface::kPlane: return {scale_ * w[0] / w[2], scale_ * w[1] / w[2]};
    case Surface::kUprightCylinder:
      return {scale_ * std::atan2(w[0], w[2]), scale_ * w[1] / std::hypot(w[0], w[2])};
    case Surface::kLyingCylinder:
      return {scale_ * w[0] / std::hypot(w[1], w[2]), scale_ * std::atan2(w[1], w[2])};
  }
  return {};
}

cv::Vec3d Projection::to_world(cv::Point2d c) const {
  const double u = c.x / scale_, v = c.y / scale_;
  switch (surface_) {
    case Surface::kPlane: return {u, v, 1.0};
    case Surface::kUprightCylinder: return {std::sin(u), v, std::cos(u)};
    case Surface::kLyingCylinder: return {u, std::sin(v), std::cos(v)};
  }
  return {};
}

double Projection::period() const { return surface_ == Surface::kPlane ? 0.0 : 2.0 * CV_PI * scale_; }

Patch warp_to_canvas(const cv::Mat& working, const Pose& pose, const Projection& projection, int max_side) {
  const cv::Rect box = canvas_box(working.size(), pose, projection);
  if (box.empty() || box.width > max_side || box.height > max_side ||
      box.area() > kMostStretch * working.size().area())
    return Patch();
  const WarpTables tables = warp_tables(box, projection, pose.to_world.inv());
  cv::Mat map_x(box.size(), CV_32F), map_y(box.size(), CV_32F);
  Patch patch{box, cv::Mat(), cv::Mat(box.size(), CV_8U)};
  const float last_x = static_cast<float>(working.cols - 1), last_y = static_cast<float>(working.rows - 1);
  cv::parallel_for_(cv::Range(0, box.height), [&](const cv::Range& rows) {
    for (int r = rows.start; r < rows.end; ++r) {
      float* mx = map_x.ptr<float>(r);
      float* my = map_y.ptr<float>(r);
      uchar* inside = patch.mask.ptr<uchar>(r);
      for (int c = 0; c < box.width; ++c) {
        const cv::Vec3d p = tables.columns[std::size_t(c)] + tables.rows[std::size_t(r)];
        const float x = p[2] > 1e-12 ? static_cast<float>(p[0] / p[2]) : -1.0f;
        const float y = p[2] > 1e-12 ? static_cast<float>(p[1] / p[2]) : -1.0f;
        const bool in = x >= 0 && y >= 0 && x <= last_x && y <= last_y;
        mx[c] = in ? x : -1.0f;
        my[c] = in ? y : -1.0f;
        inside[c] = in ? 255 : 0;
      }
    }
  });
  cv::remap(working, patch.image, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  return patch;
}

// The buffer that holds `covered` with room to grow: the one held, stretched
// only on the sides `covered` went past it, as a sweep goes on in the
// direction it went; at first, every side. Stretching every side each time
// made buffers four times the canvas, and the frame that grew one (16 MB
// zeroed on the street clip's frame 350) three times as slow as the others.
cv::Rect LiveCanvas::buffer_for(const cv::Rect& covered, int max_side) const {
  const int room_x = std::min(covered.width / 2 + 64, max_side - covered.width);
  const int room_y = std::min(covered.height / 2 + 64, max_side - covered.height);
  const bool first = buffer_.empty();
  const cv::Rect held = first ? covered : cv::Rect(buffer_origin_, buffer_.size());
  const int left = first || covered.x < held.x ? covered.x - room_x : held.x;
  const int top = first || covered.y < held.y ? covered.y - room_y : held.y;
  const int right = first || covered.br().x > held.br().x ? covered.br().x + room_x : held.br().x;
  const int bottom = first || covered.br().y > held.br().y ? covered.br().y + room_y : held.br().y;
  return cv::Rect(left, top, right - left, bottom - top);
}

// The buffer is not cleared when made: the canvas is cleared only where it
// grows, as it grows. A buffer made many times the canvas's size, cleared
// whole, cost the frame that made it up to three times a frame's time.
bool LiveCanvas::grow_to(const cv::Rect& wanted, int max_side) {
  const cv::Rect now = image_.empty() ? cv::Rect() : cv::Rect(origin_, image_.size());
  const cv::Rect covered = image_.empty() ? wanted : (now | wanted);
  if (covered.width > max_side || covered.height > max_side) return false;
  const cv::Rect held(buffer_origin_, buffer_.size());
  if (buffer_.empty() || (covered & held) != covered) {
    const cv::Rect bigger = buffer_for(covered, max_side);
    cv::Mat buffer(bigger.size(), CV_8UC3);
    if (!image_.empty()) image_.copyTo(buffer(now - bigger.tl()));
    buffer_ = buffer;
    buffer_origin_ = bigger.tl();
  }
  image_ = buffer_(covered - buffer_origin_);
  origin_ = covered.tl();
  clear_around(now - origin_);
  return true;
}

// Clears the canvas but for `kept` (canvas image pixels, within it): the
// bands above and below it, and the parts beside it.
void LiveCanvas::clear_around(const cv::Rect& kept) {
  const int width = image_.cols, height = image_.rows;
  if (kept.empty()) {
    image_.setTo(cv::Scalar::all(0));
    return;
  }
  const cv::Rect bands[] = {{0, 0, width, kept.y},
                            {0, kept.br().y, width, height - kept.br().y},
                            {0, kept.y, kept.x, kept.height},
                            {kept.br().x, kept.y, width - kept.br().x, kept.height}};
  for (const cv::Rect& band : bands)
    if (!band.empty()) image_(band).setTo(cv::Scalar::all(0));
}

bool LiveCanvas::lay(const Patch& patch, const Projection& projection, int max_side) {
  const int period = whole_period(projection);
  const int axis = wrap_axis(projection);
  std::vector<std::pair<cv::Rect, cv::Point>> pieces;  // part of the patch, where it goes
  const cv::Rect whole(cv::Point(0, 0), patch.box.size());
  if (period <= 0) {
    pieces.push_back({whole, patch.box.tl()});
  } else {
    // Along the axis it turns about, the canvas covers [-period/2, period -
    // period/2): the patch is moved by whole turns so that its centre lies
    // there, and a part beyond either end goes a turn round.
    cv::Point start = patch.box.tl();
    int& at = axis == 0 ? start.x : start.y;
    const int length = axis == 0 ? patch.box.width : patch.box.height;
    const int low = -(period / 2), high = period - period / 2;
    at -= period * static_cast<int>(std::floor((at + length / 2.0 - low) / period));
    const int bounds[] = {at, std::clamp(low, at, at + length), std::clamp(high, at, at + length), at + length};
    const int turns[] = {period, 0, -period};
    for (int k = 0; k < 3; ++k) {
      const int from = bounds[k] - at, count = bounds[k + 1] - bounds[k];
      if (count <= 0) continue;
      const cv::Rect part = axis == 0 ? cv::Rect(from, 0, count, whole.height) : cv::Rect(0, from, whole.width, count);
      const cv::Point move = axis == 0 ? cv::Point(turns[k], 0) : cv::Point(0, turns[k]);
      pieces.push_back({part, start + part.tl() + move});
    }
  }
  cv::Rect wanted;
  for (const auto& [part, to] : pieces) wanted |= cv::Rect(to, part.size());
  if (!grow_to(wanted, max_side)) return false;
  for (const auto& [part, to] : pieces)
    patch.image(part).copyTo(image_(cv::Rect(to - origin_, part.size())), patch.mask(part));
  return true;
}

}  // namespace zemb

// The finished panorama composed tile by tile, for panoramas past what one
// canvas holds (OpenCV's warps refuse images past 32,767 pixels a side, and
// a multi-band blender keeps about 13 bytes a pixel). Gains and seams are
// found once for the whole panorama; each tile then blends the keyframes it
// meets inside a margin around it. The multi-band blender's pyramid reaches
// a few times 2^bands pixels, so a margin of kMarginUnits such steps leaves
// the tile itself as the whole canvas would blend it, and tiles start on
// multiples of 2^bands from the panorama's corner so that every tile's
// pyramid levels fall on the whole canvas's pixel grid.
#include <algorithm>
#include <iterator>
#include <map>

#include <opencv2/imgproc.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

constexpr int kMarginUnits = 4;

// The step tiles and margins are multiples of: the coarsest level of the
// multi-band pyramid.
int blend_unit(const RenderOptions& options) { return 1 << options.blend_bands; }

int rounded_up(int value, int unit) { return (value + unit - 1) / unit * unit; }

// The keyframes that meet the tile being composed, warped once for all the
// tiles they meet: tiles go left to right along a strip, so a keyframe that
// stops meeting them is not needed again in that strip, and the frames kept
// are only those that meet one tile's area.
class FrameCache {
 public:
  FrameCache(const SweepRecord& record, const FrameWarps& warps, const CompositionPlan& plan)
      : record_(record), warps_(warps), plan_(plan) {}

  // Drops the frames that do not meet `area`.
  void keep_only(const cv::Rect& area) {
    for (auto it = frames_.begin(); it != frames_.end();)
      it = (plan_.footprints[it->first] & area).empty() ? frames_.erase(it) : std::next(it);
  }

  const WarpedFrame& frame(std::size_t k) {
    auto found = frames_.find(k);
    if (found == frames_.end()) found = frames_.emplace(k, composed_frame(record_, warps_, plan_, k)).first;
    return found->second;
  }

 private:
  const SweepRecord& record_;
  const FrameWarps& warps_;
  const CompositionPlan& plan_;
  std::map<std::size_t, WarpedFrame> frames_;
};

// One tile of the panorama (panorama coordinates), blended with every
// keyframe that meets `area` (the tile and its margin, inside what the
// keyframes reach; on the whole sphere a tile may lie beyond it).
cv::Mat compose_tile(const CompositionPlan& plan, FrameCache& cache, const cv::Rect& tile, const cv::Rect& area) {
  cv::Mat tile_pixels(tile.size(), CV_8UC3, cv::Scalar::all(0));
  const cv::Rect reached = tile & area;
  if (reached.empty()) return tile_pixels;
  plan.blender->prepare(area);
  cache.keep_only(area);
  cv::Mat cover = cv::Mat::zeros(area.size(), CV_8U);
  for (std::size_t k = 0; k < plan.drawn.size(); ++k) {
    if ((plan.footprints[k] & area).empty()) continue;
    const WarpedFrame& frame = cache.frame(k);
    const cv::Rect part = cv::Rect(frame.corner, frame.image.size()) & area;
    const cv::Rect inside = part - frame.corner;
    cv::Mat image16;
    frame.image(inside).convertTo(image16, CV_16S);
    plan.blender->feed(image16, frame.mask(inside), part.tl());
    cover(part - area.tl()) |= frame.mask(inside);
  }
  if (cv::countNonZero(cover) == 0) return tile_pixels;
  cv::Mat blended, blender_mask, blended8;
  plan.blender->blend(blended, blender_mask);
  blended.convertTo(blended8, CV_8U);
  const cv::Rect in_area = reached - area.tl();
  blended8(in_area).copyTo(tile_pixels(reached - tile.tl()), cover(in_area));
  return tile_pixels;
}

// Where a tile of the composed panorama (panorama coordinates) goes in the
// panorama handed out: within the box, and on a turned panorama a quarter
// turn clockwise with it.
cv::Rect handed_out(const cv::Rect& tile, const cv::Rect& box, bool turned) {
  const cv::Rect inside = tile - box.tl();
  return turned ? cv::Rect(box.height - inside.y - inside.height, inside.x, inside.height, inside.width) : inside;
}

// Every tile of the plan's box, composed and handed to `sink` one at a time.
// A turned panorama (a sweep up or down) goes out a quarter turn clockwise:
// its rows of tiles are the composed panorama's bands of columns.
void compose_tiles(const SweepRecord& record, const FrameWarps& warps, const CompositionPlan& plan,
                   const RenderOptions& options, bool turned, PanoramaSink& sink) {
  const int unit = blend_unit(options);
  const int side = rounded_up(options.tile_size, unit);
  const int margin = kMarginUnits * unit;
  const cv::Rect& box = plan.box;
  const int length = turned ? box.width : box.height;
  FrameCache cache(record, warps, plan);
  for (int first = 0; first < length; first += side) {
    const int thickness = std::min(side, length - first);
    const cv::Rect band = turned ? cv::Rect(box.x + first, box.y, thickness, box.height)
                                 : cv::Rect(box.x, box.y + first, box.width, thickness);
    for (int top = band.y; top < band.br().y; top += side)
      for (int left = band.x; left < band.br().x; left += side) {
        const cv::Rect tile(left, top, std::min(side, band.br().x - left), std::min(side, band.br().y - top));
        const cv::Rect area(tile.x - margin, tile.y - margin, tile.width + 2 * margin, tile.height + 2 * margin);
        cv::Mat pixels = compose_tile(plan, cache, tile, area & plan.reach);
        if (turned) cv::rotate(pixels, pixels, cv::ROTATE_90_CLOCKWISE);
        sink.write(handed_out(tile, box, turned), pixels);
      }
  }
}

}  // namespace

Composition compose_tiled(const SweepRecord& record, const std::vector<int>& used, const FrameWarps& warps,
                           const RenderOptions& options, const RenderStages& stages,
                           const PanoramaProjection& projection, PanoramaSink& sink, cv::Size& size) {
  Composition times;
  cv::TickMeter clock;
  {
    CompositionPlan plan =
        plan_composition(record, used, warps, options, stages, projection.surface, options.max_pyramid_megapixels);
    times = plan.times;
    clock.start();
    size = projection.turned ? cv::Size(plan.box.height, plan.box.width) : plan.box.size();
    sink.begin(size);
    compose_tiles(record, warps, plan, options, projection.turned, sink);
  }
  // The plan's seam masks and the keyframes warped for the last tiles are
  // gone before the sink finishes: a pyramid writer needs its most memory then.
  sink.end();
  clock.stop();
  times.blend = clock.getTimeSec();
  return times;
}

}  // namespace rendering
}  // namespace zemb

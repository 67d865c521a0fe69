// The recorded correspondences, measured again on the kept images. A sweep
// finds them on its tracking images, a few times coarser than the images the
// render works on, so each point is tracked once more on the kept images
// from where the record puts it: the refinement then fits placements to
// points good to a fraction of a kept pixel.
#include <algorithm>
#include <iterator>
#include <map>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace rendering {

namespace {

// A measurement that moves a point further than this from where the record
// put it (kept pixels) found something else; the pair goes.
constexpr float kMostMoved = 4.0f;
// Links measured in parallel at a time, their images read before: enough to
// keep every core busy, few enough that their images fit in memory.
constexpr std::size_t kLinksAtOnce = 32;

// Gray copies of the kept images, read one after another (a record's images
// may come from a store that serves one reader at a time), each once, and
// dropped after the last link that names its keyframe: a long sweep's
// keyframes would not all fit in memory at once.
class GrayImages {
 public:
  GrayImages(const SweepRecord& record, const std::vector<KeyframeLink>& links) : record_(record) {
    for (std::size_t i = 0; i < links.size(); ++i) last_use_[links[i].from] = last_use_[links[i].to] = i;
  }
  // Reads the images links [first, past) name that are not read yet.
  void read(const std::vector<KeyframeLink>& links, std::size_t first, std::size_t past) {
    for (std::size_t i = first; i < past; ++i)
      for (int index : {links[i].from, links[i].to}) {
        cv::Mat& gray = grays_[index];
        if (gray.empty()) cv::cvtColor(record_.image(index), gray, cv::COLOR_BGR2GRAY);
      }
  }
  const cv::Mat& of(int index) const { return grays_.at(index); }
  // Link `i` of the list is measured: the images no later link needs go.
  void done_with(std::size_t i, const KeyframeLink& link) {
    for (int index : {link.from, link.to})
      if (last_use_[index] == i) grays_.erase(index);
  }

 private:
  const SweepRecord& record_;
  std::map<int, cv::Mat> grays_;
  std::map<int, std::size_t> last_use_;
};

// The later keyframe's image seen from the earlier one through the link's
// homography (none when the link has too few points for one), with the
// later keyframe's points where that view shows them. Optical flow follows
// a window by a shift alone, so the views it compares must differ by little
// more: a scene seen at a slant, or a wide lens turning far, changes scale
// and shape from one keyframe to the next.
struct AlignedView {
  cv::Mat image;
  std::vector<cv::Point2f> points;
};

AlignedView aligned_view(const KeyframeLink& link, const GrayImages& grays, float most_moved) {
  const double fit_threshold = 2 * most_moved;
  const cv::Mat h = link.from_points.size() < 4
                        ? cv::Mat()
                        : cv::findHomography(link.from_points, link.to_points, cv::RANSAC, fit_threshold);
  if (h.empty() || !cv::checkRange(h)) return AlignedView{grays.of(link.to), link.to_points};
  AlignedView view;
  cv::warpPerspective(grays.of(link.to), view.image, h, grays.of(link.from).size(),
                      cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REFLECT);
  cv::perspectiveTransform(link.to_points, view.points, h.inv());
  return view;
}

KeyframeLink sharpened(const KeyframeLink& link, const GrayImages& grays, float most_moved) {
  const AlignedView view = aligned_view(link, grays, most_moved);
  std::vector<cv::Point2f> measured = link.from_points;
  std::vector<uchar> found;
  std::vector<float> error;
  cv::calcOpticalFlowPyrLK(view.image, grays.of(link.from), view.points, measured, found, error,
                           cv::Size(21, 21), 1,
                           cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 0.01),
                           cv::OPTFLOW_USE_INITIAL_FLOW);
  KeyframeLink result{link.from, link.to, {}, {}};
  for (size_t i = 0; i < measured.size(); ++i) {
    const cv::Point2f moved = measured[i] - link.from_points[i];
    if (!found[i] || moved.dot(moved) > most_moved * most_moved) continue;
    result.from_points.push_back(measured[i]);
    result.to_points.push_back(link.to_points[i]);
  }
  return result;
}

}  // namespace

std::vector<KeyframeLink> sharpened_links(const SweepRecord& record, const std::vector<KeyframeLink>& links,
                                          double most_moved) {
  std::vector<KeyframeLink> sharpened_ones;
  std::copy_if(links.begin(), links.end(), std::back_inserter(sharpened_ones),
               [](const KeyframeLink& link) { return !link.to_points.empty(); });
  GrayImages grays(record, sharpened_ones);
  for (std::size_t first = 0; first < sharpened_ones.size(); first += kLinksAtOnce) {
    const std::size_t past = std::min(first + kLinksAtOnce, sharpened_ones.size());
    grays.read(sharpened_ones, first, past);
    cv::parallel_for_(cv::Range(int(first), int(past)), [&](const cv::Range& range) {
      for (int k = range.start; k < range.end; ++k)
        sharpened_ones[std::size_t(k)] = sharpened(sharpened_ones[std::size_t(k)], grays, static_cast<float>(most_moved));
    });
    for (std::size_t i = first; i < past; ++i) grays.done_with(i, sharpened_ones[i]);
  }
  return sharpened_ones;
}

std::vector<KeyframeLink> sharpened_links(const SweepRecord& record, const std::vector<KeyframeLink>& links) {
  return sharpened_links(record, links, kMostMoved);
}

}  // namespace rendering
}  // namespace zemb

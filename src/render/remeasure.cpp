// The recorded correspondences, measured again on the kept images. A sweep
// finds them on its tracking images, a few times coarser than the images the
// render works on, so each point is tracked once more on the kept images
// from where the record puts it: the refinement then fits placements to
// points good to a fraction of a kept pixel.
#include <map>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "render/render_internal.h"

namespace zemb {
namespace finish {

namespace {

// A measurement that moves a point further than this from where the record
// put it (kept pixels) found something else; the pair goes.
constexpr float kMostMoved = 4.0f;

class GrayImages {
 public:
  explicit GrayImages(const SweepRecord& record) : record_(record) {}
  const cv::Mat& of(int index) {
    cv::Mat& gray = grays_[index];
    if (gray.empty()) cv::cvtColor(record_.image(index), gray, cv::COLOR_BGR2GRAY);
    return gray;
  }

 private:
  const SweepRecord& record_;
  std::map<int, cv::Mat> grays_;
};

KeyframeLink sharpened(const KeyframeLink& link, GrayImages& grays) {
  std::vector<cv::Point2f> measured = link.from_points;
  std::vector<uchar> found;
  std::vector<float> error;
  cv::calcOpticalFlowPyrLK(grays.of(link.to), grays.of(link.from), link.to_points, measured, found, error,
                           cv::Size(21, 21), 1,
                           cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 0.01),
                           cv::OPTFLOW_USE_INITIAL_FLOW);
  KeyframeLink result{link.from, link.to, {}, {}};
  for (size_t i = 0; i < measured.size(); ++i) {
    const cv::Point2f moved = measured[i] - link.from_points[i];
    if (!found[i] || moved.dot(moved) > kMostMoved * kMostMoved) continue;
    result.from_points.push_back(measured[i]);
    result.to_points.push_back(link.to_points[i]);
  }
  return result;
}

}  // namespace

std::vector<KeyframeLink> sharpened_links(const SweepRecord& record) {
  GrayImages grays(record);
  const int n = static_cast<int>(record.keyframes.size());
  const auto keyframe = [n](int index) { return index >= 0 && index < n; };
  std::vector<KeyframeLink> links;
  for (const KeyframeLink& link : record.links) {
    const bool valid = keyframe(link.from) && keyframe(link.to) && link.from != link.to &&
                       link.from_points.size() == link.to_points.size() && !link.to_points.empty();
    links.push_back(valid ? sharpened(link, grays) : link);
  }
  return links;
}

}  // namespace finish
}  // namespace zemb

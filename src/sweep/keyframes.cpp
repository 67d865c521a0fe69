// The keyframe decision, keyframes as the record gives them, and the focal
// length their turn tells.
#include "sweep/keyframes.h"

#include <algorithm>
#include <cmath>

namespace zemb {

bool needs_new_keyframe(const View& newest_keyframe, const View& frame, const KeyframeOptions& options) {
  return progress(newest_keyframe, frame) >= options.share;
}

cv::Point2d kept_scale_of(cv::Size kept, cv::Size working) {
  return {static_cast<double>(kept.width) / working.width, static_cast<double>(kept.height) / working.height};
}

Keyframe keyframe_of(const View& view, cv::Size kept_size, Scene scene) {
  const cv::Point2d kept_scale = kept_scale_of(kept_size, view.working_size);
  Keyframe keyframe{view.frame_index, kept_size, cv::Mat(), cv::Mat(), 0.0};
  if (scene == Scene::kTurning) {
    keyframe.rotation = cv::Mat(view.pose.rotation(view.working_size)).clone();
    keyframe.focal = view.pose.focal * kept_scale.x;
  } else {
    const cv::Matx33d working_of_kept(1.0 / kept_scale.x, 0, 0, 0, 1.0 / kept_scale.y, 0, 0, 0, 1);
    keyframe.placement = cv::Mat(view.pose.to_world * working_of_kept).clone();
  }
  return keyframe;
}

// Once the keyframes have turned far enough, their chained homographies tell
// the focal length, the field of view's hint only where they began.
std::optional<double> focal_from_turn(const std::vector<View>& keyframes, const View& next) {
  constexpr double kLeastTurn = 15.0 * CV_PI / 180.0;
  std::vector<cv::Matx33d> homographies;
  for (std::size_t k = 1; k < keyframes.size(); ++k)
    homographies.push_back(keyframes[k - 1].chain.inv() * keyframes[k].chain);
  homographies.push_back(keyframes.back().chain.inv() * next.chain);
  const cv::Size size = next.working_size;
  const cv::Matx33d turn = keyframes.front().pose.rotation(size).t() * next.pose.rotation(size);
  const double angle = std::acos(std::clamp((cv::trace(turn) - 1.0) / 2.0, -1.0, 1.0));
  if (angle < kLeastTurn) return std::nullopt;
  return estimate_focal(homographies, size, next.pose.focal);
}

void refocus(View& view, double focal) {
  const cv::Matx33d rotation = view.pose.rotation(view.working_size);
  view.pose.focal = focal;
  view.pose.to_world = rotation * intrinsics(focal, view.working_size).inv();
}

}  // namespace zemb

// The options' ranges and limits, stated here apart from the field lists: a
// range written wrongly in a list, or a check lost, fails here. Only the
// fields whose range keeps a step meaningful are listed: sizes and counts a
// step cannot work below, shares and ratios, and enumerations.
#include <algorithm>
#include <cmath>
#include <functional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "zemb/sweep.h"

namespace {

template <typename T>
void assign(T& field, double value) {
  if constexpr (std::is_enum_v<T>)
    field = static_cast<T>(static_cast<std::underlying_type_t<T>>(value));
  else
    field = static_cast<T>(value);
}

// A value a step beyond `bound` (downwards for a negative `direction`) that a
// field of that type still holds apart from it: a whole step for a whole
// number, a little for a real one (enough to survive a float).
double beyond(double bound, double direction, bool whole) {
  return bound + direction * (whole ? 1.0 : std::max(std::abs(bound), 1e-3) * 1e-4);
}

struct Range {
  std::string name;  // the field's owner and name, as check() names it
  double low, high;
  bool whole;
  std::function<void(zemb::SweepOptions&, double)> set;
};

// The field that `reach` finds in a SweepOptions, with its range.
template <typename Reach>
Range range_of(const char* name, double low, double high, Reach reach) {
  using T = std::remove_reference_t<decltype(reach(std::declval<zemb::SweepOptions&>()))>;
  return {name, low, high, !std::is_floating_point_v<T>,
          [reach](zemb::SweepOptions& o, double value) { assign(reach(o), value); }};
}

#define FIELD(name, path, low, high) range_of(name, low, high, [](zemb::SweepOptions& o) -> auto& { return o.path; })

const std::vector<Range>& ranges() {
  static const std::vector<Range> listed = {
      FIELD("SweepOptions::scene", scene, 0, 1),
      FIELD("SweepOptions::direction", direction, 0, 4),
      FIELD("PreparationOptions::working_columns", preparation.working_columns, 16, 8192),
      FIELD("PreparationOptions::tracking_rows", preparation.tracking_rows, 16, 8192),
      FIELD("DetectionOptions::fast_threshold", detection.fast_threshold, 1, 255),
      FIELD("DetectionOptions::min_keypoints", detection.min_keypoints, 4, 100000),
      FIELD("DetectionOptions::threshold_step", detection.threshold_step, 1, 255),
      FIELD("FlowOptions::window", tracking.flow.window, 3, 101),
      FIELD("FlowOptions::levels", tracking.flow.levels, 0, 8),
      FIELD("FlowOptions::iterations", tracking.flow.iterations, 1, 1000),
      FIELD("FitOptions::ransac_confidence", tracking.fit.ransac_confidence, 1e-6, 1),
      FIELD("TrackingOptions::min_inliers", tracking.min_inliers, 4, 100000),
      FIELD("TrackingOptions::min_inlier_share", tracking.min_inlier_share, 0, 1),
      FIELD("TrackingOptions::field_of_view", tracking.field_of_view, 1, 170),
      FIELD("PlacementOptions::max_canvas_side", placement.max_canvas_side, 64, 32767),
      FIELD("RecoveryOptions::keyframes", recovery.keyframes, 0, 64),
      FIELD("RecoveryOptions::binary_features", recovery.binary_features, 4, 100000),
      FIELD("RecoveryOptions::thorough_features", recovery.thorough_features, 4, 100000),
      FIELD("RecoveryOptions::match_ratio", recovery.match_ratio, 0.01, 1),
      FIELD("RecoveryOptions::time_budget", recovery.time_budget, 0.1, 1000),
      FIELD("KeyframeOptions::share", keyframes.share, 0, 1),
      FIELD("KeyframeOptions::link_keyframes", keyframes.link_keyframes, 1, 64),
      FIELD("MemoryOptions::keep_columns", memory.keep_columns, 16, 8192),
      FIELD("RenderOptions::field_of_view", render.field_of_view, 1, 170),
      FIELD("RenderOptions::match_features", render.match_features, 4, 100000),
      FIELD("RenderOptions::match_megapixels", render.match_megapixels, 0.01, 100),
      FIELD("RenderOptions::match_ratio", render.match_ratio, 0.01, 1),
      FIELD("RenderOptions::seam_megapixels", render.seam_megapixels, 0.01, 10),
      FIELD("RenderOptions::seam_pass_megapixels", render.seam_pass_megapixels, 0.1, 100000),
      FIELD("RenderOptions::exposure", render.exposure, 0, 3),
      FIELD("RenderOptions::seams", render.seams, 0, 3),
      FIELD("RenderOptions::blending", render.blending, 0, 2),
      FIELD("RenderOptions::blend_bands", render.blend_bands, 0, 10),
      FIELD("RenderOptions::surface", render.surface, 0, 3),
  };
  return listed;
}

// Settings that pass check() with `range`'s field at `value`, or the message
// of its refusal.
std::string refusal(const Range& range, double value) {
  zemb::SweepOptions options;
  // The cross-field limits stay out of the way at either end.
  options.detection.threshold_floor = 1;
  options.detection.adaptive_target = 100000;
  options.tracking.min_inliers = 4;
  options.recovery.points = 100000;
  range.set(options, value);
  try {
    options.check();
    return "";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsBadArg);
    return e.err;
  }
}

TEST(SweepOptions, EachRangeTakesItsEndsAndRefusesWhatLiesBeyondThem) {
  for (const Range& range : ranges()) {
    SCOPED_TRACE(range.name);
    EXPECT_EQ(refusal(range, range.low), "");
    EXPECT_EQ(refusal(range, range.high), "");
    for (const double outside : {beyond(range.low, -1, range.whole), beyond(range.high, 1, range.whole)}) {
      const std::string message = refusal(range, outside);
      EXPECT_NE(message.find(range.name + " is "), std::string::npos) << outside << ": " << message;
    }
    if (!range.whole) {
      EXPECT_NE(refusal(range, std::nan("")).find(range.name + " is nan"), std::string::npos);
    }
  }
}

TEST(SweepOptions, TheDefaultsPassAndTheMatchersKeepTheirRatios) {
  EXPECT_NO_THROW(zemb::SweepOptions().check());
  // Recovery's matching kept a descriptor when its distance was below
  // (1 - 0.2) times the second nearest's: the same ratio, to the last bit.
  EXPECT_EQ(zemb::RecoveryOptions().match_ratio, 1.0f - 0.2f);
  EXPECT_EQ(zemb::RenderOptions().match_ratio, 0.75f);
  // Photos are given the most time a lost frame may take.
  zemb::RecoveryOptions photos;
  photos.time_budget = zemb::RecoveryOptions::kMostTimeBudget;
  EXPECT_NO_THROW(photos.check());
  photos.time_budget = std::nextafter(zemb::RecoveryOptions::kMostTimeBudget, HUGE_VAL);
  EXPECT_THROW(photos.check(), cv::Exception);
}

TEST(SweepOptions, LimitsThatJoinTwoFieldsHoldAtEqualityAndRefuseBeyond) {
  struct Limit {
    std::function<void(zemb::SweepOptions&, int)> set;  // the second field at the first's value plus the offset
    std::string refused;
  };
  const std::vector<Limit> limits = {
      {[](zemb::SweepOptions& o, int offset) { o.detection.threshold_floor = o.detection.fast_threshold + offset; },
       "DetectionOptions::threshold_floor"},
      {[](zemb::SweepOptions& o, int offset) { o.detection.adaptive_target = o.detection.min_keypoints - offset; },
       "DetectionOptions::adaptive_target"},
      {[](zemb::SweepOptions& o, int offset) { o.recovery.points = o.tracking.min_inliers - offset; },
       "RecoveryOptions::points"},
  };
  for (const Limit& limit : limits) {
    SCOPED_TRACE(limit.refused);
    zemb::SweepOptions options;
    limit.set(options, 0);
    EXPECT_NO_THROW(zemb::Sweep("", options));
    limit.set(options, 1);
    try {
      zemb::Sweep sweep("", options);
      ADD_FAILURE() << "accepted";
    } catch (const cv::Exception& e) {
      EXPECT_EQ(e.code, cv::Error::StsBadArg);
      EXPECT_NE(e.err.find(limit.refused), std::string::npos) << e.err;
    }
  }
}

// The paths for_each_option gives, which zemb_pano's --set takes.
std::vector<std::string> paths_of(const zemb::TrackingOptions& options) {
  std::vector<std::string> paths;
  zemb::for_each_option(options, [&](const std::string& path, auto&&...) { paths.push_back(path); });
  return paths;
}

TEST(SweepOptions, EveryFieldIsReachedByItsPathWithADescription) {
  EXPECT_EQ(paths_of(zemb::TrackingOptions()),
            (std::vector<std::string>{"flow.window", "flow.levels", "flow.iterations", "flow.epsilon",
                                      "flow.min_eigen", "fit.ransac_threshold", "fit.ransac_iterations",
                                      "fit.ransac_confidence", "min_inliers", "min_inlier_share", "field_of_view",
                                      "max_step_scale", "max_step_shear", "max_step_perspective", "min_spread",
                                      "min_correlation", "max_kept_frames"}));
  zemb::SweepOptions options;
  std::set<std::string> paths;
  zemb::for_each_option(options, [&](const std::string& path, auto& field, double, double, const char* description) {
    EXPECT_TRUE(paths.insert(path).second) << path << " twice";
    EXPECT_GT(std::string(description).size(), 10u) << path;
    if (path == "recovery.time_budget") field = std::decay_t<decltype(field)>(7);
  });
  EXPECT_EQ(options.recovery.time_budget, 7.0) << "the path reached another field";
  for (const Range& range : ranges()) {
    const std::string leaf = range.name.substr(range.name.find("::") + 2);
    EXPECT_TRUE(std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
      return path.size() >= leaf.size() && path.compare(path.size() - leaf.size(), leaf.size(), leaf) == 0;
    })) << range.name;
  }
}

}  // namespace

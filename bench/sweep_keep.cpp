// zemb_sweep_keep: which frames the sweep keeps next to the fixed stitcher,
// on sweeps made from every photo: a slide, the same in haze (a third of the
// contrast, blurred), a turning camera, and a slide with gaps and runs of
// dark and blurred frames. For the disturbed slide it also says how many of
// the frames after each gap or run came back, how far the keyframes lie from
// where the photo says they belong, and how much of the scene's width the
// preview reaches.
//
// Options: --photos=DIR.
#include <cmath>
#include <iostream>

#include <opencv2/imgproc.hpp>

#include "bench_support.h"
#include "long_sweep.h"
#include "shared/steps.h"
#include "synthetic_sweep.h"
#include "zemb/sweep.h"
#include "zemb_stitcher.h"

namespace {

using namespace zemb_bench;
using zemb_tools::SweepFrame;
using zemb_tools::SweepSettings;

constexpr int kWindowWidth = 540;  // photo columns a 960x540 camera frame sees

struct Case {
  std::string name;
  SweepSettings settings;
  zemb::Scene scene = zemb::Scene::kFlat;
  bool haze = false;
};

std::vector<Case> cases() {
  SweepSettings slide;
  slide.window = cv::Size(kWindowWidth, 960);
  slide.step = 36;
  slide.frames = 40;
  slide.max_rotation_deg = 0.3;
  slide.max_jitter = 6;
  SweepSettings turning = slide;
  turning.camera = zemb_tools::SweepCamera::turning;
  turning.frames = 25;
  turning.turning.pan_step_deg = 2.0;
  turning.turning.max_roll_deg = 0.5;
  turning.turning.max_pitch_deg = 0.5;
  turning.effects.max_exposure_change = 0.05;
  turning.effects.noise_sigma = 2.0;
  SweepSettings disturbed = slide;
  // Two gaps of 10 frames of 36 px: the scene jumps by two thirds of a frame.
  disturbed.disturbances.dropped = {{5, 10}, {24, 10}};
  disturbed.disturbances.dark = {{17, 3}};
  disturbed.disturbances.blurred = {{36, 3}};
  return {{"slide", slide}, {"haze", slide, zemb::Scene::kFlat, true}, {"turning", turning, zemb::Scene::kTurning},
          {"gaps", disturbed}};
}

// A third of the contrast around a light grey, and softened: what haze does.
cv::Mat hazy(const cv::Mat& photo) {
  cv::Mat faded, soft;
  photo.convertTo(faded, -1, 0.35, 0.65 * 170);
  cv::GaussianBlur(faded, soft, cv::Size(), 2.0);
  return soft;
}

struct Kept {
  int showing = 0;  // frames that show the scene
  int fixed = 0, sweep = 0;
  int back_after_events = 0, after_events = 0;  // the 3 frames after each gap or run
  double worst_keyframe_error = 0;              // photo-scale pixels, slides only
  double reach = 0;                             // preview width / true width
  std::vector<double> placed_ms, refused_ms;    // Sweep::add of each frame
};

bool shows_scene(const SweepFrame& frame) { return frame.state == zemb_tools::FrameState::clear; }

// The first three clear frames after a dropped run or a run of useless frames.
std::vector<bool> after_event(const std::vector<SweepFrame>& frames) {
  std::vector<bool> marked(frames.size(), false);
  int pending = 0;
  for (size_t i = 1; i < frames.size(); ++i) {
    if (frames[i].index != frames[i - 1].index + 1 || !shows_scene(frames[i - 1])) pending = 3;
    if (shows_scene(frames[i]) && pending > 0) {
      marked[i] = true;
      --pending;
    }
  }
  return marked;
}

Kept keep(const std::vector<SweepFrame>& frames, zemb::Scene scene) {
  Kept kept;
  ZembStitcher stitcher("");
  zemb::SweepOptions options;
  options.scene = scene;
  zemb::Sweep sweep(std::string(), options);
  const std::vector<bool> marked = after_event(frames);
  for (size_t i = 0; i < frames.size(); ++i) {
    cv::Mat frame = frames[i].camera_frame.clone();
    kept.showing += shows_scene(frames[i]) ? 1 : 0;
    kept.fixed += stitcher.ofcheck_stitch(frame) >= stitcher.min_keypoints ? 1 : 0;
    bool placed = false;
    const double ms = time_of([&] { placed = sweep.add(frames[i].camera_frame).placed(); });
    (placed ? kept.placed_ms : kept.refused_ms).push_back(ms);
    kept.sweep += placed ? 1 : 0;
    kept.after_events += marked[i] ? 1 : 0;
    kept.back_after_events += marked[i] && placed ? 1 : 0;
  }
  // Slides only (flat keyframes lie on a plane; a turning camera's on a
  // cylinder): the camera frames are the windows turned toward their top
  // edge, so their placements' shifts up the plane are photo shifts in
  // working pixels.
  const double working_per_photo =
      static_cast<double>(options.preparation.working_columns) / frames[0].camera_frame.cols;
  const std::vector<cv::Point2f> origin{{0.0f, 0.0f}};
  const auto canvas_y = [&](int k) { return zemb::project(origin, sweep.keyframes()[k].placement)[0].y; };
  for (size_t k = 1; scene == zemb::Scene::kFlat && k < sweep.keyframes().size(); ++k) {
    const double truth = frames[sweep.keyframes()[k].frame_index].origin.x - frames[0].origin.x;
    const double error = std::abs((canvas_y(0) - canvas_y(static_cast<int>(k))) / working_per_photo - truth);
    kept.worst_keyframe_error = std::max(kept.worst_keyframe_error, error);
  }
  const double true_width = frames.back().origin.x - frames.front().origin.x + kWindowWidth;
  kept.reach = sweep.preview().rows / working_per_photo / true_width;
  return kept;
}

std::string share(int part, int whole) { return cv::format("%d/%d (%.0f %%)", part, whole, 100.0 * part / whole); }

std::string median_ms(const std::vector<double>& ms) { return ms.empty() ? "-" : cv::format("%.1f", median(ms)); }

}  // namespace

int main(int argc, char** argv) {
  if (const auto stop = stop_on_options(argc, argv, {"photos"})) return *stop;
  const std::vector<NamedPhoto> photos = load_photos(argc, argv);
  if (photos.empty()) return 1;
  std::vector<std::vector<std::string>> rows;
  for (const NamedPhoto& photo : photos) {
    const cv::Mat scaled = zemb_tools::scaled_to_height(photo.image, 1200);
    for (const Case& c : cases()) {
      const std::vector<SweepFrame> frames = zemb_tools::make_sweep(c.haze ? hazy(scaled) : scaled, c.settings);
      const Kept kept = keep(frames, c.scene);
      const bool slide = c.settings.camera == zemb_tools::SweepCamera::flat;
      rows.push_back({photo.name + "/" + c.name, std::to_string(kept.showing), share(kept.fixed, kept.showing),
                      share(kept.sweep, kept.showing),
                      kept.after_events > 0 ? share(kept.back_after_events, kept.after_events) : "-",
                      slide ? cv::format("%.1f", kept.worst_keyframe_error) : "-",
                      slide ? cv::format("%.2f", kept.reach) : "-",
                      median_ms(kept.placed_ms) + " / " + median_ms(kept.refused_ms)});
    }
  }
  print_markdown_table(std::cout,
                       {"sweep", "frames showing the scene", "kept by ZembStitcher", "kept by Sweep",
                        "back after a gap or run", "worst keyframe error, px", "preview reach",
                        "Sweep::add ms, placed / refused"},
                       rows);
  std::cout << "960x540 frames; photos scaled to 1200 rows. Keyframe error: the keyframe's place on the preview "
               "against the photo, in photo pixels (slides). Reach: the preview's width over the swept width. "
               "Times: medians.\n";
  return 0;
}

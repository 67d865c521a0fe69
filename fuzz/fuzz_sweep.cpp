// One zemb::Sweep fed a short sequence of frames decided by the input, then
// finished. The settings are the defaults, the fixed path's, or decoded from
// the input within their ranges (a budget of a few kilobytes makes the sweep
// spill its keyframes). The frames are windows of a textured scene moving
// mostly toward the top of the frame, with steps back, repeated frames,
// jumps and returns to the start (recovery), dark, blank, noisy and sparse
// frames (few keypoints), views into larger images, and invalid ones: empty,
// of another type or of another size. Beside the sweep, one setting at a
// time is set to any value: check() either passes or throws StsBadArg, the
// constructor agrees with it, and a value no range admits (NaN, INT_MIN, an
// unknown scene) is always refused.
//
// After every add(): a bad frame throws StsBadArg and nothing changes; a
// good one returns a status, counted once; a frame that is not placed, or
// not shown, leaves the preview's pixels as they were; the band lies inside
// the preview; every keyframe's image can be read back at its recorded size;
// the links name keyframes that exist. finish() gives a CV_8UC3 panorama and
// a CV_8U mask of its size, or cv::Exception (StsBadArg when nothing but the
// first frame was placed), and changes nothing.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>

#include <opencv2/imgproc.hpp>

#include "fuzz_check.h"
#include "textured_scene.h"
#include "zemb/sweep.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMaxFrames = 12;
using zemb_fuzz::ByteReader;
using zemb_fuzz::kSceneCols;
using zemb_fuzz::kSceneRows;

const cv::Mat& scene() {
  static const cv::Mat made = zemb_fuzz::make_textured_scene();
  return made;
}

// A private folder for the working directories; it goes when the run ends
// normally and stays, as evidence, after a finding.
const fs::path& scratch() {
  static const fs::path made = [] {
    std::string pattern = (fs::temp_directory_path() / "zemb-fuzz-sweep.XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    return fs::path(pattern);
  }();
  return made;
}

void remove_scratch() {
  std::error_code ignored;
  fs::remove_all(scratch(), ignored);
}

// Where a sweep keeps its spilled images: none, a folder it makes, or one
// that cannot be made (below a file), so that every spill fails.
std::string working_directory(ByteReader& input) {
  switch (input.byte() % 4) {
    case 0: return std::string();
    case 1: {
      const fs::path file = scratch() / "a-file";
      std::ofstream(file).put('x');
      return (file / "sweep").string();
    }
    default: return (scratch() / "sweep").string();
  }
}

// ---- Settings --------------------------------------------------------------

double share(ByteReader& input) { return input.byte() / 255.0; }

// Settings within their ranges, small enough that a sweep of a dozen small
// frames and its render stay quick.
zemb::SweepOptions decoded_options(ByteReader& input) {
  zemb::SweepOptions o;
  o.working_columns = 16 + input.byte();
  o.tracking_rows = 16 + input.byte();
  o.fast_threshold = 1 + input.byte() % 100;
  o.fast_threshold_floor = 1 + input.byte() % o.fast_threshold;
  o.fast_threshold_step = 1 + input.byte() % 30;
  o.adaptive_detection = input.byte() % 2 == 0;
  o.min_keypoints = 4 + input.byte() % 40;
  o.adaptive_target = o.min_keypoints + input.byte();
  o.flow_window = 3 + input.byte() % 40;
  o.flow_levels = input.byte() % 5;
  o.ransac_iterations = 1 + input.in_range(0, 3000);
  o.growth_share = share(input);
  o.max_placed_scale = 1.0f + input.byte() / 16.0f;
  o.max_canvas_side = 64 + input.in_range(0, 4000);
  o.seam_band = input.byte() / 4.0f;
  o.recovery = input.byte() % 2 == 0;
  o.recovery_keyframes = input.byte() % 8;
  o.min_inliers = 4 + input.byte() % 30;
  o.recovery_points = o.min_inliers + input.byte();
  o.min_inlier_share = share(input);
  o.match_ratio = static_cast<float>(input.byte() % 100) / 100.0f;  // 0.99 at most, as a float too
  o.keyframe_share = share(input);
  o.keep_columns = 16 + input.byte();
  o.memory_budget = std::size_t(input.byte()) * 1024;
  o.max_links_per_pair = 4 + input.byte() % 60;
  o.link_keyframes = 1 + input.byte() % 8;
  o.scene = input.byte() % 2 == 0 ? zemb::Scene::kTurning : zemb::Scene::kFlat;
  o.field_of_view = 1.0 + share(input) * 169.0;
  o.max_render_megapixels = 0.1 + share(input) * 0.9;
  o.seam_megapixels = 0.01 + share(input) * 0.09;
  o.blend_bands = input.byte() % 11;
  return o;
}

zemb::SweepOptions options_of(ByteReader& input) {
  switch (input.byte() % 4) {
    case 0: return zemb::SweepOptions();
    case 1: return zemb::fixed_path_options();
    default: return decoded_options(input);
  }
}

int32_t any_int(ByteReader& input) {
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) bits = bits << 8 | input.byte();
  return static_cast<int32_t>(bits);
}

// One setting: how to give it a value from the input, and a value that no
// range admits (none for the flags and the memory budget).
struct Field {
  std::function<void(zemb::SweepOptions&, ByteReader&)> set_any;
  std::function<void(zemb::SweepOptions&)> set_refused;
};

template <typename T>
Field int_field(T zemb::SweepOptions::*member) {
  return {[member](zemb::SweepOptions& o, ByteReader& in) { o.*member = static_cast<T>(any_int(in)); },
          [member](zemb::SweepOptions& o) { o.*member = static_cast<T>(INT_MIN); }};
}

template <typename T>
Field real_field(T zemb::SweepOptions::*member) {
  return {[member](zemb::SweepOptions& o, ByteReader& in) {
            // Mostly near the ranges the settings use, now and then any float.
            o.*member = in.byte() % 4 == 0 ? static_cast<T>(in.raw_float()) : static_cast<T>(any_int(in) / 65536.0);
          },
          [member](zemb::SweepOptions& o) { o.*member = std::numeric_limits<T>::quiet_NaN(); }};
}

const std::vector<Field>& fields() {
  using O = zemb::SweepOptions;
  static const std::vector<Field> all = {
      int_field(&O::working_columns), int_field(&O::tracking_rows), int_field(&O::fast_threshold),
      int_field(&O::min_keypoints), int_field(&O::adaptive_target), int_field(&O::fast_threshold_step),
      int_field(&O::fast_threshold_floor), int_field(&O::flow_window), int_field(&O::flow_levels),
      int_field(&O::flow_iterations), real_field(&O::flow_epsilon), real_field(&O::flow_min_eigen),
      real_field(&O::ransac_threshold), int_field(&O::ransac_iterations), real_field(&O::ransac_confidence),
      real_field(&O::growth_share), real_field(&O::max_placed_scale), int_field(&O::max_canvas_side),
      real_field(&O::seam_band), int_field(&O::recovery_keyframes), int_field(&O::recovery_points),
      int_field(&O::min_inliers), real_field(&O::min_inlier_share), real_field(&O::match_ratio),
      real_field(&O::keyframe_share), int_field(&O::keep_columns), int_field(&O::max_links_per_pair),
      int_field(&O::link_keyframes), real_field(&O::field_of_view), real_field(&O::max_render_megapixels),
      real_field(&O::seam_megapixels), int_field(&O::blend_bands),
      {[](O& o, ByteReader& in) { o.scene = static_cast<zemb::Scene>(any_int(in)); },
       [](O& o) { o.scene = static_cast<zemb::Scene>(2); }},
      {[](O& o, ByteReader& in) { o.memory_budget = static_cast<std::size_t>(any_int(in)); }, nullptr},
      {[](O& o, ByteReader& in) { o.adaptive_detection = in.byte() % 2 == 0; }, nullptr},
      {[](O& o, ByteReader& in) { o.recovery = in.byte() % 2 == 0; }, nullptr},
  };
  return all;
}

// Whether the settings pass check(); any other outcome than passing or
// StsBadArg is a finding.
bool accepted(const zemb::SweepOptions& options) {
  try {
    options.check();
    return true;
  } catch (const cv::Exception& error) {
    FUZZ_CHECK(error.code == cv::Error::StsBadArg);
    return false;
  }
}

void check_constructor_agrees(const zemb::SweepOptions& options) {
  const bool valid = accepted(options);
  try {
    zemb::Sweep sweep("", options);
    FUZZ_CHECK(valid);
  } catch (const cv::Exception& error) {
    FUZZ_CHECK(!valid && error.code == cv::Error::StsBadArg);
  }
}

// One setting of `base` set to a value from the input, and the same setting
// set to a value no range admits.
void probe_one_setting(ByteReader& input, const zemb::SweepOptions& base) {
  const Field& field = fields()[input.byte() % fields().size()];
  zemb::SweepOptions probed = base;
  field.set_any(probed, input);
  check_constructor_agrees(probed);
  if (!field.set_refused) return;
  probed = base;
  field.set_refused(probed);
  FUZZ_CHECK(!accepted(probed));
}

// ---- Frames ----------------------------------------------------------------

struct Camera {
  cv::Point origin;
  cv::Point start;
  cv::Size size;
  cv::Mat last;  // the last good frame given
};

// Camera frames 24 to 160 across and 32 to 240 high; one input in sixteen
// asks for a tiny one (1 to 16 pixels a side), which never finds keypoints.
Camera camera_of(ByteReader& input) {
  Camera camera;
  const uint8_t kind = input.byte();
  const int across = input.byte(), high = input.byte();
  camera.size = kind % 16 == 15 ? cv::Size(1 + across % 16, 1 + high % 16)
                                : cv::Size(24 + across * 136 / 255, 32 + high * 208 / 255);
  camera.origin = {input.in_range(0, kSceneCols - camera.size.width), kSceneRows - camera.size.height};
  camera.start = camera.origin;
  return camera;
}

cv::Mat shot(Camera& camera) {
  camera.origin.x = std::clamp(camera.origin.x, 0, kSceneCols - camera.size.width);
  camera.origin.y = std::clamp(camera.origin.y, 0, kSceneRows - camera.size.height);
  return scene()(cv::Rect(camera.origin, camera.size)).clone();
}

// The scene's window at half contrast or less, around a dark grey.
cv::Mat dimmed(const cv::Mat& frame, ByteReader& input) {
  cv::Mat dark;
  frame.convertTo(dark, -1, (1 + input.byte() % 32) / 64.0, input.byte() % 16);
  return dark;
}

// A flat frame with a few small boxes on it: a handful of corners at most.
cv::Mat sparse(cv::Size size, ByteReader& input) {
  cv::Mat frame(size, CV_8UC3, cv::Scalar::all(input.byte()));
  for (int boxes = input.byte() % 8; boxes > 0; --boxes) {
    const cv::Point corner{input.in_range(0, size.width), input.in_range(0, size.height)};
    cv::rectangle(frame, cv::Rect(corner, cv::Size(4, 4)), cv::Scalar::all(input.byte()), cv::FILLED);
  }
  return frame;
}

cv::Mat noise(cv::Size size, ByteReader& input) {
  cv::Mat frame(size, CV_8UC3);
  cv::RNG(input.byte()).fill(frame, cv::RNG::UNIFORM, 0, 256);
  return frame;
}

cv::Mat invalid(const Camera& camera, ByteReader& input) {
  static const int kOtherTypes[] = {CV_8UC1, CV_8UC4, CV_16UC3, CV_32FC3, CV_8SC3};
  switch (input.byte() % 3) {
    case 0: return cv::Mat();
    case 1: return cv::Mat(camera.size, kOtherTypes[input.byte() % 5], cv::Scalar::all(90));
    default: {
      const cv::Size grown{1 + input.byte() % 4, input.byte() % 3};
      const cv::Size other = camera.size + grown;
      return scene()(cv::Rect(cv::Point(), other)).clone();
    }
  }
}

// The same pixels as a view into a padded image: its rows are not contiguous.
cv::Mat inside_larger(const cv::Mat& frame) {
  cv::Mat padded;
  cv::copyMakeBorder(frame, padded, 2, 1, 3, 5, cv::BORDER_CONSTANT, cv::Scalar::all(255));
  return padded(cv::Rect(3, 2, frame.cols, frame.rows));
}

// The next frame: kinds 0 to 7 are steps toward the top of the frame, the
// way the panorama grows.
cv::Mat next_frame(ByteReader& input, Camera& camera) {
  const uint8_t kind = input.byte() % 16;
  const cv::Point step{static_cast<int8_t>(input.byte()) / 16, -(input.byte() % 48)};
  cv::Mat frame;
  switch (kind) {
    case 8: camera.origin -= step; break;
    case 9:
      if (!camera.last.empty()) return camera.last.clone();  // the same frame again
      break;
    case 10: camera.origin = {input.in_range(0, kSceneCols), input.in_range(0, kSceneRows)}; break;
    case 11: camera.origin = camera.start; break;
    case 12: frame = dimmed(shot(camera), input); break;
    case 13: frame = input.byte() % 2 == 0 ? sparse(camera.size, input) : noise(camera.size, input); break;
    case 14: return invalid(camera, input);
    case 15: frame = cv::Mat(camera.size, CV_8UC3, cv::Scalar::all(input.byte() % 2 == 0 ? 0 : 255)); break;
    default: camera.origin += step;
  }
  if (frame.empty()) frame = shot(camera);
  camera.last = frame;
  return input.byte() % 8 == 7 ? inside_larger(frame) : frame;
}

// ---- Properties ------------------------------------------------------------

bool same_counts(const zemb::SweepCounts& a, const zemb::SweepCounts& b) {
  return a.frames == b.frames && a.by_outcome == b.by_outcome && a.keyframes == b.keyframes &&
         a.spilled == b.spilled && a.spill_failures == b.spill_failures && a.kept_bytes == b.kept_bytes;
}

bool same_pixels(const cv::Mat& a, const cv::Mat& b) {
  return a.size == b.size && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0.0);
}

// What a call may change, with the preview's pixels copied.
struct Snapshot {
  explicit Snapshot(const zemb::Sweep& sweep)
      : counts(sweep.counts()), keyframes(sweep.keyframes().size()), links(sweep.links().size()),
        preview(sweep.preview()), preview_pixels(sweep.preview().clone()), band(sweep.preview_band()) {}

  zemb::SweepCounts counts;
  size_t keyframes, links;
  cv::Mat preview, preview_pixels, band;
};

bool preview_kept(const Snapshot& before, const zemb::Sweep& sweep) {
  return sweep.preview().data == before.preview.data && sweep.preview_band().data == before.band.data &&
         same_pixels(sweep.preview(), before.preview_pixels) && sweep.preview_band().size == before.band.size;
}

bool unchanged(const Snapshot& before, const zemb::Sweep& sweep) {
  return same_counts(before.counts, sweep.counts()) && sweep.keyframes().size() == before.keyframes &&
         sweep.links().size() == before.links && preview_kept(before, sweep);
}

// The rectangle `image` covers within the buffer it was cut from.
cv::Rect region_of(const cv::Mat& image) {
  cv::Size whole;
  cv::Point offset;
  image.locateROI(whole, offset);
  return cv::Rect(offset, image.size());
}

void check_band(const zemb::Sweep& sweep) {
  const cv::Mat& preview = sweep.preview();
  const cv::Mat& band = sweep.preview_band();
  if (preview.empty()) return FUZZ_CHECK(band.empty());
  FUZZ_CHECK(preview.type() == CV_8UC3 && !band.empty() && band.datastart == preview.datastart);
  const cv::Rect outer = region_of(preview), inner = region_of(band);
  FUZZ_CHECK((outer & inner) == inner);
}

bool usable_transform(const cv::Mat& h) { return h.size() == cv::Size(3, 3) && h.type() == CV_64F && cv::checkRange(h); }

void check_record(const zemb::Sweep& sweep) {
  const zemb::SweepCounts& counts = sweep.counts();
  const auto& keyframes = sweep.keyframes();
  FUZZ_CHECK(counts.keyframes == static_cast<int>(keyframes.size()));
  int counted = 0;
  for (int n : counts.by_outcome) counted += n;
  FUZZ_CHECK(counted == counts.frames);
  for (size_t i = 0; i < keyframes.size(); ++i) {
    const cv::Mat image = sweep.keyframe_image(static_cast<int>(i));
    FUZZ_CHECK(image.type() == CV_8UC3 && image.size() == keyframes[i].image_size && !image.empty());
    FUZZ_CHECK(usable_transform(keyframes[i].placement));
  }
  for (const zemb::KeyframeLink& link : sweep.links()) {
    FUZZ_CHECK(0 <= link.from && link.from < link.to && link.to < counts.keyframes);
    FUZZ_CHECK(link.from_points.size() == link.to_points.size());
  }
}

void check_status(const zemb::FrameStatus& status, const Snapshot& before, const zemb::Sweep& sweep) {
  const zemb::SweepCounts& counts = sweep.counts();
  FUZZ_CHECK(counts.frames == before.counts.frames + 1);
  FUZZ_CHECK(counts.count(status.outcome) == before.counts.count(status.outcome) + 1);
  const bool became_keyframe = status.keyframe >= 0;
  FUZZ_CHECK(sweep.keyframes().size() == before.keyframes + (became_keyframe ? 1 : 0));
  FUZZ_CHECK(!became_keyframe || (status.placed() && status.keyframe == static_cast<int>(before.keyframes)));
  FUZZ_CHECK(status.outcome == zemb::FrameOutcome::kRelocalised || status.recovered_from == -1);
  if (!status.placed() || !status.on_preview) FUZZ_CHECK(preview_kept(before, sweep));
  if (status.on_preview) FUZZ_CHECK(status.placed() && !sweep.preview().empty());
}

// Feeds one frame and checks the call; returns the size every later frame
// must have (the first placed frame's).
cv::Size feed(zemb::Sweep& sweep, const cv::Mat& frame, cv::Size expected_size) {
  const bool valid =
      !frame.empty() && frame.type() == CV_8UC3 && (expected_size.empty() || frame.size() == expected_size);
  const Snapshot before(sweep);
  const cv::Mat as_given = frame.clone();
  try {
    const zemb::FrameStatus status = sweep.add(frame);
    FUZZ_CHECK(valid);
    check_status(status, before, sweep);
    if (before.preview.empty() && !sweep.preview().empty()) expected_size = frame.size();
  } catch (const cv::Exception& error) {
    FUZZ_CHECK(!valid && error.code == cv::Error::StsBadArg);
    FUZZ_CHECK(unchanged(before, sweep));
  }
  FUZZ_CHECK(same_pixels(frame, as_given));
  check_band(sweep);
  check_record(sweep);
  return expected_size;
}

void finish(const zemb::Sweep& sweep) {
  const Snapshot before(sweep);
  const zemb::SweepCounts& counts = sweep.counts();
  // The first placed frame is the first keyframe; a render needs a second
  // placed frame, keyframe or not.
  const int placed = counts.count(zemb::FrameOutcome::kAccepted) + counts.count(zemb::FrameOutcome::kRelocalised);
  try {
    const zemb::FinishedPanorama finished = sweep.finish();
    FUZZ_CHECK(placed >= 2);
    FUZZ_CHECK(finished.panorama.type() == CV_8UC3 && !finished.panorama.empty());
    FUZZ_CHECK(finished.mask.type() == CV_8U && finished.mask.size() == finished.panorama.size());
    FUZZ_CHECK(finished.report.size == finished.panorama.size());
    FUZZ_CHECK(finished.report.refined == finished.report.fallback_reason.empty());
    FUZZ_CHECK(finished.report.keyframes_used >= 1 && finished.report.keyframes_used <= counts.keyframes + 1);
  } catch (const cv::Exception& error) {
    FUZZ_CHECK(placed >= 2 || error.code == cv::Error::StsBadArg);
  }
  FUZZ_CHECK(unchanged(before, sweep));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cv::setNumThreads(1);
  scene();
  scratch();
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader input(data, size);
  const std::string directory = working_directory(input);
  const zemb::SweepOptions options = options_of(input);
  probe_one_setting(input, options);
  Camera camera = camera_of(input);
  zemb::Sweep sweep(directory, options);
  cv::Size expected_size;
  for (int i = 0; i < kMaxFrames && !input.empty(); ++i) {
    // Now and then the render mid-sweep: the sweep goes on after it.
    if (input.byte() % 16 == 15) finish(sweep);
    expected_size = feed(sweep, next_frame(input, camera), expected_size);
  }
  finish(sweep);
  sweep.remove_working_directory();
  return 0;
}

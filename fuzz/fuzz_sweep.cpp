// One zemb::Sweep fed a short sequence of frames decided by the input, then
// finished. The settings are the defaults, those of a sweep set up like the
// fixed path (kFixedPath's values, one FAST threshold, no recovery), or
// decoded from the input within their ranges (a budget of a few kilobytes
// makes the sweep spill its keyframes). The frames are windows of a textured
// scene moving mostly toward the top of the frame, with steps back, repeated
// frames, jumps and returns to the start (recovery), dark, blank, noisy and
// sparse frames (few keypoints), views into larger images, and invalid ones:
// empty, of another type or of another size. Beside the sweep, one setting at a
// time, any field of the options' own field list (for_each_field), is set to
// any value: check() either passes or throws StsBadArg, the constructor
// agrees with it, and a value no range admits (NaN, the type's lowest or
// highest value) is always refused with a message naming the field.
//
// After every add(): a bad frame throws StsBadArg and nothing changes; a
// good one returns a status, counted once; a frame that is not placed, or
// not shown, leaves the preview's pixels as they were; the band lies inside
// the preview; every keyframe's image can be read back at its recorded size;
// the links name keyframes that exist. finish() gives a CV_8UC3 panorama and
// a CV_8U mask of its size, or cv::Exception (StsBadArg when nothing but the
// first frame was placed), and changes nothing. The folder the sweep made
// for its spilled images lies in the directory it was given and goes when
// the sweep is asked to remove it.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <type_traits>

#include <opencv2/imgproc.hpp>

#include "fixed/settings.h"
#include "fuzz_check.h"
#include "shared/steps.h"
#include "textured_scene.h"
#include "zemb/sweep.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMaxFrames = 12;
using zemb_fuzz::ByteReader;
using zemb_fuzz::kSceneCols;
using zemb_fuzz::kSceneRows;
using zemb_fuzz::textured_scene;

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

// Where a sweep makes the folder for its spilled images: the system's
// temporary folder, the scratch folder, or a path below a file, where no
// folder can be made, so that every spill fails.
std::string working_directory(ByteReader& input) {
  switch (input.byte() % 4) {
    case 0: return std::string();
    case 1: {
      const fs::path file = scratch() / "a-file";
      std::ofstream(file).put('x');
      return (file / "sweep").string();
    }
    default: return scratch().string();
  }
}

// ---- Settings --------------------------------------------------------------

double share(ByteReader& input) { return input.byte() / 255.0; }

// Settings within their ranges, small enough that a sweep of a dozen small
// frames and its render stay quick.
zemb::SweepOptions decoded_options(ByteReader& input) {
  zemb::SweepOptions o;
  zemb::DetectionOptions& detection = o.detection;
  zemb::TrackingOptions& tracking = o.tracking;
  zemb::RenderOptions& render = o.render;
  o.preparation.working_columns = 16 + input.byte();
  o.preparation.tracking_rows = 16 + input.byte();
  detection.fast_threshold = 1 + input.byte() % 100;
  detection.threshold_floor = 1 + input.byte() % detection.fast_threshold;
  detection.threshold_step = 1 + input.byte() % 30;
  detection.adaptive = input.byte() % 2 == 0;
  detection.min_keypoints = 4 + input.byte() % 40;
  detection.adaptive_target = detection.min_keypoints + input.byte();
  tracking.flow.window = 3 + input.byte() % 40;
  tracking.flow.levels = input.byte() % 5;
  tracking.fit.ransac_iterations = 1 + input.in_range(0, 3000);
  o.placement.max_canvas_side = 64 + input.in_range(0, 4000);
  o.recovery.enabled = input.byte() % 2 == 0;
  o.recovery.keyframes = input.byte() % 8;
  tracking.min_inliers = 4 + input.byte() % 30;
  o.recovery.points = tracking.min_inliers + input.byte();
  tracking.min_inlier_share = share(input);
  o.recovery.match_ratio = static_cast<float>(1 + input.byte() % 100) / 100.0f;  // 0.01 to 1, as floats too
  o.recovery.binary_features = 4 + input.byte();
  o.recovery.thorough_features = 4 + input.byte();
  o.keyframes.share = share(input);
  o.memory.keep_columns = 16 + input.byte();
  o.memory.budget_bytes = std::uint64_t(input.byte()) * 1024;
  o.keyframes.max_links_per_pair = 4 + input.byte() % 60;
  o.keyframes.link_keyframes = 1 + input.byte() % 8;
  o.scene = input.byte() % 2 == 0 ? zemb::Scene::kTurning : zemb::Scene::kFlat;
  render.field_of_view = 1.0 + share(input) * 169.0;
  render.max_render_megapixels = 0.1 + share(input) * 0.9;
  render.seam_megapixels = 0.01 + share(input) * 0.09;
  render.blend_bands = input.byte() % 11;
  render.refine_iterations = 1 + input.byte();
  render.link_threshold = 0.01 + share(input) * 10.0;
  render.match_features = 4 + input.byte();
  render.match_megapixels = 0.01 + share(input) * 0.5;
  render.match_ratio = static_cast<float>(1 + input.byte() % 100) / 100.0f;
  render.exposure = static_cast<zemb::ExposureCompensation>(input.byte() % 4);
  render.seams = static_cast<zemb::SeamFinding>(input.byte() % 4);
  render.blending = static_cast<zemb::Blending>(input.byte() % 3);
  return o;
}

// A sweep set up like the fixed path: its sizes, detector, flow, fit and
// placement, one FAST threshold and no recovery.
zemb::SweepOptions like_fixed_path() {
  const zemb::FixedPathSettings& fixed = zemb::kFixedPath;
  zemb::SweepOptions o;
  o.preparation = fixed.preparation;
  o.detection.fast_threshold = fixed.fast_threshold;
  o.detection.min_keypoints = fixed.min_keypoints;
  o.detection.adaptive = false;
  o.tracking.flow = fixed.flow;
  o.tracking.fit = fixed.fit;
  o.placement.max_canvas_side = fixed.placement.max_canvas_side;
  o.recovery.enabled = false;
  return o;
}

zemb::SweepOptions options_of(ByteReader& input) {
  switch (input.byte() % 4) {
    case 0: return zemb::SweepOptions();
    case 1: return like_fixed_path();
    default: return decoded_options(input);
  }
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

// A value outside the range makes check() refuse the settings with a
// message naming the field.
void check_refused(const zemb::SweepOptions& options, const std::string& field) {
  bool refused = false;
  try {
    options.check();
  } catch (const cv::Exception& error) {
    FUZZ_CHECK(error.code == cv::Error::StsBadArg);
    FUZZ_CHECK(error.err.find("::" + field + " is ") != std::string::npos);
    refused = true;
  }
  FUZZ_CHECK(refused);
}

// The plain field at position `target` of the list SweepOptions'
// for_each_field makes, nested structs opened in place (for_each_option),
// handed to `act` with its name and range. Walking the whole list counts its
// fields.
template <typename Act>
size_t visit_field(zemb::SweepOptions& options, size_t target, Act act) {
  size_t position = 0;
  zemb::for_each_option(options, [&](const std::string& path, auto& field, double low, double high, const char*) {
    if (position++ == target) act(path.substr(path.rfind('.') + 1), field, low, high);
  });
  return position;
}

size_t field_count() {
  static const size_t counted = [] {
    zemb::SweepOptions options;
    return visit_field(options, SIZE_MAX, [](const std::string&, auto&, double, double) {});
  }();
  return counted;
}

// What a field's values are worked out in: an enumeration's underlying type,
// the field's own type otherwise.
template <typename T, bool = std::is_enum_v<T>>
struct Number {
  using type = T;
};
template <typename T>
struct Number<T, true> {
  using type = std::underlying_type_t<T>;
};

// `value` as a T, clamped to what T holds (a NaN stays NaN in a real and
// becomes the lowest value otherwise).
template <typename T>
T held(double value) {
  using N = typename Number<T>::type;
  using Limits = std::numeric_limits<N>;
  if constexpr (std::is_floating_point_v<N>) {
    return static_cast<T>(std::clamp<double>(value, Limits::lowest(), Limits::max()));
  } else {
    if (!(value > static_cast<double>(Limits::lowest()))) return static_cast<T>(Limits::lowest());
    if (value >= static_cast<double>(Limits::max())) return static_cast<T>(Limits::max());
    return static_cast<T>(static_cast<N>(value));
  }
}

// A value from the input (a byte, then four), in one of three ways: the
// four bytes as they are (any float bit pattern, any 32-bit integer), a
// value at or just beyond an end of the range, or one within half the
// range's span around it.
template <typename T>
T any_value(ByteReader& input, double low, double high) {
  using N = typename Number<T>::type;
  constexpr bool kReal = std::is_floating_point_v<N>;
  switch (input.byte() % 4) {
    case 0:
      if constexpr (kReal)
        return static_cast<T>(input.raw_float());
      else
        return static_cast<T>(static_cast<N>(static_cast<int32_t>(input.word())));
    case 1: {
      const double below = kReal ? std::nextafter(low, -HUGE_VAL) : low - 1;
      const double above = kReal ? std::nextafter(high, HUGE_VAL) : high + 1;
      const double ends[] = {low, high, below, above};
      return held<T>(ends[input.word() % 4]);
    }
    default: return held<T>(low + (high - low) * (input.word() / 4294967295.0 * 2.0 - 0.5));
  }
}

// A value T holds that the range [low, high] does not admit: NaN for a real,
// else T's lowest or highest value; false when there is none (a flag).
template <typename T>
bool refused_value(double low, double high, T& value) {
  using N = typename Number<T>::type;
  using Limits = std::numeric_limits<N>;
  if constexpr (std::is_floating_point_v<N>) {
    value = static_cast<T>(Limits::quiet_NaN());
    return true;
  } else {
    if (static_cast<double>(Limits::lowest()) < low) value = static_cast<T>(Limits::lowest());
    else if (static_cast<double>(Limits::max()) > high) value = static_cast<T>(Limits::max());
    else return false;
    return true;
  }
}

// One setting of `base`, any field of the options' own list, set to a value
// from the input: check() passes or throws StsBadArg, and the constructor
// agrees. Then the same setting set to a value no range admits: refused,
// naming the field.
void probe_one_setting(ByteReader& input, const zemb::SweepOptions& base) {
  const size_t target = input.byte() % field_count();
  zemb::SweepOptions probed = base;
  visit_field(probed, target, [&](const std::string&, auto& field, double low, double high) {
    field = any_value<std::decay_t<decltype(field)>>(input, low, high);
  });
  check_constructor_agrees(probed);
  probed = base;
  visit_field(probed, target, [&](const std::string& name, auto& field, double low, double high) {
    if (refused_value(low, high, field)) check_refused(probed, name);
  });
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
  return textured_scene()(cv::Rect(camera.origin, camera.size)).clone();
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
      return textured_scene()(cv::Rect(cv::Point(), other)).clone();
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

// A flat scene's keyframe lies on the plane by a usable homography; a turning
// camera's by a true rotation and a positive focal length.
bool placed_soundly(const zemb::Keyframe& keyframe, zemb::Scene scene) {
  if (scene == zemb::Scene::kFlat) return zemb::usable_homography(keyframe.placement) && keyframe.rotation.empty();
  if (!zemb::usable_homography(keyframe.rotation) || !(keyframe.focal > 0) || !std::isfinite(keyframe.focal))
    return false;
  const cv::Mat rotation = keyframe.rotation;
  return cv::norm(rotation * rotation.t(), cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF) < 1e-6 &&
         cv::determinant(rotation) > 0;
}

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
    FUZZ_CHECK(placed_soundly(keyframes[i], sweep.options().scene));
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

// Feeds one frame and checks the call; returns the size later frames are
// scaled to (the first placed frame's). A frame of other proportions than
// that cannot be tracked, and is not placed.
cv::Size feed(zemb::Sweep& sweep, const cv::Mat& frame, cv::Size expected_size) {
  const bool valid = !frame.empty() && frame.type() == CV_8UC3;
  const auto proportion = [](cv::Size size) { return static_cast<double>(size.width) / size.height; };
  const bool other_proportions =
      valid && !expected_size.empty() && std::abs(proportion(frame.size()) / proportion(expected_size) - 1) > 0.1;
  const Snapshot before(sweep);
  const cv::Mat as_given = frame.clone();
  try {
    const zemb::FrameStatus status = sweep.add(frame);
    FUZZ_CHECK(valid);
    FUZZ_CHECK(!other_proportions || status.outcome == zemb::FrameOutcome::kNotPlaceable);
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
    const zemb::FinishReport& report = finished.report;
    FUZZ_CHECK(report.size == finished.panorama.size());
    FUZZ_CHECK(report.refined == (report.model != zemb::RenderModel::kLive));
    FUZZ_CHECK((report.fallback == zemb::RenderFallback::kNone) == report.fallback_message.empty());
    FUZZ_CHECK(report.keyframes_used >= 1 && report.keyframes_used <= counts.keyframes + 1);
  } catch (const cv::Exception& error) {
    FUZZ_CHECK(placed >= 2 || error.code == cv::Error::StsBadArg);
  }
  FUZZ_CHECK(unchanged(before, sweep));
}

void remove_working_directory(zemb::Sweep& sweep, const std::string& directory) {
  const std::string folder = sweep.working_directory();
  if (!folder.empty()) {
    const fs::path parent = directory.empty() ? fs::temp_directory_path() : fs::path(directory);
    FUZZ_CHECK(fs::is_directory(folder) && fs::equivalent(fs::path(folder).parent_path(), parent));
  }
  sweep.remove_working_directory();
  FUZZ_CHECK(sweep.working_directory().empty() && (folder.empty() || !fs::exists(folder)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cv::setNumThreads(1);
  textured_scene();
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
  remove_working_directory(sweep, directory);
  return 0;
}

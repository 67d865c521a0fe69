// make_sweep: makes a sweep of camera frames from one photograph and writes
// them as numbered JPEG files, ready for zemb_pano or for the tests.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iomanip>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "synthetic_sweep.h"

namespace {

const char* const kUsage = R"(usage: make_sweep PHOTO OUTDIR [options]

Makes camera frames from PHOTO and writes them to OUTDIR as frame_01.jpg,
frame_02.jpg, ... The flat and turning cameras give frames in camera
orientation for a sweep toward their top edge. The flat camera moves a window
from the photo's left edge to the right; the turning camera turns about its
centre in front of the photo, as if PHOTO were what it saw looking straight
ahead, and its sweep is centred on the photo's middle and kept to the pans
that show only the photo. The sphere camera stands at the centre of a
full-sphere PHOTO (equirectangular: twice as wide as high, 360 by 180
degrees) and turns along a path as long as asked, frames upright. PHOTO
"sea-and-sky" is no file but a made scene of 4096x2048: a smooth sky over a
sea with faint ripples, almost nothing to track.

options:
  --camera flat|turning|sphere  the camera (default flat)
  --scale F         scale the photo by F first (default 1; flat, turning)
  --frames N        number of frames (default 30; fewer when the photo ends;
                    flat, turning)
  --frame-size WxH  camera frame size (default 640x360)
  --seed N          seed of every random choice (default 1)
  --quality Q       JPEG quality, 0 to 100 (default 90)
  --truth FILE      write each frame's ground truth to FILE as CSV: its name, its
                    number in the undisturbed sweep, its state (clear, dark or
                    blurred), its origin (the photo point at its centre, less
                    half its height across and half its width down; for the
                    sphere camera nothing taken off), pan, pitch and rotation
                    (degrees; the rotation is the roll of the turning and
                    sphere cameras), gain, then:
                    flat, turning: h11..h33, the homography from photo pixels
                      to frame pixels;
                    sphere: focal, the focal length in frame pixels (optical
                      axis through the frame's middle), and r11..r33, the
                      camera-to-world rotation (x right, y down, z forward;
                      the world's axes are the camera's at yaw 0 and pitch 0);
                    then, with --mover, mover_x, mover_y, mover_w, mover_h:
                      the moving figure's box in the photo;
                    photo pixels are PHOTO's own, before --scale

flat camera:
  --step PX         photo pixels between frames, after scaling (default 40)
  --rotation DEG    turn each frame by up to DEG degrees (default 0)
  --jitter PX       shift each frame up or down by up to PX pixels (default 0)

turning camera (the photo has the frame's scale at its centre):
  --fov DEG         field of view from the frame's bottom to its top edge,
                    the way the camera turns (default 40)
  --pan DEG         turn between frames (default 3)
  --roll DEG        roll each frame about its optical axis by up to DEG (default 0)
  --pitch DEG       tilt each frame across the sweep by up to DEG (default 0)

sphere camera (the frame count is TURN / PAN + 1, rounded down):
  --fov DEG         field of view across the frame's longer side (default 65)
  --pan DEG         turn between frames (default 3)
  --turn DEG        the whole turn, from the first frame to the last (default
                    360; a little more, e.g. 370, overlaps the first frames)
  --direction right|left|up|down  pan right or left about the vertical axis,
                    or tilt up or down about the camera's horizontal axis
                    (default right)
  --yaw DEG         the first frame's yaw, 0 at the photo's middle column,
                    positive to the right (default 0)
  --pitch DEG       the first frame's pitch, positive up (default 0)
  --roll DEG        roll each frame about its optical axis by up to DEG (default 0)
  --sway DEG        turn each frame off its path, up or down in a pan,
                    sideways in a tilt, by up to DEG (default 0)
  --roll-swing DEG  a rolled path: the roll swings smoothly out to +DEG,
                    through 0 to -DEG and back over the path (default 0)

what a real camera adds, to any camera:
  --blur SIGMA      Gaussian blur of SIGMA frame pixels (default 0)
  --exposure F      change each frame's exposure by a factor of 1 +- up to F (default 0)
  --noise SIGMA     Gaussian noise of SIGMA grey levels (default 0)
  --overlay LIST    burn content into every frame at a fixed place, as
                    cameras and apps do: logo (a badge in the top-right
                    corner), timestamp (bottom-left, its seconds ticking
                    every 30 frames), or logo,timestamp
  --mover SPEED     an opaque figure (a person's size: a fifth of the frame
                    along the sweep, two fifths across it; green and magenta
                    bands, striped) walks across the scene along the sweep,
                    SPEED photo pixels a frame after scaling (negative:
                    against the sweep; 0 stands still), at the middle
                    frame's centre halfway through; flat, turning

disturbances, for frames numbered from 1 as in an undisturbed sweep
(each may be given more than once):
  --drop FIRST:COUNT     leave COUNT frames out from frame FIRST on
  --dark FIRST:COUNT     black them out
  --blurred FIRST:COUNT  blur them beyond use

examples:
  make_sweep life.jpg data/life_sweep --scale 0.35 --step 24 --rotation 0.3 --jitter 6
  make_sweep life.jpg turning --camera turning --scale 1.3 --frame-size 1920x1080 --frames 20 \
    --pan 2 --roll 0.5 --pitch 0.5 --truth turning.csv
  make_sweep life.jpg gap --scale 0.35 --step 24 --rotation 0.3 --jitter 6 --drop 12:8 --dark 22:3
  make_sweep sea-and-sky coast --scale 0.5 --step 12 --frames 120 --overlay logo,timestamp
  make_sweep data/equirect/bma_park.jpg park --camera sphere --frame-size 960x540 --fov 65 \
    --pan 4 --turn 370 --roll 0.5 --sway 0.5 --truth park.csv
)";

struct ToolOptions {
  std::string photo;
  std::string out_dir;
  std::string truth;
  double scale = 1.0;
  int quality = 90;
  zemb_tools::SweepSettings sweep;
  std::set<std::string> given;  // the options on the command line
};

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "make_sweep: " << message << "\n";
  std::exit(1);
}

double number(const std::string& text, const std::string& option) {
  size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size()) fail(option + " expects a number, got '" + text + "'");
  return value;
}

// "A<sep>B" as two positive whole numbers.
std::pair<int, int> two_counts(const std::string& text, char separator, const std::string& option) {
  const size_t at = text.find(separator);
  const std::string form = std::string("A") + separator + "B";
  if (at == std::string::npos) fail(option + " expects " + form + ", got '" + text + "'");
  const double a = number(text.substr(0, at), option), b = number(text.substr(at + 1), option);
  if (a < 1 || b < 1 || a != std::floor(a) || b != std::floor(b))
    fail(option + " expects positive whole numbers, got '" + text + "'");
  return {static_cast<int>(a), static_cast<int>(b)};
}

// The camera frame is W columns by H rows. For the flat and turning cameras
// its window in the photo is H wide (along the sweep) and W high, because
// frames are turned back before use.
void set_frame_size(zemb_tools::SweepSettings& s, const std::string& text) {
  const auto [width, height] = two_counts(text, 'x', "--frame-size");
  s.window = {height, width};
  s.sphere.frame = {width, height};
}

// FIRST:COUNT, FIRST counted from 1 as in the frames' names.
zemb_tools::FrameRun run_of(const std::string& text, const std::string& option) {
  const auto [first, count] = two_counts(text, ':', option);
  return {first - 1, count};
}

using zemb_tools::SweepCamera;
using zemb_tools::TurnDirection;

const std::map<std::string, SweepCamera> kCameras = {
    {"flat", SweepCamera::flat}, {"turning", SweepCamera::turning}, {"sphere", SweepCamera::sphere}};
const std::map<std::string, TurnDirection> kDirections = {{"right", TurnDirection::right},
                                                          {"left", TurnDirection::left},
                                                          {"up", TurnDirection::up},
                                                          {"down", TurnDirection::down}};

// The options only some cameras take, with the cameras that take them:
// given to another camera, one fails rather than be ignored.
const std::map<std::string, std::vector<SweepCamera>> kCameraOptions = [] {
  const std::vector<SweepCamera> flat{SweepCamera::flat}, sphere{SweepCamera::sphere};
  const std::vector<SweepCamera> flat_photo{SweepCamera::flat, SweepCamera::turning};
  const std::vector<SweepCamera> turning_cameras{SweepCamera::turning, SweepCamera::sphere};
  return std::map<std::string, std::vector<SweepCamera>>{
      {"--scale", flat_photo},       {"--frames", flat_photo},      {"--step", flat},
      {"--rotation", flat},          {"--jitter", flat},            {"--fov", turning_cameras},
      {"--pan", turning_cameras},    {"--roll", turning_cameras},   {"--pitch", turning_cameras},
      {"--turn", sphere},            {"--direction", sphere},       {"--yaw", sphere},
      {"--sway", sphere},            {"--roll-swing", sphere},      {"--mover", flat_photo}};
}();

template <typename Choice>
Choice choice_of(const std::map<std::string, Choice>& choices, const std::string& text, const std::string& option) {
  const auto found = choices.find(text);
  if (found != choices.end()) return found->second;
  std::string names;
  for (const auto& choice : choices) names += (names.empty() ? "" : "|") + choice.first;
  fail(option + " expects " + names + ", got '" + text + "'");
}

void set_overlays(zemb_tools::FrameOverlays& overlays, const std::string& text) {
  std::stringstream list(text);
  std::string name;
  while (std::getline(list, name, ',')) {
    if (name == "logo")
      overlays.logo = true;
    else if (name == "timestamp")
      overlays.timestamp = true;
    else
      fail("--overlay expects logo, timestamp or logo,timestamp, got '" + text + "'");
  }
}

std::string camera_name(SweepCamera camera) {
  for (const auto& [name, value] : kCameras)
    if (value == camera) return name;
  return "";
}

using Setters = std::map<std::string, std::function<void(const std::string&)>>;

// Each option sets every field listed for it: the turning and sphere cameras
// read the same option into fields of their own.
template <typename Field>
using Fields = std::initializer_list<std::pair<const char*, std::vector<Field*>>>;

Setters setters_of(ToolOptions& o) {
  zemb_tools::SweepSettings& s = o.sweep;
  zemb_tools::TurningCamera& t = s.turning;
  zemb_tools::SphereCamera& sp = s.sphere;
  zemb_tools::CameraEffects& e = s.effects;
  zemb_tools::SweepDisturbances& d = s.disturbances;
  Setters setters = {
      {"--camera", [&](const std::string& v) { s.camera = choice_of(kCameras, v, "--camera"); }},
      {"--direction", [&](const std::string& v) { sp.direction = choice_of(kDirections, v, "--direction"); }},
      {"--frame-size", [&](const std::string& v) { set_frame_size(s, v); }},
      {"--overlay", [&](const std::string& v) { set_overlays(s.overlays, v); }},
      {"--seed", [&](const std::string& v) { s.seed = static_cast<unsigned>(number(v, "--seed")); }},
      {"--truth", [&](const std::string& v) { o.truth = v; }},
      {"--mover",
       [&](const std::string& v) {
         s.mover.present = true;
         s.mover.speed = number(v, "--mover");
       }},
  };
  for (const auto& [option, fields] : Fields<double>{
           {"--scale", {&o.scale}}, {"--rotation", {&s.max_rotation_deg}}, {"--fov", {&t.fov_deg, &sp.fov_deg}},
           {"--pan", {&t.pan_step_deg, &sp.pan_step_deg}}, {"--roll", {&t.max_roll_deg, &sp.max_roll_deg}},
           {"--pitch", {&t.max_pitch_deg, &sp.pitch_deg}}, {"--turn", {&sp.turn_deg}}, {"--yaw", {&sp.yaw_deg}},
           {"--sway", {&sp.max_sway_deg}}, {"--roll-swing", {&sp.roll_swing_deg}},
           {"--blur", {&e.blur_sigma}}, {"--exposure", {&e.max_exposure_change}},
           {"--noise", {&e.noise_sigma}}})
    setters[option] = [option = option, fields = fields](const std::string& v) {
      for (double* field : fields) *field = number(v, option);
    };
  for (const auto& [option, fields] : Fields<int>{{"--frames", {&s.frames}}, {"--quality", {&o.quality}},
                                                  {"--step", {&s.step}}, {"--jitter", {&s.max_jitter}}})
    setters[option] = [option = option, fields = fields](const std::string& v) {
      for (int* field : fields) *field = static_cast<int>(number(v, option));
    };
  for (const auto& [option, fields] : Fields<std::vector<zemb_tools::FrameRun>>{
           {"--drop", {&d.dropped}}, {"--dark", {&d.dark}}, {"--blurred", {&d.blurred}}})
    setters[option] = [option = option, fields = fields](const std::string& v) {
      for (std::vector<zemb_tools::FrameRun>* field : fields) field->push_back(run_of(v, option));
    };
  return setters;
}

void check_camera_options(const ToolOptions& o) {
  for (const auto& [option, cameras] : kCameraOptions)
    if (o.given.count(option) && std::find(cameras.begin(), cameras.end(), o.sweep.camera) == cameras.end())
      fail(option + " does not apply to the " + camera_name(o.sweep.camera) + " camera");
}

void check(const ToolOptions& o) {
  check_camera_options(o);
  const zemb_tools::SweepSettings& s = o.sweep;
  if (!(o.scale > 0) || s.frames < 1 || s.step < 1 || s.max_jitter < 0)
    fail("--scale, --frames and --step must be positive, --jitter not negative");
  const zemb_tools::TurningCamera& t = s.turning;
  if (s.camera == SweepCamera::turning && (!(t.fov_deg > 0 && t.fov_deg < 180) || !(t.pan_step_deg > 0) ||
                                           t.max_roll_deg < 0 || t.max_pitch_deg < 0))
    fail("--fov must lie between 0 and 180, --pan be positive, --roll and --pitch not negative");
  const zemb_tools::SphereCamera& sp = s.sphere;
  if (s.camera == SweepCamera::sphere &&
      (!(sp.fov_deg > 0 && sp.fov_deg < 180) || !(sp.pan_step_deg > 0) || !(sp.turn_deg >= 0 && sp.turn_deg <= 3600) ||
       !std::isfinite(sp.yaw_deg) || !std::isfinite(sp.pitch_deg) || sp.max_roll_deg < 0 || sp.max_sway_deg < 0 ||
       !(std::abs(sp.roll_swing_deg) <= 180)))
    fail("--fov must lie between 0 and 180, --pan be positive, --turn between 0 and 3600, --roll and --sway not "
         "negative, --roll-swing within 180 degrees either way");
  const zemb_tools::CameraEffects& e = s.effects;
  if (e.blur_sigma < 0 || e.noise_sigma < 0 || !(e.max_exposure_change >= 0 && e.max_exposure_change < 1))
    fail("--blur and --noise must not be negative, --exposure must lie in [0, 1)");
  if (!std::isfinite(s.mover.speed)) fail("--mover expects a finite speed");
}

ToolOptions parse(int argc, char** argv) {
  ToolOptions o;
  const Setters setters = setters_of(o);
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      std::exit(0);
    }
    const auto setter = setters.find(arg);
    if (setter == setters.end()) {
      if (arg.rfind("--", 0) == 0) fail("unknown option " + arg + " (see --help)");
      positional.push_back(arg);
    } else if (i + 1 == argc) {
      fail(arg + " needs a value");
    } else {
      setter->second(argv[++i]);
      o.given.insert(arg);
    }
  }
  if (positional.size() != 2) fail("expects PHOTO and OUTDIR (see --help)");
  o.photo = positional[0];
  o.out_dir = positional[1];
  check(o);
  return o;
}

const char* const kSeaAndSky = "sea-and-sky";

cv::Mat load_scaled_photo(const ToolOptions& o) {
  const cv::Mat photo =
      o.photo == kSeaAndSky ? zemb_tools::sea_and_sky(cv::Size(4096, 2048)) : cv::imread(o.photo, cv::IMREAD_COLOR);
  if (photo.empty()) fail(o.photo + ": cannot be read as an image");
  cv::Mat scaled;
  cv::resize(photo, scaled, cv::Size(), o.scale, o.scale, o.scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
  const zemb_tools::SweepSettings& s = o.sweep;
  const bool flat = s.camera == SweepCamera::flat;
  if (flat && (s.window.width > scaled.cols || s.window.height + 2 * s.max_jitter > scaled.rows))
    fail(cv::format("the photo is %dx%d after scaling: too small for %dx%d frames with %d pixels of jitter",
                    scaled.cols, scaled.rows, s.window.height, s.window.width, s.max_jitter));
  return scaled;
}

std::vector<zemb_tools::SweepFrame> sweep_of(const ToolOptions& o) {
  try {
    std::vector<zemb_tools::SweepFrame> sweep = zemb_tools::make_sweep(load_scaled_photo(o), o.sweep);
    if (sweep.empty()) fail("every frame was dropped");
    return sweep;
  } catch (const cv::Exception& e) {
    fail(e.err);
  }
}

// frame_01.jpg ... with enough digits that name order is sweep order.
std::string frame_name(size_t index, size_t count) {
  const int digits = std::max(2, static_cast<int>(std::to_string(count).size()));
  return cv::format("frame_%0*zu.jpg", digits, index + 1);
}

const char* state_name(zemb_tools::FrameState state) {
  switch (state) {
    case zemb_tools::FrameState::dark: return "dark";
    case zemb_tools::FrameState::blurred: return "blurred";
    case zemb_tools::FrameState::clear: break;
  }
  return "clear";
}

// One line a frame, in the pixels of the photo as read (before --scale). The
// sphere camera's truth is its rotation and focal length, not a homography.
void write_truth(const ToolOptions& o, const std::vector<zemb_tools::SweepFrame>& sweep) {
  const bool sphere = o.sweep.camera == SweepCamera::sphere;
  std::ofstream out(o.truth);
  const bool mover = o.sweep.mover.present;
  out << "file,frame,state,origin_x,origin_y,pan_deg,pitch_deg,rotation_deg,gain" << (sphere ? ",focal" : "");
  for (int i = 1; i <= 9; ++i) out << "," << (sphere ? 'r' : 'h') << (i - 1) / 3 + 1 << (i - 1) % 3 + 1;
  if (mover) out << ",mover_x,mover_y,mover_w,mover_h";
  out << "\n" << std::setprecision(10);
  // cv::resize lines up pixel centres: x scaled = (x + 1/2) * scale - 1/2.
  const double shift = (o.scale - 1) / 2;
  const cv::Matx33d scaling(o.scale, 0, shift, 0, o.scale, shift, 0, 0, 1);
  for (size_t i = 0; i < sweep.size(); ++i) {
    const zemb_tools::SweepFrame& f = sweep[i];
    out << frame_name(i, sweep.size()) << "," << f.index + 1 << "," << state_name(f.state) << ","
        << (f.origin.x - shift) / o.scale << "," << (f.origin.y - shift) / o.scale << "," << f.pan_deg << ","
        << f.pitch_deg << "," << f.rotation_deg << "," << f.gain;
    if (sphere) out << "," << f.focal;
    const cv::Matx33d matrix = sphere ? f.rotation : f.photo_to_frame * scaling;
    for (int k = 0; k < 9; ++k) out << "," << matrix.val[k];
    if (mover)
      out << "," << (f.mover.x - shift) / o.scale << "," << (f.mover.y - shift) / o.scale << ","
          << f.mover.width / o.scale << "," << f.mover.height / o.scale;
    out << "\n";
  }
  if (!out) fail(o.truth + ": cannot be written");
}

}  // namespace

int main(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);  // failures get a message of their own
  const ToolOptions o = parse(argc, argv);
  const std::vector<zemb_tools::SweepFrame> sweep = sweep_of(o);
  std::error_code error;
  std::filesystem::create_directories(o.out_dir, error);
  if (error) fail(o.out_dir + ": " + error.message());
  const std::vector<int> jpeg = {cv::IMWRITE_JPEG_QUALITY, o.quality};
  for (size_t i = 0; i < sweep.size(); ++i) {
    const std::string path = o.out_dir + "/" + frame_name(i, sweep.size());
    if (!cv::imwrite(path, sweep[i].camera_frame, jpeg)) fail(path + ": cannot be written");
  }
  if (!o.truth.empty()) write_truth(o, sweep);
  std::cout << "make_sweep: " << sweep.size() << " frames of " << sweep.front().camera_frame.cols << "x"
            << sweep.front().camera_frame.rows << " in " << o.out_dir;
  if (o.sweep.camera == SweepCamera::turning)
    std::cout << cv::format(", panning from %.2f to %.2f degrees", sweep.front().pan_deg, sweep.back().pan_deg);
  if (o.sweep.camera == SweepCamera::sphere)
    std::cout << cv::format(", turning from yaw %.2f, pitch %.2f to yaw %.2f, pitch %.2f degrees",
                            sweep.front().pan_deg, sweep.front().pitch_deg, sweep.back().pan_deg,
                            sweep.back().pitch_deg);
  std::cout << "\n";
  return 0;
}

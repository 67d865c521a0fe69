#include "made_footage.h"

#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "synthetic_sweep.h"

namespace zemb_footage {

namespace {

// A photo set turning inside a full-sphere photo: frames of `frame`, 65
// degrees across the longer side, `pan` degrees apart over `turn`.
struct SphereSet {
  const char* name;
  const char* photo;  // in the full-sphere folder
  cv::Size frame;
  double pan, turn, exposure;
  double sway = 0, roll = 0;
  bool sizes_vary = false;  // each photo scaled by 1, 0.8 or 0.65 in turn
};

// Overlap across the frames' width: 1 - pan / horizontal view.
const SphereSet kSphereSets[] = {
    {"park_landscape", "bma_park", {1620, 1080}, 45, 315, 0.10},          // 8 photos, 31 %
    {"park_portrait", "bma_park", {810, 1080}, 30, 150, 0.10},            // 6 photos, 51 degrees across: 41 %
    {"park_sizes", "bma_park", {1200, 800}, 40, 320, 0.15, 3, 2, true},   // 9 photos, 38 %
    {"office", "office_ambientcg", {960, 640}, 35, 385, 0.10},            // 12 photos, a full turn and more, 46 %
};
constexpr double kSizes[] = {1.0, 0.8, 0.65};

cv::Mat read_photo(const std::string& path) {
  const cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
  if (photo.empty()) CV_Error(cv::Error::StsError, "cannot read " + path);
  return photo;
}

void write_frames(const std::vector<zemb_tools::SweepFrame>& frames, const std::string& folder, bool sizes_vary) {
  std::filesystem::create_directories(folder);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    cv::Mat image = frames[i].camera_frame;
    const double scale = sizes_vary ? kSizes[i % std::size(kSizes)] : 1.0;
    if (scale < 1) cv::resize(image, image, cv::Size(), scale, scale, cv::INTER_AREA);
    const std::string path = folder + cv::format("/frame_%03zu.jpg", i + 1);
    if (!cv::imwrite(path, image, {cv::IMWRITE_JPEG_QUALITY, 90}))
      CV_Error(cv::Error::StsError, "cannot write " + path);
  }
}

MadeFootage sphere_set(const SphereSet& set, const MadeFrom& sources, const std::string& folder) {
  zemb_tools::SweepSettings s;
  s.camera = zemb_tools::SweepCamera::sphere;
  s.sphere.frame = set.frame;
  s.sphere.fov_deg = 65;
  s.sphere.pan_step_deg = set.pan;
  s.sphere.turn_deg = set.turn;
  s.sphere.max_sway_deg = set.sway;
  s.sphere.max_roll_deg = set.roll;
  s.effects.max_exposure_change = set.exposure;
  const std::string path = folder + "/" + set.name;
  write_frames(zemb_tools::make_sweep(read_photo(sources.equirect_dir + "/" + set.photo + ".jpg"), s), path,
               set.sizes_vary);
  std::string recipe = cv::format("make_sweep %s.jpg DIR --camera sphere --frame-size %dx%d --pan %g --turn %g "
                                  "--exposure %g",
                                  set.photo, set.frame.width, set.frame.height, set.pan, set.turn, set.exposure);
  if (set.sway > 0) recipe += cv::format(" --sway %g --roll %g", set.sway, set.roll);
  if (set.sizes_vary) recipe += ", each photo then scaled by 1, 0.8, 0.65 in turn";
  Footage footage{set.name, path, FootageKind::photo_set};
  footage.turning_only = true;
  return {footage, recipe};
}

// A window sliding across `photo` (flat camera, 640x360 frames), `frames`
// frames `step` pixels apart, with a little noise.
MadeFootage flat_sweep(const std::string& name, const cv::Mat& photo, int step, int frames,
                       const zemb_tools::SweepSettings& base, const std::string& folder, const std::string& recipe) {
  zemb_tools::SweepSettings s = base;
  s.camera = zemb_tools::SweepCamera::flat;
  s.step = step;
  s.frames = frames;
  s.effects.noise_sigma = 1;
  const std::string path = folder + "/" + name;
  write_frames(zemb_tools::make_sweep(photo, s), path, false);
  return {{name, path, FootageKind::sweep}, recipe};
}

cv::Mat scaled(const cv::Mat& photo, double scale) {
  cv::Mat out;
  cv::resize(photo, out, cv::Size(), scale, scale, cv::INTER_AREA);
  return out;
}

}  // namespace

std::vector<MadeFootage> make_footage(const MadeFrom& sources, const std::string& folder) {
  std::vector<MadeFootage> made;
  for (const SphereSet& set : kSphereSets) made.push_back(sphere_set(set, sources, folder));
  // The coast: the top 900 rows of eveningglow.jpg (sky, hills, lake).
  const cv::Mat evening = read_photo(sources.photo_dir + "/eveningglow.jpg");
  zemb_tools::SweepSettings overlay;
  overlay.overlays.logo = overlay.overlays.timestamp = true;
  made.push_back(flat_sweep("coast_overlay", scaled(evening.rowRange(0, std::min(900, evening.rows)), 0.75), 10,
                            150, overlay, folder,
                            "make_sweep COAST DIR --scale 0.75 --step 10 --frames 150 --overlay logo,timestamp "
                            "--noise 1 (COAST: eveningglow.jpg's top 900 rows)"));
  zemb_tools::SweepSettings blurred;
  blurred.effects.blur_sigma = 1;
  made.push_back(flat_sweep("sea_and_sky", scaled(zemb_tools::sea_and_sky(cv::Size(4096, 2048)), 0.5), 8, 120,
                            blurred, folder,
                            "make_sweep sea-and-sky DIR --scale 0.5 --step 8 --frames 120 --noise 1 --blur 1"));
  return made;
}

}  // namespace zemb_footage

// zemb_quality: the quality of the live preview and of the finished panorama
// next to OpenCV's cv::Stitcher (PANORAMA with a plane warper for turning
// sweeps, SCANS for flat ones), on real-photo sweeps made by the sweep maker:
// for every photo, a turning camera and a flat slide, and for life.jpg two
// more turning cameras, with a long and a wide lens. Every output is
// registered to the photo (see quality_measure.h) and the table gives the
// local PSNR and SSIM, the coverage of the swept area, the share of matches
// within 4 px of one homography, the images used and the wall time; then the
// targets, and for every sweep the focal length the render found against the
// true one and the peak memory of each side.
//
// Then, for each full-sphere photo, a camera turning inside it (sphere/...),
// measured against a plane view of the sphere (see sphere_sweep).
//
// Options: --photos=DIR (default: the project's photos), --equirect=DIR (the
// full-sphere photos, default the project's), --frame=WxH (the
// camera frames, default 960x540; the photos are scaled with them),
// --only=TEXT[,TEXT...] (only the sweeps whose names hold one of them), --keep-cols=N
// (columns the keyframes are kept at and cv::Stitcher gets;
// default the frames' width), --stitcher-limit=SECONDS (cv::Stitcher is
// stopped after this long, default 300), --picture=FILE (writes the live
// preview above the finished panorama of the sweep --picture-of=NAME names,
// by default turning/life).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/stitching.hpp>

#include "bench_support.h"
#include "bounded_stitch.h"
#include "long_sweep.h"
#include "quality_measure.h"
#include "scenes.h"
#include "synthetic_sweep.h"
#include "zemb/sweep.h"

namespace {

// The frame size the photos' scales below are written for; other frame sizes
// scale the photos with them.
const cv::Size kBaseFrame(960, 540);
// The finished panorama's time (every add() and finish()) at most this share of cv::Stitcher's.
constexpr double kTimeTarget = 0.2;

struct MadeSweep {
  std::string name;
  zemb::Scene scene;
  cv::Mat photo;  // scaled; the frames' ground truth is in its pixels
  std::vector<zemb_tools::SweepFrame> frames;
  cv::Size frame;           // camera frames, columns x rows
  double true_focal = 0;    // turning: the camera's focal length in frame pixels
  bool upright = false;     // frames as the photo stands (the sphere camera's), not turned for a sweep up
};

// A sweep to make when its turn comes (a sweep of full-resolution frames
// holds hundreds of megabytes).
struct SweepPlan {
  std::string name;
  std::function<MadeSweep()> make;
};

zemb_tools::SweepSettings camera_settings(zemb_tools::SweepCamera camera, cv::Size frame) {
  zemb_tools::SweepSettings s;
  s.window = cv::Size(frame.height, frame.width);  // photo orientation
  s.camera = camera;
  s.effects.max_exposure_change = 0.05;
  s.effects.noise_sigma = 2;
  return s;
}

cv::Mat scaled(const cv::Mat& photo, double scale) {
  cv::Mat out;
  cv::resize(photo, out, cv::Size(), scale, scale, cv::INTER_AREA);
  return out;
}

double radians(double degrees) { return degrees * CV_PI / 180; }

// A camera turning `step_deg` a frame, 25 frames, with small roll and pitch,
// in front of the photo scaled to 2160 columns at 960x540 (room for 25 frames
// of a 40-degree view 2 degrees apart). The sweep goes along the frame's
// shorter side, which spans `view_deg`.
MadeSweep turning_sweep(const std::string& name, const cv::Mat& photo, cv::Size frame, double view_deg,
                        double step_deg) {
  zemb_tools::SweepSettings s = camera_settings(zemb_tools::SweepCamera::turning, frame);
  s.frames = 25;
  s.turning.fov_deg = view_deg;
  s.turning.pan_step_deg = step_deg;
  s.turning.max_roll_deg = s.turning.max_pitch_deg = 0.5;
  const double columns = 2160.0 * frame.width / kBaseFrame.width;
  const double focal = frame.height / 2.0 / std::tan(radians(view_deg) / 2);
  MadeSweep sweep{name, zemb::Scene::kTurning, scaled(photo, columns / photo.cols), {}, frame, focal};
  sweep.frames = zemb_tools::make_sweep(sweep.photo, s);
  return sweep;
}

// What a frame's shorter side spans when its longer side spans `lens_deg`.
double shorter_side_view(cv::Size frame, double lens_deg) {
  const double focal = frame.width / 2.0 / std::tan(radians(lens_deg) / 2);
  return 2 * std::atan(frame.height / 2.0 / focal) * 180 / CV_PI;
}

// A window sliding across the photo scaled to 1000 rows at 960x540, 30 frames
// from edge to edge, each turned and shifted a little.
MadeSweep flat_sweep(const std::string& name, const cv::Mat& photo, cv::Size frame) {
  zemb_tools::SweepSettings s = camera_settings(zemb_tools::SweepCamera::flat, frame);
  const double rows = 1000.0 * frame.width / kBaseFrame.width;
  MadeSweep sweep{name, zemb::Scene::kFlat, scaled(photo, rows / photo.rows), {}, frame, 0};
  s.frames = 30;
  s.step = (sweep.photo.cols - s.window.width) / (s.frames - 1);
  s.max_rotation_deg = 0.3;
  s.max_jitter = 6 * frame.width / kBaseFrame.width;
  sweep.frames = zemb_tools::make_sweep(sweep.photo, s);
  return sweep;
}

cv::Mat flipped_upside_down(const cv::Mat& photo) {
  cv::Mat out;
  cv::flip(photo, out, 0);
  return out;
}

// A long slide: `frames` windows `step` (a share of the frame) apart along
// a strip of the photos, each turned and shifted a little, at the rows a
// flat sweep sees the photos at.
MadeSweep long_slide(const std::string& name, const std::vector<cv::Mat>& photos, cv::Size frame, int frames,
                     double step) {
  zemb_tools::SweepSettings s = camera_settings(zemb_tools::SweepCamera::flat, frame);
  const int rows = cvRound(1100.0 * frame.width / kBaseFrame.width);
  MadeSweep sweep{name, zemb::Scene::kFlat, zemb_tools::photo_strip(photos, rows), {}, frame, 0};
  s.frames = frames;
  s.step = std::max(1, cvRound(step * frame.height));
  s.max_rotation_deg = 0.3;
  s.max_jitter = 6 * frame.width / kBaseFrame.width;
  sweep.frames = zemb_tools::make_sweep(sweep.photo, s);
  return sweep;
}

// A pinhole camera's matrix, the optical axis through the middle of the
// pixel grid (as the sphere camera has it).
cv::Matx33d pinhole(double focal, cv::Size size) {
  return {focal, 0, (size.width - 1) / 2.0, 0, focal, (size.height - 1) / 2.0, 0, 0, 1};
}

// The plane view at the world's forward axis, at `focal`, that holds every
// frame of the sphere sweep: the centred extent of their corners seen from it.
cv::Size view_holding(const std::vector<zemb_tools::SweepFrame>& frames, cv::Size frame, double focal) {
  double most_x = 0, most_y = 0;
  for (const zemb_tools::SweepFrame& f : frames) {
    const cv::Matx33d to_world = f.rotation * pinhole(f.focal, frame).inv();
    for (const cv::Point2d corner : {cv::Point2d(0, 0), cv::Point2d(frame.width - 1, 0),
                                     cv::Point2d(0, frame.height - 1), cv::Point2d(frame.width - 1, frame.height - 1)}) {
      const cv::Vec3d ray = to_world * cv::Vec3d(corner.x, corner.y, 1);
      CV_Assert(ray[2] > 0);  // the sweep stays within a quarter turn of the view's axis
      most_x = std::max(most_x, std::abs(focal * ray[0] / ray[2]));
      most_y = std::max(most_y, std::abs(focal * ray[1] / ray[2]));
    }
  }
  return {2 * int(std::ceil(most_x)) + 2, 2 * int(std::ceil(most_y)) + 2};
}

// A camera at the centre of a full-sphere photo turning 48 degrees to the
// right (25 frames 2 degrees apart, 65 degrees across the frame's longer
// side), each frame rolled and swayed by up to 0.5 degree, its frames
// upright. There is no flat photo to measure against: the photo is one plane
// view of the sphere from the middle of the turn at the frames' focal length,
// large enough to hold every frame, and each frame's truth is the homography
// from that view to it (K_frame R_frame^T R_view K_view^-1).
MadeSweep sphere_sweep(const std::string& name, const cv::Mat& equirect, cv::Size frame) {
  zemb_tools::SweepSettings s = camera_settings(zemb_tools::SweepCamera::sphere, frame);
  s.sphere.frame = frame;
  s.sphere.fov_deg = 65;
  s.sphere.pan_step_deg = 2;
  s.sphere.turn_deg = 48;
  s.sphere.yaw_deg = -24;
  s.sphere.max_roll_deg = s.sphere.max_sway_deg = 0.5;
  MadeSweep sweep{name, zemb::Scene::kTurning, cv::Mat(), zemb_tools::make_sweep(equirect, s), frame, 0, true};
  sweep.true_focal = sweep.frames.front().focal;
  zemb_tools::SweepSettings view;
  view.camera = zemb_tools::SweepCamera::sphere;
  view.sphere.frame = view_holding(sweep.frames, frame, sweep.true_focal);
  view.sphere.turn_deg = 0;
  const int longer = std::max(view.sphere.frame.width, view.sphere.frame.height);
  view.sphere.fov_deg = 2 * std::atan(longer / 2.0 / sweep.true_focal) * 180 / CV_PI;
  const zemb_tools::SweepFrame photo = zemb_tools::make_sweep(equirect, view).front();
  sweep.photo = photo.camera_frame;
  const cv::Matx33d view_to_world = photo.rotation * pinhole(photo.focal, sweep.photo.size()).inv();
  for (zemb_tools::SweepFrame& f : sweep.frames)
    f.photo_to_frame = pinhole(f.focal, frame) * f.rotation.t() * view_to_world;
  return sweep;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// What the three ways made of one sweep.
struct Outputs {
  cv::Mat preview;
  zemb::FinishedPanorama finished;
  zemb::SweepCounts counts;
  int on_preview = 0;
  int links = 0, linked_points = 0;  // keyframe pairs joined, and their point pairs
  zemb_tools::KeyframePlaces places;  // where the keyframes belong and where the render put them
  double add_seconds = 0, finish_seconds = 0;
  cv::Mat stitched;  // empty when cv::Stitcher failed
  int stitched_images = 0;
  std::string stitch_error;  // why it failed
  double stitch_seconds = 0;
  double sweep_peak_mib = 0, stitch_peak_mib = 0;  // above what was resident before each began
};

// Kept pixel -> photo pixel of every keyframe of the record, from the truth
// of the frame it was kept from.
zemb_tools::KeyframePlaces places_of(const MadeSweep& made, const zemb::SweepRecord& record,
                                       const zemb::FinishReport& report) {
  zemb_tools::KeyframePlaces places;
  for (const zemb::Keyframe& keyframe : record.keyframes) {
    places.to_photo.push_back(zemb_tools::kept_to_photo(made.frames[std::size_t(keyframe.frame_index)].photo_to_frame,
                                                        keyframe.image_size, made.frame.width));
    places.sizes.push_back(keyframe.image_size);
  }
  places.to_panorama = report.placements;
  return places;
}

void run_sweep(const MadeSweep& made, int keep_columns, Outputs& out) {
  zemb::SweepOptions options;
  options.scene = made.scene;
  options.memory.keep_columns = keep_columns;
  // On a plane, as cv::Stitcher is asked for: each output is then one plane
  // view of the photo, which is what the measure registers.
  options.render.surface = zemb::PanoramaSurface::kPlane;
  const zemb_bench::PeakMemory memory;
  zemb::Sweep sweep(std::string(), options);
  const auto start = std::chrono::steady_clock::now();
  for (const zemb_tools::SweepFrame& frame : made.frames) out.on_preview += sweep.add(frame.camera_frame).on_preview;
  out.add_seconds = seconds_since(start);
  const auto finish_start = std::chrono::steady_clock::now();
  out.finished = sweep.finish();
  out.finish_seconds = seconds_since(finish_start);
  out.preview = sweep.preview().clone();
  out.counts = sweep.counts();
  out.links = int(sweep.links().size());
  for (const zemb::KeyframeLink& link : sweep.links()) out.linked_points += int(link.from_points.size());
  out.places = places_of(made, sweep.record(), out.finished.report);
  out.sweep_peak_mib = memory.mib_above_start();
}

// The frames at `columns` columns, turned clockwise as the sweep turns them,
// so that every output has the photo's orientation. A turning camera goes to
// PANORAMA with a plane warper; a flat sweep to SCANS (affine model), because
// PANORAMA's rotation bundle adjustment takes over a quarter of an hour on
// 30 slid frames without fitting them. cv::Stitcher runs in a child process,
// stopped after `limit_seconds` (its bundle adjustment can run for many
// minutes on a long lens).
void run_stitcher(const MadeSweep& made, int columns, double limit_seconds, Outputs& out) {
  std::vector<cv::Mat> images;
  for (const zemb_tools::SweepFrame& frame : made.frames) {
    cv::Mat image = frame.camera_frame;
    if (image.cols > columns) image = scaled(image, double(columns) / image.cols);
    if (!made.upright) cv::rotate(image, image, cv::ROTATE_90_CLOCKWISE);
    images.push_back(image);
  }
  zemb_footage::StitchRequest request;
  request.plane_warper = made.scene == zemb::Scene::kTurning;
  request.mode = request.plane_warper ? cv::Stitcher::PANORAMA : cv::Stitcher::SCANS;
  request.limit_seconds = limit_seconds;
  const zemb_footage::StitchResult result = zemb_footage::stitch_bounded(images, request);
  out.stitched = result.panorama;
  out.stitch_error = result.error;
  out.stitch_seconds = result.seconds;
  out.stitch_peak_mib = result.peak_mib;
  out.stitched_images = result.images_used;
}

std::string fixed(double value, int digits) { return cv::format("%.*f", digits, value); }

void print_row(const std::string& sweep, const char* output, const zemb_quality::Quality& q, const std::string& used,
               double seconds, const std::string& ratio) {
  if (!q.registered) {
    std::printf("| %s | %s | %s | not registered (%d matches) | | | | | %.2f | %s |\n", sweep.c_str(), output,
                used.c_str(), q.matches, seconds, ratio.c_str());
    return;
  }
  const std::string length = q.length > 0 ? cv::format("%.3f", q.length) : "";
  std::printf("| %s | %s | %s | %.2f | %.3f | %.3f | %.3f | %s | %.2f | %s |\n", sweep.c_str(), output, used.c_str(),
              q.psnr, q.ssim, q.coverage, q.within4, length.c_str(), seconds, ratio.c_str());
}

struct Measured {
  zemb_quality::Quality live, finished, stitched;
};

Measured measure_and_print(const MadeSweep& made, const Outputs& out) {
  const zemb_quality::Reference reference(made.photo);
  std::vector<cv::Matx33d> truth;
  for (const zemb_tools::SweepFrame& frame : made.frames) truth.push_back(frame.photo_to_frame);
  const cv::Mat swept = zemb_quality::swept_area(made.photo.size(), made.frame, truth);
  Measured m;
  m.live = reference.measure(out.preview, zemb_quality::covered_part(out.preview), swept);
  m.finished = reference.measure_placed(out.finished.panorama, out.finished.mask, swept, out.places);
  const int frames = int(made.frames.size());
  const double sweep_seconds = out.add_seconds + out.finish_seconds;
  print_row(made.name, "live preview", m.live, cv::format("%d/%d frames", out.on_preview, frames), out.add_seconds,
            "");
  print_row(made.name, out.finished.report.refined ? "finished" : "finished (fallback)", m.finished,
            cv::format("%d keyframes", out.finished.report.keyframes_used), sweep_seconds,
            fixed(sweep_seconds / out.stitch_seconds, 3));
  if (out.stitched.empty()) {
    std::printf("| %s | cv::Stitcher | failed: %s | | | | | | %.2f | |\n", made.name.c_str(), out.stitch_error.c_str(),
                out.stitch_seconds);
    return m;
  }
  m.stitched = reference.measure(out.stitched, zemb_quality::covered_part(out.stitched), swept);
  const char* stitcher = made.scene == zemb::Scene::kTurning ? "cv::Stitcher" : "cv::Stitcher (scans)";
  print_row(made.name, stitcher, m.stitched, cv::format("%d/%d frames", out.stitched_images, frames),
            out.stitch_seconds, "");
  return m;
}

std::string refinement_outcome(const zemb::FinishReport& report) {
  if (report.refined) return "refined";
  return std::string("fallback, ") + zemb::fallback_name(report.fallback) + ": " + report.fallback_message;
}

void target_row(const std::string& sweep, const char* target, const std::string& value, bool met) {
  std::printf("| %s | %s | %s | %s |\n", sweep.c_str(), target, value.c_str(), met ? "met" : "**missed**");
}

void print_targets(const MadeSweep& made, const Outputs& out, const Measured& m) {
  const zemb_quality::Quality& f = m.finished;
  const std::string& name = made.name;
  if (made.scene == zemb::Scene::kTurning) {
    // Where cv::Stitcher fails, the finished panorama must still be good.
    if (m.stitched.registered)
      target_row(name, "finished PSNR >= cv::Stitcher's - 0.5 dB",
                 fixed(f.psnr, 2) + " vs " + fixed(m.stitched.psnr, 2), f.psnr >= m.stitched.psnr - 0.5);
    else
      target_row(name, "finished PSNR >= 28 dB (cv::Stitcher failed)", fixed(f.psnr, 2), f.psnr >= 28);
    target_row(name, "coverage >= 0.98", fixed(f.coverage, 3), f.coverage >= 0.98);
    target_row(name, "refined with rotations", zemb::model_name(out.finished.report.model),
               out.finished.report.model == zemb::RenderModel::kRotation);
  } else {
    target_row(name, "within 4 px >= 0.90", fixed(f.within4, 3), f.within4 >= 0.9);
    target_row(name, "PSNR >= 30 dB", fixed(f.psnr, 2), f.psnr >= 30);
    if (f.length > 0)
      target_row(name, "length within 2 % of the scene's", fixed(f.length, 3), std::abs(f.length - 1) <= 0.02);
  }
  target_row(name, "refined", refinement_outcome(out.finished.report), out.finished.report.refined);
  const double ratio = (out.add_seconds + out.finish_seconds) / out.stitch_seconds;
  target_row(name, "add + finish <= 0.2 of cv::Stitcher's time", fixed(ratio, 3), ratio <= kTimeTarget);
}

// Where the time went on each side: every add(), finish() alone, and
// cv::Stitcher::stitch(), with the finished panorama's share of it (add +
// finish, the whole wait of `zemb_pano --finish` but for reading and writing
// files, which cv::Stitcher's time leaves out too).
void print_times(const std::vector<MadeSweep>& sweeps, const std::vector<Outputs>& outputs) {
  std::printf("| sweep | add s | finish s | cv::Stitcher s | finish / cv::Stitcher | add + finish / cv::Stitcher |\n");
  std::printf("| --- | ---: | ---: | ---: | ---: | ---: |\n");
  for (std::size_t i = 0; i < sweeps.size(); ++i) {
    const Outputs& out = outputs[i];
    const std::string stitched = out.stitched.empty() ? fixed(out.stitch_seconds, 2) + " (failed)"
                                                      : fixed(out.stitch_seconds, 2);
    std::printf("| %s | %.2f | %.2f | %s | %.3f | %.3f |\n", sweeps[i].name.c_str(), out.add_seconds,
                out.finish_seconds, stitched.c_str(), out.finish_seconds / out.stitch_seconds,
                (out.add_seconds + out.finish_seconds) / out.stitch_seconds);
  }
}

// Why the finished panorama looks as it does: the sweep's outcomes and the
// finish report, stage by stage.
void print_details(const MadeSweep& made, const Outputs& out) {
  const zemb::SweepCounts& c = out.counts;
  const zemb::FinishReport& r = out.finished.report;
  std::printf("%s: %zu frames: %d accepted, %d relocalised, %d not extended, %d not placeable, "
              "%d too few keypoints; %d keyframes, %d links of %d point pairs. add %.2f s; finish %.2f s "
              "(refine %.2f, exposure %.2f, seams %.2f, blend %.2f), %dx%d, %s\n",
              made.name.c_str(), made.frames.size(), c.count(zemb::FrameOutcome::kAccepted),
              c.count(zemb::FrameOutcome::kRelocalised), c.count(zemb::FrameOutcome::kNotExtended),
              c.count(zemb::FrameOutcome::kNotPlaceable), c.count(zemb::FrameOutcome::kTooFewKeypoints), c.keyframes,
              out.links, out.linked_points, out.add_seconds, r.seconds_total, r.seconds_refine, r.seconds_exposure,
              r.seconds_seams, r.seconds_blend, r.size.width, r.size.height,
              refinement_outcome(r).c_str());
}

// The live preview above the finished panorama, each 1000 columns wide, with
// the photo's credit underneath.
void write_picture(const std::string& path, const Outputs& out) {
  std::vector<cv::Mat> parts;
  for (const cv::Mat& image : {out.preview, out.finished.panorama}) {
    parts.push_back(scaled(image, 1000.0 / image.cols));
    parts.push_back(cv::Mat(12, 1000, CV_8UC3, cv::Scalar::all(255)));
  }
  cv::Mat credit(28, 1000, CV_8UC3, cv::Scalar::all(255));
  cv::putText(credit, "Top: live preview. Bottom: finished panorama. Photo: Aitzol Berasategi, CC-BY-4.0",
              cv::Point(8, 19), cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar::all(0), 1, cv::LINE_AA);
  parts.push_back(credit);
  cv::Mat picture;
  cv::vconcat(parts, picture);
  if (!cv::imwrite(path, picture, {cv::IMWRITE_PNG_COMPRESSION, 9}))
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
}

// The focal length the render found against the camera's, and what each
// side held at its peak.
void print_focal_and_memory(const std::vector<MadeSweep>& sweeps, const std::vector<Outputs>& outputs,
                            int keep_columns) {
  std::printf("| sweep | lens (longer side) | focal found / true | sweep peak MiB | cv::Stitcher peak MiB |\n");
  std::printf("| --- | ---: | ---: | ---: | ---: |\n");
  for (std::size_t i = 0; i < sweeps.size(); ++i) {
    const MadeSweep& made = sweeps[i];
    const zemb::FinishReport& r = outputs[i].finished.report;
    std::string lens = "-", focal = "-";
    if (made.true_focal > 0) {
      lens = fixed(2 * std::atan(made.frame.width / 2.0 / made.true_focal) * 180 / CV_PI, 1) + " deg";
      // The render's focal is in kept-image pixels, the camera's in frame pixels.
      const double kept_scale = double(std::min(keep_columns, made.frame.width)) / made.frame.width;
      focal = cv::format("%.1f / %.1f (%+.1f %%)", r.focal, made.true_focal * kept_scale,
                         100 * (r.focal / (made.true_focal * kept_scale) - 1));
    }
    std::printf("| %s | %s | %s | %.0f | %.0f |\n", made.name.c_str(), lens.c_str(), focal.c_str(),
                outputs[i].sweep_peak_mib, outputs[i].stitch_peak_mib);
  }
}

// Turning cameras before textures whose parts have twins, before life.jpg
// soft (bokeh, haze, a blurring lens), and long flat slides along a strip
// of all the photos.
void add_hard_plans(const std::vector<cv::Mat>& photos, cv::Size frame, std::vector<SweepPlan>& plans) {
  const cv::Mat life = photos.front();
  const double unit = double(frame.width) / kBaseFrame.width;
  for (const zemb_tools::Texture texture : zemb_tools::all_textures()) {
    const std::string name = std::string("turning/") + zemb_tools::texture_name(texture);
    const cv::Size size(cvRound(2160 * unit), cvRound(1440 * unit));
    plans.push_back({name, [=] {
                       return turning_sweep(name, zemb_tools::repeating_texture(texture, size, life), frame, 40, 2);
                     }});
  }
  plans.push_back({"turning/bokeh", [=] {
    return turning_sweep("turning/bokeh", zemb_tools::bokeh(life), frame, 40, 2);
  }});
  plans.push_back({"turning/haze", [=] {
    return turning_sweep("turning/haze", zemb_tools::hazy(life), frame, 40, 2);
  }});
  // Blurred in the scene, not by the camera, so that the photo the output is
  // measured against is what the frames show.
  plans.push_back({"turning/blur", [=] {
                     cv::Mat blurred;
                     cv::GaussianBlur(life, blurred, cv::Size(), 1.5 * life.cols / 2160.0);
                     return turning_sweep("turning/blur", blurred, frame, 40, 2);
                   }});
  // 130 frames 0.12 of a frame apart, as a hand slides a phone; 50 and 150
  // frames a quarter of a frame apart, every frame a keyframe.
  const std::vector<std::pair<int, double>> slides = {{130, 0.12}, {50, 0.25}, {150, 0.25}};
  for (const auto& [frames, step] : slides) {
    const std::string name = cv::format("slide%d/strip", frames);
    std::vector<cv::Mat> strip = photos;
    for (const cv::Mat& photo : photos)
      if (step > 0.2) strip.insert(strip.end(), {flipped_upside_down(photo), photo.t()});
    plans.push_back({name, [=] { return long_slide(name, strip, frame, frames, step); }});
  }
}

// For every photo a turning and a flat sweep; life.jpg also turning with a
// long lens (20 degrees across the frame's longer side) and a wide one (80);
// then the hard scenes.
std::vector<SweepPlan> plans_of(const std::string& folder, cv::Size frame) {
  std::vector<SweepPlan> plans;
  std::vector<cv::Mat> photos;
  for (const std::string name : {"life", "path", "eveningglow"}) {
    const cv::Mat photo = cv::imread(folder + "/" + name + ".jpg", cv::IMREAD_COLOR);
    if (photo.empty()) {
      std::fprintf(stderr, "cannot read %s/%s.jpg\n", folder.c_str(), name.c_str());
      continue;
    }
    photos.push_back(photo);
    plans.push_back({"turning/" + name, [=] { return turning_sweep("turning/" + name, photo, frame, 40, 2); }});
    plans.push_back({"flat/" + name, [=] { return flat_sweep("flat/" + name, photo, frame); }});
    if (name != "life") continue;
    for (const double lens : {20.0, 80.0}) {
      const std::string lens_name = cv::format("lens%.0f/", lens) + name;
      const double view = shorter_side_view(frame, lens);
      plans.push_back({lens_name, [=] { return turning_sweep(lens_name, photo, frame, view, view / 20); }});
    }
  }
  if (photos.size() == 3) add_hard_plans(photos, frame, plans);
  return plans;
}

// A sphere sweep for every full-sphere photo of `folder` (bma_park, office).
void add_sphere_plans(const std::string& folder, cv::Size frame, std::vector<SweepPlan>& plans) {
  for (const std::string name : {"bma_park", "office_ambientcg"}) {
    const std::string path = folder + "/" + name + ".jpg", plan = "sphere/" + name.substr(0, name.find('_'));
    plans.push_back({plan, [=] {
                       const cv::Mat equirect = cv::imread(path, cv::IMREAD_COLOR);
                       if (equirect.empty()) CV_Error(cv::Error::StsError, "cannot read " + path);
                       return sphere_sweep(plan, equirect, frame);
                     }});
  }
}

cv::Size frame_size(const std::string& text) {
  cv::Size size;
  if (std::sscanf(text.c_str(), "%dx%d", &size.width, &size.height) != 2 || size.width < size.height ||
      size.height < 100)
    CV_Error(cv::Error::StsBadArg, "--frame wants COLUMNSxROWS, landscape, at least 100 rows: " + text);
  return size;
}

// Frees a sweep's pixels once it has been measured, keeping what the tables
// print.
void release_pixels(MadeSweep& made) {
  made.photo.release();
  for (zemb_tools::SweepFrame& frame : made.frames) frame.camera_frame.release();
}

}  // namespace

int main(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
  int child_exit = 0;
  if (zemb_footage::serve_stitch_request(argc, argv, child_exit)) return child_exit;
  const std::vector<std::string> known = {"photos", "equirect", "frame", "only",
                                           "keep-cols", "picture", "picture-of", "stitcher-limit"};
  if (const auto stop = zemb_bench::stop_on_options(argc, argv, known)) return *stop;
  const cv::Size frame = frame_size(zemb_bench::option_value(argc, argv, "frame", "960x540"));
  std::vector<SweepPlan> plans = plans_of(zemb_bench::option_value(argc, argv, "photos", ZEMB_PHOTO_DIR), frame);
  add_sphere_plans(zemb_bench::option_value(argc, argv, "equirect", ZEMB_EQUIRECT_DIR), frame, plans);
  const std::string only = zemb_bench::option_value(argc, argv, "only", "");
  const auto not_asked = [&only](const SweepPlan& plan) {
    std::stringstream texts(only);
    for (std::string text; std::getline(texts, text, ',');)
      if (plan.name.find(text) != std::string::npos) return false;
    return true;
  };
  plans.erase(std::remove_if(plans.begin(), plans.end(), not_asked), plans.end());
  if (plans.empty()) return 1;
  const int keep_columns = std::stoi(zemb_bench::option_value(argc, argv, "keep-cols", std::to_string(frame.width)));
  const std::string picture = zemb_bench::option_value(argc, argv, "picture", "");
  const std::string picture_of = zemb_bench::option_value(argc, argv, "picture-of", "turning/life");
  const double limit_seconds = std::stod(zemb_bench::option_value(argc, argv, "stitcher-limit", "300"));
  std::printf("Quality on %dx%d frames, kept at %d columns; load average at start: %s\n\n", frame.width,
              frame.height, keep_columns, zemb_bench::load_average().c_str());

  std::vector<MadeSweep> sweeps;
  std::vector<Outputs> outputs(plans.size());
  std::vector<Measured> measured;
  std::printf("| sweep | output | used | PSNR dB | SSIM | coverage | within 4 px | length | seconds | time ratio |\n");
  std::printf("| --- | --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n");
  double sweep_total = 0, stitch_total = 0;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    sweeps.push_back(plans[i].make());
    run_sweep(sweeps[i], keep_columns, outputs[i]);
    run_stitcher(sweeps[i], keep_columns, limit_seconds, outputs[i]);
    measured.push_back(measure_and_print(sweeps[i], outputs[i]));
    release_pixels(sweeps[i]);
    sweep_total += outputs[i].add_seconds + outputs[i].finish_seconds;
    stitch_total += outputs[i].stitch_seconds;
    std::fflush(stdout);
  }
  std::printf("\nPSNR (grey, pooled) and SSIM over 64-px tiles aligned on their own after one homography to the "
              "photo (the finished panorama's from the ground truth, the others' from SIFT matches); coverage: "
              "share of the swept photo area shown; within 4 px: share of the keyframes' points (finished) or "
              "mutual SIFT matches (the others) within 4 panorama pixels of that homography; length: the finished "
              "panorama's over the scene's; seconds: Sweep::add over all frames (live preview), "
              "plus finish() (finished), cv::Stitcher::stitch; time ratio: finished / cv::Stitcher.\n\n");

  std::printf("| sweep | target | value | |\n| --- | --- | ---: | --- |\n");
  for (std::size_t i = 0; i < sweeps.size(); ++i) print_targets(sweeps[i], outputs[i], measured[i]);
  const double total_ratio = sweep_total / stitch_total;
  target_row("all sweeps", "add + finish <= 0.2 of cv::Stitcher's time",
             cv::format("%.3f (%.2f s vs %.2f s)", total_ratio, sweep_total, stitch_total), total_ratio <= kTimeTarget);
  std::printf("\n");
  print_times(sweeps, outputs);
  std::printf("\n");
  print_focal_and_memory(sweeps, outputs, keep_columns);
  std::printf("\n");

  for (std::size_t i = 0; i < sweeps.size(); ++i) print_details(sweeps[i], outputs[i]);
  if (!picture.empty())
    for (std::size_t i = 0; i < sweeps.size(); ++i)
      if (sweeps[i].name == picture_of) write_picture(picture, outputs[i]);
  return 0;
}

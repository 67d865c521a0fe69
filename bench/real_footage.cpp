// zemb_real_footage: every clip and photo set of the real-footage folder,
// and footage it makes for itself with the sweep maker (photo sets cut from
// the full-sphere photos, a sweep with a logo and a timestamp burned in, a
// sweep over a plain sea and sky; see made_footage.h), each photo set also in
// a fixed-seed shuffle. Clips and sweeps go frame by frame through
// zemb::Sweep, as a camera would give them, photo sets through
// zemb::stitch_photos, with the default options in each scene (turning, then
// flat; the sets cut from a sphere turning only), each a whole run as
// `zemb_pano INPUT --finish` makes it: reading, stitching, the finished
// panorama written. OpenCV's cv::Stitcher (PANORAMA beside the turning scene,
// SCANS beside the flat one) gets a sample of the same frames: one each time
// the view has moved on by a third of a frame (a photo set's every photo),
// at most 40, at most 800 columns. Every add() and finish() and each whole
// run is timed, the outcomes counted, and every panorama (the finished one
// and the live preview, cv::Stitcher's) is measured against the sampled
// frames themselves (see footage_measure.h).
//
// cv::Stitcher runs in a child process and is stopped after a time limit
// (see bounded_stitch.h): on some clips it runs for a quarter of an hour.
//
// Options: --data=DIR (default: the project's data/real), --equirect=DIR and
// --photos=DIR (what the footage is made from; default the project's),
// --made=no (make nothing), --out=DIR (where the panoramas go; default
// real_footage), --only=NAME (one clip, sweep or photo set, with its shuffled
// twin), --stitcher-limit=SECONDS (default 60), --picture=FILE (street_pan's
// finished panorama above cv::Stitcher's).
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/stitching.hpp>

#include "bench_support.h"
#include "bounded_stitch.h"
#include "footage.h"
#include "footage_measure.h"
#include "made_footage.h"
#include "quality_measure.h"
#include "zemb/photos.h"
#include "zemb/sweep.h"

namespace {

using zemb_footage::FootageQuality;

constexpr int kMostSampled = 40;
constexpr int kStitcherColumns = 800;
constexpr double kCameraFps = 30;  // the rate the sweep must keep up with
const char* const kPictureClip = "street_pan";
const zemb::Scene kScenes[] = {zemb::Scene::kTurning, zemb::Scene::kFlat};

const char* scene_name(zemb::Scene scene) { return scene == zemb::Scene::kTurning ? "turning" : "flat"; }

// One panorama, how long it took and how it measures; `error` when it could not be made.
struct Output {
  cv::Mat image;
  cv::Mat covered;
  double seconds = 0;  // what making it took: every add() for the preview
  std::string error;
  zemb_footage::Located located;
  FootageQuality quality;
};

struct SceneRun {
  zemb::Scene scene = zemb::Scene::kTurning;
  std::vector<double> add_ms, placed_ms;  // a sweep's add() calls
  zemb::SweepCounts counts;
  int placed = 0;        // frames placed by the sweep, or photos in the photo set's panorama
  std::string outcomes;  // what became of the frames or photos
  zemb::FinishReport report;
  // From the first frame read to the last file written, as `zemb_pano INPUT
  // --finish` runs: reading, the sweep or the photo set, the finished
  // panorama and its cropped copy written as PNG. cv::Stitcher's: reading
  // the footage, stitch(), its panorama written as PNG.
  double whole_seconds = 0, stitcher_whole_seconds = 0;
  Output preview, finished, stitched;
};

struct ClipRun {
  zemb_footage::Footage footage;
  std::string recipe;  // how it was made, when the benchmark made it
  int frames = 0;
  double decode_seconds = 0;  // reading every frame or photo
  std::vector<cv::Mat> sampled;  // in name order: what every output is measured against
  std::vector<SceneRun> scenes;
};

void add_timed(zemb::Sweep& sweep, const cv::Mat& frame, SceneRun& run) {
  zemb::FrameStatus status;
  const double ms = zemb_bench::time_of([&] { status = sweep.add(frame); });
  run.add_ms.push_back(ms);
  if (status.placed()) run.placed_ms.push_back(ms);
}

// Written in the format its name says (JPEG at quality 92).
bool write_file(const std::string& path, const cv::Mat& image) {
  if (image.empty() || cv::imwrite(path, image, {cv::IMWRITE_JPEG_QUALITY, 92})) return true;
  std::cerr << "cannot write " << path << "\n";
  return false;
}

// The finished panorama and its cropped copy, as zemb_pano writes them.
bool write_finished(const std::string& stem, const zemb::FinishedPanorama& finished) {
  return write_file(stem + ".finished.png", finished.panorama) &
         write_file(stem + ".finished_cropped.png", finished.cropped());
}

void keep_finished(const zemb::FinishedPanorama& finished, SceneRun& run) {
  run.finished.image = finished.panorama;
  run.finished.covered = finished.mask;
  run.report = finished.report;
}

std::string outcome_counts(const zemb::SweepCounts& counts) {
  static const char* const kLetters = "ARKTEP";  // in FrameOutcome's order
  std::string text;
  for (int o = 0; o < zemb::kFrameOutcomes; ++o)
    if (counts.by_outcome[std::size_t(o)] > 0)
      text += (text.empty() ? "" : " ") + std::to_string(counts.by_outcome[std::size_t(o)]) + kLetters[o];
  return text;
}

// A clip or sweep frame by frame through zemb::Sweep, finished and written.
bool run_sweep(const zemb_footage::Footage& footage, const std::string& stem, SceneRun& run) {
  const zemb_bench::Stopwatch whole;
  zemb::SweepOptions options;
  options.scene = run.scene;
  zemb::Sweep sweep(std::string(), options);  // spills, if ever, into the temporary folder
  zemb_footage::FrameSource source(footage);
  cv::Mat frame;
  while (source.next(frame)) add_timed(sweep, frame, run);
  run.counts = sweep.counts();
  run.placed = int(run.placed_ms.size());
  run.outcomes = outcome_counts(run.counts);
  run.preview.image = sweep.preview().clone();
  if (!run.preview.image.empty()) run.preview.covered = zemb_quality::covered_part(run.preview.image);
  for (double ms : run.add_ms) run.preview.seconds += ms / 1000;
  const zemb_bench::Stopwatch watch;
  bool written = true;
  try {
    const zemb::FinishedPanorama finished = sweep.finish();
    run.finished.seconds = watch.ms() / 1000;
    keep_finished(finished, run);
    written = write_finished(stem, finished);
  } catch (const cv::Exception& e) {
    run.finished.seconds = watch.ms() / 1000;
    run.finished.error = e.err;
  }
  sweep.remove_working_directory();
  run.whole_seconds = whole.ms() / 1000;
  return written;
}

// A photo set read in the order given and stitched as one problem
// (zemb::stitch_photos), as `zemb_pano FOLDER --finish` takes it.
bool run_photo_set(const zemb_footage::Footage& footage, const std::string& stem, SceneRun& run) {
  const zemb_bench::Stopwatch whole;
  zemb_footage::FrameSource source(footage, true);
  std::vector<cv::Mat> photos;
  for (cv::Mat photo; source.next(photo);) photos.push_back(photo);
  zemb::PhotoSetOptions options;
  options.scene = run.scene;
  const zemb_bench::Stopwatch watch;
  bool written = true;
  try {
    const zemb::PhotoPanorama result = zemb::stitch_photos(photos, options);
    run.finished.seconds = watch.ms() / 1000;
    keep_finished(result.finished, run);
    run.placed = int(result.report.placed.size());
    run.outcomes = cv::format("%zu left out", result.report.left_out.size());
    written = write_finished(stem, result.finished);
  } catch (const cv::Exception& e) {
    run.finished.seconds = watch.ms() / 1000;
    run.finished.error = e.err;
  }
  run.whole_seconds = whole.ms() / 1000;
  return written;
}

// One pass over the footage in name order: every frame read (timed) and
// the sample picked: a photo set's every photo, else each frame whose view
// has moved on (see ViewSampler), at most 40 of them spread evenly.
ClipRun sample_footage(const zemb_footage::Footage& footage) {
  ClipRun run;
  run.footage = footage;
  zemb_footage::FrameSource source(footage);
  zemb_footage::ViewSampler sampler;
  std::vector<cv::Mat> picked;
  cv::Mat frame;
  double decode_ms = 0;
  for (bool more = true; more;) {
    decode_ms += zemb_bench::time_of([&] { more = source.next(frame); });
    if (!more) break;
    if (footage.kind == zemb_footage::FootageKind::photo_set || sampler.offer(frame)) picked.push_back(frame.clone());
    ++run.frames;
  }
  if (run.frames == 0) CV_Error(cv::Error::StsError, "no frames in " + footage.path);
  run.decode_seconds = decode_ms / 1000;
  for (int index : zemb_footage::spread(int(picked.size()), kMostSampled)) run.sampled.push_back(picked[std::size_t(index)]);
  return run;
}

// cv::Stitcher on the sample (in the shuffled order when the footage is
// given shuffled), reduced to at most 800 columns; its panorama written as
// PNG, that write timed with the rest of its whole run.
Output stitch(const ClipRun& run, zemb::Scene scene, double limit_seconds, const std::string& stem,
              double& whole_seconds) {
  std::vector<cv::Mat> images;
  for (int index : zemb_footage::given_order(int(run.sampled.size()), run.footage.shuffled)) {
    const cv::Mat& frame = run.sampled[std::size_t(index)];
    const double scale = std::min(1.0, double(kStitcherColumns) / frame.cols);
    cv::Mat image;
    cv::resize(frame, image, cv::Size(), scale, scale, cv::INTER_AREA);
    images.push_back(image);
  }
  zemb_footage::StitchRequest request;
  request.mode = scene == zemb::Scene::kTurning ? cv::Stitcher::PANORAMA : cv::Stitcher::SCANS;
  request.limit_seconds = limit_seconds;
  zemb_footage::StitchResult result = zemb_footage::stitch_bounded(images, request);
  Output out;
  out.image = result.panorama;
  out.error = result.error;
  out.seconds = result.seconds;
  if (!out.image.empty()) out.covered = zemb_quality::covered_part(out.image);
  whole_seconds = run.decode_seconds + out.seconds +
                  zemb_bench::time_of([&] { write_file(stem + ".stitcher.png", out.image); }) / 1000;
  return out;
}

std::vector<Output*> outputs_of(ClipRun& run) {
  std::vector<Output*> all;
  for (SceneRun& scene : run.scenes)
    for (Output* output : {&scene.finished, &scene.stitched, &scene.preview})
      if (!output->image.empty()) all.push_back(output);
  return all;
}

// Every output found in and measured against the sample; the finished
// panoramas and cv::Stitcher's at one scale (the smallest of theirs), the
// previews at that scale or their own when smaller.
void measure(ClipRun& run, const zemb_footage::FrameSample& sample) {
  for (Output* output : outputs_of(run)) output->located = sample.locate(output->image, output->covered);
  double common = std::numeric_limits<double>::infinity();
  for (const SceneRun& scene : run.scenes)
    for (const Output* output : {&scene.finished, &scene.stitched})
      if (output->located.scale > 0) common = std::min(common, output->located.scale);
  for (Output* output : outputs_of(run))
    output->quality = sample.measure(output->image, output->covered, output->located, common);
}

std::string stem_of(const std::string& folder, const zemb_footage::Footage& footage, zemb::Scene scene) {
  return folder + "/" + footage.name + "." + scene_name(scene);
}

bool write_previews(const std::string& folder, const ClipRun& run) {
  bool written = true;
  for (const SceneRun& scene : run.scenes)
    written &= write_file(stem_of(folder, run.footage, scene.scene) + ".preview.jpg", scene.preview.image);
  return written;
}

std::string fixed(double value, int digits) { return std::isnan(value) ? "-" : cv::format("%.*f", digits, value); }

// Coverage, the share of pairs joined and PSNR, or why there is nothing to measure.
std::string measured(const Output& output) {
  if (!output.error.empty()) return "fails: " + output.error;
  const FootageQuality& q = output.quality;
  return fixed(q.coverage, 2) + " / " + fixed(q.joined, 2) + " / " + fixed(q.errors.psnr(), 1);
}

// A sweep's add() times, median, 99th percentile and slowest; "-" for a photo set.
std::string add_times(const SceneRun& scene) {
  if (scene.add_ms.empty()) return "-";
  return fixed(zemb_bench::median(scene.add_ms), 1) + " / " + fixed(zemb_bench::percentile(scene.add_ms, 0.99), 1) +
         " / " + fixed(*std::max_element(scene.add_ms.begin(), scene.add_ms.end()), 1);
}

std::vector<std::string> summary_row(const ClipRun& run, const SceneRun& scene) {
  const bool swept = !scene.add_ms.empty();
  const double add_seconds = scene.preview.seconds;
  return {run.footage.name,
          scene_name(scene.scene),
          std::to_string(run.frames),
          cv::format("%d/%d", scene.placed, run.frames),
          scene.outcomes,
          add_times(scene),
          fixed(scene.finished.seconds, 2),
          swept ? cv::format("%.1f / %.1f", add_seconds + scene.finished.seconds, run.frames / kCameraFps / 2) : "-",
          fixed(scene.whole_seconds, 1),
          measured(scene.finished),
          cv::format("%zu", run.sampled.size()),
          measured(scene.stitched),
          fixed(scene.stitched.seconds, 1),
          fixed(scene.stitcher_whole_seconds, 1)};
}

void print_summary(const std::vector<ClipRun>& runs) {
  std::vector<std::vector<std::string>> rows;
  for (const ClipRun& run : runs)
    for (const SceneRun& scene : run.scenes) rows.push_back(summary_row(run, scene));
  zemb_bench::print_markdown_table(
      std::cout,
      {"footage", "scene", "frames", "placed", "outcomes", "add() ms p50 / p99 / max", "finish s",
       "total s / half playing s", "whole run s", "finished: coverage / joined / PSNR dB", "sampled",
       "cv::Stitcher: coverage / joined / PSNR dB", "cv::Stitcher s", "cv::Stitcher whole run s"},
      rows);
  std::cout << "Clips and sweeps go through zemb::Sweep, photo sets through zemb::stitch_photos (shuffled: the "
               "same photos in a fixed-seed shuffle). Outcomes: A accepted, R relocalised, K too few keypoints, T "
               "too few tracked, E not extended, P not placeable; a photo set's photos left out. Placed: frames "
               "accepted or relocalised, or photos in the panorama. Finish: finish() or stitch_photos(). Total: "
               "every add() and finish(); half playing: half the time the frames last at 30 fps. Whole run: from "
               "the first frame read to the finished panorama and its cropped copy written as PNG, as "
               "`zemb_pano INPUT --finish` runs. Coverage, joined and PSNR: see below. cv::Stitcher: PANORAMA "
               "beside the turning scene, SCANS beside the flat one, on the sampled frames (every photo of a "
               "set); its whole run: reading the footage, stitch(), its panorama written as PNG.\n\n";
}

std::vector<std::string> quality_row(const ClipRun& run, const SceneRun& scene, const char* what,
                                     const Output& output) {
  if (!output.error.empty() || output.image.empty())
    return {run.footage.name, scene_name(scene.scene), what, "-", "-", "-", "-", "-", "-",
            output.error.empty() ? "empty" : output.error};
  const FootageQuality& q = output.quality;
  return {run.footage.name,
          scene_name(scene.scene),
          what,
          cv::format("%d/%d", q.found, q.frames),
          fixed(q.scale, 2),
          fixed(q.coverage, 3),
          cv::format("%s of %d", fixed(q.joined, 2).c_str(), q.pairs),
          fixed(q.errors.psnr(), 2),
          fixed(q.errors.ssim(), 3),
          cv::format("%dx%d", output.image.cols, output.image.rows)};
}

void print_quality(const std::vector<ClipRun>& runs) {
  std::vector<std::vector<std::string>> rows;
  for (const ClipRun& run : runs)
    for (const SceneRun& scene : run.scenes) {
      rows.push_back(quality_row(run, scene, "finished", scene.finished));
      rows.push_back(quality_row(run, scene, "live preview", scene.preview));
      rows.push_back(quality_row(run, scene,
                                 scene.scene == zemb::Scene::kTurning ? "cv::Stitcher PANORAMA" : "cv::Stitcher SCANS",
                                 scene.stitched));
    }
  zemb_bench::print_markdown_table(
      std::cout, {"footage", "scene", "output", "frames found", "at scale", "coverage", "joined", "PSNR dB", "SSIM",
                  "size"},
      rows);
  std::cout << "Frames found: sampled frames located in the panorama (SIFT, ratio 0.75, RANSAC homography). At "
               "scale: the frames' scale both sides were reduced to before comparing. Coverage: mean share of a "
               "sampled frame the panorama shows (0 for a frame not found). Joined: share of the overlapping pairs "
               "of sampled frames, one after the other, that the panorama places as their own matches do (within 5 "
               "% of a frame). PSNR (grey, pooled) and SSIM over 48-px tiles, each aligned within 4 px after one "
               "gain and offset a frame.\n\n";
}

// The scene whose finished panorama covers more of the frames; PSNR decides
// between two that cover about as much.
void print_better_scenes(const std::vector<ClipRun>& runs) {
  for (const ClipRun& run : runs) {
    if (run.scenes.size() < 2) continue;
    const FootageQuality& turning = run.scenes[0].finished.quality;
    const FootageQuality& flat = run.scenes[1].finished.quality;
    const bool close = std::abs(turning.coverage - flat.coverage) < 0.02;
    const double turning_psnr = turning.errors.psnr(), flat_psnr = flat.errors.psnr();
    const bool flat_better = close ? flat_psnr > turning_psnr || (std::isnan(turning_psnr) && !std::isnan(flat_psnr))
                                   : flat.coverage > turning.coverage;
    std::cout << run.footage.name << ": the " << (flat_better ? "flat" : "turning")
              << " scene does better (finished coverage " << fixed(turning.coverage, 2) << " turning, "
              << fixed(flat.coverage, 2) << " flat; PSNR " << fixed(turning_psnr, 1) << " / " << fixed(flat_psnr, 1)
              << " dB)\n";
  }
  std::cout << "\n";
}

void print_finish_reports(const std::vector<ClipRun>& runs) {
  for (const ClipRun& run : runs)
    for (const SceneRun& scene : run.scenes) {
      const zemb::FinishReport& r = scene.report;
      std::cout << run.footage.name << " (" << scene_name(scene.scene) << "): "
                << (scene.add_ms.empty() ? cv::format("%d photos placed; ", scene.placed)
                                         : cv::format("%d keyframes; ", scene.counts.keyframes));
      if (!scene.finished.error.empty())
        std::cout << "finish() failed: " << scene.finished.error << "\n";
      else
        std::cout << "finish() rendered " << r.keyframes_used << " at " << r.size.width << "x" << r.size.height << ", "
                  << (r.refined ? std::string("refined") : "not refined (" + r.fallback_message + ")")
                  << cv::format(", %.2f s (refine %.2f, exposure %.2f, seams %.2f, blend %.2f)\n", r.seconds_total,
                                r.seconds_refine, r.seconds_exposure, r.seconds_seams, r.seconds_blend);
    }
}

const cv::Size kPictureBox(1000, 600);  // each panorama of the picture fits in this

cv::Mat text_band(const std::string& text) {
  cv::Mat band(28, kPictureBox.width, CV_8UC3, cv::Scalar::all(255));
  cv::putText(band, text, cv::Point(8, 19), cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar::all(0), 1, cv::LINE_AA);
  return band;
}

// `image` fitted into the picture's box, centred on black, under a caption.
cv::Mat captioned(const cv::Mat& image, const std::string& caption) {
  const double scale = std::min(double(kPictureBox.width) / image.cols, double(kPictureBox.height) / image.rows);
  cv::Mat scaled;
  cv::resize(image, scaled, cv::Size(), scale, scale, cv::INTER_AREA);
  cv::Mat shown(scaled.rows, kPictureBox.width, CV_8UC3, cv::Scalar::all(0)), part;
  scaled.copyTo(shown(cv::Rect((kPictureBox.width - scaled.cols) / 2, 0, scaled.cols, scaled.rows)));
  cv::vconcat(text_band(caption), shown, part);
  return part;
}

// The picture clip's finished panorama above cv::Stitcher's: the turning
// scene's and PANORAMA's, or the flat scene's and SCANS's where those failed.
bool write_picture(const std::string& path, const std::vector<ClipRun>& runs) {
  for (const ClipRun& run : runs) {
    if (run.footage.name != kPictureClip) continue;
    if (run.scenes.size() < 2) break;
    const SceneRun &turning = run.scenes[0], &flat = run.scenes[1];
    const SceneRun& finished = turning.finished.image.empty() ? flat : turning;
    const SceneRun& stitched = turning.stitched.image.empty() ? flat : turning;
    if (finished.finished.image.empty() || stitched.stitched.image.empty()) break;
    cv::Mat picture;
    cv::vconcat(std::vector<cv::Mat>{
                    captioned(finished.finished.image,
                              cv::format("zemb::Sweep (%s scene), finished panorama of all %d frames",
                                         scene_name(finished.scene), run.frames)),
                    captioned(stitched.stitched.image,
                              cv::format("cv::Stitcher (%s) on %zu of them",
                                         stitched.scene == zemb::Scene::kTurning ? "PANORAMA" : "SCANS",
                                         run.sampled.size())),
                    text_band("Video: Ali Jahani, Real-time-Video-Mosaic, MIT licence")},
                picture);
    return write_file(path, picture);
  }
  std::cerr << "no picture: " << kPictureClip << " did not run or has no finished or cv::Stitcher panorama\n";
  return false;
}

bool same_pixels(const cv::Mat& a, const cv::Mat& b) {
  return !a.empty() && a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Whether a shuffled photo set's finished panorama is its ordered twin's,
// pixel for pixel, else whether it measures as that one does: coverage
// within 0.01, PSNR within 0.2 dB. (One panorama measures a little apart in
// the two runs: the scale it is measured at follows the smallest of the
// outputs, cv::Stitcher's among them, which the order changes.)
void print_shuffle_checks(const std::vector<ClipRun>& runs) {
  for (const ClipRun& shuffled : runs) {
    if (!shuffled.footage.shuffled) continue;
    for (const ClipRun& ordered : runs) {
      if (ordered.footage.shuffled || ordered.footage.path != shuffled.footage.path) continue;
      for (std::size_t s = 0; s < shuffled.scenes.size() && s < ordered.scenes.size(); ++s) {
        const FootageQuality &a = ordered.scenes[s].finished.quality, &b = shuffled.scenes[s].finished.quality;
        const bool same = std::abs(a.coverage - b.coverage) <= 0.01 && std::abs(a.errors.psnr() - b.errors.psnr()) <= 0.2;
        const bool identical = same_pixels(ordered.scenes[s].finished.image, shuffled.scenes[s].finished.image);
        std::cout << shuffled.footage.name << " (" << scene_name(shuffled.scenes[s].scene) << "): "
                  << (identical ? "the same panorama as in name order, pixel for pixel; measured at " : "")
                  << "coverage " << fixed(b.coverage, 3) << " against " << fixed(a.coverage, 3)
                  << " in name order, PSNR " << fixed(b.errors.psnr(), 2) << " against " << fixed(a.errors.psnr(), 2)
                  << " dB" << (identical ? " (the scale of each run)"
                               : same ? ": within 0.01 / 0.2 dB"
                                      : ": **differs** by more than 0.01 / 0.2 dB")
                  << "\n";
      }
    }
  }
  std::cout << "\n";
}

void print_recipes(const std::vector<ClipRun>& runs) {
  for (const ClipRun& run : runs)
    if (!run.recipe.empty() && !run.footage.shuffled) std::cout << run.footage.name << ": " << run.recipe << "\n";
  std::cout << "\n";
}

// The sampled frames with their features, found once for a photo set and
// its shuffled twin, which are sampled alike.
using Samples = std::map<std::string, std::unique_ptr<zemb_footage::FrameSample>>;

const zemb_footage::FrameSample& sample_of(const ClipRun& run, Samples& samples) {
  std::unique_ptr<zemb_footage::FrameSample>& sample = samples[run.footage.path];
  if (!sample) sample = std::make_unique<zemb_footage::FrameSample>(run.sampled);
  return *sample;
}

// Everything for one piece of footage: each scene's whole run, cv::Stitcher
// and the measurement; its panoramas written into `out`.
ClipRun run_clip(const zemb_footage::Footage& footage, const std::string& recipe, double stitcher_limit,
                 const std::string& out, Samples& samples, bool& written) {
  const zemb_bench::Stopwatch watch;
  ClipRun run = sample_footage(footage);
  run.recipe = recipe;
  for (zemb::Scene scene : kScenes) {
    if (footage.turning_only && scene != zemb::Scene::kTurning) continue;
    run.scenes.emplace_back();
    run.scenes.back().scene = scene;
    const std::string stem = stem_of(out, footage, scene);
    written &= footage.kind == zemb_footage::FootageKind::photo_set ? run_photo_set(footage, stem, run.scenes.back())
                                                                     : run_sweep(footage, stem, run.scenes.back());
  }
  const double swept = watch.ms();
  for (SceneRun& scene : run.scenes)
    scene.stitched = stitch(run, scene.scene, stitcher_limit, stem_of(out, footage, scene.scene),
                            scene.stitcher_whole_seconds);
  const double stitched = watch.ms();
  measure(run, sample_of(run, samples));
  written &= write_previews(out, run);
  std::cerr << cv::format("%s: %d frames through zemb in %.0f s, cv::Stitcher %.0f s, measured in %.0f s\n",
                          footage.name.c_str(), run.frames, swept / 1000, (stitched - swept) / 1000,
                          (watch.ms() - stitched) / 1000);
  return run;
}

// The footage with how each was made (nothing for what was found in the
// data folder), every photo set followed by its shuffled twin.
using Listed = std::vector<std::pair<zemb_footage::Footage, std::string>>;

Listed with_shuffled(const Listed& listed, const std::string& only) {
  Listed all;
  for (const auto& [footage, recipe] : listed) {
    all.push_back({footage, recipe});
    if (footage.kind != zemb_footage::FootageKind::photo_set) continue;
    zemb_footage::Footage twin = footage;
    twin.name += "-shuffled";
    twin.shuffled = true;
    all.push_back({twin, recipe});
  }
  all.erase(std::remove_if(all.begin(), all.end(),
                           [&](const auto& f) {
                             return !only.empty() && f.first.name != only && f.first.name != only + "-shuffled";
                           }),
            all.end());
  return all;
}

// The temporary folder the made footage goes into, removed with all in it
// when the run ends.
class MadeFolder {
 public:
  MadeFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zemb_real_footage.XXXXXX").string();
    if (!mkdtemp(pattern.data())) CV_Error(cv::Error::StsError, "cannot make a temporary folder");
    path_ = pattern;
  }
  ~MadeFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  MadeFolder(const MadeFolder&) = delete;
  MadeFolder& operator=(const MadeFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Listed footage_of(int argc, char** argv, const std::string& made_folder) {
  Listed listed;
  for (const zemb_footage::Footage& f :
       zemb_footage::list_footage(zemb_bench::option_value(argc, argv, "data", ZEMB_REAL_DIR)))
    listed.push_back({f, ""});
  if (zemb_bench::option_value(argc, argv, "made", "yes") == "no") return listed;
  const zemb_footage::MadeFrom sources{zemb_bench::option_value(argc, argv, "equirect", ZEMB_EQUIRECT_DIR),
                                       zemb_bench::option_value(argc, argv, "photos", ZEMB_PHOTO_DIR)};
  for (const zemb_footage::MadeFootage& made : zemb_footage::make_footage(sources, made_folder))
    listed.push_back({made.footage, made.recipe});
  return listed;
}

}  // namespace

int main(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
  int child_exit = 0;
  if (zemb_footage::serve_stitch_request(argc, argv, child_exit)) return child_exit;
  const std::vector<std::string> known = {"data", "made", "equirect", "photos", "out", "only", "stitcher-limit",
                                           "picture"};
  if (const auto stop = zemb_bench::stop_on_options(argc, argv, known)) return *stop;
  const std::string out = zemb_bench::option_value(argc, argv, "out", "real_footage");
  const std::string only = zemb_bench::option_value(argc, argv, "only", "");
  const std::string picture = zemb_bench::option_value(argc, argv, "picture", "");
  const double stitcher_limit = std::stod(zemb_bench::option_value(argc, argv, "stitcher-limit", "60"));
  std::vector<ClipRun> runs;
  bool written = true;
  try {
    const MadeFolder made;
    const Listed footage = with_shuffled(footage_of(argc, argv, made.path()), only);
    if (footage.empty()) {
      std::cerr << "zemb_real_footage: no clips, sweeps or photo sets" << (only.empty() ? "" : " named " + only)
                << " (--data=DIR, --only=NAME)\n";
      return 1;
    }
    std::filesystem::create_directories(out);
    std::cout << "Real footage from " << zemb_bench::option_value(argc, argv, "data", ZEMB_REAL_DIR)
              << " and footage made for the run; panoramas in " << out << "; load average at start "
              << zemb_bench::load_average() << "\n\n";
    Samples samples;
    for (const auto& [f, recipe] : footage)
      runs.push_back(run_clip(f, recipe, stitcher_limit, out, samples, written));
  } catch (const cv::Exception& e) {
    std::cerr << "zemb_real_footage: " << e.err << "\n";
    return 1;
  }
  print_recipes(runs);
  print_summary(runs);
  print_quality(runs);
  print_shuffle_checks(runs);
  print_better_scenes(runs);
  print_finish_reports(runs);
  std::cout << "Load average at the end " << zemb_bench::load_average() << "\n";
  if (!picture.empty()) written &= write_picture(picture, runs);
  return written ? 0 : 1;
}

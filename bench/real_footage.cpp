// zemb_real_footage: every clip and photo set of the real-footage folder
// through zemb::Sweep, frame by frame as a camera would give them, with the
// default options in each scene (turning, then flat), and through OpenCV's
// cv::Stitcher (PANORAMA beside the turning scene, SCANS beside the flat one)
// on a sample of the same frames: one each time the view has moved on by a
// third of a frame, at most 40, at most 800 columns. Every add() and finish()
// is timed, the outcomes counted, and every panorama (the sweep's finished
// one and its live preview, cv::Stitcher's) is measured against the sampled
// frames themselves (see footage_measure.h).
//
// cv::Stitcher runs in a child process and is stopped after a time limit
// (see bounded_stitch.h): on some clips it runs for a quarter of an hour.
//
// Options: --data=DIR (default: the project's data/real), --out=DIR (where
// the panoramas go; default real_footage), --only=NAME (one clip or photo
// set), --stitcher-limit=SECONDS (default 90), --picture=FILE (street_pan's
// finished panorama above cv::Stitcher's).
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <limits>
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
#include "quality_measure.h"
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
  std::vector<double> add_ms, placed_ms;
  zemb::SweepCounts counts;
  zemb::FinishReport report;
  Output preview, finished, stitched;
};

struct ClipRun {
  zemb_footage::Footage footage;
  int frames = 0;
  std::vector<cv::Mat> sampled;
  std::vector<SceneRun> scenes;
};

void add_timed(zemb::Sweep& sweep, const cv::Mat& frame, SceneRun& run) {
  zemb::FrameStatus status;
  const double ms = zemb_bench::time_of([&] { status = sweep.add(frame); });
  run.add_ms.push_back(ms);
  if (status.placed()) run.placed_ms.push_back(ms);
}

void finish_scene(zemb::Sweep& sweep, SceneRun& run) {
  run.counts = sweep.counts();
  run.preview.image = sweep.preview().clone();
  if (!run.preview.image.empty()) run.preview.covered = zemb_quality::covered_part(run.preview.image);
  for (double ms : run.add_ms) run.preview.seconds += ms / 1000;
  const zemb_bench::Stopwatch watch;
  try {
    zemb::FinishedPanorama finished = sweep.finish();
    run.finished.image = finished.panorama;
    run.finished.covered = finished.mask;
    run.report = finished.report;
  } catch (const cv::Exception& e) {
    run.finished.error = e.err;
  }
  run.finished.seconds = watch.ms() / 1000;
  sweep.remove_working_directory();
}

// One pass over the footage: every frame to a sweep in each scene, and to
// the sampler; then the sample, and each sweep finished.
ClipRun run_sweeps(const zemb_footage::Footage& footage) {
  ClipRun run{footage, 0, {}, {}};
  std::vector<zemb::Sweep> sweeps;
  for (zemb::Scene scene : kScenes) {
    zemb::SweepOptions options;
    options.scene = scene;
    // Photos are not taken in a capture loop's time: as zemb_pano does, give
    // recovery all the time it needs on them.
    if (footage.photo_set) options.recovery.time_budget = zemb::RecoveryOptions::kMostTimeBudget;
    sweeps.emplace_back(std::string(), options);  // spills, if ever, into the temporary folder
    run.scenes.emplace_back();
    run.scenes.back().scene = scene;
  }
  zemb_footage::FrameSource source(footage);
  zemb_footage::ViewSampler sampler;
  std::vector<cv::Mat> picked;
  cv::Mat frame;
  while (source.next(frame)) {
    for (std::size_t s = 0; s < sweeps.size(); ++s) add_timed(sweeps[s], frame, run.scenes[s]);
    if (sampler.offer(frame)) picked.push_back(frame.clone());
    ++run.frames;
  }
  if (run.frames == 0) CV_Error(cv::Error::StsError, "no frames in " + footage.path);
  for (int index : zemb_footage::spread(int(picked.size()), kMostSampled)) run.sampled.push_back(picked[std::size_t(index)]);
  for (std::size_t s = 0; s < sweeps.size(); ++s) finish_scene(sweeps[s], run.scenes[s]);
  return run;
}

// cv::Stitcher on the sampled frames, reduced to at most 800 columns.
Output stitch(const std::vector<cv::Mat>& sampled, zemb::Scene scene, double limit_seconds) {
  std::vector<cv::Mat> images;
  for (const cv::Mat& frame : sampled) {
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
void measure(ClipRun& run) {
  const zemb_footage::FrameSample sample(run.sampled);
  for (Output* output : outputs_of(run)) output->located = sample.locate(output->image, output->covered);
  double common = std::numeric_limits<double>::infinity();
  for (const SceneRun& scene : run.scenes)
    for (const Output* output : {&scene.finished, &scene.stitched})
      if (output->located.scale > 0) common = std::min(common, output->located.scale);
  for (Output* output : outputs_of(run))
    output->quality = sample.measure(output->image, output->covered, output->located, common);
}

bool write_image(const std::string& path, const cv::Mat& image) {
  if (image.empty()) return true;
  if (cv::imwrite(path, image, {cv::IMWRITE_JPEG_QUALITY, 92})) return true;
  std::cerr << "cannot write " << path << "\n";
  return false;
}

bool write_outputs(const std::string& folder, const ClipRun& run) {
  bool written = true;
  for (const SceneRun& scene : run.scenes) {
    const std::string stem = folder + "/" + run.footage.name + "." + scene_name(scene.scene);
    written &= write_image(stem + ".finished.jpg", scene.finished.image);
    written &= write_image(stem + ".preview.jpg", scene.preview.image);
    written &= write_image(stem + ".stitcher.jpg", scene.stitched.image);
  }
  return written;
}

std::string fixed(double value, int digits) { return std::isnan(value) ? "-" : cv::format("%.*f", digits, value); }

std::string outcome_counts(const zemb::SweepCounts& counts) {
  static const char* const kLetters = "ARKTEP";  // in FrameOutcome's order
  std::string text;
  for (int o = 0; o < zemb::kFrameOutcomes; ++o)
    if (counts.by_outcome[std::size_t(o)] > 0)
      text += (text.empty() ? "" : " ") + std::to_string(counts.by_outcome[std::size_t(o)]) + kLetters[o];
  return text;
}

// Coverage, the share of pairs joined and PSNR, or why there is nothing to measure.
std::string measured(const Output& output) {
  if (!output.error.empty()) return "fails: " + output.error;
  const FootageQuality& q = output.quality;
  return fixed(q.coverage, 2) + " / " + fixed(q.joined, 2) + " / " + fixed(q.errors.psnr(), 1);
}

std::vector<std::string> summary_row(const ClipRun& run, const SceneRun& scene) {
  const int placed = int(scene.placed_ms.size());
  const double add_seconds = scene.preview.seconds;
  return {run.footage.name,
          scene_name(scene.scene),
          std::to_string(run.frames),
          fixed(double(placed) / run.frames, 2),
          outcome_counts(scene.counts),
          cv::format("%s / %s / %s", fixed(zemb_bench::median(scene.add_ms), 1).c_str(),
                     fixed(zemb_bench::percentile(scene.add_ms, 0.99), 1).c_str(),
                     fixed(*std::max_element(scene.add_ms.begin(), scene.add_ms.end()), 1).c_str()),
          fixed(zemb_bench::median(scene.placed_ms), 1),
          fixed(scene.finished.seconds, 2),
          cv::format("%.1f / %.1f", add_seconds + scene.finished.seconds, run.frames / kCameraFps / 2),
          measured(scene.finished),
          cv::format("%zu", run.sampled.size()),
          measured(scene.stitched),
          fixed(scene.stitched.seconds, 1)};
}

void print_summary(const std::vector<ClipRun>& runs) {
  std::vector<std::vector<std::string>> rows;
  for (const ClipRun& run : runs)
    for (const SceneRun& scene : run.scenes) rows.push_back(summary_row(run, scene));
  zemb_bench::print_markdown_table(
      std::cout,
      {"footage", "scene", "frames", "placed", "outcomes", "add() ms p50 / p99 / max", "placed p50 ms",
       "finish s", "total s / half playing s", "finished: coverage / joined / PSNR dB", "sampled",
       "cv::Stitcher: coverage / joined / PSNR dB", "cv::Stitcher s"},
      rows);
  std::cout << "Outcomes: A accepted, R relocalised, K too few keypoints, T too few tracked, E not extended, "
               "P not placeable. Placed: share of frames accepted or relocalised. Total: every add() and "
               "finish(); half playing: half the time the frames last at 30 fps. Coverage, joined and PSNR: see "
               "below. cv::Stitcher: PANORAMA beside the turning scene, SCANS beside the flat one, on the sampled "
               "frames.\n\n";
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
      std::cout << run.footage.name << " (" << scene_name(scene.scene) << "): " << scene.counts.keyframes
                << " keyframes; ";
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
    return write_image(path, picture);
  }
  std::cerr << "no picture: " << kPictureClip << " did not run or has no finished or cv::Stitcher panorama\n";
  return false;
}

// Everything for one clip or photo set: the sweeps, cv::Stitcher and the
// measurement; its panoramas written into `out`.
ClipRun run_clip(const zemb_footage::Footage& footage, double stitcher_limit, const std::string& out, bool& written) {
  const zemb_bench::Stopwatch watch;
  ClipRun run = run_sweeps(footage);
  const double swept = watch.ms();
  for (SceneRun& scene : run.scenes) scene.stitched = stitch(run.sampled, scene.scene, stitcher_limit);
  const double stitched = watch.ms();
  measure(run);
  written &= write_outputs(out, run);
  std::cerr << cv::format("%s: %d frames through the sweeps in %.0f s, cv::Stitcher %.0f s, measured in %.0f s\n",
                          footage.name.c_str(), run.frames, swept / 1000, (stitched - swept) / 1000,
                          (watch.ms() - stitched) / 1000);
  return run;
}

std::vector<zemb_footage::Footage> footage_named(const std::string& folder, const std::string& only) {
  std::vector<zemb_footage::Footage> all = zemb_footage::list_footage(folder);
  all.erase(std::remove_if(all.begin(), all.end(),
                           [&](const zemb_footage::Footage& f) { return !only.empty() && f.name != only; }),
            all.end());
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
  int child_exit = 0;
  if (zemb_footage::serve_stitch_request(argc, argv, child_exit)) return child_exit;
  const std::string data = zemb_bench::option_value(argc, argv, "data", ZEMB_REAL_DIR);
  const std::string out = zemb_bench::option_value(argc, argv, "out", "real_footage");
  const std::string only = zemb_bench::option_value(argc, argv, "only", "");
  const std::string picture = zemb_bench::option_value(argc, argv, "picture", "");
  const double stitcher_limit = std::stod(zemb_bench::option_value(argc, argv, "stitcher-limit", "90"));
  const std::vector<zemb_footage::Footage> footage = footage_named(data, only);
  if (footage.empty()) {
    std::cerr << "zemb_real_footage: no clips or photo sets in " << data << (only.empty() ? "" : " named " + only)
              << " (--data=DIR, --only=NAME)\n";
    return 1;
  }
  std::filesystem::create_directories(out);
  std::cout << "Real footage from " << data << "; panoramas in " << out << "; load average at start "
            << zemb_bench::load_average() << "\n\n";
  std::vector<ClipRun> runs;
  bool written = true;
  try {
    for (const zemb_footage::Footage& f : footage) runs.push_back(run_clip(f, stitcher_limit, out, written));
  } catch (const cv::Exception& e) {
    std::cerr << "zemb_real_footage: " << e.err << "\n";
    return 1;
  }
  print_summary(runs);
  print_quality(runs);
  print_better_scenes(runs);
  print_finish_reports(runs);
  if (!picture.empty()) written &= write_picture(picture, runs);
  return written ? 0 : 1;
}

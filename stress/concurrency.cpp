// Several stitchers on several threads at once (all sharing `detector`),
// two zemb::Sweeps beside them (each spilling its keyframes into a folder it
// makes for itself in the temporary folder) and a third read by two threads
// at once, while further threads run the free functions on data of their own. Each
// piece of work is first done alone on the main thread; run concurrently,
// twice over, it must give the same fingerprint. Built with
// ThreadSanitizer by scripts/tsan, which also requires a silent run.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "synthetic_sweep.h"
#include "zemb/sweep.h"
#include "zemb_stitcher.h"

namespace {

using Fingerprint = std::vector<double>;

struct Work {
  std::string name;
  std::function<Fingerprint()> run;
};

constexpr int kRounds = 2;

void add_image(Fingerprint& print, const cv::Mat& image) {
  print.push_back(image.rows);
  print.push_back(image.cols);
  if (image.empty()) return;
  const cv::Scalar sums = cv::sum(image);
  print.insert(print.end(), sums.val, sums.val + 4);
}

// Every byte of the image, folded into a number a double holds exactly.
double digest(const cv::Mat& image) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (int row = 0; row < image.rows; ++row) {
    const uchar* pixels = image.ptr(row);
    for (size_t i = 0; i < image.cols * image.elemSize(); ++i) hash = (hash ^ pixels[i]) * 1099511628211ull;
  }
  return static_cast<double>(hash >> 12);
}

std::vector<cv::Mat> sweep_of(const std::string& photo_file, unsigned seed) {
  cv::Mat photo = cv::imread(std::string(ZEMB_PHOTO_DIR) + "/" + photo_file, cv::IMREAD_COLOR);
  CV_Assert(!photo.empty());
  cv::resize(photo, photo, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
  zemb_tools::SweepSettings settings;
  settings.window = cv::Size(180, 320);
  settings.step = 24;
  settings.frames = 10;
  settings.max_rotation_deg = 1.0;
  settings.max_jitter = 4;
  settings.seed = seed;
  std::vector<cv::Mat> frames;
  for (const zemb_tools::SweepFrame& frame : zemb_tools::make_sweep(photo, settings))
    frames.push_back(frame.camera_frame);
  return frames;
}

// A stitcher over a sweep, with a refused frame of another size in the middle.
Fingerprint stitch(const std::vector<cv::Mat>& frames) {
  ZembStitcher stitcher("");
  Fingerprint print;
  for (size_t i = 0; i < frames.size(); ++i) {
    cv::Mat frame = frames[i];
    print.push_back(stitcher.ofcheck_stitch(frame));
    if (i != frames.size() / 2) continue;
    cv::Mat wrong_size(8, 8, CV_8UC3);
    try {
      stitcher.ofcheck_stitch(wrong_size);
    } catch (const cv::Exception& error) {
      print.push_back(error.code);
    }
  }
  add_image(print, stitcher.panorama);
  add_image(print, stitcher.cropped);
  return print;
}

// A zemb::Sweep over the same frames, with a budget small enough that its
// keyframes go to disk and are read back; every status, the preview's bytes
// and the kept images make the fingerprint. Recovery gets all the time it
// wants: a sweep beside ten other threads must do what it does alone.
Fingerprint run_sweep(const std::vector<cv::Mat>& frames) {
  zemb::SweepOptions options;
  options.memory.budget_bytes = 64 << 10;
  options.recovery.time_budget = zemb::RecoveryOptions::kMostTimeBudget;
  zemb::Sweep sweep(std::string(), options);
  Fingerprint print;
  for (const cv::Mat& frame : frames) {
    const zemb::FrameStatus status = sweep.add(frame);
    print.insert(print.end(), {double(status.outcome), double(status.keypoints), double(status.inliers),
                               double(status.keyframe), double(status.recovered_from)});
  }
  print.push_back(digest(sweep.preview()));
  add_image(print, sweep.preview_band());
  print.push_back(sweep.counts().spilled);
  for (int i = 0; i < sweep.counts().keyframes; ++i) print.push_back(digest(sweep.keyframe_image(i)));
  sweep.remove_working_directory();
  return print;
}

// What a const sweep tells: its links and its record (keyframes, links, the
// images behind them). Links are found when first asked for.
Fingerprint read_sweep(const zemb::Sweep& sweep) {
  Fingerprint print;
  for (const zemb::KeyframeLink& link : sweep.links()) print.insert(print.end(), {double(link.from), double(link.to)});
  const zemb::SweepRecord record = sweep.record();
  for (const zemb::KeyframeLink& link : record.links) {
    print.push_back(double(link.from_points.size()));
    for (const cv::Point2f& p : link.from_points) print.insert(print.end(), {p.x, p.y});
  }
  for (int i = 0; i < static_cast<int>(record.keyframes.size()); ++i) print.push_back(digest(record.image(i)));
  return print;
}

// One sweep, then two threads reading it at once through a const reference,
// before anything found its links: both must read what one reader alone does.
Fingerprint read_one_sweep_twice(const std::vector<cv::Mat>& frames) {
  zemb::Sweep sweep;
  for (const cv::Mat& frame : frames) sweep.add(frame);
  const zemb::Sweep& reader = sweep;
  Fingerprint first, second;
  std::thread other([&] { second = read_sweep(reader); });
  first = read_sweep(reader);
  other.join();
  first.push_back(first == second);
  return first;
}

Fingerprint validate_outlines() {
  const cv::Mat image(240, 320, CV_8UC3, cv::Scalar::all(0));
  Fingerprint print;
  for (int i = 0; i < 200; ++i) {
    const float d = static_cast<float>(i % 40);
    const std::vector<cv::Point2f> box = {{10 + d, 20}, {300, 15 + d}, {310 - d, 230}, {5, 220 - d}};
    print.push_back(is_good_green_box(box, image, 0.3f, 10.0f));
    print.push_back(calc_area(box, image));
    print.push_back(calc_angle(box));
    print.push_back(max_axis({box[0].x, box[1].x}) - min_axis({box[2].y, box[3].y}));
  }
  return print;
}

Fingerprint repair_seams() {
  cv::RNG random(7);
  Fingerprint print;
  for (int i = 0; i < 20; ++i) {
    cv::Mat old_canvas(200, 260, CV_8UC3), new_canvas(200, 260, CV_8UC3, cv::Scalar::all(0));
    random.fill(old_canvas, cv::RNG::UNIFORM, 0, 256);
    random.fill(new_canvas(cv::Rect(40, 30, 150, 140)), cv::RNG::UNIFORM, 0, 256);
    std::vector<cv::Point2f> corners = {{40.5f + i, 30}, {190, 32}, {188, 170}, {41, 168.5f - i}};
    OptimizeSeam(old_canvas, new_canvas, corners);
    add_image(print, new_canvas);
  }
  return print;
}

Fingerprint match_descriptors() {
  cv::RNG random(11);
  Fingerprint print;
  for (int type : {CV_32F, CV_8U}) {
    cv::Mat a(120, 64, type), b(150, 64, type);
    random.fill(a, cv::RNG::UNIFORM, 0, 200);
    random.fill(b, cv::RNG::UNIFORM, 0, 200);
    a.rowRange(0, 60).copyTo(b.rowRange(30, 90));
    std::vector<cv::DMatch> matches;
    single_match(a, b, matches, 0.3f);
    double_match(a, b, matches, 0.3f);
    for (const cv::DMatch& match : matches) {
      print.push_back(match.queryIdx);
      print.push_back(match.trainIdx);
    }
  }
  return print;
}

Fingerprint prepare_frames() {
  cv::RNG random(13);
  Fingerprint print;
  cv::Mat frame(720, 1280, CV_8UC3), reduced, gray;
  random.fill(frame, cv::RNG::UNIFORM, 0, 256);
  print.push_back(image_resize(frame, reduced, 500, 1));
  print.push_back(frame_resize(reduced, gray));
  to_gray(gray, gray);
  add_image(print, gray);
  cv::UMat source = frame.getUMat(cv::ACCESS_READ), transformed;
  print.push_back(frame_transform(source, transformed));
  add_image(print, transformed.getMat(cv::ACCESS_READ));
  std::vector<cv::Point2f> points;
  KeyPointsToPoints({cv::KeyPoint(1.5f, 2.5f, 3.0f)}, points);
  print.push_back(points.at(0).x + points.at(0).y);
  return print;
}

// Fills and empties a directory tree of this call's own.
Fingerprint empty_directories() {
  char pattern[] = "/tmp/zemb-concurrency.XXXXXX";
  const std::string root = mkdtemp(pattern);
  Fingerprint print;
  for (int i = 0; i < 20; ++i) {
    const std::string nested = root + "/a" + std::to_string(i);
    ::mkdir(nested.c_str(), 0700);
    std::ofstream(nested + "/file") << i;
    std::ofstream(root + "/file" + std::to_string(i)) << i;
    deleteFile(root.c_str());
    print.push_back(::rmdir(nested.c_str()) == 0);  // gone already: fails
    print.push_back(isFloderexit(root.c_str()));
  }
  ::rmdir(root.c_str());
  return print;
}

std::vector<Work> all_work() {
  const std::vector<cv::Mat> life = sweep_of("life.jpg", 1), path = sweep_of("path.jpg", 2);
  const std::vector<cv::Mat> evening = sweep_of("eveningglow.jpg", 3);
  return {{"stitch life.jpg", [life] { return stitch(life); }},
          {"stitch life.jpg again", [life] { return stitch(life); }},
          {"stitch path.jpg", [path] { return stitch(path); }},
          {"stitch eveningglow.jpg", [evening] { return stitch(evening); }},
          {"sweep life.jpg", [life] { return run_sweep(life); }},
          {"sweep path.jpg", [path] { return run_sweep(path); }},
          {"one sweep read by two threads", [evening] { return read_one_sweep_twice(evening); }},
          {"outline validation", validate_outlines},
          {"seam repair", repair_seams},
          {"descriptor matching", match_descriptors},
          {"frame preparation", prepare_frames},
          {"directory housekeeping", empty_directories}};
}

// Runs every piece of work kRounds times, each piece on a thread of its own,
// all starting together; returns the fingerprints of the last round.
std::vector<Fingerprint> run_concurrently(const std::vector<Work>& work) {
  std::vector<Fingerprint> prints(work.size());
  std::atomic<bool> start{false};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < work.size(); ++i) {
    threads.emplace_back([&, i] {
      while (!start.load()) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) prints[i] = work[i].run();
    });
  }
  start = true;
  for (std::thread& thread : threads) thread.join();
  return prints;
}

}  // namespace

int main() {
  // OpenCV's own thread pool (TBB) hands loop bodies to its workers through
  // synchronisation inside uninstrumented libraries, which ThreadSanitizer
  // cannot see: every pixel a pool task writes would be reported. Loops run
  // on the calling thread here, so the threads under test are this
  // program's: many callers of the library at once.
  cv::setNumThreads(1);
  const std::vector<Work> work = all_work();
  // Concurrently first, while OpenCV's and the library's lazily made objects
  // are still to be made, as in an application whose threads start at once.
  const std::vector<Fingerprint> concurrent = run_concurrently(work);
  int mismatches = 0;
  for (size_t i = 0; i < work.size(); ++i) {
    if (work[i].run() == concurrent[i]) continue;
    std::fprintf(stderr, "concurrency: %s differs from its run alone\n", work[i].name.c_str());
    ++mismatches;
  }
  std::printf("concurrency: %zu pieces of work on as many threads, %d rounds, %d mismatches\n", work.size(),
              kRounds, mismatches);
  return mismatches == 0 ? 0 : 1;
}

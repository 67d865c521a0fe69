// zemb_photo_sets: photo sets stitched by zemb::stitch_photos and by
// cv::Stitcher (PANORAMA, its defaults) on the same photos, each timed from
// decoded photos to panorama, both measured against the photos (coverage and
// local PSNR, see footage_measure.h) at one scale.
//
//   zemb_photo_sets [--shuffle=SEED] [--set PATH=NUMBER]... FOLDER...
//
// Each FOLDER holds one set's photos (taken in name order, or shuffled with
// SEED). --set changes a field of zemb::PhotoSetOptions by its path
// ("render.seam_megapixels=0.2"; an enumeration by its number). One line a
// set: photos, placed, seconds, coverage and PSNR of each, then where zemb's
// time went; where cv::Stitcher left photos out, a second line stitches and
// measures both over the photos it placed.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/stitching.hpp>

#include "footage_measure.h"
#include "zemb/photos.h"

namespace {

struct Stitched {
  cv::Mat panorama, covered;
  int placed = 0;
  double seconds = 0;
  zemb_footage::FootageQuality quality;
  std::string stages;  // where the time went, when the stitcher says
  std::vector<int> component;  // cv::Stitcher's: the photos it placed
};

// Sets the field of `options` that `assignment` ("PATH=NUMBER") names, or
// fails naming it.
void set_field(zemb::PhotoSetOptions& options, const std::string& assignment) {
  const std::size_t equals = assignment.find('=');
  if (equals == std::string::npos) CV_Error(cv::Error::StsBadArg, "zemb_photo_sets: --set PATH=NUMBER");
  const std::string path = assignment.substr(0, equals);
  const double number = std::stod(assignment.substr(equals + 1));
  bool found = false;
  zemb::for_each_option(options, [&](const std::string& name, auto& field, double low, double high, const char*) {
    if (name != path) return;
    using Field = std::decay_t<decltype(field)>;
    if constexpr (std::is_enum_v<Field>)
      field = static_cast<Field>(static_cast<int>(number));
    else
      field = static_cast<Field>(number);
    zemb::check_field(name, field, low, high);
    found = true;
  });
  if (!found) CV_Error(cv::Error::StsBadArg, "zemb_photo_sets: no option is called " + path);
}

std::string stages_text(const zemb::PhotoSetReport& photos, const zemb::FinishReport& render) {
  return cv::format("features %.2f s, matching %.2f s (%d pairs), refine %.2f s, exposure %.2f s, seams %.2f s, "
                    "blend %.2f s",
                    photos.seconds_features, photos.seconds_matching, photos.pairs_tried, render.seconds_refine,
                    render.seconds_exposure, render.seconds_seams, render.seconds_blend);
}

std::vector<cv::Mat> photos_in(const std::string& folder, int shuffle_seed, double& decode_seconds) {
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.is_regular_file()) paths.push_back(entry.path().string());
  std::sort(paths.begin(), paths.end());
  if (shuffle_seed > 0) std::shuffle(paths.begin(), paths.end(), std::mt19937(unsigned(shuffle_seed)));
  cv::TickMeter clock;
  clock.start();
  std::vector<cv::Mat> photos;
  for (const std::string& path : paths) {
    cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
    if (!photo.empty()) photos.push_back(photo);
  }
  clock.stop();
  decode_seconds = clock.getTimeSec();
  return photos;
}

Stitched by_zemb(const std::vector<cv::Mat>& photos, const zemb::PhotoSetOptions& options) {
  Stitched out;
  cv::TickMeter clock;
  clock.start();
  try {
    zemb::PhotoPanorama result = zemb::stitch_photos(photos, options);
    out.panorama = result.finished.panorama;
    out.covered = result.finished.mask;
    out.placed = static_cast<int>(result.report.placed.size());
    out.stages = stages_text(result.report, result.finished.report);
  } catch (const cv::Exception& e) {
    std::cerr << "zemb: " << e.err << "\n";
  }
  clock.stop();
  out.seconds = clock.getTimeSec();
  return out;
}

Stitched by_stitcher(const std::vector<cv::Mat>& photos) {
  Stitched out;
  cv::TickMeter clock;
  clock.start();
  const cv::Ptr<cv::Stitcher> stitcher = cv::Stitcher::create(cv::Stitcher::PANORAMA);
  try {
    if (stitcher->stitch(photos, out.panorama) == cv::Stitcher::OK) {
      out.component = stitcher->component();
      out.placed = static_cast<int>(out.component.size());
      out.covered = zemb_quality::covered_part(out.panorama);
    } else {
      out.panorama.release();
    }
  } catch (const cv::Exception& e) {  // a flat scene can make it warp onto a vast canvas
    std::cerr << "cv::Stitcher: " << e.err << "\n";
    out.panorama.release();
  }
  clock.stop();
  out.seconds = clock.getTimeSec();
  return out;
}

void measure(const std::vector<cv::Mat>& photos, Stitched& a, Stitched& b) {
  const zemb_footage::FrameSample sample(photos);
  zemb_footage::Located found_a, found_b;
  if (!a.panorama.empty()) found_a = sample.locate(a.panorama, a.covered);
  if (!b.panorama.empty()) found_b = sample.locate(b.panorama, b.covered);
  double common = std::numeric_limits<double>::infinity();
  for (const zemb_footage::Located* found : {&found_a, &found_b})
    if (found->scale > 0) common = std::min(common, found->scale);
  if (!a.panorama.empty()) a.quality = sample.measure(a.panorama, a.covered, found_a, common);
  if (!b.panorama.empty()) b.quality = sample.measure(b.panorama, b.covered, found_b, common);
}

void print(const std::string& name, std::size_t photos, double decode, const Stitched& zemb_run,
           const Stitched& stitcher_run) {
  std::cout << cv::format("%-28s %2zu photos  decode %5.2f s | zemb %2d placed %6.2f s cov %.3f %5.1f dB | "
                          "cv::Stitcher %2d placed %6.2f s cov %.3f %5.1f dB\n",
                          name.c_str(), photos, decode, zemb_run.placed, zemb_run.seconds,
                          zemb_run.quality.coverage, zemb_run.quality.errors.psnr(), stitcher_run.placed,
                          stitcher_run.seconds, stitcher_run.quality.coverage, stitcher_run.quality.errors.psnr())
            << "    zemb: " << zemb_run.stages << "\n"
            << std::flush;
}

// A panorama that shows more photos is measured over more of them: where
// cv::Stitcher left photos out, zemb stitches just the photos it placed, and
// both are measured over those alone.
void compare_on_stitchers_photos(const std::string& name, const std::vector<cv::Mat>& photos,
                                 const zemb::PhotoSetOptions& options, Stitched& stitcher_run) {
  std::vector<cv::Mat> placed;
  for (int index : stitcher_run.component) placed.push_back(photos[std::size_t(index)]);
  Stitched zemb_run = by_zemb(placed, options);
  measure(placed, zemb_run, stitcher_run);
  print(name + " (cv::Stitcher's)", placed.size(), 0, zemb_run, stitcher_run);
}

}  // namespace

int main(int argc, char** argv) {
  const char* const usage = "usage: zemb_photo_sets [--shuffle=SEED] [--set PATH=NUMBER]... FOLDER...\n";
  int shuffle_seed = 0;
  zemb::PhotoSetOptions options;
  std::vector<std::string> folders;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--shuffle=", 0) == 0)
      shuffle_seed = std::stoi(arg.substr(10));
    else if (arg == "--set" && i + 1 < argc)
      set_field(options, argv[++i]);
    else if (arg == "--help" || arg == "-h")
      return std::cout << usage, 0;
    else if (arg.rfind('-', 0) == 0)
      return std::cerr << "zemb_photo_sets: unknown argument " << arg << "\n" << usage, 2;
    else
      folders.push_back(arg);
  }
  if (folders.empty()) return std::cerr << usage, 2;
  for (const std::string& folder : folders) {
    double decode = 0;
    const std::vector<cv::Mat> photos = photos_in(folder, shuffle_seed, decode);
    if (photos.size() < 2) continue;
    Stitched zemb_run = by_zemb(photos, options), stitcher_run = by_stitcher(photos);
    const std::string name = std::filesystem::path(folder).filename().string();
    Stitched stitcher_alike = stitcher_run;
    measure(photos, zemb_run, stitcher_run);
    print(name, photos.size(), decode, zemb_run, stitcher_run);
    if (stitcher_alike.placed >= 2 && stitcher_alike.placed < static_cast<int>(photos.size()))
      compare_on_stitchers_photos(name, photos, options, stitcher_alike);
  }
  return 0;
}

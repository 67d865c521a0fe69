// zemb_pano: stitches a video, a folder of images or a list of image files
// into a panorama from the command line. See kUsage for what it does.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "frame_source.h"
#include "options.h"
#include "output_folder.h"
#include "pano_error.h"
#include "report.h"
#include "settings.h"
#include "stitch_run.h"

namespace zemb_pano {
namespace {

// A photo set has no preview: only its finished panorama is written.
std::vector<NamedImage> results_of(const RunResult& run) {
  std::vector<NamedImage> results;
  if (!run.photo_report) results = {{"panorama.png", run.panorama}, {"cropped.png", run.cropped}};
  if (!run.outlines.empty()) results.emplace_back("outlines.png", run.outlines);
  if (!run.finished.empty()) results.emplace_back("finished.png", run.finished);
  return results;
}

int run(const std::vector<std::string>& args) {
  const Options options = parse_options(args);
  if (options.help) {
    std::cout << kUsage;
    return kExitOk;
  }
  if (options.list_options) {
    print_options(std::cout, options.sweep_options);
    print_options(std::cout, options.photo_matching, "photos.");
    return kExitOk;
  }
  const std::unique_ptr<FrameSource> source = open_frames(options.inputs, options.every, options.max_frames);
  OutputFolder output(options.output_dir);
  Progress progress(std::cerr, ::isatty(STDERR_FILENO) != 0, source->expected_frames());
  const RunResult result = as_photo_set(options, source->stills()) ? stitch_photo_set(*source, options, progress)
                           : options.sweep                             ? sweep_frames(*source, options, progress)
                                         : stitch_frames(*source, options.outlines, progress);
  print_summary(std::cout, result, options.sweep);
  if (!options.frames_csv.empty()) write_frames_csv(options.frames_csv, result.stats);
  require_placed(result.stats, source->name());
  for (const std::string& path : output.write(results_of(result))) std::cout << "wrote " << path << "\n";
  return kExitOk;
}

}  // namespace
}  // namespace zemb_pano

int main(int argc, char** argv) {
  // The messages of this program say what went wrong; OpenCV's own warnings
  // about files it could not open would only repeat them less clearly.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  try {
    return zemb_pano::run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const zemb_pano::PanoError& e) {
    std::cerr << "zemb_pano: " << e.what() << "\n";
    return e.code();
  } catch (const std::exception& e) {
    std::cerr << "zemb_pano: unexpected failure: " << e.what() << "\n";
    return zemb_pano::kExitFailure;
  }
}

// zemb_pano: stitches a video, a folder of images or a list of image files
// into a panorama from the command line. See kUsage for what it does.
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "frame_source.h"
#include "options.h"
#include "output_folder.h"
#include "photo_sphere.h"
#include "pano_error.h"
#include "report.h"
#include "settings.h"
#include "stitch_run.h"
#include "viewer_page.h"

namespace zemb_pano {
namespace {

using Encoding = std::function<OutputFile()>;

// The files encoded at once, a file a thread: the finished panorama and its
// crop each take as long to encode as a good part of the render. The first
// failure, if any, is raised once all are done.
std::vector<OutputFile> encoded(const std::vector<Encoding>& encodings) {
  std::vector<OutputFile> files(encodings.size());
  std::vector<std::exception_ptr> failures(encodings.size());
  cv::parallel_for_(cv::Range(0, static_cast<int>(encodings.size())), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) try {
        files[std::size_t(i)] = encodings[std::size_t(i)]();
      } catch (...) {
        failures[std::size_t(i)] = std::current_exception();
      }
  });
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
  return files;
}

Encoding png_encoding(const char* name, const cv::Mat& image) {
  return [name, &image] { return png_file(name, image); };
}

// The whole sphere is written as a photo sphere, a JPEG with the metadata
// panorama viewers read; everything else as PNG. A render that could not
// place the keyframes by rotations is no sphere, and the run fails. A photo
// set has no preview: only its finished panorama and its crop are written.
std::vector<OutputFile> results_of(const RunResult& run, bool sphere) {
  if (sphere && !run.finished.empty() && run.finished_surface != zemb::PanoramaSurface::kSphere)
    throw PanoError(kExitFailure, std::string("--surface sphere: the finished render placed the keyframes by ") +
                                      zemb::model_name(run.finish_report.model) +
                                      " transforms, not a turning camera's rotations, so it is no sphere");
  std::vector<Encoding> results;
  if (!run.photo_report)
    results = {png_encoding("panorama.png", run.panorama), png_encoding("cropped.png", run.cropped)};
  if (!run.outlines.empty()) results.push_back(png_encoding("outlines.png", run.outlines));
  if (!run.finished.empty())
    results.push_back(sphere ? Encoding([&run] { return OutputFile{"finished.jpg", photo_sphere_jpeg(run.finished)}; })
                             : png_encoding("finished.png", run.finished));
  if (!run.finished_cropped.empty()) results.push_back(png_encoding("finished_cropped.png", run.finished_cropped));
  return encoded(results);
}

// The page over the most detailed result written: the photo sphere turned
// about in a 360-degree viewer, or the pyramid, the finished panorama or the
// panorama zoomed into.
std::string write_viewer_page(const std::string& folder, const RunResult& run, bool sphere) {
  if (sphere && !run.finished.empty())
    return write_sphere_page(folder, (std::filesystem::path(folder) / "finished.jpg").string());
  if (!run.pyramid_files.empty()) return write_pyramid_page(folder, "finished");
  return write_image_page(folder, run.finished.empty() ? "panorama.png" : "finished.png");
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
  if (!options.equirectangular.empty()) {
    OutputFolder output(options.output_dir);
    std::cout << "wrote " << write_sphere_page(options.output_dir, options.equirectangular) << "\n";
    return kExitOk;
  }
  const bool sphere = options.finish && options.sweep_options.render.surface == zemb::PanoramaSurface::kSphere;
  if (sphere && !photo_spheres_supported())
    throw usage_error("--surface sphere writes a photo sphere, and this zemb_pano was built without libexiv2");
  const std::unique_ptr<FrameSource> source = open_frames(options.inputs, options.every, options.max_frames);
  const bool photo_set = as_photo_set(options, source->stills());
  OutputFolder output(options.output_dir);
  Progress progress(std::cerr, ::isatty(STDERR_FILENO) != 0, source->expected_frames());
  const RunResult result = photo_set       ? stitch_photo_set(*source, options, progress)
                           : options.sweep ? sweep_frames(*source, options, progress)
                                           : stitch_frames(*source, options.outlines, progress);
  print_summary(std::cout, result, options.sweep);
  if (!options.frames_csv.empty()) write_frames_csv(options.frames_csv, result.stats);
  require_placed(result.stats, source->name());
  for (const std::string& path : output.write(results_of(result, sphere))) std::cout << "wrote " << path << "\n";
  for (const std::string& path : result.pyramid_files)
    std::cout << "wrote " << std::filesystem::absolute(path).lexically_normal().string() << "\n";
  if (options.viewer) std::cout << "wrote " << write_viewer_page(options.output_dir, result, sphere) << "\n";
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

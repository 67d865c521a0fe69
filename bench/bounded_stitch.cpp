#include "bounded_stitch.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <opencv2/imgcodecs.hpp>

#include "bench_support.h"

extern char** environ;

namespace zemb_footage {

namespace {

const char* const kChildOption = "stitch-child";
const char* const kPanoramaFile = "/panorama.png";
// The seconds, the peak MiB and the images used, then the error (empty when none).
const char* const kOutcomeFile = "/outcome.txt";
const std::vector<int> kFastPng = {cv::IMWRITE_PNG_COMPRESSION, 1};

std::string image_file(const std::string& folder, int index) { return cv::format("%s/%03d.png", folder.c_str(), index); }

const char* status_name(cv::Stitcher::Status status) {
  switch (status) {
    case cv::Stitcher::OK: return "";
    case cv::Stitcher::ERR_NEED_MORE_IMGS: return "needs more images";
    case cv::Stitcher::ERR_HOMOGRAPHY_EST_FAIL: return "homography estimation failed";
    case cv::Stitcher::ERR_CAMERA_PARAMS_ADJUST_FAIL: return "camera parameter adjustment failed";
  }
  return "unknown status";
}

// Starts this program again as the child that stitches the images in
// `folder`, and waits for it at most `limit_seconds`. Returns why it did not
// end by itself, or nothing.
std::string run_child(const std::string& folder, int images, const StitchRequest& request) {
  std::vector<std::string> arguments = {"zemb_stitch_child", "--" + std::string(kChildOption) + "=" + folder,
                                        "--images=" + std::to_string(images),
                                        request.mode == cv::Stitcher::SCANS ? "--mode=scans" : "--mode=panorama",
                                        request.plane_warper ? "--warper=plane" : "--warper=mode"};
  const double limit_seconds = request.limit_seconds;
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (::posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0)
    return "cannot start a child process";
  const zemb_bench::Stopwatch watch;
  int status = 0;
  pid_t ended = 0;
  while ((ended = ::waitpid(child, &status, WNOHANG)) == 0) {
    if (watch.ms() > limit_seconds * 1000) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return cv::format("stopped after %g s", limit_seconds);
    }
    ::usleep(20000);
  }
  if (ended < 0) return "lost its child process";
  if (WIFSIGNALED(status)) return cv::format("crashed (signal %d)", WTERMSIG(status));
  return std::string();
}

// What the child left in `folder`.
void read_outcome(const std::string& folder, StitchResult& result) {
  std::ifstream outcome(folder + kOutcomeFile);
  if (!(outcome >> result.seconds >> result.peak_mib >> result.images_used)) {
    result.error = "ended without an outcome";
    return;
  }
  outcome >> std::ws;
  std::getline(outcome, result.error);
  if (result.error.empty()) result.panorama = cv::imread(folder + kPanoramaFile, cv::IMREAD_COLOR);
  if (result.error.empty() && result.panorama.empty()) result.error = "its panorama cannot be read";
}

}  // namespace

StitchResult stitch_bounded(const std::vector<cv::Mat>& images, const StitchRequest& request) {
  StitchResult result;
  std::string folder = (std::filesystem::temp_directory_path() / "zemb_stitch_child.XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) {
    result.error = "cannot make a temporary folder";
    return result;
  }
  std::vector<std::string> made = {folder + kPanoramaFile, folder + kOutcomeFile};
  for (int i = 0; i < int(images.size()) && result.error.empty(); ++i) {
    made.push_back(image_file(folder, i));
    if (!cv::imwrite(made.back(), images[std::size_t(i)], kFastPng)) result.error = "cannot write " + made.back();
  }
  if (result.error.empty()) result.error = run_child(folder, int(images.size()), request);
  if (result.error.empty())
    read_outcome(folder, result);
  else if (result.error.rfind("stopped", 0) == 0)
    result.seconds = request.limit_seconds;
  for (const std::string& file : made) std::remove(file.c_str());
  ::rmdir(folder.c_str());
  return result;
}

bool serve_stitch_request(int argc, char** argv, int& exit_code) {
  const std::string folder = zemb_bench::option_value(argc, argv, kChildOption, "");
  if (folder.empty()) return false;
  const int count = std::stoi(zemb_bench::option_value(argc, argv, "images", "0"));
  const bool scans = zemb_bench::option_value(argc, argv, "mode", "") == "scans";
  std::vector<cv::Mat> images;
  for (int i = 0; i < count; ++i) images.push_back(cv::imread(image_file(folder, i), cv::IMREAD_COLOR));
  cv::Ptr<cv::Stitcher> stitcher = cv::Stitcher::create(scans ? cv::Stitcher::SCANS : cv::Stitcher::PANORAMA);
  if (zemb_bench::option_value(argc, argv, "warper", "") == "plane")
    stitcher->setWarper(cv::makePtr<cv::PlaneWarper>());
  cv::Mat panorama;
  std::string error;
  const zemb_bench::PeakMemory memory;
  const zemb_bench::Stopwatch watch;
  try {
    error = status_name(stitcher->stitch(images, panorama));
  } catch (const cv::Exception& e) {
    error = e.err;
  }
  const double seconds = watch.ms() / 1000, peak_mib = memory.mib_above_start();
  if (error.empty() && !cv::imwrite(folder + kPanoramaFile, panorama, kFastPng)) error = "cannot write its panorama";
  std::ofstream outcome(folder + kOutcomeFile);
  outcome << seconds << " " << peak_mib << " " << stitcher->component().size() << "\n" << error << "\n";
  exit_code = outcome.good() ? 0 : 1;
  return true;
}

}  // namespace zemb_footage

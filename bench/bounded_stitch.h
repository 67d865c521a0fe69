// OpenCV's cv::Stitcher with a time limit, and the memory it took. On some real footage it runs for
// many minutes (graph-cut seams over a runaway warp) or tries to allocate
// hundreds of gigabytes; it cannot be stopped from inside, so it runs in a
// child process of this program, which is stopped when the limit is up.
#ifndef ZEMB_BOUNDED_STITCH_H
#define ZEMB_BOUNDED_STITCH_H

#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/stitching.hpp>

namespace zemb_footage {

struct StitchRequest {
  cv::Stitcher::Mode mode = cv::Stitcher::PANORAMA;
  bool plane_warper = false;  // a cv::PlaneWarper instead of the mode's own
  double limit_seconds = 90;
};

struct StitchResult {
  cv::Mat panorama;    // empty when it failed
  std::string error;   // why, when it failed
  double seconds = 0;  // cv::Stitcher::stitch() alone, or the limit when it was stopped
  int images_used = 0; // the images in its panorama
  double peak_mib = std::numeric_limits<double>::quiet_NaN();  // the most memory stitch() held
};

// Stitches `images` as `request` says in a child process (this program
// started again with --stitch-child=FOLDER), stopped after the limit. The
// images go to and the panorama comes back through a temporary folder that
// is removed afterwards.
StitchResult stitch_bounded(const std::vector<cv::Mat>& images, const StitchRequest& request);

// The child's side: when the arguments carry --stitch-child=FOLDER, stitches
// the images in FOLDER, writes the outcome there and returns true with the
// exit code in `exit_code`; otherwise returns false and does nothing.
bool serve_stitch_request(int argc, char** argv, int& exit_code);

}  // namespace zemb_footage

#endif  // ZEMB_BOUNDED_STITCH_H

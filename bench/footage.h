// Real camera footage as the real-footage benchmark takes it: the clips and
// photo sets of a folder, read frame by frame, and the frames picked each
// time the view has moved on by a third of a frame.
#ifndef ZEMB_FOOTAGE_H
#define ZEMB_FOOTAGE_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/videoio.hpp>

namespace zemb_footage {

// A clip (a video file cv::VideoCapture reads: .mp4, .mjpeg, .avi, .mov,
// .mkv), a sweep (a folder of camera frames, *.jpg in name order) or a photo
// set (a folder of *.jpg, stitched as one problem in name order or in a
// fixed-seed shuffle of it). A folder found in the data folder is a photo set.
enum class FootageKind { clip, sweep, photo_set };

struct Footage {
  std::string name;  // the file's stem or the folder's name
  std::string path;
  FootageKind kind = FootageKind::clip;
  bool shuffled = false;      // a photo set given in shuffle_of's order
  bool turning_only = false;  // a camera that only turned: not run as a flat scene
};

// Every clip and photo set in `folder`, in name order.
std::vector<Footage> list_footage(const std::string& folder);

// The order the benchmark gives `count` items in: as they are, or shuffled
// with a fixed seed, the same every run.
std::vector<int> given_order(int count, bool shuffled);

// The frames of one piece of footage, one at a time, as the camera gave
// them (BGR, CV_8UC3), a photo set's in name order even when it is
// shuffled (`in_given_order` takes it as the benchmark gives it). Throws
// cv::Exception (StsError) when the footage cannot be opened or a photo
// cannot be read.
class FrameSource {
 public:
  explicit FrameSource(const Footage& footage, bool in_given_order = false);
  bool next(cv::Mat& frame);  // false after the last frame

 private:
  cv::VideoCapture capture_;
  std::vector<std::string> photos_;
  std::size_t next_photo_ = 0;
};

// Picks the first frame, then each frame whose view has moved on by a third
// of a frame from every frame picked so far: it overlaps each of them by two
// thirds or less (a pan, a tilt, a zoom), or is rolled from it by about 40
// degrees. A camera that sweeps back over what it saw adds no frames; the
// sample covers the scene about once. The motion is found cheaply, frame to
// frame: ORB matches on small grey copies and a rotation, scale and shift
// fitted to them. When a frame cannot be fitted to the one before, the view
// has jumped: that frame is picked and starts a new run, compared only with
// what is picked after it.
class ViewSampler {
 public:
  ViewSampler();
  bool offer(const cv::Mat& frame);  // true when it picks the frame

 private:
  cv::Ptr<cv::ORB> orb_;
  std::vector<cv::KeyPoint> keypoints_;  // of the frame before
  cv::Mat descriptors_;
  // Small-copy pixels of the frame before, and of each frame picked in this
  // run, -> those of the run's first frame.
  cv::Matx33d to_run_start_;
  std::vector<cv::Matx33d> picked_;
};

// The indices of at most `most` (at least 2) of `count` items, spread
// evenly, the first and last among them.
std::vector<int> spread(int count, int most);

}  // namespace zemb_footage

#endif  // ZEMB_FOOTAGE_H

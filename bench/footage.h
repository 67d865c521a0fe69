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
// .mkv) or a photo set (a sub-folder of *.jpg, taken in name order).
struct Footage {
  std::string name;  // the file's stem or the folder's name
  std::string path;
  bool photo_set = false;
};

// Every clip and photo set in `folder`, in name order.
std::vector<Footage> list_footage(const std::string& folder);

// The frames of one clip or photo set, one at a time, as the camera gave
// them (BGR, CV_8UC3). Throws cv::Exception (StsError) when the footage
// cannot be opened or a photo cannot be read.
class FrameSource {
 public:
  explicit FrameSource(const Footage& footage);
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

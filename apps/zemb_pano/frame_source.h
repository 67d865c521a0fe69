// Where the frames come from: a video, a folder of images or a list of image
// files, read in order, one frame in `every`, at most `max_frames` of them.
#ifndef ZEMB_PANO_FRAME_SOURCE_H
#define ZEMB_PANO_FRAME_SOURCE_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zemb_pano {

class FrameSource {
 public:
  FrameSource(int every, int max_frames) : every_(every), max_frames_(max_frames) {}
  virtual ~FrameSource() = default;

  // The next frame taken; false at the end. Throws PanoError (kExitBadInput)
  // on a frame that cannot be read.
  bool next(cv::Mat& frame);

  // How many frames next() will give, when the source knows its length.
  std::optional<int> expected_frames() const;

  // The last frame taken, for messages: a file, or a video and a frame number.
  virtual std::string last_frame_name() const = 0;

  // The input as the user named it.
  virtual std::string name() const = 0;

  // True for photos (image files or a folder of them), false for a video:
  // photos are not taken in a capture loop's time.
  virtual bool stills() const = 0;

 protected:
  virtual bool read(cv::Mat& frame) = 0;
  virtual bool skip() = 0;
  virtual std::optional<int> length() const = 0;

 private:
  int every_;
  int max_frames_;  // 0 for no limit
  int taken_ = 0;
};

// Opens the inputs of the command line; throws PanoError (kExitBadInput)
// when they are missing, unreadable, or neither images nor a video.
std::unique_ptr<FrameSource> open_frames(const std::vector<std::string>& inputs, int every, int max_frames);

}  // namespace zemb_pano

#endif  // ZEMB_PANO_FRAME_SOURCE_H

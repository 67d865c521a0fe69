#include "frame_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "pano_error.h"

namespace zemb_pano {

namespace {

namespace fs = std::filesystem;

PanoError input_error(const std::string& path, const std::string& cause) {
  return PanoError(kExitBadInput, path + ": " + cause);
}

// Missing and unreadable inputs are told apart before any decoder looks at
// them, so that the message names the real cause.
void require_existing(const std::string& path) {
  std::error_code error;
  if (!fs::exists(fs::status(path, error))) throw input_error(path, error.message());
}

void require_readable_file(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) throw input_error(path, std::strerror(errno));
  std::fclose(file);
}

// Where a JPEG's scan data that starts at `i` ends: the next marker, 0xFF
// followed by anything but a stuffed zero or a restart marker.
std::size_t scan_end(const std::vector<unsigned char>& bytes, std::size_t i) {
  const auto marker_at = [&bytes](std::size_t k) {
    return bytes[k] == 0xFF && bytes[k + 1] != 0x00 && (bytes[k + 1] < 0xD0 || bytes[k + 1] > 0xD7);
  };
  while (i + 1 < bytes.size() && !marker_at(i)) ++i;
  return i;
}

// Whether `bytes` are a JPEG file cut short (a copy or a download
// interrupted): its segments, walked from the start, run out before the
// image's end marker. The JPEG decoder fills what is missing with grey and
// only warns, and the grey would be stitched in. Whatever follows the end
// marker (a camera's trailer) is not looked at; a file whose segments do
// not follow one another is left to the decoder.
bool jpeg_cut_short(const std::vector<unsigned char>& bytes) {
  if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) return false;
  for (std::size_t i = 2; i + 1 < bytes.size();) {
    if (bytes[i] != 0xFF) return false;
    const unsigned char marker = bytes[i + 1];
    if (marker == 0xD9) return false;
    if (marker == 0xFF) {  // a fill byte before a marker
      ++i;
    } else if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // markers without a length
      i += 2;
    } else {
      if (i + 3 >= bytes.size()) return true;
      i += 2 + (std::size_t(bytes[i + 2]) << 8 | bytes[i + 3]);
      if (marker == 0xDA) i = scan_end(bytes, i);
    }
  }
  return true;
}

// The image at `path`, decoded from the bytes read once (turned as its EXIF
// orientation says); a file that cannot be decoded, or a JPEG cut short,
// is a bad input.
cv::Mat decoded_image(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (jpeg_cut_short(bytes)) throw input_error(path, "the JPEG data ends early: the file is cut short");
  cv::Mat image = bytes.empty() ? cv::Mat() : cv::imdecode(bytes, cv::IMREAD_COLOR);
  if (image.empty()) throw input_error(path, "cannot be decoded as an image");
  return image;
}

// Images are decoded a few ahead of the one asked for, each on a thread of
// its own: a set of photos is read whole before it is stitched, and one
// decoder at a time would leave the other cores idle. The images come in
// order all the same, and one that cannot be decoded fails when it is asked
// for.
class ImageFiles : public FrameSource {
 public:
  ImageFiles(std::string name, std::vector<std::string> paths, int every, int max_frames)
      : FrameSource(every, max_frames),
        name_(std::move(name)),
        paths_(std::move(paths)),
        every_(static_cast<std::size_t>(every)),
        taken_end_(max_frames > 0 ? std::min(paths_.size(), std::size_t(max_frames - 1) * every_ + 1)
                                  : paths_.size()) {}

  bool stills() const override { return true; }

  std::string last_frame_name() const override { return paths_.at(next_ - 1); }
  std::string name() const override { return name_; }

 protected:
  bool read(cv::Mat& frame) override {
    if (next_ == paths_.size()) return false;
    const std::size_t index = next_++;
    constexpr std::size_t kAhead = 2;
    for (std::size_t ahead = index; ahead < taken_end_ && ahead <= index + kAhead * every_; ahead += every_)
      if (!decoding_.count(ahead))
        decoding_.emplace(ahead, std::async(std::launch::async, decoded_image, paths_[ahead]));
    const auto decoded = decoding_.find(index);
    if (decoded == decoding_.end()) {
      frame = decoded_image(paths_[index]);
      return true;
    }
    std::future<cv::Mat> image = std::move(decoded->second);
    decoding_.erase(decoded);
    frame = image.get();
    return true;
  }
  bool skip() override {
    if (next_ == paths_.size()) return false;
    ++next_;
    return true;
  }
  std::optional<int> length() const override { return static_cast<int>(paths_.size()); }

 private:
  std::string name_;
  std::vector<std::string> paths_;
  std::size_t every_;
  std::size_t taken_end_;  // past the last image a frame is taken from
  size_t next_ = 0;
  std::map<std::size_t, std::future<cv::Mat>> decoding_;  // by index in paths_
};

// Video backends (FFmpeg, GStreamer) print their own complaints about a file
// they cannot open, past OpenCV's logging; this program says it in one line.
class SilencedStderr {
 public:
  SilencedStderr() : saved_(::dup(STDERR_FILENO)) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null < 0) return;
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  ~SilencedStderr() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  SilencedStderr(const SilencedStderr&) = delete;
  SilencedStderr& operator=(const SilencedStderr&) = delete;

 private:
  int saved_;
};

bool open_quietly(cv::VideoCapture& capture, const std::string& path) {
  SilencedStderr silenced;
  return capture.open(path);
}

class VideoFile : public FrameSource {
 public:
  VideoFile(const std::string& path, int every, int max_frames) : FrameSource(every, max_frames), path_(path) {
    if (!open_quietly(capture_, path)) throw input_error(path, "neither a video nor an image that OpenCV can read");
  }

  bool stills() const override { return false; }

  std::string last_frame_name() const override { return path_ + ", frame " + std::to_string(position_); }
  std::string name() const override { return path_; }

 protected:
  bool read(cv::Mat& frame) override { return advance(capture_.read(frame)); }
  bool skip() override { return advance(capture_.grab()); }
  // Containers without an index report no count, or a guess below one.
  std::optional<int> length() const override {
    const double count = capture_.get(cv::CAP_PROP_FRAME_COUNT);
    if (count >= 1) return static_cast<int>(count);
    return std::nullopt;
  }

 private:
  bool advance(bool got_frame) {
    if (got_frame) ++position_;
    return got_frame;
  }

  std::string path_;
  cv::VideoCapture capture_;
  int position_ = 0;  // 1-based number of the last frame read or skipped
};

// Regular files of `folder` that an image decoder recognises, in name order.
std::vector<std::string> folder_images(const std::string& folder) {
  std::vector<std::string> images;
  try {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
      if (entry.is_regular_file() && cv::haveImageReader(entry.path().string()))
        images.push_back(entry.path().string());
  } catch (const fs::filesystem_error& e) {
    throw input_error(folder, e.code().message());
  }
  if (images.empty()) throw input_error(folder, "the folder has no images");
  std::sort(images.begin(), images.end());
  return images;
}

void require_image_file(const std::string& path) {
  require_existing(path);
  if (fs::is_directory(path)) throw input_error(path, "is a folder; give a folder alone, or image files");
  require_readable_file(path);
  if (!cv::haveImageReader(path)) throw input_error(path, "not an image file that OpenCV can read");
}

// A stream of JPEG images (.mjpeg) reads as an image too, its first one; a
// file the video reader gets a second frame from is a video.
bool holds_several_frames(const std::string& path) {
  cv::VideoCapture capture;
  cv::Mat frame;
  return open_quietly(capture, path) && capture.read(frame) && capture.read(frame);
}

std::unique_ptr<FrameSource> open_single(const std::string& input, int every, int max_frames) {
  require_existing(input);
  if (fs::is_directory(input)) return std::make_unique<ImageFiles>(input, folder_images(input), every, max_frames);
  require_readable_file(input);
  if (cv::haveImageReader(input) && !holds_several_frames(input))
    return std::make_unique<ImageFiles>(input, std::vector<std::string>{input}, every, max_frames);
  return std::make_unique<VideoFile>(input, every, max_frames);
}

}  // namespace

bool FrameSource::next(cv::Mat& frame) {
  if (max_frames_ > 0 && taken_ == max_frames_) return false;
  if (taken_ > 0)
    for (int i = 1; i < every_; ++i)
      if (!skip()) return false;
  if (!read(frame)) return false;
  ++taken_;
  return true;
}

std::optional<int> FrameSource::expected_frames() const {
  const std::optional<int> total = length();
  if (!total) return std::nullopt;
  const int taken = (*total + every_ - 1) / every_;
  return max_frames_ > 0 ? std::min(taken, max_frames_) : taken;
}

std::unique_ptr<FrameSource> open_frames(const std::vector<std::string>& inputs, int every, int max_frames) {
  if (inputs.size() == 1) return open_single(inputs.front(), every, max_frames);
  for (const std::string& path : inputs) require_image_file(path);
  const std::string name = std::to_string(inputs.size()) + " image files";
  return std::make_unique<ImageFiles>(name, inputs, every, max_frames);
}

}  // namespace zemb_pano

// One stitcher fed a short sequence of frames decided by the input: windows
// of a textured scene moving mostly toward the top of the frame (so that the
// panorama grows and frames get placed), repeated, flat, noisy, mirrored,
// turned, partly blanked or delivered as a view into a larger image, and
// now and then an invalid one: empty, of another type or of another size.
//
// After every call the stitcher must not be busy; a bad frame must be
// refused with cv::Exception (StsBadArg), untouched and with the stitcher
// unchanged; a refused frame (result below 20) must leave the panorama,
// band and reference as they were; whatever happened, `cropped` must lie
// inside `panorama` at the band, with the band's edges in order; and copies
// of earlier panoramas the application kept must keep their pixels.
#include <cstring>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "fuzz_check.h"
#include "shared/steps.h"
#include "textured_scene.h"
#include "zemb_stitcher.h"

namespace {

constexpr int kMaxFrames = 8;
using zemb_fuzz::kSceneCols;
using zemb_fuzz::kSceneRows;
using zemb_fuzz::textured_scene;

// The sweep so far: where the camera looks and at what frame size.
struct Camera {
  cv::Point origin;
  cv::Size size;
  cv::Mat last_frame;
};

cv::Mat window(Camera& camera) {
  camera.size.width = std::min(camera.size.width, kSceneCols);
  camera.origin.x = std::clamp(camera.origin.x, 0, kSceneCols - camera.size.width);
  camera.origin.y = std::clamp(camera.origin.y, 0, kSceneRows - camera.size.height);
  return textured_scene()(cv::Rect(camera.origin, camera.size)).clone();
}

void blank_part(zemb_fuzz::ByteReader& input, cv::Mat& frame) {
  const cv::Rect part{input.in_range(0, frame.cols), input.in_range(0, frame.rows), input.in_range(0, frame.cols),
                      input.in_range(0, frame.rows)};
  frame(part & cv::Rect(cv::Point(), frame.size())).setTo(cv::Scalar::all(0));
}

void add_noise(zemb_fuzz::ByteReader& input, cv::Mat& frame) {
  cv::Mat noise(frame.size(), CV_16SC3);
  cv::RNG random(input.byte());
  random.fill(noise, cv::RNG::NORMAL, 0, input.byte() % 64);
  cv::add(frame, noise, frame, cv::noArray(), CV_8UC3);
}

void turn(zemb_fuzz::ByteReader& input, cv::Mat& frame) {
  const double degrees = static_cast<int8_t>(input.byte()) / 8.0;
  const double scale = 1.0 + static_cast<int8_t>(input.byte()) / 1024.0;
  const cv::Point2f centre(frame.cols / 2.0f, frame.rows / 2.0f);
  cv::warpAffine(frame, frame, cv::getRotationMatrix2D(centre, degrees, scale), frame.size());
}

// The same pixels, but as a view into a larger image (rows not contiguous).
cv::Mat as_view(const cv::Mat& frame) {
  cv::Mat larger(frame.rows + 2, frame.cols + 3, frame.type(), cv::Scalar::all(255));
  const cv::Rect inner(cv::Point(1, 1), frame.size());
  frame.copyTo(larger(inner));
  return larger(inner);
}

void modify(zemb_fuzz::ByteReader& input, cv::Mat& frame) {
  const uint8_t changes = input.byte();
  if (changes & 1) cv::flip(frame, frame, input.byte() % 3 - 1);
  if (changes & 2) blank_part(input, frame);
  if (changes & 4) add_noise(input, frame);
  if (changes & 8) turn(input, frame);
  if (changes & 16) frame = as_view(frame);
}

cv::Mat of_another_type(zemb_fuzz::ByteReader& input, const cv::Mat& frame) {
  static const int kTypes[] = {CV_8UC1, CV_8UC4, CV_8SC3, CV_16UC3, CV_32FC3, CV_64FC1, CV_8UC2};
  const int type = kTypes[input.byte() % 7];
  cv::Mat other(frame.size(), type);
  other.setTo(cv::Scalar::all(input.byte()));
  return other;
}

// The next frame of the sequence; kinds 0 to 9 are plain camera moves.
cv::Mat next_frame(zemb_fuzz::ByteReader& input, Camera& camera) {
  const uint8_t kind = input.byte() % 16;
  camera.origin += cv::Point{static_cast<int8_t>(input.byte()) / 8, static_cast<int8_t>(input.byte()) / 4 - 12};
  switch (kind) {
    case 10: return camera.last_frame.empty() ? window(camera) : camera.last_frame.clone();
    case 11: return cv::Mat(camera.size, CV_8UC3, cv::Scalar::all(input.byte()));
    case 12: return of_another_type(input, window(camera));
    case 13: return cv::Mat();
    case 14: {
      Camera resized = camera;
      resized.size += cv::Size{input.in_range(-3, 3), input.in_range(-3, 3)};
      resized.size = cv::Size(std::max(1, resized.size.width), std::max(1, resized.size.height));
      return window(resized);
    }
    case 15: camera.origin = cv::Point{input.in_range(0, kSceneCols), input.in_range(0, kSceneRows)}; break;
  }
  cv::Mat frame = window(camera);
  modify(input, frame);
  camera.last_frame = frame;
  return frame;
}

// Frames from 1x1 up to 534x151; one input in sixteen asks for a tiny one.
Camera read_camera(zemb_fuzz::ByteReader& input) {
  Camera camera;
  const bool tiny = input.byte() % 16 == 15;
  const int width_choice = input.byte(), height_choice = input.byte();
  camera.size = tiny ? cv::Size(1 + width_choice % 16, 1 + height_choice % 16)
                     : cv::Size(24 + 2 * width_choice, 24 + height_choice / 2);
  camera.origin = cv::Point{input.in_range(0, kSceneCols), kSceneRows - camera.size.height - input.byte()};
  return camera;
}

// What a call may or may not change, held by reference so that a changed
// image is told by its pixel buffer.
struct Snapshot {
  explicit Snapshot(const ZembStitcher& s)
      : panorama(s.panorama), cropped(s.cropped), gray(s.reference.gray),
        homography(s.reference.homography.clone()), band{s.crop_top, s.crop_bottom, s.crop_right},
        keypoints(s.reference.keypoints.size()) {}

  cv::Mat panorama, cropped, gray, homography;
  float band[3];
  size_t keypoints;
};

bool same_image(const cv::Mat& a, const cv::Mat& b) { return a.data == b.data && a.size == b.size; }

bool unchanged(const Snapshot& before, const ZembStitcher& s) {
  const Snapshot now(s);
  return same_image(before.panorama, now.panorama) && same_image(before.cropped, now.cropped) &&
         same_image(before.gray, now.gray) && before.keypoints == now.keypoints &&
         std::memcmp(before.band, now.band, sizeof before.band) == 0 &&
         before.homography.size == now.homography.size &&
         std::memcmp(before.homography.data, now.homography.data, before.homography.total() * 8) == 0;
}

// Where `view` lies inside `image`: the rectangle of `image` whose pixels
// `view` shows; an empty one when `view` is not a rectangle of `image`.
cv::Rect rectangle_within(const cv::Mat& view, const cv::Mat& image) {
  if (view.empty() || view.step[0] != image.step[0] || view.data < image.data) return cv::Rect();
  const size_t offset = static_cast<size_t>(view.data - image.data);
  const cv::Rect found(static_cast<int>(offset % image.step[0] / image.elemSize()),
                       static_cast<int>(offset / image.step[0]), view.cols, view.rows);
  return (found & cv::Rect(cv::Point(), image.size())) == found ? found : cv::Rect();
}

void check_consistent(const ZembStitcher& s) {
  FUZZ_CHECK(s.state == 3);
  if (s.panorama.empty()) return FUZZ_CHECK(s.cropped.empty());
  FUZZ_CHECK(s.panorama.type() == CV_8UC3 && s.panorama.cols <= 32767 && s.panorama.rows <= 32767);
  FUZZ_CHECK(0.0f <= s.crop_top && s.crop_top < s.crop_bottom && 0.0f < s.crop_right);
  const cv::Rect band = rectangle_within(s.cropped, s.panorama);
  FUZZ_CHECK(!band.empty() && band.tl() == cv::Point(0, static_cast<int>(s.crop_top)));
  FUZZ_CHECK(band.width <= s.crop_right && band.br().y <= s.crop_bottom + 1.0f);
  FUZZ_CHECK(zemb::usable_homography(s.reference.homography));
  FUZZ_CHECK(s.reference.gray.type() == CV_8UC1 && !s.reference.gray.empty());
  FUZZ_CHECK(static_cast<int>(s.reference.keypoints.size()) >= s.min_keypoints);
}

// Feeds one frame and checks the call; returns the size every later frame
// must have (the first placed frame's).
cv::Size feed(ZembStitcher& stitcher, cv::Mat frame, cv::Size expected_size) {
  const bool valid =
      !frame.empty() && frame.type() == CV_8UC3 && (expected_size.empty() || frame.size() == expected_size);
  const Snapshot before(stitcher);
  const cv::Mat as_given = frame;
  const int calls = stitcher.frame_count;
  try {
    const int result = stitcher.ofcheck_stitch(frame);
    // Never busy here, so a result of 0 is a keypoint count (a frame without
    // any), and the frame is released like after any other count.
    FUZZ_CHECK(valid && frame.empty());
    if (result < stitcher.min_keypoints) FUZZ_CHECK(unchanged(before, stitcher));
    else if (!before.panorama.empty())
      FUZZ_CHECK(stitcher.panorama.cols >= before.panorama.cols && stitcher.panorama.rows >= before.panorama.rows);
    if (before.panorama.empty() && !stitcher.panorama.empty()) expected_size = as_given.size();
  } catch (const cv::Exception& error) {
    FUZZ_CHECK(!valid && error.code == cv::Error::StsBadArg);
    FUZZ_CHECK(same_image(frame, as_given) && unchanged(before, stitcher));
  }
  FUZZ_CHECK(stitcher.frame_count == calls + 1);
  check_consistent(stitcher);
  return expected_size;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cv::setNumThreads(1);
  textured_scene();
  return 0;
}

// Copies of earlier panoramas an application kept, with their pixels as they
// were: the stitcher reuses canvas memory only when nobody else refers to it.
class KeptPanoramas {
 public:
  void keep(const cv::Mat& panorama) {
    if (!panorama.empty() && (kept_.empty() || kept_.back().first.data != panorama.data))
      kept_.emplace_back(panorama, panorama.clone());
  }

  void check() const {
    for (const auto& [copy, pixels] : kept_) FUZZ_CHECK(cv::norm(copy, pixels, cv::NORM_INF) == 0.0);
  }

 private:
  std::vector<std::pair<cv::Mat, cv::Mat>> kept_;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zemb_fuzz::ByteReader input(data, size);
  Camera camera = read_camera(input);
  // Half the inputs keep every panorama, the other half let the stitcher
  // reuse the memory of the ones it dropped.
  const bool keep_panoramas = input.byte() % 2 == 1;
  ZembStitcher stitcher("");
  KeptPanoramas kept;
  cv::Size expected_size;
  for (int i = 0; i < kMaxFrames && !input.empty(); ++i) {
    expected_size = feed(stitcher, next_frame(input, camera), expected_size);
    if (keep_panoramas) kept.keep(stitcher.panorama);
    kept.check();
  }
  return 0;
}

// How close a panorama comes to the photo its sweep was made from: the
// panorama is registered to the photo (SIFT matches, one RANSAC homography),
// then every fully covered tile is aligned on its own (phase correlation,
// then ECC, a translation) and compared with the photo seen through the
// homography. Tiles are aligned on their own so that a slow drift across the
// panorama, which a viewer does not see, costs nothing, while ghosts, seams,
// blur and exposure steps, which a viewer sees, cost PSNR and SSIM.
#ifndef ZEMB_QUALITY_MEASURE_H
#define ZEMB_QUALITY_MEASURE_H

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "truth_fit.h"

namespace zemb_quality {

struct Quality {
  bool registered = false;  // enough matches for a homography
  int matches = 0;          // mutual SIFT matches that pass the ratio test
  double within4 = 0;       // share of them within 4 panorama pixels of the homography
  double psnr = 0;          // mean over tiles, grey levels, dB
  double ssim = 0;          // mean over tiles of the windowed SSIM
  int tiles = 0;
  double coverage = 0;      // share of the swept area the panorama shows
  // Placed by the ground truth: the panorama's length between its first and
  // last keyframes over the scene's, at the keyframes' median scale (1 when
  // the scale holds); 0 when not measured.
  double length = 0;
};


// Square tiles of `side` pixels, each moved by at most `reach` pixels onto
// the expected image before it is compared.
struct Tiling {
  int side;
  int reach;
};

// The grey-level errors of compared tiles, pooled over as many images as
// are added together.
struct TileErrors {
  double squared_error = 0;
  double ssim_sum = 0;
  double pixels = 0;
  int tiles = 0;

  void add(const TileErrors& other);
  double psnr() const;  // dB, pooled over every pixel; NaN without tiles
  double ssim() const;  // mean over tiles; NaN without tiles
};

// Every tile of `image` that `both` covers fully, aligned on its own onto
// `expected` (phase correlation, then ECC, a translation; never onto pixels
// `both` leaves out) and compared with it. Both images CV_32F grey of one
// size; `both` CV_8U.
TileErrors compare_tiles(const cv::Mat& image, const cv::Mat& expected, const cv::Mat& both, Tiling tiling);

// An image in grey levels, CV_32F.
cv::Mat gray_float(const cv::Mat& image);

// The pixel mapping (3x3 CV_64F) from an image to its copy that cv::resize
// makes at `scale`.
cv::Mat resizing(double scale);

// A photo with its SIFT features, found once for every panorama made from it.
class Reference {
 public:
  explicit Reference(cv::Mat photo);
  const cv::Mat& photo() const { return photo_; }

  // `covered` is CV_8U, non-zero where the panorama shows something; `swept`
  // is the part of the photo the sweep's frames saw (see swept_area).
  Quality measure(const cv::Mat& panorama, const cv::Mat& covered, const cv::Mat& swept) const;

  // The same, registered by the ground truth instead of features (which
  // pair twins on a repeating texture): see zemb_tools::fit_to_truth; within
  // 4 px is the share of the keyframes' points it carries within 4 panorama
  // pixels. Without placements (a cylinder), registered by features.
  Quality measure_placed(const cv::Mat& panorama, const cv::Mat& covered, const cv::Mat& swept,
                         const zemb_tools::KeyframePlaces& places) const;

 private:
  // The photo seen through `photo_to_panorama`, compared tile by tile, and
  // the share of the swept area the panorama covers.
  void compare(const cv::Mat& panorama, const cv::Mat& covered, const cv::Mat& swept,
               const cv::Mat& photo_to_panorama, Quality& q) const;

  cv::Mat photo_;
  std::vector<cv::KeyPoint> keypoints_;
  cv::Mat descriptors_;
};

// The union, on the photo, of what each frame saw: frames of `frame_size`
// whose photo_to_frame homographies are given.
cv::Mat swept_area(cv::Size photo_size, cv::Size frame_size, const std::vector<cv::Matx33d>& photo_to_frame);

// Where a panorama with black for "nothing" shows something: any channel
// non-zero, with pin holes of black scene closed.
cv::Mat covered_part(const cv::Mat& panorama);

}  // namespace zemb_quality

#endif  // ZEMB_QUALITY_MEASURE_H

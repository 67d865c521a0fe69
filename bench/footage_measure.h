// How well a panorama shows the frames it was made from, when there is no
// ground truth: each sampled frame is found in the panorama (SIFT, ratio
// test, one RANSAC homography), the panorama is looked at back through that
// homography, the frame is given the one gain and offset that match its
// exposure to the panorama's, and every 48-px tile is aligned on its own
// within a few pixels before its error is pooled (see quality_measure.h).
// Local alignment forgives the slow bends a viewer does not see; ghosts,
// seams, blur, misplaced frames and missing parts still cost PSNR or
// coverage, and frames that do not join up cost the share joined.
#ifndef ZEMB_FOOTAGE_MEASURE_H
#define ZEMB_FOOTAGE_MEASURE_H

#include <cmath>
#include <vector>

#include <opencv2/core.hpp>

#include "quality_measure.h"

namespace zemb_footage {

// Where the sampled frames lie in one panorama.
struct Located {
  std::vector<cv::Mat> frame_to_panorama;  // 3x3 CV_64F a frame; empty where it was not found
  // Panorama pixels per frame pixel at the frames' centres, the median
  // over the frames found; NaN when none was.
  double scale = std::nan("");

  int found() const;
};

struct FootageQuality {
  int frames = 0;         // sampled
  int found = 0;          // of them, found in the panorama
  double coverage = 0;    // mean over the sampled frames of the share of each the panorama shows
  double scale = std::nan("");  // the frames' scale the comparison was made at
  zemb_quality::TileErrors errors;  // pooled over the frames found
  // Pairs of sampled frames, one after the other, that overlap (their own
  // features match), and the share of them the panorama shows joined as the
  // frames themselves show them: both found, placed within 5 % of a frame
  // of where the other's placement and their own match put them. Coverage
  // and PSNR alone would let frames pasted side by side, each on its own,
  // pass for a panorama. NaN without pairs.
  int pairs = 0;
  double joined = std::nan("");
};

// The sampled frames (BGR, of one size) with their SIFT features, found once
// for every panorama measured against them.
class FrameSample {
 public:
  explicit FrameSample(std::vector<cv::Mat> frames);

  // `covered`: CV_8U, non-zero where the panorama shows something.
  Located locate(const cv::Mat& panorama, const cv::Mat& covered) const;

  // Compares at `scale` times the frames' size, or at the panorama's own
  // scale when that is smaller, and never above the frames' own size: the
  // panorama and the frames are reduced to it first, so that panoramas
  // kept at different sizes are compared at one resolution.
  FootageQuality measure(const cv::Mat& panorama, const cv::Mat& covered, const Located& located,
                         double scale) const;

 private:
  struct Features {
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
  };
  void measure_joins(const Located& located, FootageQuality& quality) const;

  std::vector<cv::Mat> frames_;
  std::vector<Features> features_;
  std::vector<cv::Mat> to_next_;  // frame i -> frame i + 1 pixels; empty where they do not overlap
};

}  // namespace zemb_footage

#endif  // ZEMB_FOOTAGE_MEASURE_H

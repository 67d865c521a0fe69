// How a panorama shows the figure that crossed a sweep (see MovingFigure):
// every pixel on its path should be the scene or the figure as some
// keyframe saw it, never a mix of the two (a half-transparent ghost), and
// the figure should be there once, whole. The panorama is compared with
// the photo, and with the photo under the figure where each keyframe saw
// it, through the homography that carries photo pixels onto the panorama
// (fit_to_truth). Each pixel may match its expected value anywhere in its
// 3x3 neighbourhood, which forgives placements a pixel off.
#ifndef ZEMB_MOVER_MEASURE_H
#define ZEMB_MOVER_MEASURE_H

#include <vector>

#include <opencv2/core.hpp>

namespace zemb_tools {

struct FigureOnPanorama {
  cv::Mat photo;                    // the scene without the figure, photo pixels
  cv::Mat photo_to_panorama;        // 3x3 CV_64F
  std::vector<cv::Rect2d> path;     // the figure's box in every frame of the sweep, photo pixels
  std::vector<cv::Rect2d> seen;     // its box in the frames the keyframes were kept from
};

struct GhostCount {
  int path = 0;        // covered panorama pixels the figure passed over
  int scene = 0;       // of them, the scene
  int figure = 0;      // the figure as some keyframe saw it (and not the scene)
  int ghost = 0;       // neither
  double copies = 0;   // figure pixels over the area of one figure on the panorama: 1 once, whole
  cv::Mat path_mask;   // CV_8U, the panorama's size: 255 on the path
};

// `tolerance` in grey levels, in the channel furthest off.
GhostCount count_ghosts(const cv::Mat& panorama, const cv::Mat& covered, const FigureOnPanorama& figure,
                        double tolerance);

// PSNR (grey levels, dB) of the panorama against the photo seen through
// photo_to_panorama, over what `covered` shows less `excluded`, its edges
// eroded by a few pixels; pixels compared as in count_ghosts.
double psnr_against_photo(const cv::Mat& panorama, const cv::Mat& covered, const cv::Mat& excluded,
                          const cv::Mat& photo, const cv::Mat& photo_to_panorama);

}  // namespace zemb_tools

#endif  // ZEMB_MOVER_MEASURE_H

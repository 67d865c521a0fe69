// zemb_stitcher: incremental panorama stitching of camera frames on OpenCV.
//
// An application that owns a camera creates one ZembStitcher per panorama and
// hands it one colour frame at a time through ofcheck_stitch(). The stitcher
// tracks the frame against the last accepted one, places it on a growing
// canvas (`panorama`), repairs the seam, and keeps the band of rows and
// columns that every accepted frame covered (`cropped`). Around it the library
// offers frame preparation, frame-outline validation, descriptor matching and
// working-directory housekeeping.
//
// Errors: invalid arguments are reported the OpenCV way, as cv::Exception.
// Nothing here writes a log or a file; the only file-system effect is the
// emptying (and on request removal) of a stitcher's working directory.
#ifndef ZEMB_STITCHER_H
#define ZEMB_STITCHER_H

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "zemb/results.h"
#include "zemb/status.h"

// ---------------------------------------------------------------------------
// Module-wide objects, created during static initialisation in this order and
// shared by every stitcher of the process.

// Descriptor extractor offered to the application (the stitcher never uses
// it). SURF (Hessian threshold 1000, 4 octaves, 3 layers, 64-element upright
// descriptors) when the OpenCV at build time has the non-free xfeatures2d
// module; otherwise an upright KAZE with 64-element float descriptors.
extern cv::Ptr<cv::Feature2D> feature_finder;

// FAST (threshold 50, non-maximum suppression, 9-of-16) used by every
// stitcher to find keypoints on its tracking image.
extern cv::Ptr<cv::FastFeatureDetector> detector;

// ---------------------------------------------------------------------------
// The stitcher.

// The last accepted frame, against which the next frame is tracked.
class stitch_data {
 public:
  stitch_data();

  cv::Mat gray;                         // tracking image (8-bit, 1 channel)
  float scale;                          // tracking scale; 1.0 before the first frame
  std::vector<cv::KeyPoint> keypoints;  // FAST keypoints of `gray`
  cv::Mat spare_image;                  // unused
  cv::Mat homography;                   // 3x3 CV_64F: working frame -> panorama
};

// Results of ofcheck_stitch():
//    0  the stitcher was busy (a call was already under way); nothing changed
//   -1  the frame does not extend the panorama far enough to the right
//   -2  the frame could not be placed (no usable homography; a folded or
//       mirrored placement; a placement more than twice the frame's longer
//       side across or detached from the panorama, as a mistracked frame
//       gives; an empty patch or band; a canvas beyond 32767 pixels);
//       nothing changed
//   >=0 a count: the keypoints of a frame refused for too few of them (< 20;
//       0 for a frame without any, which unlike a busy refusal is released),
//       the keypoints of the first frame, the tracked points of a frame
//       refused for too few of them (< 20), or, for a placed frame, the
//       smaller of its keypoint count and its tracked count.
// A frame that is empty, not 8-bit 3-channel, or of another size than the
// first frame is refused with cv::Exception (StsBadArg) and left untouched.
// Any exception leaves the stitcher as it was before the call, not busy.
class ZembStitcher {
 public:
  // Takes `path` as working directory and empties it when it exists (regular
  // files and subdirectories below it are deleted; symbolic links stay). A
  // missing directory is not created. "/" and "" are never emptied.
  explicit ZembStitcher(std::string path);

  // Adds one frame (8-bit, 3 channels, camera orientation). Unless refused as
  // busy or as a bad frame, `frame` is released (empty) when the call returns.
  int ofcheck_stitch(cv::Mat& frame);

  // Empties and removes the working directory; silent on every failure.
  void remove_local_path();

  std::string name;
  std::string local_path;
  int state;          // 0 never called, 1 call under way, 3 last call finished
  float setting_a;
  float setting_b;
  int min_keypoints;  // least keypoints and tracked points to go on (20)
  float setting_c;
  int frame_count;    // calls of ofcheck_stitch, refused ones included
  int setting_d;
  // The whole canvas, CV_8UC3: a view into a larger buffer, usually not
  // continuous. While only the stitcher refers to it, the next accepted frame
  // grows it in place; a caller's copy keeps its pixels unchanged.
  cv::Mat panorama;
  cv::Mat cropped;    // view into `panorama`: the band every frame covered
  float crop_top;     // first row of the band
  float crop_bottom;  // first row below the band
  float crop_right;   // first column right of the band (band starts at 0)
  std::string spare_text;
  stitch_data reference;

 private:
  friend zemb::FrameStatus zemb::last_status(const ZembStitcher& stitcher);

  cv::Size first_frame_size_;  // camera frame size the panorama started with
  zemb::FrameStatus last_status_;  // what became of the last frame not refused as busy
  // Canvas memory kept between frames and reused only when nothing else (no
  // caller's copy of the panorama or band) refers to it.
  std::array<cv::Mat, 2> canvas_buffers_;
};

// ---------------------------------------------------------------------------
// Running minimum / maximum of a list in list order: an element replaces the
// running value only when strictly smaller (larger); a NaN after the first
// element never does. The list must not be empty (cv::Exception otherwise).
float min_axis(std::vector<float> values);
float max_axis(std::vector<float> values);

// ---------------------------------------------------------------------------
// Frame preparation. The reducing functions return the scale factor used
// (reduced size / source size along the bounded dimension, 1.0 when the
// source is not larger than the bound; never enlarged), INTER_LINEAR_EXACT.

// Gray (when 3 channels) and at most 300 rows.
float frame_transform(cv::UMat& src, cv::UMat& dst);
// At most 300 rows.
float frame_resize(cv::Mat& src, cv::Mat& dst);
// At most `target` columns (by_cols != 0) or rows (by_cols == 0).
float image_resize(cv::Mat& src, cv::Mat& dst, int target, int by_cols);
// 3 channels: COLOR_RGB2GRAY; 1 channel: independent copy; else dst untouched.
void to_gray(cv::Mat& src, cv::Mat& dst);
// Appends every keypoint's position to `points`.
void KeyPointsToPoints(std::vector<cv::KeyPoint> keypoints, std::vector<cv::Point_<float>>& points);

// ---------------------------------------------------------------------------
// Seam repair.

struct LinePara {
  float k;  // slope; 10000 for a vertical line
  float b;  // intercept
};

// Inside the bounding box of `corners` (top-left, top-right, bottom-right,
// bottom-left), puts `old_canvas` pixels back into `new_canvas` where the new
// pixel is empty (0,0,0) or lies within 10 pixels of an edge line, wherever
// the old pixel is not empty. Both images CV_8UC3 (cv::Exception otherwise).
// The box is clipped to both images; fewer than four corners do nothing.
void OptimizeSeam(cv::Mat& old_canvas, cv::Mat& new_canvas, std::vector<cv::Point_<float>>& corners);
// Line through (x1, y1) and (x2, y2) as y = k*x + b.
void getLinePara(float x1, float y1, float x2, float y2, LinePara& line);
// |k*x + b - y| / norm.
float point_2_line(float k, float b, float norm, float x, float y);

// ---------------------------------------------------------------------------
// Frame-outline validation.
//
// An outline is a quadrilateral's corners in boundary order, normally
// top-left, top-right, bottom-right, bottom-left (x = column, y = row).
// Convexity and coverage are judged on the whole-pixel outline: every
// coordinate truncated toward zero (10.9 -> 10, -0.5 -> 0, -1.5 -> -1), every
// point of the list taken. A repeated whole-pixel corner is not convex.
//
// An outline is refused as not convex (is_convex false, calc_area 0.0,
// is_good_green_box false) when it has fewer than four points, a coordinate
// that is not finite or lies outside the 32-bit int range, or a whole-pixel
// extent above 46340 pixels along x or y (beyond it the convexity test's
// 32-bit products overflow, and filling would cost time in proportion to the
// extent). calc_angle reads the float corners and throws only when there are
// fewer than four.

// True when the whole-pixel outline is convex (cv::isContourConvex).
bool is_convex(const std::vector<cv::Point_<float>>& box);

// Inclination from the horizontal, in degrees (0 to 90), of the top edge
// (points 0-1) or of the bottom edge (points 2-3), whichever is larger; on a
// tie or a NaN the top edge's value. Works on the float corners; the side
// edges and points after the fourth do not count. An edge whose two ends
// coincide or with a NaN coordinate measures NaN, one with an infinite
// coordinate 0, 90 or NaN; the rule above then picks between the two edges.
// Fewer than four points: cv::Exception (StsBadArg).
float calc_angle(const std::vector<cv::Point_<float>>& box);

// Share of `image`'s pixels (0 to 1) covered by the whole-pixel outline,
// boundary pixels included, clipped to the image; only the image's size is
// read. 0.0 for an outline that is not convex and for an image without
// pixels.
float calc_area(const std::vector<cv::Point_<float>>& box, const cv::Mat& image);

// The combined verdict, tested in this order: is_convex(box), then
// calc_angle(box) not above `max_angle`, then calc_area(box, image) not below
// `min_area_ratio`. Both limits pass at equality; a NaN limit refuses
// nothing. An image without pixels has a covered share of 0.0, so it passes
// only a `min_area_ratio` of 0 or less.
bool is_good_green_box(const std::vector<cv::Point_<float>>& box, const cv::Mat& image,
                       float min_area_ratio, float max_angle);

// ---------------------------------------------------------------------------
// Descriptor matching: brute force, Euclidean distance (NORM_L2), one
// descriptor per row. Both sets must have the same type, CV_32F or CV_8U,
// and the same width; otherwise the matcher's cv::Exception reaches the
// caller, with the records appended before the failure kept. Records are
// appended to `matches`, which is never cleared or read.
//
// A descriptor is matched when its nearest partner is strictly closer than
// (1 - ratio) times its second-nearest one: ratio 0 asks only for a unique
// nearest, ratio 1 or more accepts nothing, and a descriptor with a single
// candidate (a one-row other set) is never matched.

// Matches every row of descriptors1 in the rows of descriptors2, in
// ascending row order; records are the matcher's own (imgIdx 0).
void single_match(const cv::Mat& descriptors1, const cv::Mat& descriptors2,
                  std::vector<cv::DMatch>& matches, float ratio);

// Both directions, each (queryIdx, trainIdx) pair once; queryIdx is always a
// descriptors1 row and trainIdx a descriptors2 row. First come exactly the
// records single_match appends, then the pairs found only from descriptors2's
// side, in ascending descriptors2 row order, with imgIdx -1.
void double_match(const cv::Mat& descriptors1, const cv::Mat& descriptors2,
                  std::vector<cv::DMatch>& matches, float ratio);

// ---------------------------------------------------------------------------
// Working-directory housekeeping. Silent on every failure; null arguments
// are harmless.

// out_path = dir_path + "/" + entry_name, with a single separator. out_path
// must have room for strlen(dir_path) + strlen(entry_name) + 2 bytes and may
// be dir_path itself. An empty dir_path yields entry_name alone; a null
// dir_path or entry_name yields "".
void getFilePath(const char* dir_path, const char* entry_name, char* out_path);
// Deletes a regular file, or everything below a directory (which stays);
// emptied subdirectories are removed. Never follows a symbolic link, not even
// one swapped in during the walk: links and special files stay, and so does
// every directory holding one. Nor does it cross into a file system mounted
// below `path` (another device, or a bind mount of the same one): the mount
// point, all below it and the directories holding it stay. The filesystem
// root (however spelled) and "" are never touched. Paths of any length work;
// subdirectories more than 127 levels below `path` are left in place.
void deleteFile(const char* path);
// True when `path` can be opened as a directory (a symbolic link to one
// counts); false for nullptr and "".
bool isFloderexit(const char* path);

#endif  // ZEMB_STITCHER_H

// The steps of stitching a set of photos: describing each photo, choosing
// the pairs to match, matching them, and grouping the photos the confident
// pairs join.
#ifndef ZEMB_PHOTOS_INTERNAL_H
#define ZEMB_PHOTOS_INTERNAL_H

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/stitching/detail/matchers.hpp>

#include "zemb/options.h"

namespace zemb {
namespace photos {

// A photo's SIFT features on a gray copy reduced by `scale` (keypoints in
// that copy's pixels, img_size its size).
struct Described {
  cv::detail::ImageFeatures features;
  double scale = 1.0;
  bool faint = false;  // described again at faint_contrast_threshold
};

// Every photo described, in parallel.
std::vector<Described> describe(const std::vector<cv::Mat>& images, const PhotoMatchOptions& options);

// The order the photos are worked on: `result[k]` is the k-th, counted in
// the order given. Where every pair is matched, an order the photos'
// contents give, so that a set gives one panorama in any order.
std::vector<int> working_order(const std::vector<cv::Mat>& images, const PhotoMatchOptions& options);

// The pairs to match, as the NxN CV_8U mask cv::detail's matchers read (the
// upper triangle set): every pair of a set of up to all_pairs_up_to photos;
// in a larger one each photo's neighbours in the order given and its
// shortlist of the photos most alike.
cv::Mat pairs_to_try(const std::vector<Described>& photos, const PhotoMatchOptions& options);

// The photos most alike each photo by a histogram of visual words (SIFT
// descriptors clustered), `count` of them, most alike first.
std::vector<std::vector<int>> most_alike(const std::vector<Described>& photos, int count);

// One matched pair, i < j, with its confidence as cv::detail's matchers
// count it (inliers / (8 + 0.3 matches)), not capped.
struct MatchedPair {
  int i = 0, j = 0;
  int matches = 0, inliers = 0;
  double confidence = 0;
  std::vector<cv::Point2f> i_points, j_points;  // the inliers, in the photos' own pixels
};

// Every pair the mask names, matched by cv::detail::BestOf2NearestMatcher's
// rules (ratio test both ways, one RANSAC homography) with each photo's
// descriptors indexed once.
std::vector<MatchedPair> match_pairs(const std::vector<Described>& photos, const cv::Mat& mask,
                                     const PhotoMatchOptions& options);

// Whether a pair reaches the confidence that joins its photos.
bool confident(const MatchedPair& pair, const PhotoMatchOptions& options);

// The pair of `photo` with the most confidence; among equals (none
// confident enough to fit a homography), the one with the most matches.
// None when the photo is in no pair.
const MatchedPair* best_pair_of(int photo, const std::vector<MatchedPair>& pairs);

// The photos the confident pairs join into the largest group, in the order
// a maximum spanning tree (by confidence) reaches them from the photo most
// confidently joined: neighbours in that order overlap, which the render's
// windows of keyframes rely on. Empty when no pair is confident.
std::vector<int> largest_group_in_tree_order(int count, const std::vector<MatchedPair>& kept);

// The focal length, as a fraction of each photo's diagonal, with which one
// rotation of the camera explains the most of the confident pairs: a pair's
// homography tells one (cv::detail's rule), but a pan's tells it poorly
// (from half to twice the truth on a bare room), so the lens is searched
// for over the range cameras have. 0 when no lens explains a pair.
double turning_focal(const std::vector<MatchedPair>& kept, const std::vector<cv::Size>& sizes,
                     const PhotoMatchOptions& options);

// How many of the pair's inliers one rotation of a camera of that focal
// length about its centre explains, within `tolerance` of the photo's
// diagonal.
int rotation_inliers(const MatchedPair& pair, const std::vector<cv::Size>& sizes, double focal, double tolerance);

// The pairs a turning camera's photos are joined by: the confident ones,
// less those with a photo described again (whose faint features a wrong
// match fits as well as a right one) that one rotation does not explain,
// and the pairs short of the confidence that join groups the others leave
// apart because one rotation explains them (at least min_inliers inliers
// and bridge_min_confidence), the most confident first, one a pair of
// groups. "One rotation explains": turn_share of the inliers within
// turn_tolerance of one rotation with the confident pairs' focal length
// (turning_focal).
std::vector<MatchedPair> kept_for_turning(const std::vector<MatchedPair>& pairs,
                                          const std::vector<Described>& described, const std::vector<cv::Size>& sizes,
                                          const PhotoMatchOptions& options);

}  // namespace photos
}  // namespace zemb

#endif  // ZEMB_PHOTOS_INTERNAL_H

// A set of photos stitched as one problem, with no time limit: every photo
// matched against every other (a large set: against its neighbours in the
// order given and a shortlist of the photos most alike) at the resolution
// features need, pairs kept by a confidence a wrong match cannot reach, the
// largest group the pairs join registered and rendered by zemb::render, as a
// sweep's record is. Photos may come in any order, sizes and orientations.
#ifndef ZEMB_PHOTOS_H
#define ZEMB_PHOTOS_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zemb/options.h"
#include "zemb/render.h"

namespace zemb {

// Why a photo is not in the panorama.
enum class PhotoLeftOut {
  kFewFeatures,      // too few features to match (a blank, dark or blurred photo)
  kNoConfidentPair,  // no pair with it reached the confidence (another scene)
  kSmallerGroup,     // its pairs join it to photos outside the largest group
  kNotPlaced,        // it joined the group, but the render could not place it
};

// "few features", "no confident pair", "smaller group", "not placed".
const char* left_out_name(PhotoLeftOut why);

struct LeftOutPhoto {
  int index = 0;  // in the order given
  PhotoLeftOut why = PhotoLeftOut::kNoConfidentPair;
  std::string message;  // the same for a person, with the figures behind it; photos counted from 1
};

struct PhotoSetReport {
  std::vector<int> placed;  // photos in the panorama, in the order given (ascending)
  std::vector<LeftOutPhoto> left_out;  // the others, ascending
  int pairs_tried = 0;  // pairs matched
  int pairs_kept = 0;   // pairs that reached the confidence
  // Wall time, seconds: describing the photos, matching the pairs, and the
  // render (FinishedPanorama::report has its stages).
  double seconds_features = 0, seconds_matching = 0, seconds_render = 0;
};

struct PhotoPanorama {
  // The render of the photos placed; its report's left_out names photos by
  // their index in the order given, as report.left_out does.
  FinishedPanorama finished;
  PhotoSetReport report;
};

// Stitches `images` (CV_8UC3, any sizes). Fewer than two images, an empty
// or not 8-bit 3-channel one, or options that fail check(): cv::Exception
// (StsBadArg). When no two photos join (nothing to stitch), cv::Exception
// (StsError) whose message names each photo and why it was left out.
PhotoPanorama stitch_photos(const std::vector<cv::Mat>& images, const PhotoSetOptions& options = PhotoSetOptions());

}  // namespace zemb

#endif  // ZEMB_PHOTOS_H

// stitch_photos: describe every photo, match the pairs, keep the confident
// ones, and hand the largest group they join to the render as a record, its
// keyframes in spanning-tree order; then say which photos were left out and
// why. A set whose every pair is matched is worked on in an order its
// photos' contents give, so that it gives one panorama in any order.
#include "zemb/photos.h"

#include <algorithm>
#include <set>

#include "photos/photos_internal.h"
#include "zemb/record.h"

namespace zemb {

namespace {

using photos::Described;
using photos::MatchedPair;

void check_images(const std::vector<cv::Mat>& images) {
  if (images.size() < 2) CV_Error(cv::Error::StsBadArg, "stitch_photos: fewer than two photos");
  for (std::size_t i = 0; i < images.size(); ++i)
    if (images[i].empty() || images[i].type() != CV_8UC3)
      CV_Error(cv::Error::StsBadArg,
               "stitch_photos: photo " + std::to_string(i) + " is empty or not 8-bit 3-channel (CV_8UC3)");
}

std::vector<cv::Size> sizes_of(const std::vector<cv::Mat>& images) {
  std::vector<cv::Size> sizes;
  for (const cv::Mat& image : images) sizes.push_back(image.size());
  return sizes;
}

// Faint features fit a wrong match as well as a right one: only a turning
// camera's rotation tells them apart, so only its photos are described
// again.
PhotoMatchOptions describing(const PhotoSetOptions& options) {
  PhotoMatchOptions matching = options.matching;
  if (options.scene != Scene::kTurning) matching.faint_below = 0;
  return matching;
}

// The photos are worked on in another order than the one given: `given[k]`
// is the k-th photo worked on, counted in the order given.
using GivenIndex = std::vector<int>;

// The group as keyframes in `order`, joined by the confident pairs' inliers.
SweepRecord record_of(const std::vector<cv::Mat>& images, const std::vector<int>& order, const GivenIndex& given,
                      const std::vector<MatchedPair>& kept, Scene scene) {
  SweepRecord record;
  record.scene = scene;
  std::vector<int> position(images.size(), -1);
  for (std::size_t k = 0; k < order.size(); ++k) {
    position[std::size_t(order[k])] = static_cast<int>(k);
    Keyframe keyframe;
    keyframe.frame_index = given[std::size_t(order[k])];
    keyframe.image_size = images[std::size_t(order[k])].size();
    record.keyframes.push_back(keyframe);
  }
  for (const MatchedPair& pair : kept) {
    const int a = position[std::size_t(pair.i)], b = position[std::size_t(pair.j)];
    if (a < 0 || b < 0) continue;
    record.links.push_back(a < b ? KeyframeLink{a, b, pair.i_points, pair.j_points}
                                 : KeyframeLink{b, a, pair.j_points, pair.i_points});
  }
  record.image = [&images, order](int k) { return images[std::size_t(order[std::size_t(k)])]; };
  return record;
}

// A person counts photos from 1, in the order given, as a file manager lists
// them; the report's indices count from 0.
std::string number_given(int index) { return std::to_string(index + 1); }

// Photos worked on, listed by their numbers in the order given.
std::string list_text(std::vector<int> photos, const GivenIndex& given) {
  for (int& photo : photos) photo = given[std::size_t(photo)];
  std::sort(photos.begin(), photos.end());
  std::string text;
  for (int photo : photos) text += (text.empty() ? "" : ", ") + number_given(photo);
  return text;
}

// Why a photo outside the group is: too few features, no kept pair (with
// its best pair's figures), or a smaller group of its own.
LeftOutPhoto left_out_photo(int photo, const std::vector<Described>& described, const std::vector<MatchedPair>& pairs,
                            const std::vector<MatchedPair>& kept, const PhotoMatchOptions& options, std::size_t largest,
                            const GivenIndex& given) {
  const int features = static_cast<int>(described[std::size_t(photo)].features.keypoints.size());
  const int index = given[std::size_t(photo)];
  if (features < options.min_inliers)
    return {index, PhotoLeftOut::kFewFeatures,
            cv::format("only %d features were found in it (a pair needs %d inliers)", features, options.min_inliers)};
  const MatchedPair* best = photos::best_pair_of(photo, pairs);
  std::set<int> joined_to;
  for (const MatchedPair& pair : kept)
    if (pair.i == photo || pair.j == photo) joined_to.insert(pair.i == photo ? pair.j : pair.i);
  if (joined_to.empty() && (!best || best->matches == 0))
    return {index, PhotoLeftOut::kNoConfidentPair, "no photo it was matched against shares a feature with it"};
  if (joined_to.empty())
    return {index, PhotoLeftOut::kNoConfidentPair,
            cv::format("its best pair, with photo %s, reaches confidence %.2f with %d inliers of %d matches (a pair "
                       "needs %.2f and %d inliers)",
                       number_given(given[std::size_t(best->i == photo ? best->j : best->i)]).c_str(), best->confidence,
                       best->inliers, best->matches, options.min_confidence, options.min_inliers) +
                (photos::confident(*best, options) ? ", but one rotation of the camera does not explain its inliers"
                                                   : "")};
  return {index, PhotoLeftOut::kSmallerGroup,
          "it joins only photos " + list_text(std::vector<int>(joined_to.begin(), joined_to.end()), given) +
              ", outside the largest group of " + std::to_string(largest) + " photos"};
}

std::vector<LeftOutPhoto> outside_group(const std::vector<int>& group, const std::vector<Described>& described,
                                        const std::vector<MatchedPair>& pairs, const std::vector<MatchedPair>& kept,
                                        const PhotoMatchOptions& options, const GivenIndex& given) {
  std::vector<LeftOutPhoto> left_out;
  const std::set<int> in_group(group.begin(), group.end());
  for (int photo = 0; photo < static_cast<int>(described.size()); ++photo)
    if (!in_group.count(photo))
      left_out.push_back(left_out_photo(photo, described, pairs, kept, options, group.size(), given));
  return left_out;
}

std::string reasons_text(const std::vector<LeftOutPhoto>& left_out) {
  std::string text;
  for (const LeftOutPhoto& photo : left_out)
    text += (text.empty() ? "" : "; ") + ("photo " + number_given(photo.index) + ": " + photo.message);
  return text;
}

// The render's report names keyframes; the photos' report names photos.
void name_photos(const std::vector<int>& order, const GivenIndex& given, PhotoPanorama& result) {
  std::vector<int>& render_left_out = result.finished.report.left_out;
  for (int& keyframe : render_left_out) {
    keyframe = given[std::size_t(order[std::size_t(keyframe)])];
    result.report.left_out.push_back({keyframe, PhotoLeftOut::kNotPlaced,
                                      "its correspondences did not survive the render's own fit of its pairs"});
  }
  std::sort(render_left_out.begin(), render_left_out.end());
  const std::set<int> unplaced(render_left_out.begin(), render_left_out.end());
  for (int photo : order)
    if (!unplaced.count(given[std::size_t(photo)])) result.report.placed.push_back(given[std::size_t(photo)]);
  std::sort(result.report.placed.begin(), result.report.placed.end());
  std::sort(result.report.left_out.begin(), result.report.left_out.end(),
            [](const LeftOutPhoto& a, const LeftOutPhoto& b) { return a.index < b.index; });
}

}  // namespace

const char* left_out_name(PhotoLeftOut why) {
  switch (why) {
    case PhotoLeftOut::kFewFeatures: return "few features";
    case PhotoLeftOut::kNoConfidentPair: return "no confident pair";
    case PhotoLeftOut::kSmallerGroup: return "smaller group";
    case PhotoLeftOut::kNotPlaced: return "not placed";
  }
  return "unknown";
}

void PhotoMatchOptions::check() const {
  for_each_field(*this, [](const char* name, const auto& value, double low, double high, const char*) {
    check_field(std::string("PhotoMatchOptions::") + name, value, low, high);
  });
}

void PhotoSetOptions::check() const {
  check_field("PhotoSetOptions::scene", scene, 0, 1);
  matching.check();
  render.check();
}

PhotoPanorama stitch_photos(const std::vector<cv::Mat>& given_images, const PhotoSetOptions& options) {
  options.check();
  check_images(given_images);
  const GivenIndex given = photos::working_order(given_images, options.matching);
  std::vector<cv::Mat> images;
  for (int index : given) images.push_back(given_images[std::size_t(index)]);
  PhotoPanorama result;
  PhotoSetReport& report = result.report;
  cv::TickMeter clock;
  clock.start();
  const std::vector<Described> described = photos::describe(images, describing(options));
  clock.stop();
  report.seconds_features = clock.getTimeSec();
  clock.reset();
  clock.start();
  const std::vector<MatchedPair> pairs =
      photos::match_pairs(described, photos::pairs_to_try(described, options.matching), options.matching);
  std::vector<MatchedPair> kept;
  if (options.scene == Scene::kTurning) {
    kept = photos::kept_for_turning(pairs, described, sizes_of(images), options.matching);
  } else {
    std::copy_if(pairs.begin(), pairs.end(), std::back_inserter(kept),
                 [&](const MatchedPair& pair) { return photos::confident(pair, options.matching); });
  }
  const std::vector<int> order = photos::largest_group_in_tree_order(static_cast<int>(images.size()), kept);
  report.pairs_tried = static_cast<int>(pairs.size());
  report.pairs_kept = static_cast<int>(kept.size());
  report.left_out = outside_group(order, described, pairs, kept, options.matching, given);
  clock.stop();
  report.seconds_matching = clock.getTimeSec();
  if (order.size() < 2)
    CV_Error(cv::Error::StsError, "stitch_photos: no two photos join; " + reasons_text(report.left_out));
  clock.reset();
  clock.start();
  // Every pair worth matching has been matched: the render has no other
  // photos to look for links in.
  RenderOptions render_options = options.render;
  render_options.match_unlinked = false;
  try {
    result.finished = render(record_of(images, order, given, kept, options.scene), render_options);
  } catch (const cv::Exception& e) {
    // The photos were checked: what the render refuses is the registration.
    CV_Error(cv::Error::StsError,
             "stitch_photos: the render could not place photos " + list_text(order, given) + " (" + e.err + ")");
  }
  name_photos(order, given, result);
  clock.stop();
  report.seconds_render = clock.getTimeSec();
  return result;
}

}  // namespace zemb

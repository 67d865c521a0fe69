// zemb::stitch_photos on small photo sets made from a full-sphere photo of
// the repository (data/equirect), where the truth is known: the ordinary
// sets a stream could not place, in any order, with photos of other sizes
// and orientations, a photo of another scene among them, and a set large
// enough to be matched by neighbours and shortlist.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <set>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/matchers.hpp>

#include "photos/photos_internal.h"
#include "synthetic_sweep.h"
#include "zemb/photos.h"

namespace {

struct PhotoSet {
  std::vector<cv::Mat> photos;
  double focal = 0;  // true focal length, photo pixels
};

const cv::Mat& sphere_photo() {
  static const cv::Mat photo = cv::imread(std::string(ZEMB_SOURCE_DIR) + "/data/equirect/bma_park.jpg");
  return photo;
}

// An office of white walls, a few screens and windows.
const cv::Mat& office_photo() {
  static const cv::Mat photo = cv::imread(std::string(ZEMB_SOURCE_DIR) + "/data/equirect/office_ambientcg.jpg");
  return photo;
}

// Photos a camera at the centre of the sphere takes, turning `pan` degrees
// between them over `turn` degrees.
PhotoSet sphere_set(cv::Size frame, double pan, double turn, const cv::Mat& sphere = sphere_photo()) {
  zemb_tools::SweepSettings settings;
  settings.camera = zemb_tools::SweepCamera::sphere;
  settings.sphere.frame = frame;
  settings.sphere.fov_deg = 65;
  settings.sphere.pan_step_deg = pan;
  settings.sphere.turn_deg = turn;
  PhotoSet set;
  for (const zemb_tools::SweepFrame& frame_made : zemb_tools::make_sweep(sphere, settings)) {
    set.photos.push_back(frame_made.camera_frame);
    set.focal = frame_made.focal;
  }
  return set;
}

// The landscape set (1620x1080, about 58 % overlap) and the portrait one
// (810x1080, about 38 %), reduced three times.
PhotoSet landscape_set() { return sphere_set({540, 360}, 27, 189); }
PhotoSet portrait_set() { return sphere_set({270, 360}, 31.7, 158.5); }

cv::Mat stranger(cv::Size size) {
  cv::Mat photo = cv::imread(std::string(ZEMB_SOURCE_DIR) + "/data/photos/life.jpg"), out;
  cv::resize(photo(cv::Rect(0, 0, photo.cols / 2, photo.rows / 2)), out, size, 0, 0, cv::INTER_AREA);
  return out;
}

std::vector<int> all_of(std::size_t count) {
  std::vector<int> all(count);
  std::iota(all.begin(), all.end(), 0);
  return all;
}

TEST(StitchPhotos, TheOrdinarySetsPlaceEveryPhotoWithTheTrueLens) {
  ASSERT_FALSE(sphere_photo().empty());
  for (const PhotoSet& set : {landscape_set(), portrait_set()}) {
    const zemb::PhotoPanorama result = zemb::stitch_photos(set.photos);
    EXPECT_EQ(result.report.placed, all_of(set.photos.size()));
    EXPECT_TRUE(result.report.left_out.empty());
    const zemb::FinishReport& finished = result.finished.report;
    EXPECT_EQ(finished.model, zemb::RenderModel::kRotation) << finished.fallback_message;
    EXPECT_NEAR(finished.focal / set.focal, 1.0, 0.03);
    EXPECT_EQ(result.finished.panorama.size(), finished.size);
    EXPECT_GT(cv::countNonZero(result.finished.mask), 0.6 * result.finished.mask.total());
  }
}

// A photo of another scene is left out, and says why; the order the photos
// come in changes nothing but the numbers the report gives them: the same
// photos join into the same panorama, byte for byte.
TEST(StitchPhotos, AnyOrderGivesTheSamePanoramaAndLeavesAStrangerOut) {
  PhotoSet set = landscape_set();
  const std::size_t count = set.photos.size();
  set.photos.push_back(stranger(set.photos[0].size()));
  std::vector<int> order = all_of(set.photos.size());
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  std::vector<cv::Mat> shuffled;
  for (int index : order) shuffled.push_back(set.photos[std::size_t(index)]);

  const zemb::PhotoPanorama result = zemb::stitch_photos(shuffled);
  std::set<int> joined;
  for (int placed : result.report.placed) joined.insert(order[std::size_t(placed)]);
  const std::vector<int> set_photos = all_of(count);
  EXPECT_EQ(joined, std::set<int>(set_photos.begin(), set_photos.end()));
  ASSERT_EQ(result.report.left_out.size(), 1u);
  const zemb::LeftOutPhoto& left = result.report.left_out[0];
  EXPECT_EQ(order[std::size_t(left.index)], int(count));
  EXPECT_EQ(left.why, zemb::PhotoLeftOut::kNoConfidentPair);
  EXPECT_NE(left.message.find("confidence"), std::string::npos) << left.message;
  EXPECT_NEAR(result.finished.report.focal / set.focal, 1.0, 0.03);

  const zemb::PhotoPanorama in_order = zemb::stitch_photos(set.photos);
  ASSERT_EQ(in_order.finished.panorama.size(), result.finished.panorama.size());
  EXPECT_EQ(cv::norm(in_order.finished.panorama, result.finished.panorama, cv::NORM_INF), 0.0);
  ASSERT_EQ(in_order.report.left_out.size(), 1u);
  EXPECT_EQ(in_order.report.left_out[0].index, int(count));
}

// A photo of a bright, bare wall: the scene's gradients kept at a fraction
// of their contrast, as a white wall's shading and edges are.
cv::Mat washed_out(const cv::Mat& photo) {
  cv::Mat faint;
  constexpr double kContrast = 0.15, kWhite = 200;
  photo.convertTo(faint, -1, kContrast, kWhite * (1 - kContrast));
  return faint;
}

// Photos whose gradients are too faint for SIFT's default contrast threshold
// are described again at a lower one: a set of a washed-out scene, where no
// two photos joined, is placed whole, and a washed-out photo of another
// scene still joins nothing.
TEST(StitchPhotos, FaintPhotosJoinAndAFaintStrangerDoesNot) {
  PhotoSet set = landscape_set();
  const std::size_t count = set.photos.size();
  for (cv::Mat& photo : set.photos) photo = washed_out(photo);
  set.photos.push_back(washed_out(stranger(set.photos[0].size())));
  const zemb::PhotoPanorama result = zemb::stitch_photos(set.photos);
  EXPECT_EQ(result.report.placed, all_of(count));
  ASSERT_EQ(result.report.left_out.size(), 1u);
  EXPECT_EQ(result.report.left_out[0].index, int(count));
  EXPECT_EQ(result.report.left_out[0].why, zemb::PhotoLeftOut::kNoConfidentPair) << result.report.left_out[0].message;
  EXPECT_NEAR(result.finished.report.focal / set.focal, 1.0, 0.03);

  zemb::PhotoSetOptions once;  // described once, at SIFT's own threshold
  once.matching.faint_below = 0;
  EXPECT_THROW(zemb::stitch_photos(set.photos, once), cv::Exception);
}

// The matcher's trees are drawn at random: the same photos give the same
// panorama, byte for byte, however many threads the matching runs on.
TEST(StitchPhotos, TheSamePhotosGiveTheSameBytesOnAnyThreads) {
  const PhotoSet set = portrait_set();
  const int threads = cv::getNumThreads();
  const cv::Mat spread = zemb::stitch_photos(set.photos).finished.panorama;
  cv::setNumThreads(1);
  const cv::Mat alone = zemb::stitch_photos(set.photos).finished.panorama;
  cv::setNumThreads(threads);
  ASSERT_EQ(spread.size(), alone.size());
  EXPECT_EQ(cv::norm(spread, alone, cv::NORM_INF), 0.0);
}

// Photos of other sizes (a zoomed-out copy) and orientations (one turned
// upright, as EXIF rotation leaves it) join all the same.
TEST(StitchPhotos, PhotosOfOtherSizesAndOrientationsJoin) {
  PhotoSet set = portrait_set();
  cv::resize(set.photos[1], set.photos[1], cv::Size(), 0.75, 0.75, cv::INTER_AREA);
  cv::rotate(set.photos[3], set.photos[3], cv::ROTATE_90_CLOCKWISE);
  const zemb::PhotoPanorama result = zemb::stitch_photos(set.photos);
  EXPECT_EQ(result.report.placed, all_of(set.photos.size()));
}

// Each photo's descriptors indexed once match a pair as
// cv::detail::BestOf2NearestMatcher does: the same pairs confident, about
// the same matches, and about the same inliers where they are enough to
// count (FLANN's trees are random; a few chance matches fit anything).
TEST(StitchPhotos, PairsMatchAsCvDetailsMatcherMatchesThem) {
  std::vector<cv::Mat> photos = landscape_set().photos;
  photos.push_back(stranger(photos.front().size()));
  const zemb::PhotoMatchOptions options;
  const std::vector<zemb::photos::Described> described = zemb::photos::describe(photos, options);
  const cv::Mat mask = zemb::photos::pairs_to_try(described, options);
  const std::vector<zemb::photos::MatchedPair> pairs = zemb::photos::match_pairs(described, mask, options);
  std::vector<cv::detail::ImageFeatures> features;
  for (const zemb::photos::Described& photo : described) features.push_back(photo.features);
  std::vector<cv::detail::MatchesInfo> table;
  cv::detail::BestOf2NearestMatcher(false, options.match_conf)(features, table);
  const int n = static_cast<int>(photos.size());
  ASSERT_EQ(pairs.size(), std::size_t(n * (n - 1) / 2));
  int confident = 0;
  for (const zemb::photos::MatchedPair& pair : pairs) {
    const cv::detail::MatchesInfo& info = table[std::size_t(pair.i * n + pair.j)];
    const int inliers = info.inliers_mask.size() == info.matches.size() ? info.num_inliers : 0;
    const double confidence = inliers / (8.0 + 0.3 * double(info.matches.size()));
    SCOPED_TRACE(cv::format("pair %d-%d", pair.i, pair.j));
    EXPECT_NEAR(pair.matches, double(info.matches.size()), 5 + 0.05 * double(info.matches.size()));
    if (std::max(pair.inliers, inliers) >= options.min_inliers) {
      EXPECT_NEAR(pair.inliers, inliers, 3 + 0.1 * inliers);
    }
    EXPECT_EQ(zemb::photos::confident(pair, options),
              inliers >= options.min_inliers && confidence >= options.min_confidence);
    EXPECT_EQ(pair.i_points.size(), std::size_t(pair.inliers));
    confident += zemb::photos::confident(pair, options);
    if (pair.j == n - 1) {
      EXPECT_FALSE(zemb::photos::confident(pair, options)) << "the stranger joined";
    }
  }
  EXPECT_GE(confident, n - 2);  // at least a chain through the set
}

// A photo left out is described by its best pair: the most confident, and
// among pairs too few to fit (all at confidence 0) the one with the most
// matches, not the first (whose none said no photo shared a feature).
TEST(StitchPhotos, APhotoLeftOutIsDescribedByItsPairWithTheMostMatches) {
  zemb::photos::MatchedPair none, few, other;
  none.i = 0, none.j = 2;
  few.i = 1, few.j = 2, few.matches = 5;
  other.i = 0, other.j = 1, other.matches = 40, other.confidence = 3;
  const std::vector<zemb::photos::MatchedPair> pairs = {none, few, other};
  ASSERT_NE(zemb::photos::best_pair_of(2, pairs), nullptr);
  EXPECT_EQ(zemb::photos::best_pair_of(2, pairs)->i, 1);
  EXPECT_EQ(zemb::photos::best_pair_of(0, pairs)->j, 1);
  EXPECT_EQ(zemb::photos::best_pair_of(3, pairs), nullptr);
}

// The office's bare walls: photos described again where SIFT's threshold
// finds too little, groups bridged where one rotation explains their best
// pair, every photo placed with the true lens.
TEST(StitchPhotos, AnOfficesBareWallsNoLongerSplitTheSet) {
  ASSERT_FALSE(office_photo().empty());
  for (const PhotoSet& set : {sphere_set({810, 540}, 27, 189, office_photo()),
                              sphere_set({405, 540}, 31.7, 158.5, office_photo())}) {
    const zemb::PhotoPanorama result = zemb::stitch_photos(set.photos);
    for (const zemb::LeftOutPhoto& left : result.report.left_out) ADD_FAILURE() << left.index << ": " << left.message;
    EXPECT_NEAR(result.finished.report.focal / set.focal, 1.0, 0.03);
    zemb::PhotoSetOptions before;
    before.matching.faint_below = 0;
    before.matching.bridge_min_confidence = before.matching.min_confidence;
    EXPECT_LT(zemb::stitch_photos(set.photos, before).report.placed.size(), set.photos.size());
  }
}

// A bare wall's faint features fit a wrong match as well as a right one
// (photos of the office and of a park reach confidence 1.2 with 20-30
// inliers): a pair with a photo described again is kept only where one
// rotation explains it, and the park's photos join none of the office's.
TEST(StitchPhotos, AnOfficesFaintPhotosJoinNoPhotoOfAnotherScene) {
  const PhotoSet office = sphere_set({810, 540}, 27, 189, office_photo());
  const PhotoSet park = sphere_set({810, 540}, 27, 108);
  std::vector<cv::Mat> photos = office.photos;
  photos.insert(photos.end(), park.photos.begin(), park.photos.end());
  const zemb::PhotoPanorama result = zemb::stitch_photos(photos);
  EXPECT_EQ(result.report.placed, all_of(office.photos.size()));
  for (const zemb::LeftOutPhoto& left : result.report.left_out) {
    EXPECT_GE(left.index, int(office.photos.size())) << left.message;
    EXPECT_EQ(left.why, zemb::PhotoLeftOut::kSmallerGroup) << left.message;
  }
}

// The lens a pair's homography tells is poor on a bare room (from half to
// twice the truth): the lens that checks turns is searched for instead, and
// is found whatever the order the pairs were matched in.
TEST(StitchPhotos, TheLensThatChecksTurnsIsFoundInABareRoom) {
  const PhotoSet set = sphere_set({810, 540}, 27, 189, office_photo());
  zemb::PhotoSetOptions options;
  std::vector<cv::Mat> reversed(set.photos.rbegin(), set.photos.rend());
  for (const std::vector<cv::Mat>& photos : {set.photos, reversed}) {
    const std::vector<zemb::photos::Described> described = zemb::photos::describe(photos, options.matching);
    const std::vector<zemb::photos::MatchedPair> pairs = zemb::photos::match_pairs(
        described, zemb::photos::pairs_to_try(described, options.matching), options.matching);
    std::vector<zemb::photos::MatchedPair> kept;
    std::copy_if(pairs.begin(), pairs.end(), std::back_inserter(kept),
                 [&](const zemb::photos::MatchedPair& pair) { return zemb::photos::confident(pair, options.matching); });
    const std::vector<cv::Size> sizes(photos.size(), photos.front().size());
    const double focal = zemb::photos::turning_focal(kept, sizes, options.matching);
    EXPECT_NEAR(focal * std::hypot(sizes[0].width, sizes[0].height) / set.focal, 1.0, 0.03);
  }
}

// A pair short of the confidence bridges two groups only when one rotation
// of the camera, with the lens the confident pairs agree on, explains its
// inliers: the set's own pairs do; the same inliers seen through a lens 1.3
// times longer (a homography still, not a turn of this camera) do not; and a
// stranger never joins.
TEST(StitchPhotos, GroupsAreBridgedOnlyByAPairOneRotationExplains) {
  const PhotoSet set = landscape_set();
  std::vector<cv::Mat> photos = set.photos;
  photos.push_back(stranger(photos.front().size()));
  zemb::PhotoSetOptions options;
  // The pairs as stitch_photos matches them: in its working order.
  const std::vector<int> given = zemb::photos::working_order(photos, options.matching);
  std::vector<cv::Mat> working;
  for (int index : given) working.push_back(photos[std::size_t(index)]);
  const std::vector<zemb::photos::Described> described = zemb::photos::describe(working, options.matching);
  const std::vector<zemb::photos::MatchedPair> pairs =
      zemb::photos::match_pairs(described, zemb::photos::pairs_to_try(described, options.matching), options.matching);
  std::vector<zemb::photos::MatchedPair> kept;
  std::copy_if(pairs.begin(), pairs.end(), std::back_inserter(kept),
               [&](const zemb::photos::MatchedPair& pair) { return zemb::photos::confident(pair, options.matching); });
  const std::vector<cv::Size> sizes(photos.size(), photos.front().size());
  const double diagonal = std::hypot(sizes[0].width, sizes[0].height);
  const double focal = zemb::photos::turning_focal(kept, sizes, options.matching);
  EXPECT_NEAR(focal * diagonal / set.focal, 1.0, 0.05);
  double weakest_neighbours = 100;
  for (zemb::photos::MatchedPair pair : kept) {
    const double tolerance = options.matching.turn_tolerance;
    EXPECT_GE(zemb::photos::rotation_inliers(pair, sizes, focal, tolerance), 0.9 * pair.inliers);
    const cv::Point2f centre(sizes[0].width * 0.5f, sizes[0].height * 0.5f);
    for (cv::Point2f& point : pair.j_points) point = 1.3f * (point - centre) + centre;
    EXPECT_LT(zemb::photos::rotation_inliers(pair, sizes, focal, tolerance), options.matching.turn_share * pair.inliers);
    if (std::abs(given[std::size_t(pair.j)] - given[std::size_t(pair.i)]) == 1)
      weakest_neighbours = std::min(weakest_neighbours, pair.confidence);
  }
  // The weakest neighbours short of the confidence: the set falls apart
  // unless they bridge it.
  options.matching.min_confidence = weakest_neighbours + 0.01;
  options.matching.bridge_min_confidence = 0.5;
  const zemb::PhotoPanorama bridged = zemb::stitch_photos(photos, options);
  EXPECT_EQ(bridged.report.placed, all_of(set.photos.size()));
  ASSERT_EQ(bridged.report.left_out.size(), 1u);
  EXPECT_EQ(bridged.report.left_out[0].index, int(set.photos.size()));
  options.matching.bridge_min_confidence = options.matching.min_confidence;
  EXPECT_LT(zemb::stitch_photos(photos, options).report.placed.size(), set.photos.size());
}

// Beyond all_pairs_up_to, each photo meets its neighbours in the order given
// and its shortlist: a shuffled set still finds its overlaps.
TEST(StitchPhotos, ALargeSetFindsItsOverlapsByShortlist) {
  const PhotoSet set = landscape_set();
  std::vector<cv::Mat> shuffled = set.photos;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
  zemb::PhotoSetOptions options;
  options.matching.all_pairs_up_to = 4;
  options.matching.neighbours = 1;
  options.matching.shortlist = 3;
  const zemb::PhotoPanorama result = zemb::stitch_photos(shuffled, options);
  EXPECT_EQ(result.report.placed, all_of(shuffled.size()));
  for (const zemb::LeftOutPhoto& left : result.report.left_out) ADD_FAILURE() << left.index << ": " << left.message;
  EXPECT_LT(result.report.pairs_tried, int(shuffled.size() * (shuffled.size() - 1) / 2));
}

TEST(StitchPhotos, RefusesWhatIsNoPhotoSet) {
  const PhotoSet set = portrait_set();
  const auto code_of = [](const std::vector<cv::Mat>& photos, const zemb::PhotoSetOptions& options) {
    try {
      zemb::stitch_photos(photos, options);
    } catch (const cv::Exception& e) {
      return e.code;
    }
    return 0;
  };
  const zemb::PhotoSetOptions defaults;
  EXPECT_EQ(code_of({set.photos[0]}, defaults), cv::Error::StsBadArg);
  EXPECT_EQ(code_of({set.photos[0], cv::Mat()}, defaults), cv::Error::StsBadArg);
  EXPECT_EQ(code_of({set.photos[0], cv::Mat(set.photos[0].size(), CV_8UC1, cv::Scalar(0))}, defaults),
            cv::Error::StsBadArg);
  zemb::PhotoSetOptions wrong;
  wrong.matching.min_inliers = 2;
  EXPECT_EQ(code_of(set.photos, wrong), cv::Error::StsBadArg);
  try {
    zemb::stitch_photos({set.photos[0], stranger(set.photos[0].size())});
    ADD_FAILURE() << "two photos of two scenes were stitched";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsError);
    EXPECT_NE(e.err.find("photo 1: "), std::string::npos) << e.err;
    EXPECT_NE(e.err.find("photo 2: "), std::string::npos) << e.err;
  }
}

}  // namespace

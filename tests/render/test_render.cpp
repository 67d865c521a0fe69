// The finished render: refinement against ground truth, the focal length
// found from the correspondences, keyframes joined by matching, the fallback
// models and the live placements, exposure and seams, and records it must
// survive.
#include <algorithm>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>

#include "render/record_maker.h"
#include "synthetic_sweep.h"
#include "truth_fit.h"
#include "zemb/render.h"
#include "test_support.h"

namespace {

using zemb_test::make_record;
using zemb_test::RecordSettings;

cv::Mat gray(const cv::Mat& image) {
  cv::Mat g;
  cv::cvtColor(image, g, cv::COLOR_BGR2GRAY);
  return g;
}

struct PhotoFit {
  cv::Mat homography;     // panorama pixel -> photo pixel
  double within = 0;      // share of the matched points within `tolerance` of it
};

// Fits one homography from the panorama to the photo by SIFT matches.
PhotoFit fit_to_photo(const zemb::FinishedPanorama& finished, const cv::Mat& photo, double tolerance) {
  const cv::Ptr<cv::SIFT> sift = cv::SIFT::create(3000);
  std::vector<cv::KeyPoint> keys_pano, keys_photo;
  cv::Mat desc_pano, desc_photo;
  sift->detectAndCompute(gray(finished.panorama), finished.mask, keys_pano, desc_pano);
  sift->detectAndCompute(gray(photo), cv::noArray(), keys_photo, desc_photo);
  std::vector<std::vector<cv::DMatch>> knn;
  cv::BFMatcher(cv::NORM_L2).knnMatch(desc_pano, desc_photo, knn, 2);
  std::vector<cv::Point2f> from, to;
  for (const auto& m : knn)
    if (m.size() == 2 && m[0].distance < 0.7f * m[1].distance) {
      from.push_back(keys_pano[std::size_t(m[0].queryIdx)].pt);
      to.push_back(keys_photo[std::size_t(m[0].trainIdx)].pt);
    }
  PhotoFit fit;
  if (from.size() < 20) return fit;
  std::vector<uchar> inliers;
  fit.homography = cv::findHomography(from, to, cv::RANSAC, tolerance, inliers);
  fit.within = double(cv::countNonZero(inliers)) / double(inliers.size());
  return fit;
}

TEST(Render, FewerThanTwoKeyframesThrows) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  RecordSettings settings;
  settings.keyframes = 2;
  for (std::size_t keep : {std::size_t(0), std::size_t(1)}) {
    zemb::SweepRecord record = make_record(zemb_test::small_photo(photo, 0.5), settings).record;
    record.keyframes.resize(keep);
    record.links.clear();
    try {
      zemb::render(record, zemb::RenderOptions());
      ADD_FAILURE() << keep << " keyframes rendered";
    } catch (const cv::Exception& e) {
      EXPECT_EQ(e.code, cv::Error::StsBadArg);
    }
  }
}

// Links that no transform explains, or that one wild transform explains, or
// none: matching the kept images joins the keyframes again; without matching
// the live placements (or live rotations) draw the panorama, and the report
// says why. Wild links never make a refined panorama that does not fit.
TEST(Render, UnusableLinksAreMatchedAgainOrFallBackToLivePlacements) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const cv::Mat small = zemb_test::small_photo(photo, 0.5);
  enum class Garbage { kRandom, kMagnified, kNone };
  for (zemb::Scene scene : {zemb::Scene::kTurning, zemb::Scene::kFlat})
    for (Garbage garbage : {Garbage::kRandom, Garbage::kMagnified, Garbage::kNone})
      for (bool match : {true, false}) {
        RecordSettings settings;
        settings.scene = scene;
        settings.keyframes = 6;
        settings.record_rotations = scene == zemb::Scene::kTurning && !match;
        zemb_test::MadeRecord made = make_record(small, settings);
        cv::RNG rng(3);
        for (zemb::KeyframeLink& link : made.record.links)
          for (std::size_t k = 0; k < link.to_points.size(); ++k)
            link.to_points[k] = garbage == Garbage::kRandom
                                    ? cv::Point2f(rng.uniform(0.f, 360.f), rng.uniform(0.f, 640.f))
                                    : link.from_points[k] * 6.0f;
        if (garbage == Garbage::kNone) made.record.links.clear();
        zemb::RenderOptions options;
        options.match_unlinked = match;
        const zemb::FinishedPanorama finished = zemb::render(made.record, options);
        const zemb::FinishReport& report = finished.report;
        SCOPED_TRACE(testing::Message() << "scene " << int(scene) << " garbage " << int(garbage) << " match "
                                        << match << ": " << report.fallback_message);
        EXPECT_EQ(report.keyframes_used, 6);
        EXPECT_TRUE(report.left_out.empty());
        if (match && garbage != Garbage::kMagnified) {
          EXPECT_TRUE(report.refined);
        }
        if (!match) {
          EXPECT_FALSE(report.refined);
        }
        if (!match && garbage == Garbage::kNone) {
          EXPECT_EQ(report.fallback, zemb::RenderFallback::kUnlinked);
        }
        if (report.refined) {
          EXPECT_LT(report.residual_p90, 2.0);
        } else {
          EXPECT_EQ(report.model, zemb::RenderModel::kLive);
          EXPECT_NE(report.fallback, zemb::RenderFallback::kNone);
          EXPECT_FALSE(report.fallback_message.empty());
        }
        ASSERT_EQ(finished.panorama.type(), CV_8UC3);
        EXPECT_EQ(finished.mask.size(), finished.panorama.size());
        EXPECT_GT(cv::countNonZero(finished.mask), 360 * 640);
      }
}

// The live chain bends; the refined panorama is one plane transform of the
// photo again. The live placements, drawn as they are, are not.
TEST(Render, RefinementRemovesTheBend) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const cv::Mat small = zemb_test::small_photo(photo, 0.5);
  for (zemb::Scene scene : {zemb::Scene::kTurning, zemb::Scene::kFlat}) {
    RecordSettings settings;
    settings.scene = scene;
    settings.bend = 0.01;
    settings.pan_step = 3;  // the plane projection: straight lines stay straight
    const zemb_test::MadeRecord made = make_record(small, settings);
    const zemb::RenderOptions options;
    const zemb::FinishedPanorama finished = zemb::render(made.record, options);
    SCOPED_TRACE(testing::Message() << "scene " << int(scene) << ": " << finished.report.fallback_message);
    ASSERT_TRUE(finished.report.refined);
    EXPECT_GT(fit_to_photo(finished, small, 3.0).within, 0.9);

    zemb::SweepRecord unlinked = made.record;
    unlinked.links.clear();
    zemb::RenderOptions unmatched;
    unmatched.match_unlinked = false;
    EXPECT_LT(fit_to_photo(zemb::render(unlinked, unmatched), small, 3.0).within, 0.8);
  }
}

// The focal length comes from the correspondences, whatever the lens and
// whatever the hint: the field of view of the options or the keyframes'
// recorded focal lengths.
TEST(Render, FocalLengthIsFoundFromTheCorrespondences) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const cv::Mat small = zemb_test::small_photo(photo, 0.5);
  struct Case {
    double lens, pan_step;  // degrees across the kept image's width, and between keyframes
    int keyframes;
    double hint;            // RenderOptions::field_of_view
    double focal_error;     // of the recorded focal lengths; none recorded when 0
  };
  for (const Case& c : {Case{14, 3.5, 10, 65, 0}, Case{80, 16, 5, 65, 0}, Case{20, 5, 8, 60, 0},
                        Case{20, 5, 8, 65, 0.4}, Case{60, 12, 6, 65, -0.5}}) {
    RecordSettings settings;
    settings.field_of_view = c.lens;
    settings.pan_step = c.pan_step;
    settings.keyframes = c.keyframes;
    settings.record_rotations = c.focal_error != 0;
    settings.focal_error = c.focal_error;
    const zemb_test::MadeRecord made = make_record(small, settings);
    zemb::RenderOptions options;
    options.field_of_view = c.hint;
    const zemb::FinishReport report = zemb::render(made.record, options).report;
    SCOPED_TRACE(testing::Message() << c.lens << " degree lens: " << report.fallback_message);
    EXPECT_EQ(report.model, zemb::RenderModel::kRotation);
    EXPECT_EQ(report.fallback, zemb::RenderFallback::kNone);
    EXPECT_NEAR(report.focal / zemb_test::turning_focal(settings), 1.0, 0.03);
    EXPECT_LT(report.residual_p90, 2.0);
  }
}

// A camera that never turned (held still) tells nothing of its focal length:
// the render keeps the hint and gives the frame back unbent, not the widest
// lens the search reaches, which bowed a still clip's frame into a barrel.
TEST(Render, StillCameraGivesItsFrameBackUnbent) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  RecordSettings settings;
  settings.keyframes = 4;
  settings.pan_step = 0;
  settings.wobble = 0;
  settings.bend = 0;
  settings.noise = 0;
  const zemb_test::MadeRecord made = make_record(zemb_test::small_photo(photo, 0.5), settings);
  const zemb::FinishedPanorama finished = zemb::render(made.record, zemb::RenderOptions());
  EXPECT_NEAR(finished.panorama.cols, settings.image.width, 0.02 * settings.image.width);
  EXPECT_NEAR(finished.panorama.rows, settings.image.height, 0.02 * settings.image.height);
  EXPECT_GT(cv::countNonZero(finished.mask), 0.97 * finished.mask.total());
}

// A sweep that reaches past 50 degrees either side goes on a cylinder, which
// bends the photo's straight lines; asked for, a plane keeps them straight.
TEST(Render, WideSweepGoesOnACylinderUnlessAPlaneIsAskedFor) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const cv::Mat small = zemb_test::small_photo(photo, 0.5);
  RecordSettings settings;
  settings.field_of_view = 80;
  settings.pan_step = 16;
  settings.keyframes = 5;
  const zemb_test::MadeRecord made = make_record(small, settings);
  zemb::RenderOptions options;
  const zemb::FinishedPanorama automatic = zemb::render(made.record, options);
  options.surface = zemb::PanoramaSurface::kPlane;
  const zemb::FinishedPanorama plane = zemb::render(made.record, options);
  EXPECT_EQ(plane.report.model, zemb::RenderModel::kRotation) << plane.report.fallback_message;
  EXPECT_GT(fit_to_photo(plane, small, 3.0).within, 0.85);
  EXPECT_LT(fit_to_photo(automatic, small, 3.0).within, 0.7);
}

// A keyframe whose links are lost is linked to its neighbours again from
// its image; one that shows nothing to link is held where the live
// placements put it, and the others are refined all the same.
TEST(Render, KeyframeWithoutLinksIsLinkedAgainOrHeldByItsLivePlacement) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const cv::Mat small = zemb_test::small_photo(photo, 0.5);
  RecordSettings settings;
  settings.field_of_view = 30;
  settings.pan_step = 7;
  zemb_test::MadeRecord made = make_record(small, settings);
  const auto touches = [](const zemb::KeyframeLink& link) { return link.from == 4 || link.to == 4; };
  made.record.links.erase(std::remove_if(made.record.links.begin(), made.record.links.end(), touches),
                          made.record.links.end());
  const zemb::FinishReport matched = zemb::render(made.record, zemb::RenderOptions()).report;
  EXPECT_EQ(matched.model, zemb::RenderModel::kRotation) << matched.fallback_message;
  EXPECT_EQ(matched.keyframes_used, settings.keyframes);
  EXPECT_TRUE(matched.left_out.empty());

  const auto images = made.record.image;
  made.record.image = [images](int i) { return i == 4 ? cv::Mat(images(i).size(), CV_8UC3, cv::Scalar::all(90)) : images(i); };
  const zemb::FinishReport held = zemb::render(made.record, zemb::RenderOptions()).report;
  EXPECT_EQ(held.model, zemb::RenderModel::kRotation) << held.fallback_message;
  EXPECT_EQ(held.keyframes_used, settings.keyframes);
  EXPECT_TRUE(held.left_out.empty());
  EXPECT_NEAR(held.focal / zemb_test::turning_focal(settings), 1.0, 0.03);
}

// A link whose points each pair a facade's window with its twin a period
// along, which one transform explains perfectly well: the live placements
// followed the motion and say otherwise, and the render takes their side.
// Told to trust any correspondence, it takes the twins and misplaces the
// keyframes.
TEST(Render, LinksThatPairTwinsAgainstTheLivePlacementsAreNotTaken) {
  const cv::Mat facade = zemb_tools::periodic_facade(cv::Size(2000, 800));
  RecordSettings settings;
  settings.scene = zemb::Scene::kFlat;
  settings.bend = 0.001;
  zemb_test::MadeRecord made = make_record(facade, settings);
  for (zemb::KeyframeLink& link : made.record.links)
    if (link.to == 5)
      for (cv::Point2f& point : link.to_points) point.x += 130;  // the facade's period across
  const auto placed_within = [&](const zemb::RenderOptions& options) {
    const zemb::FinishedPanorama finished = zemb::render(made.record, options);
    zemb_tools::KeyframePlaces places{made.truth, finished.report.placements,
                                      std::vector<cv::Size>(made.truth.size(), settings.image)};
    return zemb_tools::fit_to_truth(places, 2.0).within;
  };
  EXPECT_GT(placed_within(zemb::RenderOptions()), 0.95);
  zemb::RenderOptions trusting;
  trusting.prior_slack = 1;
  EXPECT_LT(placed_within(trusting), 0.9);
}

// A flat scene seen at a slant fits neither similarities nor (recorded as
// turning) rotations: homographies place it, on the scene's own plane, and
// the report says why the scene's model was not used.
TEST(Render, SlantedFlatSceneIsPlacedByHomographies) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const cv::Mat small = zemb_test::small_photo(photo, 0.5);
  RecordSettings settings;
  settings.scene = zemb::Scene::kFlat;
  settings.slant = 25;
  zemb_test::MadeRecord made = make_record(small, settings);
  for (zemb::Scene recorded : {zemb::Scene::kFlat, zemb::Scene::kTurning}) {
    made.record.scene = recorded;
    const zemb::FinishedPanorama finished = zemb::render(made.record, zemb::RenderOptions());
    const zemb::FinishReport& report = finished.report;
    SCOPED_TRACE(testing::Message() << "recorded as " << int(recorded) << ": " << report.fallback_message);
    EXPECT_EQ(report.model, zemb::RenderModel::kHomography);
    EXPECT_TRUE(report.refined);
    EXPECT_NE(report.fallback, zemb::RenderFallback::kNone);
    EXPECT_FALSE(report.fallback_message.empty());
    EXPECT_LT(report.residual_p90, 4.0);
    EXPECT_GT(fit_to_photo(finished, small, 3.0).within, 0.9);
    // Recorded as turning, the rotations left early (their fit hopeless and
    // the homographies fitting) are still reported as the poor fit they are.
    if (recorded == zemb::Scene::kTurning) {
      EXPECT_EQ(report.fallback, zemb::RenderFallback::kPoorFit);
    }
  }
}

// Keyframes alternately darker and brighter: across the edges of the frames,
// the finished panorama changes no more than it does anywhere else.
TEST(Render, SeamsDoNotShow) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const cv::Mat small = zemb_test::small_photo(photo, 0.5);
  RecordSettings settings;
  settings.scene = zemb::Scene::kFlat;
  settings.slide_jitter = 0;
  zemb_test::MadeRecord made = make_record(small, settings);
  const auto images = made.record.image;
  made.record.image = [images](int i) {
    cv::Mat shaded;
    images(i).convertTo(shaded, -1, i % 2 ? 1.2 : 0.8);
    return shaded;
  };
  const zemb::RenderOptions options;
  const zemb::FinishedPanorama finished = zemb::render(made.record, options);
  ASSERT_TRUE(finished.report.refined) << finished.report.fallback_message;
  const PhotoFit fit = fit_to_photo(finished, small, 3.0);
  ASSERT_FALSE(fit.homography.empty());

  cv::Mat dx;
  cv::Sobel(gray(finished.panorama), dx, CV_32F, 1, 0);
  dx = cv::abs(dx);
  cv::Mat inner;
  cv::erode(finished.mask, inner, cv::Mat(), cv::Point(-1, -1), 8);
  const double everywhere = cv::mean(dx, inner)[0];
  const cv::Mat photo_to_pano = fit.homography.inv();
  for (int i = 1; i < settings.keyframes; ++i) {
    // The left edge of keyframe i, where it first overlaps keyframe i-1.
    std::vector<cv::Point2f> edge = {{0, 0}, {0, float(settings.image.height)}}, placed;
    cv::perspectiveTransform(edge, edge, made.truth[std::size_t(i)]);
    cv::perspectiveTransform(edge, placed, photo_to_pano);
    const int x = cvRound((placed[0].x + placed[1].x) / 2);
    const cv::Rect band = cv::Rect(x - 2, 0, 5, finished.panorama.rows) & cv::Rect(cv::Point(), inner.size());
    EXPECT_LT(cv::mean(dx(band), inner(band))[0], 1.5 * everywhere) << "edge of keyframe " << i;
  }
}

// Records a sweep should never produce, but which must not crash: a clear
// exception or a panorama.
TEST(Render, DegenerateRecordsGiveAPanoramaOrAClearError) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const cv::Mat small = zemb_test::small_photo(photo, 0.5);
  enum class Case { kIdenticalFrames, kCollinearPoints, kFlatPlacements };
  for (zemb::Scene scene : {zemb::Scene::kTurning, zemb::Scene::kFlat})
    for (Case c : {Case::kIdenticalFrames, Case::kCollinearPoints, Case::kFlatPlacements}) {
      RecordSettings settings;
      settings.scene = scene;
      settings.keyframes = 5;
      zemb_test::MadeRecord made = make_record(small, settings);
      const auto images = made.record.image;
      for (zemb::KeyframeLink& link : made.record.links) {
        if (c == Case::kIdenticalFrames) link.to_points = link.from_points;
        for (std::size_t k = 0; c == Case::kCollinearPoints && k < link.from_points.size(); ++k) {
          link.from_points[k] = cv::Point2f(100.0f + k, 300.0f);
          link.to_points[k] = cv::Point2f(40.0f + k, 300.0f);
        }
      }
      for (zemb::Keyframe& keyframe : made.record.keyframes) {
        if (c == Case::kIdenticalFrames) keyframe.placement = made.record.keyframes[0].placement.clone();
        if (c == Case::kFlatPlacements) keyframe.placement.row(2).setTo(0);
      }
      if (c == Case::kIdenticalFrames) made.record.image = [images](int) { return images(0); };
      const zemb::RenderOptions options;
      SCOPED_TRACE(testing::Message() << "scene " << int(scene) << " case " << int(c));
      try {
        const zemb::FinishedPanorama finished = zemb::render(made.record, options);
        EXPECT_EQ(finished.panorama.type(), CV_8UC3);
        EXPECT_GT(cv::countNonZero(finished.mask), 0);
      } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, cv::Error::StsBadArg) << e.what();
      }
    }
}

// A blender that counts what it is fed, to see that the render uses the
// stage it is given; one given fail_at fails on that keyframe.
class CountingBlender : public cv::detail::FeatherBlender {
 public:
  explicit CountingBlender(int fail_at = -1) : fail_at_(fail_at) {}
  void feed(cv::InputArray image, cv::InputArray mask, cv::Point tl) override {
    if (fed == fail_at_) CV_Error(cv::Error::StsNotImplemented, "this blender takes no more");
    ++fed;
    FeatherBlender::feed(image, mask, tl);
  }
  int fed = 0;

 private:
  int fail_at_;
};

// Each compositing stage can be chosen by the options or given as an object,
// as cv::Stitcher's setters take them.
TEST(Render, UsesTheStagesItIsGivenOrThoseTheOptionsName) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  RecordSettings settings;
  settings.keyframes = 4;
  const zemb_test::MadeRecord made = make_record(zemb_test::small_photo(photo, 0.5), settings);
  zemb::RenderOptions options;
  options.exposure = zemb::ExposureCompensation::kChannels;
  options.seams = zemb::SeamFinding::kVoronoi;
  options.blending = zemb::Blending::kFeather;
  const zemb::FinishedPanorama feathered = zemb::render(made.record, options);
  EXPECT_GT(cv::countNonZero(feathered.mask), 0);
  // The blend shows the keyframes where they cover: not black, not another picture.
  cv::Mat gray;
  cv::cvtColor(feathered.panorama, gray, cv::COLOR_BGR2GRAY);
  EXPECT_GT(cv::mean(gray, feathered.mask)[0], 20.0);
  options.blending = zemb::Blending::kMultiBand;
  const zemb::FinishedPanorama multi_band = zemb::render(made.record, options);
  ASSERT_EQ(multi_band.panorama.size(), feathered.panorama.size());
  EXPECT_GT(cv::PSNR(multi_band.panorama, feathered.panorama), 25.0);
  zemb::RenderStages stages;
  const auto blender = cv::makePtr<CountingBlender>();
  stages.blender = blender;
  stages.seam_finder = cv::makePtr<cv::detail::NoSeamFinder>();
  const zemb::FinishedPanorama finished = zemb::render(made.record, zemb::RenderOptions(), stages);
  EXPECT_EQ(blender->fed, finished.report.keyframes_used);
  // A stage's failure is the render's, whatever keyframe is warped meanwhile.
  const auto failing = cv::makePtr<CountingBlender>(1);
  stages.blender = failing;
  try {
    zemb::render(made.record, zemb::RenderOptions(), stages);
    ADD_FAILURE() << "a blender that failed gave a panorama";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsNotImplemented) << e.what();
  }
  EXPECT_EQ(failing->fed, 1);
}

}  // namespace

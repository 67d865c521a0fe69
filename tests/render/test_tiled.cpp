// The finished panorama composed tile by tile: the same pixels as one
// canvas, whatever the tile size, with every blending and seam setting;
// tiles that cover the panorama once, a row at a time; and the pyramid
// written through libvips, which refuses tiles that do not.
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <opencv2/imgcodecs.hpp>

#include "render/record_maker.h"
#include "test_support.h"
#include "zemb/pyramid.h"
#include "zemb/render.h"

namespace {

// Gathers the tiles into one canvas and checks that they come a row of
// tiles at a time, top to bottom, inside the panorama, each pixel once.
class CanvasSink : public zemb::PanoramaSink {
 public:
  void begin(cv::Size size) override {
    EXPECT_TRUE(canvas.empty()) << "begin() twice";
    canvas.create(size, CV_8UC3);
    writes = cv::Mat::zeros(size, CV_8U);
  }
  void write(const cv::Rect& area, const cv::Mat& tile) override {
    EXPECT_EQ(tile.type(), CV_8UC3);
    ASSERT_EQ(tile.size(), area.size());
    ASSERT_EQ(area & cv::Rect(cv::Point(), canvas.size()), area);
    EXPECT_GE(area.y, row_top) << "rows of tiles top to bottom";
    row_top = area.y;
    tile.copyTo(canvas(area));
    writes(area) += 1;
    ++tiles;
  }
  void end() override { ended = cv::countNonZero(writes == 1) == writes.rows * writes.cols; }

  cv::Mat canvas, writes;
  int row_top = 0, tiles = 0;
  bool ended = false;
};

zemb_test::MadeRecord flat_record(const cv::Mat& photo) {
  zemb_test::RecordSettings settings;
  settings.scene = zemb::Scene::kFlat;
  settings.keyframes = 6;
  settings.image = cv::Size(180, 320);
  settings.slide_step = 60;
  return zemb_test::make_record(photo, settings);
}

// Largest difference in grey levels between two panoramas of one size.
double largest_difference(const cv::Mat& a, const cv::Mat& b) {
  EXPECT_EQ(a.size(), b.size());
  if (a.size() != b.size()) return 255;
  return cv::norm(a, b, cv::NORM_INF);
}

TEST(TiledRender, MatchesTheSingleCanvasWithinAGreyLevel) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const zemb_test::MadeRecord made = flat_record(zemb_test::small_photo(photo, 0.35));
  struct Case {
    zemb::Blending blending;
    zemb::SeamFinding seams;
    zemb::ExposureCompensation exposure;
    int tile_size;
  };
  const Case cases[] = {
      {zemb::Blending::kMultiBand, zemb::SeamFinding::kDpColourGradient, zemb::ExposureCompensation::kGain, 32},
      {zemb::Blending::kMultiBand, zemb::SeamFinding::kGraphCut, zemb::ExposureCompensation::kGainBlocks, 100},
      {zemb::Blending::kFeather, zemb::SeamFinding::kVoronoi, zemb::ExposureCompensation::kChannels, 64},
      {zemb::Blending::kNone, zemb::SeamFinding::kNone, zemb::ExposureCompensation::kNone, 40},
  };
  for (const Case& c : cases) {
    zemb::RenderOptions options;
    options.blending = c.blending;
    options.seams = c.seams;
    options.exposure = c.exposure;
    options.tile_size = c.tile_size;
    options.blend_bands = 3;
    SCOPED_TRACE(testing::Message() << "blending " << int(c.blending) << ", tiles of " << c.tile_size);
    const zemb::FinishedPanorama single = zemb::render(made.record, options);
    CanvasSink sink;
    const zemb::FinishReport report = zemb::render_tiled(made.record, options, sink, {});
    EXPECT_TRUE(sink.ended);
    EXPECT_GT(sink.tiles, 2);
    EXPECT_EQ(report.size, single.panorama.size());
    EXPECT_EQ(report.keyframes_used, single.report.keyframes_used);
    EXPECT_LE(largest_difference(sink.canvas, single.panorama), 1.0);
  }
}

TEST(TiledRender, ReducesOnlyPastItsOwnLimit) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const zemb_test::MadeRecord made = flat_record(zemb_test::small_photo(photo, 0.35));
  zemb::RenderOptions options;
  options.max_render_megapixels = 0.1;  // the single canvas is reduced; the tiled render is not
  CanvasSink full;
  const cv::Size full_size = zemb::render_tiled(made.record, options, full).size;
  EXPECT_GT(double(full_size.area()), 0.1e6);
  options.max_pyramid_megapixels = 1;
  options.max_render_megapixels = 40;
  const cv::Size single_size = zemb::render(made.record, options).panorama.size();
  EXPECT_EQ(full_size, single_size);
}

// Records which keyframe copies (by where they lie) each call was given,
// and leaves the masks as they are.
class RecordingSeamFinder : public cv::detail::SeamFinder {
 public:
  void find(const std::vector<cv::UMat>& src, const std::vector<cv::Point>& corners,
            std::vector<cv::UMat>& /*masks*/) override {
    calls.emplace_back();
    for (std::size_t i = 0; i < src.size(); ++i) calls.back().emplace_back(corners[i], src[i].size());
  }
  std::vector<std::vector<cv::Rect>> calls;
};

using RectPair = std::pair<std::vector<int>, std::vector<int>>;

// The pairs of copies of one call that overlap.
std::set<RectPair> overlapping_pairs(const std::vector<cv::Rect>& call) {
  std::set<RectPair> pairs;
  for (std::size_t i = 0; i < call.size(); ++i)
    for (std::size_t j = i + 1; j < call.size(); ++j)
      if (!(call[i] & call[j]).empty())
        pairs.emplace(std::vector<int>{call[i].x, call[i].y, call[i].width, call[i].height},
                      std::vector<int>{call[j].x, call[j].y, call[j].width, call[j].height});
  return pairs;
}

// Past its budget the seam pass goes window by window along the sweep, every
// pair of keyframes that overlap meeting in some window, and the panorama
// stays close to the one whose seams were found all at once.
TEST(TiledRender, FindsSeamsInWindowsPastTheSeamPassBudget) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  zemb_test::RecordSettings settings;
  settings.scene = zemb::Scene::kFlat;
  settings.keyframes = 12;
  settings.image = cv::Size(180, 320);
  settings.slide_step = 40;
  const zemb_test::MadeRecord made = zemb_test::make_record(zemb_test::small_photo(photo, 0.5), settings);
  zemb::RenderOptions whole, windowed;
  windowed.seam_pass_megapixels = 0.15;
  auto all_at_once = cv::makePtr<RecordingSeamFinder>(), in_windows = cv::makePtr<RecordingSeamFinder>();
  zemb::render(made.record, whole, {nullptr, all_at_once, nullptr});
  zemb::render(made.record, windowed, {nullptr, in_windows, nullptr});
  ASSERT_EQ(all_at_once->calls.size(), 1u);
  const std::set<RectPair> overlapping = overlapping_pairs(all_at_once->calls[0]);
  EXPECT_GT(in_windows->calls.size(), 2u);
  std::set<RectPair> met;
  for (const auto& call : in_windows->calls) {
    EXPECT_LT(call.size(), all_at_once->calls[0].size());
    const std::set<RectPair> pairs = overlapping_pairs(call);
    met.insert(pairs.begin(), pairs.end());
  }
  EXPECT_EQ(met, overlapping);

  const zemb::FinishedPanorama seams_at_once = zemb::render(made.record, whole);
  const zemb::FinishedPanorama seams_in_windows = zemb::render(made.record, windowed);
  ASSERT_EQ(seams_in_windows.panorama.size(), seams_at_once.panorama.size());
  EXPECT_EQ(cv::countNonZero(seams_in_windows.mask != seams_at_once.mask), 0);
  cv::Mat difference;
  cv::absdiff(seams_in_windows.panorama, seams_at_once.panorama, difference);
  const double mean = cv::mean(difference.reshape(1))[0];
  std::printf("seams in windows against all at once: mean difference %.2f grey levels\n", mean);
  EXPECT_LT(mean, 3.0);
}

std::string read_text(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(PyramidWriter, WritesTheDeepZoomPyramidAndTheFlatImageWhenItFits) {
  ZEMB_LOAD_PHOTO(photo, "life.jpg");
  const zemb_test::MadeRecord made = flat_record(zemb_test::small_photo(photo, 0.35));
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "zemb_test_pyramid";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  zemb::RenderOptions options;
  options.tile_size = 128;
  CanvasSink canvas;
  const cv::Size size = zemb::render_tiled(made.record, options, canvas).size;

  zemb::PyramidWriter flat(folder.string(), "flat", 40);
  zemb::render_tiled(made.record, options, flat);
  ASSERT_EQ(flat.written().size(), 2u);
  const std::string dzi = read_text(flat.written()[0]);
  EXPECT_NE(dzi.find("Width=\"" + std::to_string(size.width) + "\""), std::string::npos) << dzi;
  EXPECT_NE(dzi.find("Height=\"" + std::to_string(size.height) + "\""), std::string::npos) << dzi;
  EXPECT_TRUE(std::filesystem::is_directory(folder / "flat_files" / "0"));
  // The flat image is the panorama, in OpenCV's channel order.
  EXPECT_EQ(largest_difference(cv::imread(flat.written()[1]), canvas.canvas), 0.0);

  zemb::PyramidWriter pyramid_only(folder.string(), "large", 0.01);
  zemb::render_tiled(made.record, options, pyramid_only);
  EXPECT_EQ(pyramid_only.written().size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(folder / "large.png"));

  // A pyramid already there is never overwritten nor removed.
  zemb::PyramidWriter again(folder.string(), "flat", 40);
  EXPECT_THROW(zemb::render_tiled(made.record, options, again), cv::Exception);
  EXPECT_TRUE(std::filesystem::is_directory(folder / "flat_files" / "0"));
  std::filesystem::remove_all(folder);
}

// Tiles written by hand, right to left within each row: the flat image is
// the panorama they make; a tile outside, one over pixels already written,
// a row left unfinished or tiles missing at the end are refused.
TEST(PyramidWriter, PlacesTilesWithinARowInAnyOrderAndRefusesAnyOtherCover) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "zemb_test_pyramid_tiles";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  cv::Mat panorama(30, 50, CV_8UC3);
  cv::randu(panorama, 0, 256);
  const cv::Rect right(20, 0, 30, 16), left(0, 0, 20, 16), below(0, 16, 50, 14);
  zemb::PyramidWriter writer(folder.string(), "hand", 1);
  writer.begin(panorama.size());
  EXPECT_THROW(writer.write(cv::Rect(40, 0, 20, 16), panorama(cv::Rect(0, 0, 20, 16))), cv::Exception);
  writer.write(right, panorama(right));
  EXPECT_THROW(writer.write(cv::Rect(10, 0, 20, 16), panorama(cv::Rect(10, 0, 20, 16))), cv::Exception);
  EXPECT_THROW(writer.write(below, panorama(below)), cv::Exception);  // the first row is not finished
  writer.write(left, panorama(left));
  EXPECT_THROW(writer.end(), cv::Exception);  // the second row is missing
  writer.write(below, panorama(below));
  writer.end();
  ASSERT_EQ(writer.written().size(), 2u);
  EXPECT_EQ(largest_difference(cv::imread(writer.written()[1]), panorama), 0.0);
  std::filesystem::remove_all(folder);
}

}  // namespace

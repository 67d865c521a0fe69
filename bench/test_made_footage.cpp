// The footage the real-footage benchmark makes for itself, and the order it
// gives shuffled photo sets in.
#include <algorithm>
#include <filesystem>
#include <numeric>
#include <set>

#include <unistd.h>

#include <gtest/gtest.h>

#include "footage.h"
#include "made_footage.h"

namespace {

namespace fs = std::filesystem;

TEST(GivenOrder, ShuffledIsTheSamePermutationEveryTimeAndPlainIsNameOrder) {
  std::vector<int> identity(9);
  std::iota(identity.begin(), identity.end(), 0);
  EXPECT_EQ(zemb_footage::given_order(9, false), identity);
  const std::vector<int> shuffled = zemb_footage::given_order(9, true);
  EXPECT_EQ(shuffled, zemb_footage::given_order(9, true));
  EXPECT_NE(shuffled, identity);
  std::vector<int> sorted = shuffled;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, identity);
  EXPECT_TRUE(zemb_footage::given_order(0, true).empty());
}

class MadeFootage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new fs::path(fs::temp_directory_path() / ("zemb_made_footage_test_" + std::to_string(::getpid())));
    made_ = new std::vector<zemb_footage::MadeFootage>(
        zemb_footage::make_footage({ZEMB_EQUIRECT_DIR, ZEMB_PHOTO_DIR}, folder_->string()));
  }
  static void TearDownTestSuite() {
    fs::remove_all(*folder_);
    delete made_;
    delete folder_;
  }
  static const zemb_footage::MadeFootage& named(const std::string& name) {
    for (const zemb_footage::MadeFootage& made : *made_)
      if (made.footage.name == name) return made;
    throw std::runtime_error("nothing made named " + name);
  }
  static std::vector<cv::Mat> frames_of(const zemb_footage::Footage& footage, bool in_given_order) {
    zemb_footage::FrameSource source(footage, in_given_order);
    std::vector<cv::Mat> frames;
    for (cv::Mat frame; source.next(frame);) frames.push_back(frame);
    return frames;
  }
  static fs::path* folder_;
  static std::vector<zemb_footage::MadeFootage>* made_;
};

fs::path* MadeFootage::folder_ = nullptr;
std::vector<zemb_footage::MadeFootage>* MadeFootage::made_ = nullptr;

TEST_F(MadeFootage, EverySetAndSweepHasItsFramesAndKind) {
  using zemb_footage::FootageKind;
  const std::vector<std::tuple<std::string, FootageKind, std::size_t>> expected = {
      {"park_landscape", FootageKind::photo_set, 8}, {"park_portrait", FootageKind::photo_set, 6},
      {"park_sizes", FootageKind::photo_set, 9},     {"office", FootageKind::photo_set, 12},
      {"coast_overlay", FootageKind::sweep, 150},     {"sea_and_sky", FootageKind::sweep, 120}};
  ASSERT_EQ(made_->size(), expected.size());
  for (const auto& [name, kind, frames] : expected) {
    const zemb_footage::MadeFootage& made = named(name);
    EXPECT_EQ(made.footage.kind, kind) << name;
    EXPECT_EQ(made.footage.turning_only, kind == FootageKind::photo_set) << name;
    EXPECT_FALSE(made.recipe.empty()) << name;
    EXPECT_EQ(frames_of(made.footage, false).size(), frames) << name;
  }
}

TEST_F(MadeFootage, OnlyTheSizesSetVariesItsPhotosSizes) {
  std::set<int> sizes_set, landscape;
  for (const cv::Mat& photo : frames_of(named("park_sizes").footage, false)) sizes_set.insert(photo.cols);
  for (const cv::Mat& photo : frames_of(named("park_landscape").footage, false)) landscape.insert(photo.cols);
  EXPECT_EQ(sizes_set, (std::set<int>{780, 960, 1200}));
  EXPECT_EQ(landscape, (std::set<int>{1620}));
}

TEST_F(MadeFootage, AShuffledSetGivesTheSamePhotosInTheShuffledOrder) {
  zemb_footage::Footage shuffled = named("park_landscape").footage;
  shuffled.shuffled = true;
  const std::vector<cv::Mat> in_name_order = frames_of(shuffled, false), given = frames_of(shuffled, true);
  const std::vector<int> order = zemb_footage::given_order(int(in_name_order.size()), true);
  ASSERT_EQ(given.size(), in_name_order.size());
  for (std::size_t i = 0; i < given.size(); ++i)
    EXPECT_EQ(cv::norm(given[i], in_name_order[std::size_t(order[i])], cv::NORM_INF), 0) << i;
}

TEST_F(MadeFootage, AnUnreadablePhotoFailsRatherThanMakingLess) {
  EXPECT_THROW(zemb_footage::make_footage({"/nonexistent", ZEMB_PHOTO_DIR}, (*folder_ / "none").string()),
               cv::Exception);
}

}  // namespace

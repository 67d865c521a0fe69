// The keyframes' links found between frames: what a caller collects is what
// the links gave, whole keyframes only, and nothing found before the
// keyframes changed.
#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>

#include <gtest/gtest.h>

#include "sweep/background_links.h"

namespace {

using zemb::BackgroundLinks;
using zemb::KeyframeLink;
using namespace std::chrono_literals;

// A capture loop whose last frame started long ago: it has paused, so the
// links are found at once.
void pause_the_loop(BackgroundLinks& links) {
  const BackgroundLinks::Clock::time_point long_ago = BackgroundLinks::Clock::now() - 10s;
  for (auto start : {long_ago, long_ago + 30ms}) {
    links.frame_started(start);
    links.frame_ended();
  }
}

// A link from keyframe `from` with `points` correspondences; `done` is set
// once it has been found.
BackgroundLinks::Link link_of(int from, int points, std::promise<void>* done = nullptr) {
  return [=] {
    KeyframeLink link;
    link.from = from;
    link.from_points.assign(static_cast<std::size_t>(points), cv::Point2f(1, 1));
    link.to_points = link.from_points;
    if (done != nullptr) done->set_value();
    return link;
  };
}

TEST(BackgroundLinks, GivesWholeKeyframesTheirLinksInOrderWithoutTheEmptyOnes) {
  BackgroundLinks links;
  pause_the_loop(links);
  std::promise<void> last;
  links.queue(1, {link_of(0, 3)});
  links.queue(2, {});
  links.queue(3, {link_of(2, 4), link_of(1, 0), link_of(0, 5, &last)});
  last.get_future().wait();
  const auto found = links.collect(1, 3);
  ASSERT_EQ(found.size(), 3u);
  ASSERT_TRUE(found[0] && found[1] && found[2]);
  EXPECT_EQ(found[0]->size(), 1u);
  EXPECT_TRUE(found[1]->empty()) << "a keyframe with nothing to link is linked";
  ASSERT_EQ(found[2]->size(), 2u);
  EXPECT_EQ((*found[2])[0].from, 2);
  EXPECT_EQ((*found[2])[1].from, 0);
}

TEST(BackgroundLinks, LeavesToTheCallerWhatWasForgottenThrewOrIsStillQueued) {
  BackgroundLinks links;
  pause_the_loop(links);
  std::promise<void> found_before;
  links.queue(0, {link_of(0, 3, &found_before)});
  found_before.get_future().wait();
  links.forget();
  std::promise<void> threw;
  links.queue(1, {[&threw]() -> KeyframeLink {
                threw.set_value();
                throw std::runtime_error("no link");
              }});
  threw.get_future().wait();
  // A frame that never ends: nothing more is found.
  links.frame_started(BackgroundLinks::Clock::now());
  std::atomic<int> found_later{0};
  links.queue(2, {[&found_later] {
                ++found_later;
                return KeyframeLink();
              }});
  const auto found = links.collect(0, 3);
  for (const auto& keyframe : found) EXPECT_FALSE(keyframe);
  EXPECT_EQ(found_later, 0);
}

// A keyframe with more links than may wait is linked when asked for, not
// taken for one with none.
TEST(BackgroundLinks, LeavesAKeyframeWithTooManyLinksToTheCaller) {
  BackgroundLinks links;
  links.frame_started(BackgroundLinks::Clock::now());
  links.queue(0, std::vector<BackgroundLinks::Link>(1000, link_of(0, 3)));
  const auto found = links.collect(0, 1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_FALSE(found[0]);
}

}  // namespace

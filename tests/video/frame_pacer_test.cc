#include "video/frame_pacer.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorin {
namespace {

using namespace std::chrono_literals;
using Clock = FramePacer::Clock;

constexpr std::chrono::nanoseconds kInterval = std::chrono::nanoseconds(1s) / 60;

// The capture loop on paper: the first picture is grabbed at once, then each change as it
// comes, but not before the pacer allows.
std::vector<Clock::time_point> grabsOf(const std::vector<Clock::time_point>& changes) {
  const Clock::time_point start{};
  FramePacer pacer(kInterval, start);
  std::vector<Clock::time_point> grabs{start};
  auto notBefore = pacer.taken(start);
  for (const auto change : changes) {
    grabs.push_back(std::max(change, notBefore));
    notBefore = pacer.taken(grabs.back());
  }
  return grabs;
}

TEST(FramePacerTest, AScreenChangingAtTheFrameRateWaitsAQuarterIntervalAtMostWhateverItsPhase) {
  for (int sixteenth = 1; sixteenth < 16; ++sixteenth) {
    SCOPED_TRACE(sixteenth);
    const auto phase = kInterval * sixteenth / 16;
    std::vector<Clock::time_point> changes;
    for (int i = 0; i < 120; ++i) changes.push_back(Clock::time_point{} + phase + kInterval * i);
    const auto grabs = grabsOf(changes);
    // From the second change on, none waits more than what the lead leaves.
    for (std::size_t i = 1; i < changes.size(); ++i) {
      EXPECT_LE(grabs[i + 1] - changes[i], kInterval / 4) << "change " << i;
      EXPECT_GE(grabs[i + 1] - grabs[i], kInterval / 4);
    }
    // Phases that the lead covers are not waited for at all.
    if (sixteenth >= 4) {
      EXPECT_EQ(grabs.back(), changes.back());
    }
  }
}

TEST(FramePacerTest, AScreenChangingFasterThanTheFrameRateIsGrabbedAtTheFrameRate) {
  // A change is always waiting: every grab comes as early as the pacer allows.
  std::vector<Clock::time_point> changes(600, Clock::time_point{});
  const auto grabs = grabsOf(changes);
  for (std::size_t i = 1; i < grabs.size(); ++i) EXPECT_GE(grabs[i] - grabs[i - 1], kInterval / 4);
  // No more than one grab per interval, plus the one ahead.
  const auto span = grabs.back() - grabs.front();
  EXPECT_LE(grabs.size(), std::size_t(span / kInterval) + 2);
  EXPECT_GE(grabs.size(), std::size_t(span / kInterval));

  // After a pause, the slots start again from the grab that ends it.
  FramePacer pacer(kInterval, Clock::time_point{});
  pacer.taken(Clock::time_point{});
  const Clock::time_point late = Clock::time_point{} + 10s;
  EXPECT_EQ(pacer.taken(late), late + kInterval / 4);
}

}  // namespace
}  // namespace quorin

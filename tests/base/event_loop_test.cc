#include "base/event_loop.h"

#include <gtest/gtest.h>

#include <ranges>
#include <thread>
#include <vector>

namespace quorin {
namespace {

TEST(EventLoop, RunsTasksFromOtherThreadsInOrderUntilQuitOrTheDeadline) {
  EventLoop loop;
  std::vector<int> seen;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop.post([&seen, i] { seen.push_back(i); });
    loop.post([&] { loop.quit(); });
  });
  loop.run();
  poster.join();
  EXPECT_TRUE(std::ranges::equal(seen, std::views::iota(0, 100)));

  loop.post([&] { loop.post([&] { seen.clear(); }); });
  EXPECT_TRUE(loop.runUntil([&] { return seen.empty(); }, std::chrono::seconds(2)));
  EXPECT_FALSE(loop.runUntil([] { return false; }, std::chrono::milliseconds(30)));
}

}  // namespace
}  // namespace quorin

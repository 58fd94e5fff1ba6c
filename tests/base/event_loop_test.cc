#include "base/event_loop.h"

#include <gtest/gtest.h>

#include <future>
#include <ranges>
#include <thread>
#include <vector>

namespace quorin {
namespace {

TEST(EventLoop, RunsTasksFromOtherThreadsInOrderUntilQuitOrTheDeadline) {
  EventLoop loop;
  std::vector<int> seen;
  // A quit that comes before run() is kept: run() returns at once and the task waits.
  loop.post([&] { seen.push_back(-1); });
  loop.quit();
  auto early = std::async(std::launch::async, [&] { loop.run(); });
  if (early.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "a quit before run() was lost";
    loop.quit();
  }
  early.wait();
  EXPECT_TRUE(seen.empty());
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop.post([&seen, i] { seen.push_back(i); });
    loop.post([&] { loop.quit(); });
  });
  loop.run();
  poster.join();
  EXPECT_EQ(seen.front(), -1) << "the task kept from the quit run comes first";
  EXPECT_TRUE(std::ranges::equal(seen | std::views::drop(1), std::views::iota(0, 100)));

  loop.post([&] { loop.post([&] { seen.clear(); }); });
  EXPECT_TRUE(loop.runUntil([&] { return seen.empty(); }, std::chrono::seconds(2)));
  EXPECT_FALSE(loop.runUntil([] { return false; }, std::chrono::milliseconds(30)));
}

}  // namespace
}  // namespace quorin

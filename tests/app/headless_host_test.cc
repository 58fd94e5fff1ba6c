#include <gtest/gtest.h>

#include "fakes/child_process.h"

namespace quorin {
namespace {

TEST(HeadlessHost, BusyPortIsAFailedStartWithTheReason) {
  ChildProcess first({QUORIN_HOST_BINARY, "--headless"});
  ASSERT_TRUE(first.waitForLine("Advertising"));
  ChildProcess second({QUORIN_HOST_BINARY, "--headless"});
  EXPECT_TRUE(second.waitForLine("Last error: Address already in use")) << second.output();
  EXPECT_EQ(WEXITSTATUS(second.terminate()), 1);
}

}  // namespace
}  // namespace quorin

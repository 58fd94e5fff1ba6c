#include "base/stage_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quorin {
namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(StageLogTest, WritesOneWholeLinePerMarkKeyedByThePictureTime) {
  const std::string path = testing::TempDir() + "stage_log_test_" + std::to_string(getpid());
  {
    StageLog log(path.c_str());
    ASSERT_TRUE(log.enabled());
    log.mark("grabbed", std::chrono::microseconds(16667), StageLog::Time(std::chrono::nanoseconds(5'000'000'123)));
    // Marks from several threads at once come out as whole lines.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < 200; ++i) log.mark("encodeEnd", std::chrono::microseconds(t * 1000 + i));
      });
    }
    for (auto& thread : threads) thread.join();
  }
  std::istringstream lines(readAll(path));
  std::string first;
  std::getline(lines, first);
  EXPECT_EQ(first, "grabbed 16667 5000000123");
  int count = 0;
  for (std::string stage; lines >> stage;) {
    long long pts = 0;
    long long ns = 0;
    ASSERT_TRUE(lines >> pts >> ns);
    EXPECT_EQ(stage, "encodeEnd");
    EXPECT_GT(ns, 0);
    ++count;
  }
  EXPECT_EQ(count, 800);
  std::remove(path.c_str());
}

TEST(StageLogTest, StaysOffWithoutAFileAndTheProcessLogFollowsTheVariable) {
  EXPECT_FALSE(StageLog(nullptr).enabled());
  EXPECT_FALSE(StageLog("").enabled());
  EXPECT_FALSE(StageLog("/nonexistent-directory/stages").enabled());
  // The test runs without the variable, as a host not being measured does.
  ASSERT_EQ(std::getenv("QUORIN_STAGE_LOG"), nullptr);
  EXPECT_FALSE(StageLog::instance().enabled());
}

}  // namespace
}  // namespace quorin

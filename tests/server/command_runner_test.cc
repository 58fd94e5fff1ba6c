#include "server/command_runner.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace quorin {
namespace {

using Kind = CommandOutcome::Kind;
using namespace std::chrono_literals;

TEST(SpawnCommandRunner, ReportsHowTheCommandEnded) {
  SpawnCommandRunner runner;
  EXPECT_EQ(runner.run({"true"}, 5s), (CommandOutcome{Kind::exited, 0}));
  EXPECT_EQ(runner.run({"sh", "-c", "exit 3"}, 5s), (CommandOutcome{Kind::exited, 3}));
  EXPECT_EQ(runner.run({"quorin-no-such-program"}, 5s), (CommandOutcome{Kind::notStarted, ENOENT}));

  // The child gets default signal handling and its own standard input even when the caller
  // ignores SIGTERM and has a line waiting on its standard input.
  int lines[2];
  ASSERT_EQ(::pipe(lines), 0);
  ASSERT_EQ(::write(lines[1], "leaked\n", 7), 7);
  const int savedInput = ::dup(STDIN_FILENO);
  ::dup2(lines[0], STDIN_FILENO);
  const auto previous = std::signal(SIGTERM, SIG_IGN);
  const auto killed = runner.run({"sh", "-c", "kill -TERM $$; exit 0"}, 5s);
  const auto read = runner.run({"sh", "-c", "read line; test -z \"$line\""}, 5s);
  std::signal(SIGTERM, previous);
  ::dup2(savedInput, STDIN_FILENO);
  for (int fd : {savedInput, lines[0], lines[1]}) ::close(fd);
  EXPECT_EQ(killed, (CommandOutcome{Kind::signalled, SIGTERM}));
  EXPECT_EQ(read, (CommandOutcome{Kind::exited, 0}));
}

TEST(SpawnCommandRunner, SlowCommandIsLeftRunningAndReapedLater) {
  const auto pidFile = std::filesystem::temp_directory_path() /
                       ("quorin-runner-" + std::to_string(::getpid()));
  const auto started = std::chrono::steady_clock::now();
  const auto outcome = SpawnCommandRunner().run(
      {"sh", "-c", "echo $$ > '" + pidFile.string() + "'; exec sleep 1"}, 100ms);
  EXPECT_EQ(outcome, (CommandOutcome{Kind::running, 0}));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);

  // Once it has ended nothing of it remains, not even a zombie.
  pid_t child = 0;
  for (int i = 0; i < 100 && child == 0; ++i, std::this_thread::sleep_for(10ms)) {
    std::ifstream(pidFile) >> child;
  }
  std::filesystem::remove(pidFile);
  ASSERT_GT(child, 0);
  const auto proc = std::filesystem::path("/proc") / std::to_string(child);
  for (int i = 0; i < 500 && std::filesystem::exists(proc); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(std::filesystem::exists(proc)) << "child " << child << " was not reaped";
}

}  // namespace
}  // namespace quorin

#include "server/command_runner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace quorin {
namespace {

using Kind = CommandOutcome::Kind;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const fs::path kScratch = fs::temp_directory_path() / ("quorin-runner-" + std::to_string(::getpid()));

std::size_t threadCount() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/task"), {}));
}

TEST(SpawnCommandRunner, ReportsHowTheCommandEnded) {
  SpawnCommandRunner runner;
  EXPECT_EQ(runner.run({"true"}, 5s), (CommandOutcome{Kind::exited, 0}));
  EXPECT_EQ(runner.run({"/bin/sh", "-c", "exit 3"}, 5s), (CommandOutcome{Kind::exited, 3}));
  EXPECT_EQ(runner.run({"quorin-no-such-program"}, 5s), (CommandOutcome{Kind::notStarted, ENOENT}));

  // Programs are not looked up in PATH, which whoever started the host chose.
  fs::create_directories(kScratch);
  std::ofstream(kScratch / "quorin-in-path") << "#!/bin/sh\nexit 0\n";
  fs::permissions(kScratch / "quorin-in-path", fs::perms::owner_all);
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (kScratch.string() + ":" + path).c_str(), 1);
  const auto fromPath = runner.run({"quorin-in-path"}, 5s);
  ::setenv("PATH", path.c_str(), 1);
  fs::remove_all(kScratch);
  EXPECT_EQ(fromPath, (CommandOutcome{Kind::notStarted, ENOENT}));

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

TEST(SpawnCommandRunner, SlowCommandsAreLeftRunningAndReapedByOneThread) {
  const std::size_t threadsBefore = threadCount();
  const auto started = std::chrono::steady_clock::now();
  SpawnCommandRunner runner;
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(runner.run({"sleep", "0.5"}, i ? 0ms : 100ms), (CommandOutcome{Kind::running, 0}));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_LE(threadCount(), threadsBefore + 1);
  // Once they have ended nothing of them remains, not even a zombie (looked at, not collected).
  siginfo_t child{};
  for (int i = 0; i < 300 && ::waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT) == 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(errno, ECHILD) << "child " << child.si_pid << " was not reaped";
}

}  // namespace
}  // namespace quorin

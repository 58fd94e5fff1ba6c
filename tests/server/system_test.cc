#include "server/system_controller.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "fakes/fake_command_runner.h"
#include "fakes/log_capture.h"
#include "fakes/temporary_folder.h"
#include "server/command_runner.h"
#include "server/host_info.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Action = SystemCommand::Action;
using Kind = CommandOutcome::Kind;
using Lines = std::vector<std::string>;

class SystemControllerTest : public testing::Test {
 protected:
  // Performs `actions` and waits for the lock they may have started.
  void perform(std::initializer_list<Action> actions) {
    SystemController controller(runner_);
    for (const Action action : actions) controller.perform(action);
  }
  Lines ran() const {
    Lines commands;
    for (const auto& [argv, wait] : runner_.calls()) {
      EXPECT_EQ(wait, SystemController::kMaxWait);
      commands.push_back(argv[0] + " " + argv[1]);
    }
    return commands;
  }

  FakeCommandRunner runner_;
  LogCapture log_;
};

TEST_F(SystemControllerTest, EachActionRunsItsCommandsEveryTimeAndFailuresAreLogged) {
  perform({Action::shutdown, Action::restart, Action::sleep, Action::sleep, Action::lock});
  EXPECT_EQ(ran(), (Lines{"systemctl poweroff", "systemctl reboot", "systemctl suspend", "systemctl suspend",
                          "loginctl lock-session", "xset dpms"}));
  EXPECT_EQ(log_.lines(), (Lines{"QuorinRemote: lock: loginctl lock-session exited with status 0; "
                                 "xset dpms force off exited with status 0"}));

  // A failed lock falls back to the screensaver.
  runner_.answer = [](const std::vector<std::string>& argv) -> CommandOutcome {
    if (argv[1] == "poweroff" || argv[0] == "loginctl") return {Kind::exited, 1};
    if (argv[1] == "reboot") return {Kind::notStarted, ENOENT};
    if (argv[1] == "suspend") return {Kind::signalled, SIGKILL};
    return {Kind::running, 0};
  };
  LogCapture failures;
  perform({Action::shutdown, Action::restart, Action::sleep, Action::lock});
  const std::string error = "QuorinRemote: system command error systemctl ";
  EXPECT_EQ(failures.lines(), (Lines{error + "poweroff exited with status 1",
                                     error + "reboot could not be started: No such file or directory",
                                     error + "suspend was ended by signal 9 (Killed)",
                                     "QuorinRemote: lock: loginctl lock-session exited with status 1; xdg-screensaver "
                                     "lock is still running; xset dpms force off is still running"}));
}

TEST_F(SystemControllerTest, CommandsRunInTurnOffTheCallersThreadAndRepeatsAreBounded) {
  std::promise<void> release;
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> ranOnCaller = false;
  runner_.answer = [&, done = release.get_future().share()](const std::vector<std::string>& argv) {
    if (std::this_thread::get_id() == caller) ranOnCaller = true;
    if (argv[1] == "poweroff") done.wait_for(10s);  // held until the commands below are given
    return CommandOutcome{Kind::exited, 0};
  };
  {
    SystemController controller(runner_);
    controller.perform(Action::shutdown);
    while (runner_.calls().empty()) std::this_thread::yield();
    // One lock waits; the others are dropped, and so is whatever exceeds kMaxWaiting.
    for (int i = 0; i < 3; ++i) controller.perform(Action::lock);
    for (int i = 0; i < 20; ++i) controller.perform(Action::sleep);
    release.set_value();
    // Once the last sleep has begun the lock is over, and the next one is taken.
    while (runner_.calls().size() < 3 + SystemController::kMaxWaiting - 1) std::this_thread::yield();
    controller.perform(Action::lock);
  }
  EXPECT_FALSE(ranOnCaller);
  Lines expected{"systemctl poweroff", "loginctl lock-session", "xset dpms"};
  expected.insert(expected.end(), SystemController::kMaxWaiting - 1, "systemctl suspend");
  expected.insert(expected.end(), {"loginctl lock-session", "xset dpms"});
  EXPECT_EQ(ran(), expected);
  EXPECT_EQ(log_.count("QuorinRemote: system command dropped: 8 are still waiting"), 1);
}

TEST(SpawnCommandRunner, ReportsHowTheCommandEnded) {
  SpawnCommandRunner runner;
  EXPECT_EQ(runner.run({"/bin/sh", "-c", "exit 3"}, 5s), (CommandOutcome{Kind::exited, 3}));
  EXPECT_EQ(runner.run({"quorin-no-such-program"}, 5s), (CommandOutcome{Kind::notStarted, ENOENT}));

  // Programs are not looked up in PATH, which whoever started the host chose.
  TemporaryFolder scratch;
  std::ofstream(scratch.path / "quorin-in-path") << "#!/bin/sh\nexit 0\n";
  fs::permissions(scratch.path / "quorin-in-path", fs::perms::owner_all);
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (scratch.path.string() + ":" + path).c_str(), 1);
  EXPECT_EQ(runner.run({"quorin-in-path"}, 5s), (CommandOutcome{Kind::notStarted, ENOENT}));
  ::setenv("PATH", path.c_str(), 1);

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
  auto threadCount = [] { return std::distance(fs::directory_iterator("/proc/self/task"), {}); };
  const auto threadsBefore = threadCount();
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

TEST(HostInfo, DropsEveryLocalCaseSensitivelyInOnePass) {
  const std::pair<const char*, const char*> cases[] = {
      {"studio.local", "studio"},     {"studio.local.lan", "studio.lan"}, {"a.localb.local", "ab"},
      {"studio.LOCAL", "studio.LOCAL"}, {".lo.localcal", ".local"},       {" studio ", " studio "},
      {".local.local", "Quorin Mac"}, {"", "Quorin Mac"}};
  for (const auto& [host, name] : cases) EXPECT_EQ(HostInfo::displayName(host), name) << host;
}

}  // namespace
}  // namespace quorin

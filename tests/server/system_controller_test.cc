#include "server/system_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <future>
#include <thread>

#include "fakes/fake_command_runner.h"
#include "fakes/log_capture.h"

namespace quorin {
namespace {

using Action = SystemCommand::Action;
using Kind = CommandOutcome::Kind;
using Calls = std::vector<FakeCommandRunner::Call>;
using Lines = std::vector<std::string>;

class SystemControllerTest : public testing::Test {
 protected:
  // Performs `actions`, waits for the lock they may have started and returns what ran.
  Calls perform(std::initializer_list<Action> actions) {
    {
      SystemController controller(runner_);
      for (const Action action : actions) controller.perform(action);
    }
    return runner_.calls();
  }
  int runs(const std::string& program) const {
    const Calls calls = runner_.calls();
    return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                          [&](const auto& call) { return call.first[0] == program; }));
  }

  FakeCommandRunner runner_;
  LogCapture log_;
};

TEST_F(SystemControllerTest, EachActionRunsItsCommandsEveryTime) {
  const auto wait = SystemController::kMaxWait;
  EXPECT_EQ(perform({Action::shutdown, Action::restart, Action::sleep, Action::sleep, Action::lock}),
            (Calls{{{"systemctl", "poweroff"}, wait},
                   {{"systemctl", "reboot"}, wait},
                   {{"systemctl", "suspend"}, wait},
                   {{"systemctl", "suspend"}, wait},
                   {{"loginctl", "lock-session"}, wait},
                   {{"xset", "dpms", "force", "off"}, wait}}));
  EXPECT_EQ(log_.lines(), (Lines{"QuorinRemote: lock: loginctl lock-session exited with status 0; "
                                 "xset dpms force off exited with status 0"}));
}

TEST_F(SystemControllerTest, FailuresAreLoggedAndAFailedLockFallsBackToTheScreensaver) {
  runner_.answer = [](const std::vector<std::string>& argv) -> CommandOutcome {
    const std::string& last = argv.back();
    if (last == "poweroff" || argv[0] == "loginctl") return {Kind::exited, 1};
    if (last == "reboot") return {Kind::notStarted, ENOENT};
    if (last == "suspend") return {Kind::signalled, SIGKILL};
    return {Kind::running, 0};
  };
  perform({Action::shutdown, Action::restart, Action::sleep, Action::lock});
  EXPECT_EQ(log_.lines(),
            (Lines{"QuorinRemote: system command error systemctl poweroff exited with status 1",
                   "QuorinRemote: system command error systemctl reboot could not be started: "
                   "No such file or directory",
                   "QuorinRemote: system command error systemctl suspend was ended by signal 9 "
                   "(Killed)",
                   "QuorinRemote: lock: loginctl lock-session exited with status 1; xdg-screensaver "
                   "lock is still running; xset dpms force off is still running"}));
}

TEST_F(SystemControllerTest, RepeatedLocksWaitForTheOneUnderWay) {
  std::promise<void> release;
  runner_.answer = [done = release.get_future().share()](const std::vector<std::string>& argv) {
    if (argv[0] == "loginctl") done.wait();
    return CommandOutcome{Kind::exited, 0};
  };
  {
    SystemController controller(runner_);
    for (int i = 0; i < 60 || (runs("loginctl") == 0 && i < 5000); ++i) {
      controller.perform(Action::lock);
      std::this_thread::yield();
    }
    for (int i = 0; i < 60; ++i) controller.perform(Action::lock);
    EXPECT_EQ(runner_.calls().size(), 1u);
    release.set_value();
    // Once it is over, the next lock runs.
    for (int i = 0; i < 1000 && runs("loginctl") < 2; ++i) {
      controller.perform(Action::lock);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  EXPECT_EQ(runs("loginctl"), 2);
  EXPECT_EQ(runs("xset"), 2);
}

}  // namespace
}  // namespace quorin

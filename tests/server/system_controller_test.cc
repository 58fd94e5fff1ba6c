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

TEST_F(SystemControllerTest, EachActionRunsItsCommandsEveryTime) {
  perform({Action::shutdown, Action::restart, Action::sleep, Action::sleep, Action::lock});
  EXPECT_EQ(ran(), (Lines{"systemctl poweroff", "systemctl reboot", "systemctl suspend",
                          "systemctl suspend", "loginctl lock-session", "xset dpms"}));
  EXPECT_EQ(log_.lines(), (Lines{"QuorinRemote: lock: loginctl lock-session exited with status 0; "
                                 "xset dpms force off exited with status 0"}));
}

TEST_F(SystemControllerTest, FailuresAreLoggedAndAFailedLockFallsBackToTheScreensaver) {
  runner_.answer = [](const std::vector<std::string>& argv) -> CommandOutcome {
    if (argv[1] == "poweroff" || argv[0] == "loginctl") return {Kind::exited, 1};
    if (argv[1] == "reboot") return {Kind::notStarted, ENOENT};
    if (argv[1] == "suspend") return {Kind::signalled, SIGKILL};
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
    for (int i = 0; i < 60 || (runner_.calls().empty() && i < 5000); ++i) {
      controller.perform(Action::lock);
      std::this_thread::yield();
    }
    EXPECT_EQ(runner_.calls().size(), 1u);
    release.set_value();
    // Once it is over, the next lock runs.
    for (int i = 0; i < 1000 && runner_.calls().size() < 3; ++i) {
      controller.perform(Action::lock);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  EXPECT_EQ(ran(), (Lines{"loginctl lock-session", "xset dpms", "loginctl lock-session", "xset dpms"}));
}

}  // namespace
}  // namespace quorin

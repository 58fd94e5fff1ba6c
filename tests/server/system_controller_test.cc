#include "server/system_controller.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

#include "fakes/fake_command_runner.h"
#include "fakes/log_capture.h"

namespace quorin {
namespace {

using Action = SystemCommand::Action;
using Kind = CommandOutcome::Kind;
using std::chrono::milliseconds;

class SystemControllerTest : public testing::Test {
 protected:
  FakeCommandRunner runner_;
  SystemController controller_{runner_};
  LogCapture log_;
};

TEST_F(SystemControllerTest, EachActionRunsItsCommandEveryTime) {
  for (auto action : {Action::shutdown, Action::restart, Action::sleep, Action::sleep, Action::lock}) {
    controller_.perform(action);
  }
  const milliseconds power(5000), none(0);
  EXPECT_EQ(runner_.calls, (decltype(runner_.calls){{{"systemctl", "poweroff"}, power},
                                                    {{"systemctl", "reboot"}, power},
                                                    {{"systemctl", "suspend"}, power},
                                                    {{"systemctl", "suspend"}, power},
                                                    {{"loginctl", "lock-session"}, none}}));
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(SystemControllerTest, OnlyFailedPowerCommandsAreLogged) {
  const std::pair<CommandOutcome, Action> cases[] = {
      {{Kind::exited, 1}, Action::shutdown},       {{Kind::notStarted, ENOENT}, Action::restart},
      {{Kind::signalled, SIGKILL}, Action::sleep}, {{Kind::running, 0}, Action::sleep},
      {{Kind::notStarted, ENOENT}, Action::lock},  {{Kind::exited, 1}, Action::lock}};
  for (const auto& [outcome, action] : cases) {
    runner_.outcome = outcome;
    controller_.perform(action);
  }
  EXPECT_EQ(log_.lines(),
            (std::vector<std::string>{
                "QuorinRemote: system command error systemctl poweroff exited with status 1",
                "QuorinRemote: system command error systemctl reboot could not be started: "
                "No such file or directory",
                "QuorinRemote: system command error systemctl suspend was ended by signal 9 "
                "(Killed)"}));
}

}  // namespace
}  // namespace quorin

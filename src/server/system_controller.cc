#include "server/system_controller.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"

namespace quorin {
namespace {

std::string describe(const std::vector<std::string>& argv, const CommandOutcome& outcome) {
  std::string command;
  for (const auto& arg : argv) command += (command.empty() ? "" : " ") + arg;
  switch (outcome.kind) {
    case CommandOutcome::Kind::exited:
      return command + " exited with status " + std::to_string(outcome.code);
    case CommandOutcome::Kind::signalled:
      return command + " was ended by signal " + std::to_string(outcome.code) + " (" +
             strsignal(outcome.code) + ")";
    case CommandOutcome::Kind::notStarted:
      return command + " could not be started: " + std::strerror(outcome.code);
    case CommandOutcome::Kind::running:
      break;
  }
  return command + " is still running";
}

}  // namespace

SystemController::SystemController(CommandRunner& runner) : runner_(runner) {}

void SystemController::perform(SystemCommand::Action action) {
  switch (action) {
    case SystemCommand::Action::shutdown:
      return runPowerCommand("poweroff");
    case SystemCommand::Action::restart:
      return runPowerCommand("reboot");
    case SystemCommand::Action::sleep:
      return runPowerCommand("suspend");
    case SystemCommand::Action::lock:
      return lockScreen();
  }
}

void SystemController::runPowerCommand(const char* verb) {
  const std::vector<std::string> argv{"systemctl", verb};
  const CommandOutcome outcome = runner_.run(argv, kMaxWait);
  if (outcome.failed()) logLine("system command error " + describe(argv, outcome));
}

void SystemController::lockScreen() {
  runner_.run({"loginctl", "lock-session"}, std::chrono::milliseconds(0));
}

}  // namespace quorin

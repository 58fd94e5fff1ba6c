#include "server/system_controller.h"

#include <cstring>
#include <string>
#include <system_error>
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

SystemController::~SystemController() {
  if (lockThread_.joinable()) lockThread_.join();
}

void SystemController::perform(SystemCommand::Action action) {
  switch (action) {
    case SystemCommand::Action::shutdown:
      return runPowerCommand("poweroff");
    case SystemCommand::Action::restart:
      return runPowerCommand("reboot");
    case SystemCommand::Action::sleep:
      return runPowerCommand("suspend");
    case SystemCommand::Action::lock:
      return startLock();
  }
}

void SystemController::runPowerCommand(const char* verb) {
  const std::vector<std::string> argv{"systemctl", verb};
  const CommandOutcome outcome = runner_.run(argv, kMaxWait);
  if (outcome.failed()) logLine("system command error " + describe(argv, outcome));
}

void SystemController::startLock() {
  // A client repeating the command must not pile up processes and threads.
  if (locking_.exchange(true)) return;
  if (lockThread_.joinable()) lockThread_.join();  // the previous lock, already done
  try {
    lockThread_ = std::thread([this] {
      lockScreen();
      locking_ = false;
    });
  } catch (const std::system_error& error) {
    locking_ = false;
    logLine(std::string("lock: could not start a thread: ") + error.what());
  }
}

void SystemController::lockScreen() {
  std::string report;
  const auto step = [&](const std::vector<std::string>& argv) {
    const CommandOutcome outcome = runner_.run(argv, kMaxWait);
    report += (report.empty() ? "" : "; ") + describe(argv, outcome);
    return outcome.kind == CommandOutcome::Kind::exited && outcome.code == 0;
  };
  if (!step({"loginctl", "lock-session"})) step({"xdg-screensaver", "lock"});
  step({"xset", "dpms", "force", "off"});
  logLine("lock: " + report);
}

}  // namespace quorin

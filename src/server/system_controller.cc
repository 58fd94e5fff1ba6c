#include "server/system_controller.h"

#include <cstring>
#include <string>
#include <system_error>
#include <utility>
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
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (worker_.joinable()) worker_.join();
}

void SystemController::perform(SystemCommand::Action action) {
  const bool isLock = action == SystemCommand::Action::lock;
  std::lock_guard lock(mutex_);
  // A client repeating the lock must not pile up processes.
  if (isLock && locking_) return;
  // Nor may a client that repeats power commands pile up work for minutes.
  if (waiting_.size() >= kMaxWaiting) {
    if (!std::exchange(dropLogged_, true)) {
      logLine("system command dropped: " + std::to_string(kMaxWaiting) + " are still waiting");
    }
    return;
  }
  if (!worker_.joinable()) {
    try {
      worker_ = std::thread([this] { work(); });
    } catch (const std::system_error& error) {
      logLine(std::string("system command error: could not start a thread: ") + error.what());
      return;
    }
  }
  waiting_.push_back(action);
  locking_ = locking_ || isLock;
  dropLogged_ = false;
  wake_.notify_one();
}

void SystemController::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (waiting_.empty()) return;  // stopping, with every command carried out
    const SystemCommand::Action action = waiting_.front();
    waiting_.pop_front();
    lock.unlock();
    carryOut(action);
    lock.lock();
    if (action == SystemCommand::Action::lock) locking_ = false;
  }
}

void SystemController::carryOut(SystemCommand::Action action) {
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

#pragma once
// Carries out the client's power and lock commands at once, without confirmation:
//   shutdown  systemctl poweroff
//   restart   systemctl reboot
//   sleep     systemctl suspend
//   lock      loginctl lock-session (xdg-screensaver lock when that fails), then the display
//             is blanked (xset dpms force off), since a session without a screen locker
//             ignores the lock request without saying so
// A power command that cannot be started or ends in failure writes one line,
// "QuorinRemote: system command error <description>"; a lock writes one line saying what each
// step did. What a program prints is logged by the runner only when it fails, so xset's usage
// text on a server without DPMS (it still exits 0) stays out of the log. Nothing reaches the
// client.
// Thread: perform() on the main thread; it returns at once. The commands run one after
// another, in the order given, on a worker thread of the controller, each program waited for
// at most kMaxWait. A lock is dropped while another one waits or is under way; any command is
// dropped, with one log line, while kMaxWaiting wait. The destructor waits for the commands
// already given.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>

#include "protocol/control_messages.h"
#include "server/command_runner.h"

namespace quorin {

class SystemController {
 public:
  static constexpr std::chrono::milliseconds kMaxWait{5000};
  static constexpr std::size_t kMaxWaiting = 8;

  explicit SystemController(CommandRunner& runner);
  ~SystemController();
  SystemController(const SystemController&) = delete;
  SystemController& operator=(const SystemController&) = delete;

  void perform(SystemCommand::Action action);

 private:
  void work();
  void carryOut(SystemCommand::Action action);
  void runPowerCommand(const char* verb);
  void lockScreen();

  CommandRunner& runner_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<SystemCommand::Action> waiting_;
  bool locking_ = false;  // a lock waits or is under way
  bool dropLogged_ = false;
  bool stopping_ = false;
  std::thread worker_;  // started with the first command
};

}  // namespace quorin

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
// step did. Nothing reaches the client.
// Thread: perform() on the main thread, where a power command blocks for at most kMaxWait.
// A lock runs on a thread of its own so it never blocks; while one is under way further lock
// commands are dropped. The destructor waits for it.

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "protocol/control_messages.h"
#include "server/command_runner.h"

namespace quorin {

class SystemController {
 public:
  static constexpr std::chrono::milliseconds kMaxWait{5000};

  explicit SystemController(CommandRunner& runner);
  ~SystemController();
  SystemController(const SystemController&) = delete;
  SystemController& operator=(const SystemController&) = delete;

  void perform(SystemCommand::Action action);

 private:
  void runPowerCommand(const char* verb);
  void startLock();
  void lockScreen();

  CommandRunner& runner_;
  std::atomic<bool> locking_{false};
  std::thread lockThread_;
};

}  // namespace quorin

#pragma once
// Carries out the client's power and lock commands at once, without confirmation:
//   shutdown  systemctl poweroff
//   restart   systemctl reboot
//   sleep     systemctl suspend
//   lock      loginctl lock-session (started, not waited for)
// A power command that cannot be started or ends in failure writes one line,
// "QuorinRemote: system command error <description>"; a failed lock is silent. Nothing
// reaches the client. perform() never blocks for longer than kMaxWait.
// Thread: the main thread.

#include <chrono>

#include "protocol/control_messages.h"
#include "server/command_runner.h"

namespace quorin {

class SystemController {
 public:
  static constexpr std::chrono::milliseconds kMaxWait{5000};

  explicit SystemController(CommandRunner& runner);

  void perform(SystemCommand::Action action);

 private:
  void runPowerCommand(const char* verb);
  void lockScreen();

  CommandRunner& runner_;
};

}  // namespace quorin

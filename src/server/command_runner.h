#pragma once
// Starting system programs. The interface lets SystemController be tested with a fake;
// SpawnCommandRunner is the real one (posix_spawn).

#include <chrono>
#include <string>
#include <vector>

namespace quorin {

struct CommandOutcome {
  enum class Kind {
    exited,      // ended normally; `code` is its exit status
    signalled,   // ended by a signal; `code` is the signal number
    notStarted,  // could not be started; `code` is the errno value
    running,     // started and not ended within the wait (or its status was taken elsewhere)
  };
  Kind kind = Kind::running;
  int code = 0;

  bool failed() const {
    return (kind == Kind::exited && code != 0) || kind == Kind::signalled ||
           kind == Kind::notStarted;
  }
  bool operator==(const CommandOutcome&) const = default;
};

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Starts argv (argv[0] looked up in PATH) and waits at most `wait` for it to end; a zero
  // wait only starts it. A command still running is left to finish and is reaped without
  // anyone waiting for it. Callable from any thread.
  virtual CommandOutcome run(const std::vector<std::string>& argv,
                             std::chrono::milliseconds wait) = 0;
};

// Children get the caller's environment, standard input from /dev/null, the caller's
// standard output and error, no blocked signals and default signal dispositions.
class SpawnCommandRunner final : public CommandRunner {
 public:
  CommandOutcome run(const std::vector<std::string>& argv,
                     std::chrono::milliseconds wait) override;
};

}  // namespace quorin

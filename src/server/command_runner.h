#pragma once
// Starting system programs. The interface lets SystemController be tested with a fake;
// SpawnCommandRunner is the real one (posix_spawn).

#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

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
  // Starts argv and waits at most `wait` for it to end; a zero wait only starts it. argv[0] is
  // an absolute path, or a name looked up in the system's program folders (never in $PATH, which
  // whoever started the host controls). A command still running is left to finish and is
  // reaped without anyone waiting for it. Callable from any thread.
  virtual CommandOutcome run(const std::vector<std::string>& argv,
                             std::chrono::milliseconds wait) = 0;
};

// Children get the caller's environment, standard input from /dev/null, no other
// descriptor of the caller (a child that outlives the host must not hold its sockets), no
// blocked signals and default signal dispositions. Their standard output and error are
// collected and logged only when the child fails (a non-zero status or a signal), one line
// each, "<program>: <line>", at most kMaxOutput bytes; a child that succeeds stays quiet.
// Program names are looked up in kProgramFolders once each. One thread of the runner reaps
// every child left running (and logs its output if it fails then); while that thread cannot
// be started, children that have ended are reaped whenever another one is left running.
class SpawnCommandRunner final : public CommandRunner {
 public:
  static constexpr const char* kProgramFolders[] = {"/usr/bin", "/bin", "/usr/sbin", "/sbin"};
  static constexpr std::size_t kMaxOutput = 4096;

  SpawnCommandRunner() = default;
  ~SpawnCommandRunner() override;
  SpawnCommandRunner(const SpawnCommandRunner&) = delete;
  SpawnCommandRunner& operator=(const SpawnCommandRunner&) = delete;

  CommandOutcome run(const std::vector<std::string>& argv,
                     std::chrono::milliseconds wait) override;

 private:
  // A child and the memory file that holds its output.
  struct Child {
    pid_t pid;
    int output;
    std::string name;
  };

  std::string programPath(const std::string& name);
  void reapLater(Child child);
  void reapEnded();  // with mutex_ held
  void reapUntilStopped();

  std::mutex mutex_;
  std::map<std::string, std::string> programs_;  // name -> path, "" when not found
  std::vector<Child> unreaped_;
  std::condition_variable reaperWake_;
  bool stopping_ = false;
  std::thread reaper_;
};

}  // namespace quorin

#include "server/command_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <system_error>
#include <thread>

#include "base/log.h"

extern char** environ;

namespace quorin {
namespace {

// Owns one of posix_spawn's C objects for the length of a call.
template <class T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
 public:
  SpawnObject() { Init(&object_); }
  ~SpawnObject() { Destroy(&object_); }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
  T* get() { return &object_; }

 private:
  T object_;
};

using SpawnFileActions = SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                     posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

CommandOutcome outcomeOf(int status) {
  if (WIFEXITED(status)) return {CommandOutcome::Kind::exited, WEXITSTATUS(status)};
  return {CommandOutcome::Kind::signalled, WTERMSIG(status)};
}

// Logs what a child wrote when it failed, and closes the file that holds it either way: a
// failing program's explanation belongs in the log, a working one's chatter (xset's usage
// text where DPMS is missing) does not.
void settleOutput(int output, const std::string& name, const CommandOutcome& outcome) {
  if (outcome.failed()) {
    std::string text(SpawnCommandRunner::kMaxOutput, '\0');
    const ssize_t size = ::pread(output, text.data(), text.size(), 0);
    text.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = std::min(text.find('\n', start), text.size());
      if (end > start) logLine(name + ": " + text.substr(start, end - start));
      start = end + 1;
    }
  }
  ::close(output);
}

// How often children left running are looked at.
constexpr auto kReapInterval = std::chrono::milliseconds(100);

}  // namespace

SpawnCommandRunner::~SpawnCommandRunner() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  reaperWake_.notify_all();
  if (reaper_.joinable()) reaper_.join();
  for (const Child& child : unreaped_) ::close(child.output);
}

std::string SpawnCommandRunner::programPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  std::lock_guard lock(mutex_);
  const auto [found, added] = programs_.try_emplace(name);
  if (added) {
    for (const char* folder : kProgramFolders) {
      const std::string path = std::string(folder) + "/" + name;
      if (::access(path.c_str(), X_OK) == 0) {
        found->second = path;
        break;
      }
    }
  }
  return found->second;
}

CommandOutcome SpawnCommandRunner::run(const std::vector<std::string>& argv,
                                       std::chrono::milliseconds wait) {
  if (argv.empty()) return {CommandOutcome::Kind::notStarted, EINVAL};
  const std::string program = programPath(argv[0]);
  if (program.empty()) return {CommandOutcome::Kind::notStarted, ENOENT};
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  args.push_back(const_cast<char*>(program.c_str()));
  for (std::size_t i = 1; i < argv.size(); ++i) args.push_back(const_cast<char*>(argv[i].c_str()));
  args.push_back(nullptr);

  // A memory file rather than a pipe: a child left running may write on after we stopped
  // reading, without blocking or dying of SIGPIPE.
  const int output = ::memfd_create("quorin-command-output", MFD_CLOEXEC);
  if (output < 0) return {CommandOutcome::Kind::notStarted, errno};
  SpawnFileActions actions;
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions.get(), output, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(actions.get(), output, STDERR_FILENO);
  posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
  // Ignored and blocked signals survive exec; a child starts with neither (network code
  // commonly ignores SIGPIPE, and the calling thread may block signals).
  SpawnAttributes attributes;
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(attributes.get(), &none);
  posix_spawnattr_setsigdefault(attributes.get(), &all);
  posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  const int error =
      ::posix_spawn(&pid, args[0], actions.get(), attributes.get(), args.data(), environ);
  if (error != 0) {
    ::close(output);
    return {CommandOutcome::Kind::notStarted, error};
  }

  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) {
      const CommandOutcome outcome = outcomeOf(status);
      settleOutput(output, argv[0], outcome);
      return outcome;
    }
    // ECHILD: someone else collected it (SIGCHLD ignored process-wide); its status is gone.
    if (ended < 0 && errno != EINTR) {
      ::close(output);
      return {CommandOutcome::Kind::running, 0};
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  reapLater({pid, output, argv[0]});
  return {CommandOutcome::Kind::running, 0};
}

void SpawnCommandRunner::reapLater(Child child) {
  std::lock_guard lock(mutex_);
  unreaped_.push_back(std::move(child));
  reapEnded();
  if (!reaper_.joinable()) {
    try {
      reaper_ = std::thread([this] { reapUntilStopped(); });
    } catch (const std::system_error&) {
      // Out of threads: the next run() reaps what has ended by then.
    }
  }
  reaperWake_.notify_all();
}

void SpawnCommandRunner::reapEnded() {
  std::erase_if(unreaped_, [](const Child& child) {
    int status = 0;
    const pid_t ended = ::waitpid(child.pid, &status, WNOHANG);
    if (ended == child.pid) {
      settleOutput(child.output, child.name, outcomeOf(status));
      return true;
    }
    // ECHILD: someone else collected it, and its status with it.
    if (ended < 0 && errno == ECHILD) {
      ::close(child.output);
      return true;
    }
    return false;
  });
}

void SpawnCommandRunner::reapUntilStopped() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    reapEnded();
    if (unreaped_.empty()) {
      reaperWake_.wait(lock);
    } else {
      reaperWake_.wait_for(lock, kReapInterval);
    }
  }
}

}  // namespace quorin

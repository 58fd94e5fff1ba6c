#include "server/command_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>
#include <thread>

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

  SpawnFileActions actions;
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
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
  if (error != 0) return {CommandOutcome::Kind::notStarted, error};

  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) return outcomeOf(status);
    // ECHILD: someone else collected it (SIGCHLD ignored process-wide); its status is gone.
    if (ended < 0 && errno != EINTR) return {CommandOutcome::Kind::running, 0};
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  reapLater(pid);
  return {CommandOutcome::Kind::running, 0};
}

void SpawnCommandRunner::reapLater(pid_t pid) {
  std::lock_guard lock(mutex_);
  unreaped_.push_back(pid);
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
  std::erase_if(unreaped_, [](pid_t pid) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    // ECHILD: someone else collected it.
    return ended == pid || (ended < 0 && errno == ECHILD);
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

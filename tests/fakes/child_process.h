#pragma once
// A program run as a child for end-to-end tests: its stdout is read line by line, it can be
// asked for its memory and stopped with a signal. Killed if still running at destruction.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace quorin {

class ChildProcess {
 public:
  // `environment` entries ("NAME=value") are added to (or replace) this process's variables;
  // env(1) sets them and then becomes the program, keeping the pid. With `withStderr` the
  // output holds the child's standard error too (the host's log lines).
  explicit ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& environment = {},
                        bool withStderr = false) {
    argv.insert(argv.begin(), environment.begin(), environment.end());
    argv.insert(argv.begin(), "/usr/bin/env");
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (withStderr) posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ~ChildProcess() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    if (out_ >= 0) close(out_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }  // for the benchmarks' CPU readings

  // Reads output until a line starts with `prefix`; false at the end of the output or when
  // `timeout` passes first.
  bool waitForLine(const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        const std::size_t start = output_.size();
        output_.append(pending_, 0, end + 1);
        pending_.erase(0, end + 1);
        if (output_.compare(start, prefix.size(), prefix) == 0) return true;
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return false;
    }
  }

  // Waits for the child to end by itself; its wait status, or -1 after `timeout`.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int status = 0; std::chrono::steady_clock::now() < deadline;) {
      readSome(50);
      if (waitpid(pid_, &status, WNOHANG) != pid_) continue;
      pid_ = -1;
      while (readSome(0)) {
      }
      output_ += std::exchange(pending_, {});
      return status;
    }
    return -1;
  }

  int terminate() {
    kill(pid_, SIGTERM);
    return wait();
  }

  // Resident memory in KiB (VmRSS), 0 when unknown.
  long residentKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string word;
    long kib = 0;
    while (status >> word && word != "VmRSS:") {
    }
    status >> kib;
    return kib;
  }

  // Everything read so far (whole lines, and after wait() the rest).
  const std::string& output() const { return output_; }

 private:
  bool readSome(int timeoutMs) {
    pollfd fd{out_, POLLIN, 0};
    char buffer[4096];
    const ssize_t n = poll(&fd, 1, timeoutMs) > 0 ? read(out_, buffer, sizeof buffer) : 0;
    if (n > 0) pending_.append(buffer, static_cast<std::size_t>(n));
    return n > 0;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_, output_;
};

}  // namespace quorin

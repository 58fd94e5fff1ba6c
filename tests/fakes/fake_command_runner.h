#pragma once
// A CommandRunner that records what it is asked to run and answers with `answer` (tests only).
// It may be called from SystemController's lock thread.

#include <functional>
#include <mutex>
#include <utility>

#include "server/command_runner.h"

namespace quorin {

class FakeCommandRunner final : public CommandRunner {
 public:
  using Call = std::pair<std::vector<std::string>, std::chrono::milliseconds>;

  // Set before the runner is used; it may block to hold a command "running".
  std::function<CommandOutcome(const std::vector<std::string>& argv)> answer =
      [](const auto&) { return CommandOutcome{CommandOutcome::Kind::exited, 0}; };

  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  CommandOutcome run(const std::vector<std::string>& argv, std::chrono::milliseconds wait) override {
    std::unique_lock lock(mutex_);
    calls_.emplace_back(argv, wait);
    lock.unlock();
    return answer(argv);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

}  // namespace quorin

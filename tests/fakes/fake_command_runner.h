#pragma once
// A CommandRunner that records what it is asked to run and answers with a set outcome
// (tests only).

#include <utility>

#include "server/command_runner.h"

namespace quorin {

class FakeCommandRunner final : public CommandRunner {
 public:
  CommandOutcome outcome{CommandOutcome::Kind::exited, 0};
  std::vector<std::pair<std::vector<std::string>, std::chrono::milliseconds>> calls;

  CommandOutcome run(const std::vector<std::string>& argv,
                     std::chrono::milliseconds wait) override {
    calls.emplace_back(argv, wait);
    return outcome;
  }
};

}  // namespace quorin

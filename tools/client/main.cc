// quorin-client: the reference client of the remote host protocol (see --help).

#include <atomic>
#include <csignal>
#include <iostream>
#include <string_view>
#include <vector>

#include "client/client_program.h"

namespace {

std::atomic<bool> interrupted{false};

void onSignal(int) { interrupted = true; }

}  // namespace

int main(int argc, char** argv) {
  // Ctrl-C or a test harness's SIGTERM ends the run as a limit would: outputs still written.
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return quorin::runClient(args, std::cout, std::cerr, interrupted);
}

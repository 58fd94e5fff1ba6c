#include "app/headless_host.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "app/host_components.h"
#include "base/event_loop.h"
#include "base/log.h"
#include "server/host_info.h"

namespace quorin {
namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Prints what changed, once per real change (the server also announces unchanged values).
class StatePrinter {
 public:
  StatePrinter(HostServer& server, std::string name) : server_(server), name_(std::move(name)) {}

  void print() {
    if (server_.isRunning() != running_) {
      running_ = server_.isRunning();
      say(running_ ? "Advertising \"" + name_ + "\" and listening on port " +
                         std::to_string(server_.listeningPort())
                   : "Stopped");
    }
    if (server_.connectedClient() != client_) {
      client_ = server_.connectedClient();
      say(client_ ? "Connected client: " + *client_ : "No client connected");
    }
    if (server_.lastError() && server_.lastError() != error_) {
      error_ = server_.lastError();
      say("Last error: " + *error_);
    }
  }

 private:
  HostServer& server_;
  std::string name_;
  bool running_ = false;
  std::optional<std::string> client_;
  std::optional<std::string> error_;
};

// Starts the server again, after a pause that grows, while it has no listener: the host key
// may become readable (the user unlocks the keyring, fixes the key file) without a restart.
class StartRetry {
 public:
  StartRetry(EventLoop& loop, HostServer& server) : loop_(loop), server_(server) {}

  void schedule() {
    say("Trying again in " + std::to_string(pause_.count()) + " s");
    timer_ = std::jthread([this, pause = pause_](std::stop_token stop) {
      std::mutex mutex;
      std::unique_lock lock(mutex);
      std::condition_variable_any().wait_for(lock, stop, pause, [] { return false; });
      if (!stop.stop_requested()) loop_.post([this] { retry(); });
    });
    pause_ = std::min(pause_ * 2, kLongestPause);
  }

 private:
  static constexpr std::chrono::seconds kLongestPause{60};

  void retry() {
    server_.start();
    if (!server_.hasListener()) schedule();
  }

  EventLoop& loop_;
  HostServer& server_;
  std::chrono::seconds pause_{5};
  std::jthread timer_;  // stopped and joined first, before the loop and server go
};
// How long a stop may take once asked for. A start-up step waiting on something outside (a
// session bus that accepts and never answers) cannot be interrupted, so past this the host
// leaves without it; Avahi withdraws the advertisement of a client that is gone.
constexpr std::chrono::milliseconds kStopGrace{1500};

}  // namespace

int runHeadlessHost() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  EventLoop loop;
  std::mutex mutex;
  std::condition_variable ended;
  bool finished = false;
  std::thread signalWaiter([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    loop.quit();  // at once, not behind whatever the loop still has queued; kept until run()
    std::unique_lock lock(mutex);
    if (ended.wait_for(lock, kStopGrace, [&] { return finished; })) return;
    logLine("stopping without waiting any longer for the start-up or the stop to finish");
    _exit(0);  // stdout is flushed line by line; nothing else here needs saving
  });

  int status = 0;
  {
    HostComponents components(loop);
    auto server = components.makeServer();
    StatePrinter printer(*server, HostInfo::name());
    server->addObserver([&](HostServer::Property) { printer.print(); });
    // Running the headless host means serving, whatever the auto-start preference says.
    server->start();
    printer.print();
    StartRetry retry(loop, *server);
    if (!server->hasListener() && components.identity().problem().empty()) {
      status = 1;
    } else {
      if (!server->hasListener()) retry.schedule();
      loop.run();
      server->stop();
    }
  }
  {
    std::lock_guard lock(mutex);
    finished = true;
  }
  ended.notify_one();
  // Wake the waiter if it is still waiting (a start failure), then let it go.
  pthread_kill(signalWaiter.native_handle(), SIGTERM);
  signalWaiter.join();
  return status;
}

}  // namespace quorin

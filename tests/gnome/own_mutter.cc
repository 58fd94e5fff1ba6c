#include "gnome/own_mutter.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fakes/child_process.h"

namespace quorin {
namespace {

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void restore(const char* name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

void stop(pid_t& pid, int signal) {
  if (pid > 0 && ::kill(pid, signal) == 0) waitpid(pid, nullptr, 0);
  pid = -1;
}

}  // namespace

OwnMutter::OwnMutter()
    : display_("quorin-own-mutter-" + std::to_string(getpid())),
      savedBus_(variable("DBUS_SESSION_BUS_ADDRESS")),
      savedDisplay_(variable("WAYLAND_DISPLAY")) {
  if (!std::getenv("XDG_RUNTIME_DIR")) {
    error_ = "no XDG_RUNTIME_DIR";
    return;
  }
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  ChildProcess bus({"dbus-daemon", "--config-file=" QUORIN_SOURCE_DIR "/scripts/config/private-session-bus.conf",
                    "--fork", "--print-address=1", "--print-pid=1"});
  bus.wait();
  std::istringstream lines(bus.output());
  std::getline(lines, bus_);
  lines >> busPid_;
  if (bus_.empty() || busPid_ <= 0) {
    error_ = "dbus-daemon did not start: " + bus.output();
    return;
  }
  setenv("DBUS_SESSION_BUS_ADDRESS", bus_.c_str(), 1);
  setenv("WAYLAND_DISPLAY", display_.c_str(), 1);
  start();
}

OwnMutter::~OwnMutter() {
  stop(mutter_, SIGTERM);
  stop(pipewire_, SIGTERM);
  stop(busPid_, SIGTERM);
  restore("DBUS_SESSION_BUS_ADDRESS", savedBus_);
  restore("WAYLAND_DISPLAY", savedDisplay_);
}

std::vector<std::string> OwnMutter::environment() const {
  return {"DBUS_SESSION_BUS_ADDRESS=" + bus_, "WAYLAND_DISPLAY=" + display_};
}

std::string OwnMutter::log() const {
  std::ifstream in(dir_.path / "mutter.log");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void OwnMutter::kill() { stop(mutter_, SIGKILL); }

bool OwnMutter::start() {
  if (busPid_ <= 0) return false;
  // The shell ends once mutter answers; mutter, its child, then comes to this process.
  ChildProcess shell({"/bin/bash", "-c", ". \"$0\" && start_mutter 1920x1080 1280x720 && echo $MUTTER_PID $PIPEWIRE_PID",
                      QUORIN_SOURCE_DIR "/scripts/lib/mutter.sh"},
                     {"MUTTER_DISPLAY_NAME=" + display_, "MUTTER_LOG=" + (dir_.path / "mutter.log").string()}, true);
  const int status = shell.wait(std::chrono::seconds(30));
  std::istringstream pids(shell.output());
  pid_t pipewire = -1;
  if (!(pids >> mutter_)) mutter_ = -1;
  if (pids >> pipewire) pipewire_ = pipewire;
  if (status != 0 || mutter_ <= 0) {
    error_ = "mutter did not start: " + shell.output() + log();
    mutter_ = -1;
    return false;
  }
  return true;
}

}  // namespace quorin

#include "kde/own_kwin.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/wayland_client.h"

namespace quorin {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kStartLimit = std::chrono::seconds(15);
constexpr auto kPollInterval = std::chrono::milliseconds(100);

// Whether the compositor on `display` answers a wl_display.sync, i.e. runs its event loop and
// does not only listen.
bool answers(const std::string& display) {
  const DisplayPtr wayland(wl_display_connect(display.c_str()));
  return wayland && roundtripWithin(wayland.get(), std::chrono::seconds(1));
}

}  // namespace

OwnKwin::OwnKwin(const std::vector<Grant>& grants) : display_("quorin-own-kwin-" + std::to_string(getpid())) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) {
    error_ = "no XDG_RUNTIME_DIR";
    return;
  }
  const fs::path applications = dir_.path / "data" / "applications";
  fs::create_directories(applications);
  for (const Grant& grant : grants) {
    // KWin compares the canonical path of Exec= with the client's /proc/PID/exe.
    const fs::path exe = fs::weakly_canonical(grant.binary);
    std::ofstream(applications / ("quorin-kwin-grant-" + exe.filename().string() + ".desktop"))
        << "[Desktop Entry]\nType=Application\nName=" << exe.filename().string() << "\nExec=\"" << exe.string()
        << "\"\nNoDisplay=true\nX-KDE-Wayland-Interfaces=" << grant.interfaces << "\n";
  }
  // /usr/bin/kwin_wayland carries a file capability that a container's bounding set may lack,
  // and then it cannot be run at all; a copy has none and needs none here.
  std::error_code copied;
  fs::copy_file("/usr/bin/kwin_wayland", dir_.path / "kwin_wayland", copied);
  if (copied) {
    error_ = "cannot copy /usr/bin/kwin_wayland: " + copied.message();
    return;
  }
  bus_ = std::make_unique<ChildProcess>(std::vector<std::string>{
      "dbus-daemon", "--nofork", "--print-address=1",
      "--config-file=" QUORIN_SOURCE_DIR "/scripts/config/private-session-bus.conf"});
  if (!bus_->waitForLine("unix:", std::chrono::seconds(5))) {
    error_ = "dbus-daemon did not start: " + bus_->output();
    return;
  }
  busAddress_ = bus_->output().substr(0, bus_->output().find('\n'));
  start();
}

OwnKwin::~OwnKwin() { stop(); }

std::string OwnKwin::log() const {
  std::ifstream in(dir_.path / "kwin.log");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void OwnKwin::stop() {
  if (kwin_ > 0 && ::kill(kwin_, SIGTERM) == 0) waitpid(kwin_, nullptr, 0);
  kwin_ = -1;
}

bool OwnKwin::start() {
  if (busAddress_.empty() || running()) return running();
  // This process's environment with KWin's own bus and data folder; without WAYLAND_DISPLAY
  // and DISPLAY, with which KWin would look for a parent compositor.
  const std::string data = "XDG_DATA_HOME=" + (dir_.path / "data").string();
  const std::string bus = "DBUS_SESSION_BUS_ADDRESS=" + busAddress_;
  std::vector<char*> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view name(*entry, std::strcspn(*entry, "="));
    if (name != "WAYLAND_DISPLAY" && name != "DISPLAY" && name != "XDG_DATA_HOME" &&
        name != "DBUS_SESSION_BUS_ADDRESS") {
      environment.push_back(*entry);
    }
  }
  environment.push_back(const_cast<char*>(data.c_str()));
  environment.push_back(const_cast<char*>(bus.c_str()));
  environment.push_back(nullptr);
  std::vector<std::string> argv = {(dir_.path / "kwin_wayland").string(),
                                   "--virtual", "--width", "1280", "--height", "800", "--output-count", "2",
                                   "--socket", display_, "--no-lockscreen", "--no-global-shortcuts",
                                   "--no-kactivities"};
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  const std::string log = (dir_.path / "kwin.log").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  const int spawned = posix_spawn(&kwin_, args[0], &actions, nullptr, args.data(), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    kwin_ = -1;
    error_ = "cannot run kwin_wayland: " + std::string(std::strerror(spawned));
    return false;
  }
  const fs::path socket = fs::path(std::getenv("XDG_RUNTIME_DIR")) / display_;
  for (const auto deadline = Clock::now() + kStartLimit; Clock::now() < deadline;) {
    if (fs::exists(socket) && answers(display_)) return true;
    if (waitpid(kwin_, nullptr, WNOHANG) == kwin_) {
      kwin_ = -1;
      break;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  stop();
  error_ = "kwin_wayland did not start: " + this->log();
  return false;
}

}  // namespace quorin

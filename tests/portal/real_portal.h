#pragma once
// The real xdg-desktop-portal frontend and the test backend (portal_test_backend.cc) on a
// session bus of their own, made the process's session bus while this lives: the suite's bus
// already has a portal (sway's). The backend reaches mutter on the bus the process had
// before; PipeWire is the one of $XDG_RUNTIME_DIR. All three are stopped by PID. Tests only.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "base/sd_bus.h"
#include "fakes/child_process.h"
#include "fakes/private_session_bus.h"

namespace quorin {

class RealPortal {
 public:
  static constexpr const char* kFrontend = "/usr/libexec/xdg-desktop-portal";

  // The backend's answer to Start: share the monitor, refuse, or hold it until the request
  // is closed.
  enum class Backend { grant, refuse, holdStart };

  explicit RealPortal(Backend behaviour) {
    if (mutterBus_.empty() || bus_.address().empty()) {
      error_ = "no session bus for mutter, or no bus of the test's own";
      return;
    }
    const std::string onBus = "DBUS_SESSION_BUS_ADDRESS=" + bus_.address();
    std::vector<std::string> backend = {QUORIN_PORTAL_TEST_BACKEND, "--mutter-bus=" + mutterBus_};
    if (behaviour != Backend::grant) backend.push_back(behaviour == Backend::refuse ? "--refuse" : "--hold-start");
    backend_.emplace(backend, std::vector<std::string>{onBus});
    // The frontend reads the backend's properties as it starts: the backend comes first.
    if (!owned("org.freedesktop.impl.portal.desktop.quorintest")) {
      error_ = "the test backend did not start: " + backend_->output();
      return;
    }
    frontend_.emplace(std::vector<std::string>{kFrontend, "--replace"},
                      std::vector<std::string>{onBus, "XDG_CURRENT_DESKTOP=quorintest",
                                               std::string("XDG_DESKTOP_PORTAL_DIR=") + QUORIN_PORTAL_TEST_PORTALS,
                                               "GIO_USE_VFS=local"});
    if (!owned("org.freedesktop.portal.Desktop")) error_ = "xdg-desktop-portal did not start";
  }

  // Why it is not up; empty when it is.
  const std::string& error() const { return error_; }

  // Waits for the backend's next line that starts with `prefix` and returns the rest of it;
  // nothing after `timeout`.
  std::optional<std::string> backendSaid(const std::string& prefix,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    if (!backend_ || !backend_->waitForLine(prefix, timeout)) return std::nullopt;
    const std::string& out = backend_->output();
    const std::size_t start = out.rfind('\n', out.size() - 2) + 1;  // npos + 1 is 0
    return out.substr(start + prefix.size(), out.size() - 1 - start - prefix.size());
  }

 private:
  // Asks the bus itself whether `name` has an owner, never the name (that would start it).
  bool owned(const char* name) {
    SdBusPtr bus;
    if (sd_bus_new(bus.out()) < 0 || sd_bus_set_address(bus.get(), bus_.address().c_str()) < 0 ||
        sd_bus_set_bus_client(bus.get(), 1) < 0 || sd_bus_start(bus.get()) < 0) {
      return false;
    }
    for (int i = 0; i < 200; ++i) {
      const SdBusMessagePtr reply =
          callBusMethod(bus.get(), {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner"},
                        std::chrono::seconds(5), nullptr, "s", name);
      int has = 0;
      if (reply && sd_bus_message_read(reply.get(), "b", &has) > 0 && has) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  const std::string mutterBus_ = std::getenv("DBUS_SESSION_BUS_ADDRESS") ? std::getenv("DBUS_SESSION_BUS_ADDRESS") : "";
  PrivateSessionBus bus_;
  std::string error_;
  std::optional<ChildProcess> backend_;
  std::optional<ChildProcess> frontend_;  // last: stopped first
};

}  // namespace quorin

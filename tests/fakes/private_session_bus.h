#pragma once
// A session bus of the test's own (no services, nothing activatable; no address when it could
// not start), made the process's session bus while it lives (tests only).

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "fakes/child_process.h"

namespace quorin {

class PrivateSessionBus {
 public:
  PrivateSessionBus() {
    if (!daemon_.waitForLine("unix:", std::chrono::seconds(5))) return;
    address_ = daemon_.output().substr(0, daemon_.output().find('\n'));
    if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS")) previous_ = previous;
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  }
  ~PrivateSessionBus() {
    previous_ ? setenv("DBUS_SESSION_BUS_ADDRESS", previous_->c_str(), 1) : unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  const std::string& address() const { return address_; }

 private:
  static std::string writeConfig() {
    const std::string config = testing::TempDir() + "/private-bus.conf";
    std::ofstream(config) << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                             "<auth>EXTERNAL</auth><policy context='default'>"
                             "<allow send_destination='*' eavesdrop='true'/>"
                             "<allow eavesdrop='true'/><allow own='*'/></policy></busconfig>";
    return config;
  }

  ChildProcess daemon_{{"/usr/bin/dbus-daemon", "--nofork", "--print-address=1", "--config-file=" + writeConfig()}};
  std::string address_;
  std::optional<std::string> previous_;
};

}  // namespace quorin

#pragma once
// A session bus of the test's own (no services), made the process's session bus while it
// lives, and a stand-in ScreenCast portal on it that refuses every request or never answers
// (tests only).

#include <systemd/sd-bus.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "fakes/child_process.h"

namespace quorin {

class PrivateSessionBus {
 public:
  PrivateSessionBus() {
    const std::string config = testing::TempDir() + "/private-bus.conf";
    std::ofstream(config) << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                             "<auth>EXTERNAL</auth><policy context='default'>"
                             "<allow send_destination='*' eavesdrop='true'/>"
                             "<allow eavesdrop='true'/><allow own='*'/></policy></busconfig>";
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/usr/bin/dbus-daemon", "--nofork", "--print-address=1", "--config-file=" + config});
    if (!daemon_->waitForLine("unix:", std::chrono::seconds(5))) return;
    address_ = daemon_->output().substr(0, daemon_->output().find('\n'));
    if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS")) previous_ = previous;
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  }
  ~PrivateSessionBus() {
    if (previous_) {
      setenv("DBUS_SESSION_BUS_ADDRESS", previous_->c_str(), 1);
    } else {
      unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
  }
  bool running() const { return !address_.empty(); }
  const std::string& address() const { return address_; }

 private:
  std::unique_ptr<ChildProcess> daemon_;
  std::string address_;
  std::optional<std::string> previous_;
};

class FakePortal {
 public:
  enum Behaviour { kRefuse, kNeverAnswer };

  FakePortal(const std::string& address, Behaviour behaviour) : behaviour_(behaviour) {
    if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0 ||
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/portal/desktop",
                                 "org.freedesktop.portal.ScreenCast", kVtable, this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.portal.Desktop", 0) < 0) {
      ADD_FAILURE() << "the fake portal could not start";
      return;
    }
    thread_ = std::thread([this] {
      while (!stop_) {
        if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 50'000);
      }
    });
  }
  ~FakePortal() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_flush_close_unref(bus_);
  }

 private:
  static int version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                     void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "u", 4u);
  }

  // Every request: the Request object named after the caller and its handle_token, then
  // (unless silent) a Response refusing it.
  static int request(sd_bus_message* call, void* data, sd_bus_error*) {
    auto* self = static_cast<FakePortal*>(data);
    const std::string member = sd_bus_message_get_member(call);
    if (member == "SelectSources") sd_bus_message_skip(call, "o");
    if (member == "Start") sd_bus_message_skip(call, "os");
    std::string token;
    sd_bus_message_enter_container(call, 'a', "{sv}");
    while (sd_bus_message_enter_container(call, 'e', "sv") > 0) {
      const char* key = nullptr;
      sd_bus_message_read(call, "s", &key);
      if (std::strcmp(key, "handle_token") == 0) {
        const char* value = nullptr;
        sd_bus_message_read(call, "v", "s", &value);
        token = value;
      } else {
        sd_bus_message_skip(call, "v");
      }
      sd_bus_message_exit_container(call);
    }
    std::string sender = sd_bus_message_get_sender(call) + 1;
    for (char& c : sender) {
      if (c == '.') c = '_';
    }
    const std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    const int r = sd_bus_reply_method_return(call, "o", path.c_str());
    if (self->behaviour_ == kRefuse) {
      sd_bus_emit_signal(self->bus_, path.c_str(), "org.freedesktop.portal.Request", "Response",
                         "ua{sv}", 1u, 0);
    }
    return r;
  }

  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("version", "u", version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_METHOD("CreateSession", "a{sv}", "o", request, 0),
      SD_BUS_METHOD("SelectSources", "oa{sv}", "o", request, 0),
      SD_BUS_METHOD("Start", "osa{sv}", "o", request, 0),
      SD_BUS_VTABLE_END,
  };

  Behaviour behaviour_;
  sd_bus* bus_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace quorin

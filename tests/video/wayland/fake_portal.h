#pragma once
// A stand-in portal on a session bus of the test's own that grants a remote-desktop session
// (without a picture stream behind it) together with a restore token, and records the calls
// it got (tests only). The real frontend here (1.16) never hands out a remote-desktop restore
// token, so only this stand-in shows how the host keeps and sends one; everything else runs
// against the real frontend (tests/portal/).

#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace quorin {

class FakePortal {
 public:
  // Without `remoteDesktop` it offers ScreenCast alone, as on a wlroots desktop.
  explicit FakePortal(const std::string& address, bool remoteDesktop = true) {
    if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0 ||
        sd_bus_add_object_vtable(bus_, nullptr, kPath, "org.freedesktop.portal.ScreenCast", kVtable, this) < 0 ||
        (remoteDesktop &&
         sd_bus_add_object_vtable(bus_, nullptr, kPath, "org.freedesktop.portal.RemoteDesktop", kVtable, this) < 0) ||
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

  // "Interface.Method" of every call so far, followed by " <token>" where it sent a restore token.
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  static constexpr const char* kPath = "/org/freedesktop/portal/desktop";

  // Every request: the Request object named after the caller and its handle_token, then a
  // Response that grants everything.
  static int request(sd_bus_message* call, void* data, sd_bus_error*) {
    auto* self = static_cast<FakePortal*>(data);
    std::lock_guard lock(self->mutex_);
    const std::string member = sd_bus_message_get_member(call);
    const std::string interface = sd_bus_message_get_interface(call);
    self->calls_.push_back(interface.substr(interface.rfind('.') + 1) + "." + member);
    if (member.rfind("Notify", 0) == 0) return sd_bus_reply_method_return(call, "");
    if (member.rfind("Select", 0) == 0) sd_bus_message_skip(call, "o");
    if (member == "Start") sd_bus_message_skip(call, "os");
    std::string token;
    sd_bus_message_enter_container(call, 'a', "{sv}");
    while (sd_bus_message_enter_container(call, 'e', "sv") > 0) {
      const char* key = nullptr;
      const char* value = nullptr;
      sd_bus_message_read(call, "s", &key);
      if (std::string_view(key) == "handle_token" || std::string_view(key) == "restore_token") {
        sd_bus_message_read(call, "v", "s", &value);
        key[0] == 'h' ? token = value : self->calls_.back() += std::string(" ") + value;
      } else {
        sd_bus_message_skip(call, "v");
      }
      sd_bus_message_exit_container(call);
    }
    std::string sender = sd_bus_message_get_sender(call) + 1;
    std::replace(sender.begin(), sender.end(), '.', '_');
    const std::string path = std::string(kPath) + "/request/" + sender + "/" + token;
    const int r = sd_bus_reply_method_return(call, "o", path.c_str());
    // Everything: a session, keyboard and pointer, a 1280x720 stream on node 7.
    sd_bus_emit_signal(self->bus_, path.c_str(), "org.freedesktop.portal.Request", "Response", "ua{sv}", 0u, 4,
                       "session_handle", "s", "/org/freedesktop/portal/desktop/session/1/f", "devices", "u", 3u,
                       "restore_token", "s", "granted", "streams", "a(ua{sv})", 1, 7u, 1, "size", "(ii)", 1280, 720);
    return r;
  }

  // Both portal interfaces, each with the other's methods too (the client never calls them).
  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("version", "u",
                      [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                         sd_bus_error*) { return sd_bus_message_append(reply, "u", 4u); },
                      0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_METHOD("CreateSession", "a{sv}", "o", request, 0),
      SD_BUS_METHOD("SelectSources", "oa{sv}", "o", request, 0),
      SD_BUS_METHOD("SelectDevices", "oa{sv}", "o", request, 0),
      SD_BUS_METHOD("Start", "osa{sv}", "o", request, 0),
      SD_BUS_METHOD("NotifyPointerMotion", "oa{sv}dd", "", request, 0),
      SD_BUS_VTABLE_END,
  };

  sd_bus* bus_ = nullptr;
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace quorin

// A desktop portal backend for tests: org.freedesktop.impl.portal.ScreenCast and RemoteDesktop,
// with their Request and Session objects, on the session bus of DBUS_SESSION_BUS_ADDRESS (a
// bus of the test's own, where the real xdg-desktop-portal runs), forwarded to headless
// mutter's own remote desktop service on the bus given by --mutter-bus=ADDRESS.
//
// Start shares mutter's primary monitor (its pointer drawn in) without a dialog; with --refuse it answers as a user
// who refused (response 1), with --hold-start it answers only once its request is closed (a
// dialog the user never answers). Closing a session stops mutter's. Of the Notify* calls, those
// the host makes: absolute motion, buttons, wheel steps, keysyms.
//
// Says on stdout, a line each: "ready", "holding <request>", "request closed <request>",
// "started <session> node <id>", "session closed <session>", "failed <why>".

#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "base/sd_bus.h"
#include "desktop/gnome/mutter_remote_desktop.h"

namespace quorin {
namespace {

constexpr const char* kName = "org.freedesktop.impl.portal.desktop.quorintest";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kCursorEmbedded = 2;  // the only mode offered: mutter draws the pointer in
constexpr std::uint32_t kDevicesKeyboardAndPointer = 3;
constexpr std::uint32_t kRefused = 1, kEnded = 2;

void say(const std::string& line) { std::printf("%s\n", line.c_str()); }

class PortalBackend {
 public:
  enum class Mode { grant, refuse, hold };

  PortalBackend(sd_bus* portal, std::string mutterBus, Mode mode)
      : portal_(portal), mutterBus_(std::move(mutterBus)), mode_(mode) {}

  bool publish() {
    return sd_bus_add_object_vtable(portal_, nullptr, kPath, "org.freedesktop.impl.portal.ScreenCast",
                                    kScreenCastVtable, this) >= 0 &&
           sd_bus_add_object_vtable(portal_, nullptr, kPath, "org.freedesktop.impl.portal.RemoteDesktop",
                                    kRemoteDesktopVtable, this) >= 0 &&
           sd_bus_request_name(portal_, kName, 0) >= 0;
  }

 private:
  struct Session {
    SdBusSlotPtr object;
    std::shared_ptr<MutterRemoteDesktop> mutter;
    std::uint32_t nodeId = 0;
  };
  struct HeldStart {
    SdBusSlotPtr request;
    SdBusMessagePtr call;
  };

  static PortalBackend& self(void* data) { return *static_cast<PortalBackend*>(data); }

  static int createSession(sd_bus_message* m, void* data, sd_bus_error*) {
    const char *handle = nullptr, *path = nullptr;
    if (const int r = sd_bus_message_read(m, "oo", &handle, &path); r < 0) return r;
    Session& session = self(data).sessions_[path];
    if (const int r = sd_bus_add_object_vtable(sd_bus_message_get_bus(m), session.object.out(), path,
                                               "org.freedesktop.impl.portal.Session", kSessionVtable, data);
        r < 0) {
      return r;
    }
    return sd_bus_reply_method_return(m, "ua{sv}", 0u, 0);
  }

  static int selectSources(sd_bus_message* m, void* data, sd_bus_error*) {
    const char *handle = nullptr, *path = nullptr;
    const int r = sd_bus_message_read(m, "oo", &handle, &path);
    return r < 0 ? r : sd_bus_reply_method_return(m, "ua{sv}", self(data).find(path) ? 0u : kEnded, 0);
  }

  static int selectDevices(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "ua{sv}", 0u, 0);
  }

  static int start(sd_bus_message* m, void* data, sd_bus_error*) {
    PortalBackend& backend = self(data);
    const char *handle = nullptr, *path = nullptr;
    if (const int r = sd_bus_message_read(m, "oo", &handle, &path); r < 0) return r;
    Session* session = backend.find(path);
    if (!session) return sd_bus_reply_method_return(m, "ua{sv}", kEnded, 0);
    if (backend.mode_ == Mode::refuse) return sd_bus_reply_method_return(m, "ua{sv}", kRefused, 0);
    if (backend.mode_ == Mode::hold) {
      HeldStart& held = backend.held_[handle];
      held.call = SdBusMessagePtr(sd_bus_message_ref(m));
      if (const int r = sd_bus_add_object_vtable(sd_bus_message_get_bus(m), held.request.out(), handle,
                                                 "org.freedesktop.impl.portal.Request", kRequestVtable, data);
          r < 0) {
        return r;
      }
      say(std::string("holding ") + handle);
      return 1;  // answered when the request is closed
    }
    CaptureError error;
    session->mutter = MutterRemoteDesktop::connect(std::chrono::seconds(5), error, backend.mutterBus_);
    const std::vector<Monitor> monitors = session->mutter ? session->mutter->monitors() : std::vector<Monitor>{};
    const Monitor* primary = monitors.empty() ? nullptr : &monitors.front();
    const std::optional<PipeWireNode> node = primary ? session->mutter->record(primary->name, nullptr, error) : std::nullopt;
    if (!node) {
      say("failed " + error.description);
      session->mutter.reset();
      return sd_bus_reply_method_return(m, "ua{sv}", kEnded, 0);
    }
    session->nodeId = node->id;
    const ScreenRect stream = primary->rect;
    const bool remoteDesktop = std::string_view(sd_bus_message_get_interface(m)).ends_with("RemoteDesktop");
    SdBusMessagePtr reply;
    int r = sd_bus_message_new_method_return(m, reply.out());
    if (r >= 0) r = sd_bus_message_append(reply.get(), "u", 0u);
    if (r >= 0) r = sd_bus_message_open_container(reply.get(), 'a', "{sv}");
    if (r >= 0) {
      r = sd_bus_message_append(reply.get(), "{sv}", "streams", "a(ua{sv})", 1, node->id, 3, "position",
                                "(ii)", stream.x, stream.y, "size", "(ii)", stream.width, stream.height,
                                "source_type", "u", kSourceMonitor);
    }
    if (r >= 0 && remoteDesktop) r = sd_bus_message_append(reply.get(), "{sv}", "devices", "u", kDevicesKeyboardAndPointer);
    if (r >= 0) r = sd_bus_message_close_container(reply.get());
    if (r >= 0) r = sd_bus_send(nullptr, reply.get(), nullptr);
    say(std::string("started ") + path + " node " + std::to_string(node->id));
    return r;
  }

  static int closeRequest(sd_bus_message* m, void* data, sd_bus_error*) {
    PortalBackend& backend = self(data);
    const std::string path = sd_bus_message_get_path(m);
    if (auto held = backend.held_.find(path); held != backend.held_.end()) {
      sd_bus_reply_method_return(held->second.call.get(), "ua{sv}", kEnded, 0);
      backend.held_.erase(held);
      say("request closed " + path);
    }
    return sd_bus_reply_method_return(m, "");
  }

  static int closeSession(sd_bus_message* m, void* data, sd_bus_error*) {
    const std::string path = sd_bus_message_get_path(m);
    // Its object slot goes with it; this call's reply is already being made.
    self(data).sessions_.erase(path);
    say("session closed " + path);
    return sd_bus_reply_method_return(m, "");
  }

  // The Notify* calls: the session handle and options come first, then what mutter takes.
  template <typename Forward>
  static int notify(sd_bus_message* m, void* data, Forward forward) {
    const char* path = nullptr;
    int r = sd_bus_message_read(m, "o", &path);
    if (r >= 0) r = sd_bus_message_skip(m, "a{sv}");
    Session* session = r >= 0 ? self(data).find(path) : nullptr;
    if (session && session->mutter) forward(*session);
    return r < 0 ? r : sd_bus_reply_method_return(m, "");
  }
  static int motionAbsolute(sd_bus_message* m, void* data, sd_bus_error*) {
    std::uint32_t stream = 0;
    double x = 0, y = 0;
    return notify(m, data, [&](Session& session) {
      if (sd_bus_message_read(m, "udd", &stream, &x, &y) >= 0 && stream == session.nodeId) {
        session.mutter->notifyOnStream("NotifyPointerMotionAbsolute", "dd", x, y);
      }
    });
  }
  static int button(sd_bus_message* m, void* data, sd_bus_error*) {
    std::int32_t code = 0;
    std::uint32_t state = 0;
    return notify(m, data, [&](Session& session) {
      if (sd_bus_message_read(m, "iu", &code, &state) >= 0) {
        session.mutter->notify("NotifyPointerButton", "ib", code, static_cast<int>(state != 0));
      }
    });
  }
  static int axisDiscrete(sd_bus_message* m, void* data, sd_bus_error*) {
    std::uint32_t axis = 0;
    std::int32_t steps = 0;
    return notify(m, data, [&](Session& session) {
      if (sd_bus_message_read(m, "ui", &axis, &steps) >= 0) {
        session.mutter->notify("NotifyPointerAxisDiscrete", "ui", axis, steps);
      }
    });
  }
  static int keysym(sd_bus_message* m, void* data, sd_bus_error*) {
    std::int32_t sym = 0;
    std::uint32_t state = 0;
    return notify(m, data, [&](Session& session) {
      if (sd_bus_message_read(m, "iu", &sym, &state) >= 0) {
        session.mutter->notify("NotifyKeyboardKeysym", "ub", static_cast<std::uint32_t>(sym),
                               static_cast<int>(state != 0));
      }
    });
  }

  static int constant(sd_bus*, const char*, const char* interface, const char* property, sd_bus_message* reply,
                      void*, sd_bus_error*) {
    const std::string_view name(property);
    std::uint32_t value = 1;
    if (name == "AvailableSourceTypes") value = kSourceMonitor;
    if (name == "AvailableCursorModes") value = kCursorEmbedded;
    if (name == "AvailableDeviceTypes") value = kDevicesKeyboardAndPointer;
    // ScreenCast 4 takes persistence options; RemoteDesktop 1 and Session 1 are the first.
    if (name == "version" && std::string_view(interface).ends_with("ScreenCast")) value = 4;
    return sd_bus_message_append(reply, "u", value);
  }

  Session* find(const char* path) {
    const auto it = path ? sessions_.find(path) : sessions_.end();
    return it == sessions_.end() ? nullptr : &it->second;
  }

  static constexpr sd_bus_vtable kScreenCastVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("CreateSession", "oosa{sv}", "ua{sv}", createSession, 0),
      SD_BUS_METHOD("SelectSources", "oosa{sv}", "ua{sv}", selectSources, 0),
      SD_BUS_METHOD("Start", "oossa{sv}", "ua{sv}", start, 0),
      SD_BUS_PROPERTY("AvailableSourceTypes", "u", constant, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("AvailableCursorModes", "u", constant, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("version", "u", constant, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_VTABLE_END,
  };
  static constexpr sd_bus_vtable kRemoteDesktopVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("CreateSession", "oosa{sv}", "ua{sv}", createSession, 0),
      SD_BUS_METHOD("SelectDevices", "oosa{sv}", "ua{sv}", selectDevices, 0),
      SD_BUS_METHOD("Start", "oossa{sv}", "ua{sv}", start, 0),
      SD_BUS_METHOD("NotifyPointerMotionAbsolute", "oa{sv}udd", "", motionAbsolute, 0),
      SD_BUS_METHOD("NotifyPointerButton", "oa{sv}iu", "", button, 0),
      SD_BUS_METHOD("NotifyPointerAxisDiscrete", "oa{sv}ui", "", axisDiscrete, 0),
      SD_BUS_METHOD("NotifyKeyboardKeysym", "oa{sv}iu", "", keysym, 0),
      SD_BUS_PROPERTY("AvailableDeviceTypes", "u", constant, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("version", "u", constant, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_VTABLE_END,
  };
  static constexpr sd_bus_vtable kSessionVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Close", "", "", closeSession, 0),
      SD_BUS_SIGNAL("Closed", "", 0),
      SD_BUS_PROPERTY("version", "u", constant, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_VTABLE_END,
  };
  static constexpr sd_bus_vtable kRequestVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Close", "", "", closeRequest, 0),
      SD_BUS_VTABLE_END,
  };

  sd_bus* portal_;
  const std::string mutterBus_;
  Mode mode_;
  std::map<std::string, Session> sessions_;
  std::map<std::string, HeldStart> held_;
};

int run(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  PortalBackend::Mode mode = PortalBackend::Mode::grant;
  std::string mutterBus;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg == "--refuse") {
      mode = PortalBackend::Mode::refuse;
    } else if (arg == "--hold-start") {
      mode = PortalBackend::Mode::hold;
    } else if (arg.starts_with("--mutter-bus=")) {
      mutterBus = arg.substr(std::strlen("--mutter-bus="));
    } else {
      std::fprintf(stderr, "usage: %s --mutter-bus=ADDRESS [--refuse | --hold-start]\n", argv[0]);
      return 2;
    }
  }
  sd_bus* portal = nullptr;
  sd_event* loop = nullptr;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  const bool up = !mutterBus.empty() && sd_bus_open_user(&portal) >= 0 && sd_event_default(&loop) >= 0 &&
                  sd_bus_attach_event(portal, loop, 0) >= 0 &&
                  sd_event_add_signal(loop, nullptr, SIGTERM, nullptr, nullptr) >= 0 &&
                  sd_event_add_signal(loop, nullptr, SIGINT, nullptr, nullptr) >= 0;
  PortalBackend backend(portal, mutterBus, mode);
  if (!up || !backend.publish()) {
    say("failed to reach the portal's bus or mutter's");
    return 1;
  }
  say("ready");
  const int r = sd_event_loop(loop);
  sd_bus_flush_close_unref(portal);
  sd_event_unref(loop);
  return r < 0 ? 1 : 0;
}

}  // namespace
}  // namespace quorin

int main(int argc, char** argv) { return quorin::run(argc, argv); }

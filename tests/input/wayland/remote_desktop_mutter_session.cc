#include "input/wayland/remote_desktop_mutter_session.h"

namespace quorin {
namespace {

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";

std::string objectPath(const SdBusMessagePtr& reply) {
  const char* path = nullptr;
  if (!reply || sd_bus_message_read(reply.get(), "o", &path) < 0 || !path) return {};
  return path;
}

class MutterInput final : public RemoteDesktopInput {
 public:
  MutterInput(SdBusPtr bus, const std::string& session, std::string stream)
      : mutter_(std::move(bus), kRemoteDesktop, session, kSessionInterface), stream_(std::move(stream)) {}

  bool pointerMotionAbsolute(double x, double y) override {
    return mutter_.notify("NotifyPointerMotionAbsolute", "sdd", stream_.c_str(), x, y);
  }
  bool pointerButton(int button, bool pressed) override {
    return mutter_.notify("NotifyPointerButton", "ib", button, static_cast<int>(pressed));
  }
  bool pointerAxisDiscrete(ScrollAxis axis, int steps) override {
    return mutter_.notify("NotifyPointerAxisDiscrete", "ui", static_cast<std::uint32_t>(axis), steps);
  }
  bool keyboardKeysym(std::uint32_t keysym, bool pressed) override {
    return mutter_.notify("NotifyKeyboardKeysym", "ub", keysym, static_cast<int>(pressed));
  }

 private:
  RemoteDesktopNotifier mutter_;
  std::string stream_;
};

}  // namespace

std::unique_ptr<MutterRemoteDesktopSession> MutterRemoteDesktopSession::start(std::string* error) {
  sd_bus* raw = nullptr;
  if (sd_bus_open_user(&raw) < 0) {
    *error = "no session bus";
    return nullptr;
  }
  SdBusPtr bus(raw);
  const std::string session = objectPath(callBusMethod(
      bus.get(), {kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop, "CreateSession"},
      error, nullptr));
  if (session.empty()) return nullptr;

  char* id = nullptr;
  if (sd_bus_get_property_string(bus.get(), kRemoteDesktop, session.c_str(), kSessionInterface,
                                 "SessionId", nullptr, &id) < 0) {
    *error = "no SessionId";
    return nullptr;
  }
  const std::string sessionId(id);
  free(id);
  const std::string cast = objectPath(callBusMethod(
      bus.get(), {kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession"}, error,
      "a{sv}", 1, "remote-desktop-session-id", "s", sessionId.c_str()));
  if (cast.empty()) return nullptr;
  // An empty connector records the primary monitor.
  const std::string stream = objectPath(callBusMethod(
      bus.get(), {kScreenCast, cast.c_str(), "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor"},
      error, "sa{sv}", "", 0));
  if (stream.empty()) return nullptr;
  if (!callBusMethod(bus.get(), {kRemoteDesktop, session.c_str(), kSessionInterface, "Start"}, error,
                     nullptr)) {
    return nullptr;
  }

  ScreenRect size;
  sd_bus_message* reply = nullptr;
  if (sd_bus_get_property(bus.get(), kScreenCast, stream.c_str(), "org.gnome.Mutter.ScreenCast.Stream",
                          "Parameters", nullptr, &reply, "a{sv}") >= 0) {
    const SdBusMessagePtr parameters(reply);
    const char* key = nullptr;
    sd_bus_message_enter_container(reply, 'a', "{sv}");
    while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
      sd_bus_message_read(reply, "s", &key);
      if (std::string_view(key) == "size") {
        sd_bus_message_read(reply, "v", "(ii)", &size.width, &size.height);
      } else {
        sd_bus_message_skip(reply, "v");
      }
      sd_bus_message_exit_container(reply);
    }
  }
  if (size.width <= 0 || size.height <= 0) {
    *error = "the stream has no size";
    return nullptr;
  }
  return std::unique_ptr<MutterRemoteDesktopSession>(
      new MutterRemoteDesktopSession(std::move(bus), session, stream, size));
}

MutterRemoteDesktopSession::MutterRemoteDesktopSession(SdBusPtr bus, std::string session,
                                                       std::string stream, ScreenRect size)
    : bus_(std::move(bus)), session_(std::move(session)), streamPath_(std::move(stream)), stream_(size) {}

MutterRemoteDesktopSession::~MutterRemoteDesktopSession() {
  callBusMethod(bus_.get(), {kRemoteDesktop, session_.c_str(), kSessionInterface, "Stop"}, nullptr,
                nullptr);
}

std::unique_ptr<RemoteDesktopInput> MutterRemoteDesktopSession::input() {
  return std::make_unique<MutterInput>(shareBus(bus_.get()), session_, streamPath_);
}

}  // namespace quorin

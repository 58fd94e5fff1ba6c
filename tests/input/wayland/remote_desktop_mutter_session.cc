#include "input/wayland/remote_desktop_mutter_session.h"

namespace quorin {
namespace {

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";

std::string objectPath(const SdBusMessagePtr& reply) {
  const char* path = nullptr;
  if (!reply || sd_bus_message_read(reply.get(), "o", &path) < 0 || !path) return {};
  return path;
}

class MutterInput final : public RemoteDesktopInput {
 public:
  MutterInput(SdBusPtr bus, const std::string& session, std::string stream)
      : mutter_(std::move(bus), kRemoteDesktop, session, kSession), stream_(std::move(stream)) {}

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
  auto self = std::make_unique<MutterRemoteDesktopSession>();
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return *error = "no session bus", nullptr;
  self->bus_.reset(bus);
  self->session_ = objectPath(callBusMethod(
      bus, {kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop, "CreateSession"}, error, nullptr));
  char* id = nullptr;
  if (self->session_.empty() ||
      sd_bus_get_property_string(bus, kRemoteDesktop, self->session_.c_str(), kSession, "SessionId", nullptr, &id) < 0) {
    if (error->empty()) *error = "no remote desktop session";
    return nullptr;
  }
  const std::unique_ptr<char, decltype(&free)> sessionId(id, &free);
  const std::string cast = objectPath(callBusMethod(
      bus, {kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession"}, error, "a{sv}", 1,
      "remote-desktop-session-id", "s", id));
  // An empty connector records the primary monitor.
  if (!cast.empty()) {
    self->stream_ = objectPath(callBusMethod(
        bus, {kScreenCast, cast.c_str(), "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor"}, error, "sa{sv}",
        "", 0));
  }
  if (self->stream_.empty() ||
      !callBusMethod(bus, {kRemoteDesktop, self->session_.c_str(), kSession, "Start"}, error, nullptr)) {
    return nullptr;
  }

  sd_bus_message* reply = nullptr;
  sd_bus_get_property(bus, kScreenCast, self->stream_.c_str(), "org.gnome.Mutter.ScreenCast.Stream", "Parameters",
                      nullptr, &reply, "a{sv}");
  const SdBusMessagePtr parameters(reply);
  const char* key = nullptr;
  sd_bus_message_enter_container(reply, 'a', "{sv}");
  while (sd_bus_message_enter_container(reply, 'e', "sv") > 0 && sd_bus_message_read(reply, "s", &key) > 0) {
    if (std::string_view(key) == "size") {
      sd_bus_message_read(reply, "v", "(ii)", &self->size_.width, &self->size_.height);
    } else {
      sd_bus_message_skip(reply, "v");
    }
    sd_bus_message_exit_container(reply);
  }
  if (self->size_.width <= 0 || self->size_.height <= 0) return *error = "the stream has no size", nullptr;
  return self;
}

std::unique_ptr<RemoteDesktopInput> MutterRemoteDesktopSession::input() const {
  return std::make_unique<MutterInput>(shareBus(bus_.get()), session_, stream_);
}

}  // namespace quorin

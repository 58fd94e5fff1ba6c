#include "wayland/mutter_session.h"

#include <cstdlib>
#include <cstring>

namespace quorin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* kStreamInterface = "org.gnome.Mutter.ScreenCast.Stream";
constexpr std::chrono::milliseconds kLimit{5000};

// The object path a method answers, empty (with `error` set) when it fails.
template <typename... Args>
std::string callForPath(sd_bus* bus, const BusMethod& method, std::string& error, const char* signature,
                        Args... args) {
  const SdBusMessagePtr reply = callBusMethod(bus, method, kLimit, &error, signature, args...);
  const char* path = nullptr;
  return reply && sd_bus_message_read(reply.get(), "o", &path) > 0 ? path : "";
}

int onStreamAdded(sd_bus_message* m, void* userdata, sd_bus_error*) {
  sd_bus_message_read(m, "u", static_cast<std::uint32_t*>(userdata));
  return 0;
}

// The stream's place and size from its Parameters property.
bool readParameters(sd_bus* bus, const std::string& stream, MutterSession::Stream& into) {
  SdBusError error;
  SdBusMessagePtr reply;
  if (sd_bus_get_property(bus, kScreenCast, stream.c_str(), kStreamInterface, "Parameters", &error.e, reply.out(),
                          "a{sv}") < 0) {
    return false;
  }
  int r = sd_bus_message_enter_container(reply.get(), 'a', "{sv}");
  while (r >= 0 && (r = sd_bus_message_enter_container(reply.get(), 'e', "sv")) > 0) {
    const char* key = nullptr;
    r = sd_bus_message_read(reply.get(), "s", &key);
    if (r >= 0 && std::strcmp(key, "position") == 0) {
      r = sd_bus_message_read(reply.get(), "v", "(ii)", &into.x, &into.y);
    } else if (r >= 0 && std::strcmp(key, "size") == 0) {
      r = sd_bus_message_read(reply.get(), "v", "(ii)", &into.width, &into.height);
    } else if (r >= 0) {
      r = sd_bus_message_skip(reply.get(), "v");
    }
    if (r >= 0) r = sd_bus_message_exit_container(reply.get());
  }
  return r >= 0 && into.width > 0 && into.height > 0;
}

}  // namespace

std::unique_ptr<MutterSession> MutterSession::start(sd_bus* bus, std::uint32_t cursorMode, std::string& error) {
  const std::string session = callForPath(
      bus, {kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop, "CreateSession"}, error, nullptr);
  if (session.empty()) return nullptr;
  std::unique_ptr<MutterSession> self(new MutterSession(shareBus(bus), session));
  char* id = nullptr;
  SdBusError failure;
  if (const int r = sd_bus_get_property_string(bus, kRemoteDesktop, session.c_str(), kSessionInterface, "SessionId",
                                               &failure.e, &id);
      r < 0) {
    error = "SessionId: " + failure.text(r);
    return nullptr;
  }
  const std::unique_ptr<char, decltype(&free)> sessionId(id, &free);
  const std::string cast = callForPath(bus, {kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession"},
                                       error, "a{sv}", 1, "remote-desktop-session-id", "s", id);
  if (cast.empty()) return nullptr;
  // An empty connector is the primary monitor.
  self->streamPath_ = callForPath(bus, {kScreenCast, cast.c_str(), "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor"},
                                  error, "sa{sv}", "", 1, "cursor-mode", "u", cursorMode);
  if (self->streamPath_.empty()) return nullptr;

  // Subscribed before Start: the node may be announced before Start's reply arrives.
  std::uint32_t node = 0;
  SdBusSlotPtr added;
  if (sd_bus_match_signal(bus, added.out(), kScreenCast, self->streamPath_.c_str(), kStreamInterface,
                          "PipeWireStreamAdded", onStreamAdded, &node) < 0 ||
      !callBusMethod(bus, {kRemoteDesktop, session.c_str(), kSessionInterface, "Start"}, kLimit, &error, nullptr)) {
    if (error.empty()) error = "no signal match";
    return nullptr;
  }
  self->started_ = true;
  const auto deadline = Clock::now() + kLimit;
  while (node == 0 && Clock::now() < deadline) {
    if (sd_bus_process(bus, nullptr) > 0) continue;
    sd_bus_wait(bus, busMicroseconds(deadline - Clock::now()));
  }
  if (node == 0) {
    error = "mutter announced no PipeWire node";
    return nullptr;
  }
  self->stream_.nodeId = node;
  if (!readParameters(bus, self->streamPath_, self->stream_)) {
    error = "the stream has no size";
    return nullptr;
  }
  return self;
}

MutterSession::~MutterSession() {
  if (started_) notify("Stop", nullptr);
}

}  // namespace quorin

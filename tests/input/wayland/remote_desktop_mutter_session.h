#pragma once
// A remote desktop session of mutter's own D-Bus service (org.gnome.Mutter.RemoteDesktop),
// sharing mutter's primary monitor. It asks nobody, which is why the host goes through the
// portal and only tests use this: it drives the same Notify* path on a headless mutter.
// Needs mutter and PipeWire on the session bus of $DBUS_SESSION_BUS_ADDRESS. One thread.

#include <memory>
#include <string>

#include "base/geometry.h"
#include "input/wayland/remote_desktop_bus.h"
#include "input/wayland/remote_desktop_input.h"

namespace quorin {

class MutterRemoteDesktopSession {
 public:
  // Creates and starts a session; nothing, with `error` set, when mutter is not reachable.
  static std::unique_ptr<MutterRemoteDesktopSession> start(std::string* error);
  ~MutterRemoteDesktopSession();

  // The shared monitor's size in stream pixels.
  ScreenRect stream() const { return stream_; }
  // Input into this session; usable while the session lives.
  std::unique_ptr<RemoteDesktopInput> input();

 private:
  MutterRemoteDesktopSession(SdBusPtr bus, std::string session, std::string stream, ScreenRect size);

  SdBusPtr bus_;
  std::string session_;
  std::string streamPath_;
  ScreenRect stream_;
};

}  // namespace quorin

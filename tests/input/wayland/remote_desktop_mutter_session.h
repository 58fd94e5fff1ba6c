#pragma once
// A remote desktop session of mutter's own D-Bus service (org.gnome.Mutter.RemoteDesktop),
// sharing mutter's primary monitor. It asks nobody, which is why the host goes through the
// portal and only tests use this: it drives the same Notify* path on a headless mutter.
// Needs mutter and PipeWire on the session bus of $DBUS_SESSION_BUS_ADDRESS. One thread.
// The session ends when the last of this object and its inputs is gone (mutter drops the
// sessions of a client that leaves the bus).

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

  // The shared monitor's size in stream pixels.
  ScreenRect stream() const { return size_; }
  std::unique_ptr<RemoteDesktopInput> input() const;

 private:
  SdBusPtr bus_;
  std::string session_;
  std::string stream_;
  ScreenRect size_;
};

}  // namespace quorin

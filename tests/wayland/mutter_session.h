#pragma once
// A session of headless mutter's own remote desktop service sharing its primary monitor, as
// a GNOME portal backend makes one: RemoteDesktop.CreateSession, a linked ScreenCast session
// recording the primary monitor, Start, then the stream's PipeWire node. Input goes through
// the session's Notify* calls. Tests only.
//
// Threads: one thread at a time, the one that processes `bus`; start() processes it while it
// waits for the node.

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/sd_bus.h"

namespace quorin {

class MutterSession {
 public:
  // The recorded monitor: its PipeWire node and its place in the layout (logical pixels).
  struct Stream {
    std::uint32_t nodeId = 0;
    int x = 0, y = 0, width = 0, height = 0;
  };

  // Creates and starts a session on `bus` (mutter's bus; mutter ends the session when this
  // connection closes). `cursorMode` is mutter's: 0 hidden, 1 embedded, 2 metadata. Nothing,
  // with `error` set, when mutter refuses or sends no node within a few seconds.
  static std::unique_ptr<MutterSession> start(sd_bus* bus, std::uint32_t cursorMode, std::string& error);

  ~MutterSession();  // Stop
  MutterSession(const MutterSession&) = delete;
  MutterSession& operator=(const MutterSession&) = delete;

  const Stream& stream() const { return stream_; }
  // The screen-cast stream's object path, as NotifyPointerMotionAbsolute names the stream.
  const std::string& streamPath() const { return streamPath_; }

  // Calls org.gnome.Mutter.RemoteDesktop.Session.`member` with `signature` and `args`; false
  // when mutter answers an error.
  template <typename... Args>
  bool notify(const char* member, const char* signature, Args... args) {
    std::string error;
    return callBusMethod(bus_.get(), {kService, session_.c_str(), kSessionInterface, member}, kCallLimit, &error,
                         signature, args...) != nullptr;
  }

 private:
  static constexpr const char* kService = "org.gnome.Mutter.RemoteDesktop";
  static constexpr const char* kSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
  static constexpr std::chrono::milliseconds kCallLimit{5000};

  MutterSession(SdBusPtr bus, std::string session) : bus_(std::move(bus)), session_(std::move(session)) {}

  SdBusPtr bus_;
  std::string session_;
  std::string streamPath_;
  Stream stream_;
  bool started_ = false;
};

}  // namespace quorin

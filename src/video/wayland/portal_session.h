#pragma once
// One screen-sharing session of xdg-desktop-portal on the D-Bus session bus: the user's
// approval to capture the first monitor (cursor embedded) and, where the desktop offers the
// RemoteDesktop portal (GNOME, KDE), to inject keyboard and pointer events into that same
// session, in one approval. Where it offers only ScreenCast (wlroots), the session captures
// and cannot inject.
//
// The session asks the portal to remember the approval (persist mode 2) and hands back the
// restore token it gets, so that a later session with that token starts without a dialog.
//
// Threads: open() blocks its caller for every portal round trip, each bounded by a timeout;
// the Start step may show the user a dialog and waits for it up to Options::startTimeout.
// After open() the object may be used from any thread: calls on its bus connection
// (notifyRemoteDesktop, the destructor) are serialised by the session.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "video/capture_error.h"
#include "video/wayland/pipewire_display_stream.h"

struct sd_bus;

namespace quorin {

class PortalSession {
 public:
  struct Options {
    std::string restoreToken;  // from an earlier session; empty asks the user
    bool allowRemoteDesktop = true;
    std::chrono::milliseconds callTimeout{10'000};    // each portal request without a dialog
    std::chrono::milliseconds startTimeout{120'000};  // Start, which may wait for the user
    // Set from another thread to give up: the request in progress is withdrawn (its dialog
    // closes) and open() fails soon after.
    const std::atomic<bool>* cancelled = nullptr;
  };

  // The portal's picture stream: a PipeWire node and the monitor's size in pixels.
  struct Stream {
    std::uint32_t nodeId = 0;
    int width = 0;
    int height = 0;
  };

  // Creates and starts a session. Nothing, with `error` set to a sentence for the user, when
  // there is no session bus or portal, when the user refuses, or when the portal fails or
  // does not answer in time.
  static std::unique_ptr<PortalSession> open(const Options& options, CaptureError& error);

  ~PortalSession();  // closes the portal session (ends the stream and the input grant)
  PortalSession(const PortalSession&) = delete;
  PortalSession& operator=(const PortalSession&) = delete;

  // The session's object path, as the portal's session methods take it.
  const std::string& handle() const { return handle_; }
  // Whether the session came from the RemoteDesktop portal and may inject input.
  bool remoteDesktop() const { return remoteDesktop_; }
  // The granted device types (RemoteDesktop: 1 keyboard, 2 pointer); 0 without input.
  std::uint32_t devices() const { return devices_; }
  const Stream& stream() const { return stream_; }
  // The token that restores this approval later; empty when the portal gave none.
  const std::string& restoreToken() const { return restoreToken_; }

  // A new connection to the session's PipeWire remote (OpenPipeWireRemote), owned by the
  // caller; -1 when the portal refuses.
  int openPipeWireRemote();
  // The session's stream for PipeWireDisplayStream, on a new connection to its remote, keeping
  // `session` alive; nothing when the portal refuses the connection.
  static std::optional<PipeWireNode> pipeWireNode(const std::shared_ptr<PortalSession>& session);

  // Calls org.freedesktop.portal.RemoteDesktop.`method` (NotifyPointerMotion, ...) without
  // waiting for a reply. The session handle and an empty options dictionary come first; then
  // the arguments given by `types` (sd-bus signature, e.g. "dd") and the values. False when
  // the session has no RemoteDesktop grant or the message could not be sent.
  bool notifyRemoteDesktop(const char* method, const char* types, ...);

 private:
  PortalSession() = default;

  std::mutex busMutex_;
  sd_bus* bus_ = nullptr;
  std::string handle_;
  bool remoteDesktop_ = false;
  std::uint32_t devices_ = 0;
  Stream stream_;
  std::string restoreToken_;
};

}  // namespace quorin

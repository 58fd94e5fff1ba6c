#pragma once
// One client's use of mutter's own remote desktop and screen cast services
// (org.gnome.Mutter.RemoteDesktop and org.gnome.Mutter.ScreenCast): a remote desktop session
// with a screen cast of one monitor, started without a dialog. GNOME shows its screen-sharing
// indicator meanwhile. mutter takes a session's calls only from the connection that created
// it, so the connection is the client's own and input travels on it too.
//
// mutter 43 starts no stream recorded after its session started, so another monitor means a
// new session: record() stops the one before.
//
// Why a session ended: `Closed` on the remote desktop session (the user pressed Stop in
// GNOME's indicator, or the screen locked: mutter does not say which, so the host asks by
// trying a new session, which mutter refuses while locked); mutter's bus names losing their
// owner (mutter went away, and sent no Closed). The layout's changes
// (DisplayConfig.MonitorsChanged) are noted too, since mutter keeps recording a monitor that
// was disabled and says nothing.
//
// Threads: a "mutter-bus" thread of its own reads the connection and calls the change handler
// when something of the above happens. record(), monitors(), endReason() and the Notify*
// calls come from other threads (the desktop, capture and input threads), one at a time on
// the connection; each waits at most the call limit.

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/geometry.h"
#include "base/sd_bus.h"
#include "base/wakeup.h"
#include "video/capture_error.h"
#include "video/wayland/pipewire_display_stream.h"

namespace quorin {

class MutterRemoteDesktop : public std::enable_shared_from_this<MutterRemoteDesktop> {
 public:
  // A connection of its own to the session bus (or the bus at `busAddress`, when given).
  // Nothing, with `error` set, without one or without mutter on it.
  static std::shared_ptr<MutterRemoteDesktop> connect(std::chrono::milliseconds callLimit, CaptureError& error,
                                                      const std::string& busAddress = {});
  ~MutterRemoteDesktop();  // stops the session, so that GNOME's indicator goes
  MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
  MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

  // Whether mutter's two services are on the session bus, asked of the bus itself. Any thread.
  static bool offered(std::chrono::milliseconds callLimit);

  // The monitors of mutter's current layout by connector name, primary first, each at its
  // place in the layout (logical pixels); empty when mutter does not answer.
  std::vector<Monitor> monitors();

  // Records the monitor `connector` (its pointer drawn into the pictures) in a new session,
  // stopping the current one, starts it and waits for its PipeWire stream, which lives on the
  // user's own PipeWire daemon. The node's size is the monitor's. Nothing, with `error` set to
  // a sentence for the user, when mutter refuses (the screen is locked) or does not answer,
  // or `cancelled` (optional) is set on the way.
  std::optional<PipeWireNode> record(const std::string& connector, const std::atomic<bool>* cancelled,
                                     CaptureError& error);
  const std::string& recordedConnector() const { return connector_; }

  // Whether the current session ended. Any thread.
  bool ended() const { return ended_; }
  // Why the current session ended, a sentence for the user, waiting up to `wait` for mutter
  // to say so: its stream may stop a moment before it tells why. Nothing while it lives.
  std::optional<CaptureError> endReason(std::chrono::milliseconds wait = {});

  // Runs on the mutter-bus thread (or the calling one) when the session ended or the layout
  // changed; keep it short. Set before record().
  void setChangeHandler(std::function<void()> changed);
  // Whether the layout changed since the last take. Any thread.
  bool layoutChangePending() const { return layoutChanged_; }
  bool takeLayoutChange() { return layoutChanged_.exchange(false); }

  // RemoteDesktop.Session.`member` on the current session, its arguments appended as
  // sd_bus_message_append(types, ...) would; sent without waiting for mutter. The *OnStream
  // form puts the recorded stream's path first (pointer motion is relative to a stream).
  // False when there is no session or the message could not be sent.
  bool notify(const char* member, const char* types, ...);
  bool notifyOnStream(const char* member, const char* types, ...);

  // Stops the current session on this connection (only its creator may), so that mutter
  // sends its real Closed, as when the user presses Stop. For tests.
  void stopForTesting();

  // mutter's refusal of a new remote desktop session (a D-Bus error name and message) as a
  // sentence for the user: the locked screen's, mutter's absence, or a plain refusal, which the
  // portal may still grant.
  static CaptureError refusal(const std::string& errorName, const std::string& message);

 private:
  enum class End { none, closed, compositorGone };

  explicit MutterRemoteDesktop(std::chrono::milliseconds callLimit);
  void watch(const std::stop_token& stop);
  void dispatchLocked();  // delivers what the connection has read; under mutex_
  void stopLocked();
  void endLocked(End end);
  void noteChange();
  bool notifyLocked(const char* member, bool onStream, const char* types, va_list args);
  // A new remote desktop session's path; empty with `refused` set when mutter refuses.
  std::string createSessionLocked(CaptureError* refused);

  static int onClosed(sd_bus_message* message, void* self, sd_bus_error*);
  static int onStreamAdded(sd_bus_message* message, void* self, sd_bus_error*);
  static int onOwnerChanged(sd_bus_message* message, void* self, sd_bus_error*);
  static int onMonitorsChanged(sd_bus_message* message, void* self, sd_bus_error*);

  const std::chrono::milliseconds callLimit_;
  std::mutex mutex_;  // the connection and the session's paths
  SdBusPtr bus_;
  std::string session_;  // the remote desktop session's object path; empty when none
  std::string stream_;   // its screen cast stream's object path
  std::string connector_;
  std::optional<std::uint32_t> node_;  // from PipeWireStreamAdded
  End end_ = End::none;
  std::optional<CaptureError> reason_;  // end_ told as a sentence, once asked
  std::atomic<bool> ended_{false};
  std::function<void()> changed_;
  std::atomic<bool> layoutChanged_{false};
  Wakeup wake_;
  std::jthread watcher_;  // last: stops before the rest goes
};

}  // namespace quorin

#include "desktop/gnome/mutter_remote_desktop.h"

#include <poll.h>

#include <cstdarg>
#include <cstdlib>
#include <utility>

#include "base/log.h"
#include "base/sd_bus.h"
#include "desktop/gnome/mutter_display_config.h"
#include "video/capture_error.h"

namespace quorin {
namespace {

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";
// Pointer drawn into the pictures by mutter, so the phone sees it.
constexpr std::uint32_t kCursorEmbedded = 1;

SdBusPtr openBus(const std::string& address = {}) {
  SdBusPtr bus;
  if (address.empty()) return sd_bus_open_user(bus.out()) < 0 ? SdBusPtr() : std::move(bus);
  const bool open = sd_bus_new(bus.out()) >= 0 && sd_bus_set_address(bus.get(), address.c_str()) >= 0 &&
                    sd_bus_set_bus_client(bus.get(), 1) >= 0 && sd_bus_start(bus.get()) >= 0;
  return open ? std::move(bus) : SdBusPtr();
}

bool hasOwner(sd_bus* bus, const char* name, std::chrono::milliseconds limit) {
  const SdBusMessagePtr reply =
      callBusMethod(bus, {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner"},
                    limit, nullptr, "s", name);
  int owned = 0;
  return reply && sd_bus_message_read(reply.get(), "b", &owned) > 0 && owned;
}

// The object path in a method's reply; empty when there is none (the call failed).
std::string objectPath(const SdBusMessagePtr& reply) {
  const char* path = nullptr;
  return reply && sd_bus_message_read(reply.get(), "o", &path) > 0 ? path : "";
}

}  // namespace

MutterRemoteDesktop::MutterRemoteDesktop(std::chrono::milliseconds callLimit) : callLimit_(callLimit) {}

bool MutterRemoteDesktop::offered(std::chrono::milliseconds callLimit) {
  const SdBusPtr bus = openBus();
  return bus && hasOwner(bus.get(), kRemoteDesktop, callLimit) && hasOwner(bus.get(), kScreenCast, callLimit);
}

std::shared_ptr<MutterRemoteDesktop> MutterRemoteDesktop::connect(std::chrono::milliseconds callLimit,
                                                                  CaptureError& error, const std::string& busAddress) {
  std::shared_ptr<MutterRemoteDesktop> self(new MutterRemoteDesktop(callLimit));
  SdBusPtr bus = openBus(busAddress);
  if (!bus) {
    error = compositorGoneError();
    return nullptr;
  }
  sd_bus* raw = bus.get();
  void* data = self.get();
  // Signals are matched by interface and member, then checked against the current session's
  // paths, which change when another monitor is recorded. The slots live as long as the bus.
  const bool matched =
      sd_bus_match_signal(raw, nullptr, kRemoteDesktop, nullptr, kRemoteDesktopSession, "Closed", &onClosed, data) >=
          0 &&
      sd_bus_match_signal(raw, nullptr, kScreenCast, nullptr, "org.gnome.Mutter.ScreenCast.Stream",
                          "PipeWireStreamAdded", &onStreamAdded, data) >= 0 &&
      sd_bus_match_signal(raw, nullptr, "org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                          "org.gnome.Mutter.DisplayConfig", "MonitorsChanged", &onMonitorsChanged, data) >= 0 &&
      sd_bus_add_match(raw, nullptr,
                       "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                       "member='NameOwnerChanged',arg0='org.gnome.Mutter.RemoteDesktop'",
                       &onOwnerChanged, data) >= 0 &&
      sd_bus_add_match(raw, nullptr,
                       "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                       "member='NameOwnerChanged',arg0='org.gnome.Mutter.ScreenCast'",
                       &onOwnerChanged, data) >= 0;
  if (!matched) {
    error = compositorGoneError();
    return nullptr;
  }
  // The matches above are in place before the names are asked for, so no loss goes unseen.
  if (!hasOwner(raw, kRemoteDesktop, callLimit) || !hasOwner(raw, kScreenCast, callLimit)) {
    error = compositorGoneError();
    return nullptr;
  }
  self->bus_ = std::move(bus);
  self->watcher_ = std::jthread([s = self.get()](const std::stop_token& stop) { s->watch(stop); });
  return self;
}

MutterRemoteDesktop::~MutterRemoteDesktop() {
  if (watcher_.joinable()) {
    watcher_.request_stop();
    wake_.raise();
    watcher_.join();
  }
  std::lock_guard lock(mutex_);
  if (!bus_) return;
  stopLocked();
  // The last owner may be the main thread: a Stop that does not go out at once is left to
  // mutter, which ends the session anyway when this connection closes.
  flushBus(bus_.get(), std::chrono::milliseconds(100));
  sd_bus_close(bus_.get());
}

void MutterRemoteDesktop::watch(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    pollfd fds[2] = {{-1, 0, 0}, {wake_.fd(), POLLIN, 0}};
    {
      std::lock_guard lock(mutex_);
      dispatchLocked();
      // A closed connection has nothing more to say; only the wake-up is left to wait for.
      const int events = sd_bus_get_events(bus_.get());
      if (events >= 0) fds[0] = {sd_bus_get_fd(bus_.get()), static_cast<short>(events), 0};
    }
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) wake_.take();
  }
}

void MutterRemoteDesktop::dispatchLocked() {
  int status = 0;
  while ((status = sd_bus_process(bus_.get(), nullptr)) > 0) {
  }
  // The bus itself went away; mutter with it, as far as this session can tell.
  if (status < 0) endLocked(End::compositorGone);
}

void MutterRemoteDesktop::endLocked(End end) {
  if (end_ != End::none || session_.empty()) return;
  end_ = end;
  ended_ = true;
  noteChange();
}

void MutterRemoteDesktop::noteChange() {
  if (changed_) changed_();
}

void MutterRemoteDesktop::setChangeHandler(std::function<void()> changed) {
  std::lock_guard lock(mutex_);
  changed_ = std::move(changed);
}

std::vector<Monitor> MutterRemoteDesktop::monitors() {
  std::lock_guard lock(mutex_);
  std::vector<Monitor> monitors = mutter::currentMonitors(bus_.get(), callLimit_);
  dispatchLocked();
  return monitors;
}

std::optional<PipeWireNode> MutterRemoteDesktop::record(const std::string& connector,
                                                        const std::atomic<bool>* cancelled, CaptureError& error) {
  std::unique_lock lock(mutex_);
  stopLocked();
  std::string why;
  const std::string session = createSessionLocked(&error);
  if (session.empty()) {
    dispatchLocked();
    return std::nullopt;
  }
  session_ = session;
  end_ = End::none;
  reason_.reset();
  ended_ = false;
  node_.reset();
  connector_ = connector;
  char* id = nullptr;
  SdBusError failure;
  std::string cast;
  if (sd_bus_get_property_string(bus_.get(), kRemoteDesktop, session.c_str(), kRemoteDesktopSession, "SessionId",
                                 &failure.e, &id) >= 0) {
    cast = objectPath(callBusMethod(bus_.get(),
                                    {kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession"},
                                    callLimit_, &why, "a{sv}", 1, "remote-desktop-session-id", "s", id));
    std::free(id);
  } else {
    why = "SessionId: " + failure.text(-1);
  }
  stream_ = cast.empty() ? ""
                         : objectPath(callBusMethod(
                               bus_.get(), {kScreenCast, cast.c_str(), kScreenCastSession, "RecordMonitor"}, callLimit_,
                               &why, "sa{sv}", connector.c_str(), 1, "cursor-mode", "u", kCursorEmbedded));
  const bool started =
      !stream_.empty() && callBusMethod(bus_.get(), {kRemoteDesktop, session.c_str(), kRemoteDesktopSession, "Start"},
                                        callLimit_, &why, nullptr);
  if (!started) {
    logLine("mutter could not start recording " + connector + ": " + why);
    error = mutterFailedError();
    stopLocked();
    dispatchLocked();
    return std::nullopt;
  }
  // The stream's node comes as a signal once mutter has made it, within milliseconds; the
  // flag has no way to wake this wait, so it is looked at every 50 ms.
  const auto giveUp = std::chrono::steady_clock::now() + callLimit_;
  while (!node_ && end_ == End::none && !(cancelled && *cancelled) && std::chrono::steady_clock::now() < giveUp) {
    dispatchLocked();
    if (node_) break;
    lock.unlock();
    pollfd fd{sd_bus_get_fd(bus_.get()), POLLIN, 0};
    poll(&fd, 1, 50);
    lock.lock();
  }
  if (!node_) {
    if (cancelled && *cancelled) {
      error = sharingWithdrawnError();
    } else if (end_ != End::none) {
      lock.unlock();
      error = endReason().value_or(sharingEndedError());
      lock.lock();
    } else {
      logLine("mutter started recording " + connector + " but announced no stream");
      error = compositorSilentError();
    }
    stopLocked();
    return std::nullopt;
  }
  // The size of the stream, in the units of pointer motion, is the monitor's in the layout.
  PipeWireNode node{-1, *node_, 0, 0, nullptr};
  for (const Monitor& monitor : mutter::currentMonitors(bus_.get(), callLimit_)) {
    if (monitor.name == connector) {
      node.width = monitor.rect.width;
      node.height = monitor.rect.height;
    }
  }
  dispatchLocked();
  // The session's pointer joins the seat on its first use, and windows take the seat's pointer
  // only then: on a desktop without a mouse of its own, the client's first tap would find them
  // without one. A motion by nothing makes it join now.
  lock.unlock();
  notify("NotifyPointerMotionRelative", "dd", 0.0, 0.0);
  return node;
}

void MutterRemoteDesktop::stopLocked() {
  if (session_.empty()) return;
  // Stop is sent without waiting: a session mutter already closed answers with an error,
  // and a hung mutter must not hold the caller.
  SdBusMessagePtr call;
  if (sd_bus_message_new_method_call(bus_.get(), call.out(), kRemoteDesktop, session_.c_str(), kRemoteDesktopSession,
                                     "Stop") >= 0) {
    sd_bus_message_set_expect_reply(call.get(), 0);
    sd_bus_send(bus_.get(), call.get(), nullptr);
  }
  session_.clear();
  stream_.clear();
  node_.reset();
}

void MutterRemoteDesktop::stopForTesting() {
  std::lock_guard lock(mutex_);
  if (session_.empty()) return;
  callBusMethod(bus_.get(), {kRemoteDesktop, session_.c_str(), kRemoteDesktopSession, "Stop"}, callLimit_, nullptr,
                nullptr);
  dispatchLocked();
}

std::optional<CaptureError> MutterRemoteDesktop::endReason(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  const auto giveUp = std::chrono::steady_clock::now() + wait;
  for (;;) {
    dispatchLocked();
    if (end_ != End::none) break;
    if (std::chrono::steady_clock::now() >= giveUp) return std::nullopt;
    lock.unlock();
    pollfd fd{sd_bus_get_fd(bus_.get()), POLLIN, 0};
    poll(&fd, 1, 50);
    lock.lock();
  }
  if (reason_) return reason_;
  if (end_ == End::compositorGone) {
    reason_ = compositorGoneError();
    return reason_;
  }
  // mutter closes every session when the screen locks, and then refuses new ones: a refused
  // trial tells a lock from the user's Stop.
  CaptureError refused;
  const std::string trial = createSessionLocked(&refused);
  if (trial.empty()) {
    reason_ = refused;
  } else {
    callBusMethod(bus_.get(), {kRemoteDesktop, trial.c_str(), kRemoteDesktopSession, "Stop"}, callLimit_, nullptr,
                  nullptr);
    reason_ = sharingEndedError();
  }
  return reason_;
}

std::string MutterRemoteDesktop::createSessionLocked(CaptureError* refused) {
  SdBusMessagePtr call;
  SdBusMessagePtr reply;
  SdBusError failure;
  int status = sd_bus_message_new_method_call(bus_.get(), call.out(), kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop",
                                              kRemoteDesktop, "CreateSession");
  if (status >= 0) status = sd_bus_call(bus_.get(), call.get(), busMicroseconds(callLimit_), &failure.e, reply.out());
  const std::string session = status >= 0 ? objectPath(reply) : "";
  if (session.empty()) {
    const char* name = failure.e.name ? failure.e.name : "";
    logLine("mutter's remote desktop refused a session: " + failure.text(status) + " (" + name + ")");
    *refused = refusal(name, failure.e.message ? failure.e.message : "");
  }
  return session;
}

CaptureError MutterRemoteDesktop::refusal(const std::string& errorName, const std::string& message) {
  // While the lock screen inhibits remote access, mutter refuses with AccessDenied and says so.
  if (errorName == SD_BUS_ERROR_ACCESS_DENIED && message.find("inhibited") != std::string::npos) {
    return screenLockedError();
  }
  // No mutter on the bus, or one that does not answer (a mutter stopping may keep its names;
  // sd-bus names a local failure, a timeout among them, after its errno).
  if (errorName.empty() || errorName.starts_with("System.Error.") || errorName == SD_BUS_ERROR_SERVICE_UNKNOWN ||
      errorName == SD_BUS_ERROR_NAME_HAS_NO_OWNER || errorName == SD_BUS_ERROR_NO_REPLY ||
      errorName == SD_BUS_ERROR_TIMEOUT || errorName == SD_BUS_ERROR_DISCONNECTED) {
    return compositorGoneError();
  }
  return sharingRefusedError();
}

bool MutterRemoteDesktop::notify(const char* member, const char* types, ...) {
  va_list args;
  va_start(args, types);
  std::lock_guard lock(mutex_);
  const bool sent = notifyLocked(member, false, types, args);
  va_end(args);
  return sent;
}

bool MutterRemoteDesktop::notifyOnStream(const char* member, const char* types, ...) {
  va_list args;
  va_start(args, types);
  std::lock_guard lock(mutex_);
  const bool sent = notifyLocked(member, true, types, args);
  va_end(args);
  return sent;
}

bool MutterRemoteDesktop::notifyLocked(const char* member, bool onStream, const char* types, va_list args) {
  if (session_.empty() || end_ != End::none) return false;
  SdBusMessagePtr call;
  if (sd_bus_message_new_method_call(bus_.get(), call.out(), kRemoteDesktop, session_.c_str(), kRemoteDesktopSession,
                                     member) < 0 ||
      (onStream && sd_bus_message_append(call.get(), "s", stream_.c_str()) < 0) ||
      sd_bus_message_appendv(call.get(), types, args) < 0) {
    return false;
  }
  sd_bus_message_set_expect_reply(call.get(), 0);
  const bool sent = sd_bus_send(bus_.get(), call.get(), nullptr) >= 0 && flushBus(bus_.get(), callLimit_);
  dispatchLocked();
  return sent;
}

int MutterRemoteDesktop::onClosed(sd_bus_message* message, void* data, sd_bus_error*) {
  auto* self = static_cast<MutterRemoteDesktop*>(data);
  if (self->session_.empty() || self->session_ != sd_bus_message_get_path(message)) return 0;
  logLine("mutter closed the remote desktop session");
  self->endLocked(End::closed);
  return 0;
}

int MutterRemoteDesktop::onStreamAdded(sd_bus_message* message, void* data, sd_bus_error*) {
  auto* self = static_cast<MutterRemoteDesktop*>(data);
  std::uint32_t node = 0;
  if (self->stream_ == sd_bus_message_get_path(message) && sd_bus_message_read(message, "u", &node) > 0) {
    self->node_ = node;
  }
  return 0;
}

int MutterRemoteDesktop::onOwnerChanged(sd_bus_message* message, void* data, sd_bus_error*) {
  auto* self = static_cast<MutterRemoteDesktop*>(data);
  const char* name = nullptr;
  const char* before = nullptr;
  const char* after = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &before, &after) <= 0 || (after && *after)) return 0;
  // A name without owner: mutter stopped (or crashed), and no Closed will come.
  if (self->end_ == End::none && !self->session_.empty())
    logLine(std::string("mutter left the session bus (") + name + ")");
  self->endLocked(End::compositorGone);
  return 0;
}

int MutterRemoteDesktop::onMonitorsChanged(sd_bus_message*, void* data, sd_bus_error*) {
  auto* self = static_cast<MutterRemoteDesktop*>(data);
  self->layoutChanged_ = true;
  self->noteChange();
  return 0;
}

}  // namespace quorin

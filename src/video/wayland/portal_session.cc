#include "video/wayland/portal_session.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <vector>

#include "base/log.h"
#include "base/sd_bus.h"
#include "video/capture_error.h"

namespace quorin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kDeviceKeyboard = 1;
constexpr std::uint32_t kDevicePointer = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr std::uint32_t kResponseCancelled = 1;

// How long a message to the portal may wait to be written, and an input call for its answer:
// input that the portal does not read must not stall the thread that sends it.
constexpr std::chrono::milliseconds kFlushTimeout{1000};

// What a portal request answered through its Request object's Response signal.
struct Response {
  bool arrived = false;
  std::uint32_t code = 2;
  std::string sessionHandle;
  std::string restoreToken;
  std::uint32_t devices = 0;
  std::vector<PortalSession::Stream> streams;
};

int readStreams(sd_bus_message* m, std::vector<PortalSession::Stream>& streams) {
  int r = sd_bus_message_enter_container(m, 'v', "a(ua{sv})");
  if (r >= 0) r = sd_bus_message_enter_container(m, 'a', "(ua{sv})");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'r', "ua{sv}")) > 0) {
    PortalSession::Stream stream;
    r = sd_bus_message_read(m, "u", &stream.nodeId);
    if (r >= 0) r = sd_bus_message_enter_container(m, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
      const char* key = nullptr;
      r = sd_bus_message_read(m, "s", &key);
      if (r >= 0 && std::strcmp(key, "size") == 0) {
        r = sd_bus_message_read(m, "v", "(ii)", &stream.width, &stream.height);
      } else if (r >= 0) {
        r = sd_bus_message_skip(m, "v");
      }
      if (r >= 0) r = sd_bus_message_exit_container(m);
    }
    if (r >= 0) r = sd_bus_message_exit_container(m);
    if (r >= 0) r = sd_bus_message_exit_container(m);
    if (r >= 0) streams.push_back(stream);
  }
  if (r >= 0) r = sd_bus_message_exit_container(m);
  if (r >= 0) r = sd_bus_message_exit_container(m);
  return r;
}

// Reads a string-like variant ("s" or "o"), the one the portal versions disagree on.
int readTextVariant(sd_bus_message* m, std::string& out) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, &type, &contents);
  if (r < 0 || !contents || (std::strcmp(contents, "s") != 0 && std::strcmp(contents, "o") != 0)) {
    return r < 0 ? r : sd_bus_message_skip(m, "v");
  }
  const char* text = nullptr;
  r = sd_bus_message_read(m, "v", contents, &text);
  if (r >= 0 && text) out = text;
  return r;
}

int onResponse(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto& response = *static_cast<Response*>(userdata);
  response.arrived = true;
  int r = sd_bus_message_read(m, "u", &response.code);
  if (r >= 0) r = sd_bus_message_enter_container(m, 'a', "{sv}");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    r = sd_bus_message_read(m, "s", &key);
    if (r < 0) break;
    if (std::strcmp(key, "session_handle") == 0) {
      r = readTextVariant(m, response.sessionHandle);
    } else if (std::strcmp(key, "restore_token") == 0) {
      r = readTextVariant(m, response.restoreToken);
    } else if (std::strcmp(key, "devices") == 0) {
      r = sd_bus_message_read(m, "v", "u", &response.devices);
    } else if (std::strcmp(key, "streams") == 0) {
      r = readStreams(m, response.streams);
    } else {
      r = sd_bus_message_skip(m, "v");
    }
    if (r >= 0) r = sd_bus_message_exit_container(m);
  }
  if (r < 0) {
    logLine("unreadable portal response: " + std::string(std::strerror(-r)));
    response.code = 2;
  }
  return 0;
}

std::string newToken() {
  static std::atomic<unsigned> counter{0};
  return "quorin" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

// The path the portal gives the Request object of a call made with `token`, so that its
// Response can be subscribed to before the call is made (it may come before the reply).
std::string requestPath(sd_bus* bus, const std::string& token) {
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus, &unique) < 0 || !unique) return {};
  std::string sender = unique + 1;  // without the leading ':'
  for (char& c : sender) {
    if (c == '.') c = '_';
  }
  return std::string(kPortalPath) + "/request/" + sender + "/" + token;
}

// How often a wait for the user's answer looks whether it is still wanted.
constexpr auto kCancelLook = std::chrono::milliseconds(100);

// Processes the bus until `done` or `deadline`; false on timeout, cancellation or a broken
// connection.
bool waitUntil(sd_bus* bus, const bool& done, Clock::time_point deadline,
               const std::atomic<bool>* cancelled) {
  while (!done) {
    if (cancelled && *cancelled) return false;
    const int r = sd_bus_process(bus, nullptr);
    if (r < 0) return false;
    if (r > 0) continue;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const int w = sd_bus_wait(bus, busMicroseconds(std::min<Clock::duration>(deadline - now, kCancelLook)));
    if (w < 0 && w != -EINTR) return false;
  }
  return true;
}

std::optional<std::uint32_t> uintProperty(sd_bus* bus, const char* interface, const char* name) {
  SdBusError error;
  std::uint32_t value = 0;
  if (sd_bus_get_property_trivial(bus, kPortal, kPortalPath, interface, name, &error.e, 'u',
                                  &value) < 0) {
    return std::nullopt;
  }
  return value;
}

using Appender = std::function<int(sd_bus_message*)>;

// Calls a portal method that answers through a Request object and waits for the answer.
// `arguments` appends what comes before the options; `options` adds entries to them.
std::optional<Response> request(sd_bus* bus, const char* interface, const char* method,
                                const Appender& arguments, const Appender& options,
                                std::chrono::milliseconds timeout, const std::atomic<bool>* cancelled,
                                CaptureError& error) {
  const std::string token = newToken();
  const std::string path = requestPath(bus, token);
  Response response;
  SdBusSlotPtr match;
  if (path.empty() || sd_bus_match_signal(bus, match.out(), kPortal, path.c_str(),
                                          "org.freedesktop.portal.Request", "Response",
                                          onResponse, &response) < 0) {
    error = portalUnavailableError();
    return std::nullopt;
  }
  SdBusMessagePtr call;
  int r = sd_bus_message_new_method_call(bus, call.out(), kPortal, kPortalPath, interface, method);
  if (r >= 0) r = arguments(call.get());
  if (r >= 0) r = sd_bus_message_open_container(call.get(), 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_append(call.get(), "{sv}", "handle_token", "s", token.c_str());
  if (r >= 0) r = options(call.get());
  if (r >= 0) r = sd_bus_message_close_container(call.get());
  const auto deadline = Clock::now() + timeout;
  SdBusError callError;
  SdBusMessagePtr reply;
  if (r >= 0) {
    r = sd_bus_call(bus, call.get(), busMicroseconds(timeout), &callError.e, reply.out());
  }
  if (r < 0) {
    logLine(std::string(method) + " failed: " +
            (callError.e.message ? callError.e.message : std::strerror(-r)));
    error = r == -ETIMEDOUT ? portalTimeoutError() : portalFailedError();
    return std::nullopt;
  }
  if (!waitUntil(bus, response.arrived, deadline, cancelled)) {
    // Withdraw the request so that a dialog does not stay up for nobody.
    sd_bus_call_method(bus, kPortal, path.c_str(), "org.freedesktop.portal.Request", "Close",
                       nullptr, nullptr, "");
    const bool givenUp = cancelled && *cancelled;
    logLine(std::string(method) + (givenUp ? " was withdrawn: the client went away" : " got no answer in time"));
    error = givenUp ? sharingWithdrawnError() : portalTimeoutError();
    return std::nullopt;
  }
  if (response.code != 0) {
    logLine(std::string(method) + " answered " + std::to_string(response.code));
    error = response.code == kResponseCancelled ? sharingRefusedError() : portalFailedError();
    return std::nullopt;
  }
  return response;
}

}  // namespace

std::unique_ptr<PortalSession> PortalSession::open(const Options& options, CaptureError& error) {
  std::unique_ptr<PortalSession> session(new PortalSession());
  sd_bus*& bus = session->bus_;
  const char* unique = nullptr;
  if (sd_bus_open_user(&bus) < 0 ||
      sd_bus_set_method_call_timeout(bus, busMicroseconds(options.callTimeout)) < 0 ||
      sd_bus_get_unique_name(bus, &unique) < 0) {
    logLine("no D-Bus session bus for the screen-sharing portal");
    error = portalUnavailableError();
    return nullptr;
  }

  const auto screenCastVersion = uintProperty(bus, kScreenCast, "version");
  if (!screenCastVersion) {
    logLine("the ScreenCast portal is not offered on the session bus");
    error = portalUnavailableError();
    return nullptr;
  }
  const std::optional<std::uint32_t> remoteDesktopVersion =
      options.allowRemoteDesktop ? uintProperty(bus, kRemoteDesktop, "version") : std::nullopt;
  session->remoteDesktop_ = remoteDesktopVersion.has_value();
  const char* sessionInterface = session->remoteDesktop_ ? kRemoteDesktop : kScreenCast;
  const std::uint32_t cursorModes = uintProperty(bus, kScreenCast, "AvailableCursorModes").value_or(0);

  const std::string sessionToken = newToken();
  auto created = request(
      bus, sessionInterface, "CreateSession", [](sd_bus_message*) { return 0; },
      [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "{sv}", "session_handle_token", "s", sessionToken.c_str());
      },
      options.callTimeout, options.cancelled, error);
  if (!created) return nullptr;
  session->handle_ = created->sessionHandle;
  if (session->handle_.empty()) {
    error = portalFailedError();
    return nullptr;
  }
  const auto withSession = [&](sd_bus_message* m) {
    return sd_bus_message_append(m, "o", session->handle_.c_str());
  };
  // Persistence belongs to the devices of a remote-desktop session and to the sources of a
  // plain screen cast; each portal refuses it in the other place.
  const auto persistence = [&](sd_bus_message* m) {
    int r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", kPersistUntilRevoked);
    if (r >= 0 && !options.restoreToken.empty()) {
      r = sd_bus_message_append(m, "{sv}", "restore_token", "s", options.restoreToken.c_str());
    }
    return r;
  };

  if (session->remoteDesktop_) {
    const bool persists = *remoteDesktopVersion >= 2;
    auto selected = request(
        bus, kRemoteDesktop, "SelectDevices", withSession,
        [&](sd_bus_message* m) {
          int r = sd_bus_message_append(m, "{sv}", "types", "u", kDeviceKeyboard | kDevicePointer);
          if (r >= 0 && persists) r = persistence(m);
          return r;
        },
        options.callTimeout, options.cancelled, error);
    if (!selected) return nullptr;
  }
  auto sources = request(
      bus, kScreenCast, "SelectSources", withSession,
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "{sv}", "types", "u", kSourceMonitor);
        if (r >= 0) r = sd_bus_message_append(m, "{sv}", "multiple", "b", 0);
        if (r >= 0 && (cursorModes & kCursorEmbedded)) {
          r = sd_bus_message_append(m, "{sv}", "cursor_mode", "u", kCursorEmbedded);
        }
        if (r >= 0 && !session->remoteDesktop_ && *screenCastVersion >= 4) r = persistence(m);
        return r;
      },
      options.callTimeout, options.cancelled, error);
  if (!sources) return nullptr;

  auto started = request(
      bus, sessionInterface, "Start",
      [&](sd_bus_message* m) { return sd_bus_message_append(m, "os", session->handle_.c_str(), ""); },
      [](sd_bus_message*) { return 0; }, options.startTimeout, options.cancelled, error);
  if (!started) return nullptr;
  if (started->streams.empty() || started->streams.front().width <= 0 ||
      started->streams.front().height <= 0) {
    logLine("the screen-sharing portal started without a monitor stream");
    error = noDisplayFoundError();
    return nullptr;
  }
  session->stream_ = started->streams.front();
  session->restoreToken_ = started->restoreToken;
  session->devices_ = session->remoteDesktop_ ? started->devices : 0;
  logLine("screen-sharing portal session " + session->handle_ + " started (node " +
          std::to_string(session->stream_.nodeId) + ", " + std::to_string(session->stream_.width) +
          "x" + std::to_string(session->stream_.height) +
          (session->remoteDesktop_ ? ", with input)" : ")"));
  return session;
}

PortalSession::~PortalSession() {
  std::lock_guard lock(busMutex_);
  if (!bus_) return;
  if (!handle_.empty()) {
    SdBusMessagePtr close;
    if (sd_bus_message_new_method_call(bus_, close.out(), kPortal, handle_.c_str(),
                                       "org.freedesktop.portal.Session", "Close") >= 0 &&
        sd_bus_message_set_expect_reply(close.get(), 0) >= 0) {
      sd_bus_send(bus_, close.get(), nullptr);
    }
  }
  flushBus(bus_, kFlushTimeout);
  sd_bus_close_unref(bus_);
}

std::optional<PipeWireNode> PortalSession::pipeWireNode(const std::shared_ptr<PortalSession>& session) {
  const int remote = session->openPipeWireRemote();
  if (remote < 0) return std::nullopt;
  const Stream& stream = session->stream();
  return PipeWireNode{remote, stream.nodeId, stream.width, stream.height, session};
}

int PortalSession::openPipeWireRemote() {
  std::lock_guard lock(busMutex_);
  SdBusError error;
  SdBusMessagePtr reply;
  if (sd_bus_call_method(bus_, kPortal, kPortalPath, kScreenCast, "OpenPipeWireRemote", &error.e,
                         reply.out(), "oa{sv}", handle_.c_str(), 0) < 0) {
    logLine(std::string("OpenPipeWireRemote failed: ") +
            (error.e.message ? error.e.message : "no answer"));
    return -1;
  }
  int fd = -1;
  if (sd_bus_message_read(reply.get(), "h", &fd) < 0 || fd < 0) return -1;
  // The descriptor belongs to the reply; keep our own.
  return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

bool PortalSession::notifyRemoteDesktop(const char* method, const char* types, ...) {
  std::lock_guard lock(busMutex_);
  if (!remoteDesktop_) return false;
  SdBusMessagePtr message;
  int r = sd_bus_message_new_method_call(bus_, message.out(), kPortal, kPortalPath, kRemoteDesktop,
                                         method);
  if (r >= 0) r = sd_bus_message_append(message.get(), "oa{sv}", handle_.c_str(), 0);
  if (r >= 0 && types && *types) {
    va_list values;
    va_start(values, types);
    r = sd_bus_message_appendv(message.get(), types, values);
    va_end(values);
  }
  // One call at a time, each answered before the next: the frontend handles calls on a pool
  // of threads, so calls in flight together reach the compositor in any order (a button's
  // release before its press).
  SdBusError error;
  if (r >= 0) r = sd_bus_call(bus_, message.get(), busMicroseconds(kFlushTimeout), &error.e, nullptr);
  if (r < 0) logLine(std::string(method) + " failed: " + error.text(r));
  return r >= 0;
}

}  // namespace quorin

#pragma once
// X connections that fail instead of ending the process. Xlib's answer to a lost connection
// (the server ended, the socket was shut) is exit(); a connection opened here makes the call
// that found the loss return instead, and displayLost() tells it from then on. The host then
// ends the session that used the display, not the process.

#include <atomic>
#include <chrono>
#include <memory>

struct _XDisplay;  // Xlib's Display

namespace quorin::x11 {

struct DisplayCloser {
  void operator()(_XDisplay* display) const;
};
using DisplayPtr = std::unique_ptr<_XDisplay, DisplayCloser>;

// XOpenDisplay(`name`) (nullptr: $DISPLAY); nothing when no display is reachable. Waits for
// the server as long as it takes: a server that accepts and never answers holds the caller.
DisplayPtr openDisplay(const char* name);

// The same, run on a short-lived thread of its own, for callers that must not hang: gives up
// (nothing, and `gaveUp` set when given) after `limit` or soon after `cancelled` is set. The
// thread then closes the display itself whenever XOpenDisplay returns, or stays blocked if the
// server never answers; it touches nothing of the caller's. Any thread.
DisplayPtr openDisplay(const char* name, std::chrono::milliseconds limit, const std::atomic<bool>& cancelled,
                       bool* gaveUp = nullptr);

// How long the host waits for an X server to answer an open.
inline constexpr std::chrono::milliseconds kOpenLimit{3000};

// A flag that is never set, for callers with nothing to cancel an open.
extern const std::atomic<bool> kNeverCancelled;

bool displayLost(_XDisplay* display);

}  // namespace quorin::x11

#pragma once
// Cuts off one X connection from any thread, even while its owner is blocked in a round trip
// or in closing it: shutdown() of a copy of the connection's socket makes the blocked read or
// write fail, so Xlib counts the connection as lost (x_display.h) and every later call returns
// at once. The copy keeps the descriptor's number from being reused under cut() until
// forget().
//
// Thread: any; forget() once the display is closed.

#include <mutex>

struct _XDisplay;  // Xlib's Display

namespace quorin::x11 {

class ConnectionCut {
 public:
  explicit ConnectionCut(_XDisplay* display);
  ~ConnectionCut() { forget(); }
  ConnectionCut(const ConnectionCut&) = delete;
  ConnectionCut& operator=(const ConnectionCut&) = delete;

  void cut();
  // The display is closed: cut() does nothing from now on.
  void forget();

 private:
  std::mutex mutex_;
  int socket_;
};

}  // namespace quorin::x11

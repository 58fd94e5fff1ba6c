#pragma once
// Xlib's default error handler ends the process, which a failed grab (the screen shrank, the
// server refused shared memory) must not do. While a trap exists, protocol errors on its
// connection are recorded in the trap; errors on other connections still go to the handler
// that was installed before the first trap.

#include <atomic>

struct _XDisplay;  // Xlib's Display

namespace quorin::x11 {

class XErrorTrap {
 public:
  explicit XErrorTrap(_XDisplay* display);
  ~XErrorTrap();
  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;

  // The code of the last error recorded since the previous call, 0 for none. Errors arrive
  // when Xlib reads them: call after a request that waits for its reply, or after XSync.
  int takeError() { return lastError_.exchange(0); }

 private:
  friend struct XErrorTraps;
  _XDisplay* const display_;
  std::atomic<int> lastError_{0};
};

}  // namespace quorin::x11

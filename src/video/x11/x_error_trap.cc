#include "video/x11/x_error_trap.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace quorin::x11 {

// The one process-wide handler and the traps it serves.
struct XErrorTraps {
  static XErrorTraps& instance() {
    static XErrorTraps traps;
    return traps;
  }

  static int onError(Display* display, XErrorEvent* event) {
    XErrorTraps& self = instance();
    XErrorHandler previous = nullptr;
    {
      std::lock_guard lock(self.mutex);
      for (XErrorTrap* trap : self.traps) {
        if (trap->display_ == display) {
          trap->lastError_ = event->error_code;
          return 0;
        }
      }
      previous = self.previous;
    }
    return previous ? previous(display, event) : 0;
  }

  void add(XErrorTrap* trap) {
    std::lock_guard lock(mutex);
    if (!installed) {
      previous = XSetErrorHandler(&XErrorTraps::onError);
      installed = true;
    }
    traps.push_back(trap);
  }

  void remove(XErrorTrap* trap) {
    std::lock_guard lock(mutex);
    traps.erase(std::remove(traps.begin(), traps.end(), trap), traps.end());
  }

  std::mutex mutex;
  std::vector<XErrorTrap*> traps;
  XErrorHandler previous = nullptr;
  bool installed = false;
};

XErrorTrap::XErrorTrap(Display* display) : display_(display) { XErrorTraps::instance().add(this); }

XErrorTrap::~XErrorTrap() { XErrorTraps::instance().remove(this); }

}  // namespace quorin::x11

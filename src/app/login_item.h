#pragma once
// Whether the host starts when the user logs in. AutostartEntry is the real one (an XDG
// autostart file); tests use a fake. Thread: the main thread.

namespace quorin {

class LoginItem {
 public:
  virtual ~LoginItem() = default;
  virtual bool isEnabled() const = 0;
  // Registers (true) or unregisters (false) the host; false when that could not be done.
  virtual bool setEnabled(bool enabled) = 0;
};

}  // namespace quorin

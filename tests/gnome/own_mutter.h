#pragma once
// A headless mutter of the test's own (scripts/lib/mutter.sh) with two virtual monitors, Meta-0
// (1920x1080, primary) and Meta-1 (1280x720, on its right), on a private session bus that this
// process takes as its own while the object lives (DBUS_SESSION_BUS_ADDRESS and
// WAYLAND_DISPLAY point at them, and are put back at destruction), beside the PipeWire of
// $XDG_RUNTIME_DIR. A test may kill mutter and start it again on the same bus and socket name
// without touching the suite's mutter. The bus offers no services to start, so nothing else
// (a keyring) comes up on it. Everything it starts is stopped by PID. Tests only; the
// process becomes a subreaper, so that the daemons, started through a shell, stay its children.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "fakes/temporary_folder.h"

namespace quorin {

class OwnMutter {
 public:
  OwnMutter();
  ~OwnMutter();
  OwnMutter(const OwnMutter&) = delete;
  OwnMutter& operator=(const OwnMutter&) = delete;

  // mutter runs and offers its remote desktop; otherwise error() says why.
  bool running() const { return mutter_ > 0; }
  const std::string& error() const { return error_; }
  const std::string& display() const { return display_; }  // the Wayland socket's name
  const std::string& busAddress() const { return bus_; }
  // What a program needs to reach this mutter ("NAME=value" entries).
  std::vector<std::string> environment() const;
  // What mutter wrote so far.
  std::string log() const;

  // SIGKILL, and waits for its end.
  void kill();
  // Starts it again (or the first time); false with error() set when it does not come up.
  bool start();

 private:
  const TemporaryFolder dir_;
  std::string display_;
  std::string bus_;
  pid_t busPid_ = -1;
  pid_t mutter_ = -1;
  pid_t pipewire_ = -1;  // started only when none ran
  std::string error_;
  std::optional<std::string> savedBus_, savedDisplay_;
};

}  // namespace quorin

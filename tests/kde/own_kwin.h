#pragma once
// A headless KWin of the test's own (`kwin_wayland --virtual`), two 1280x800 outputs side by
// side (Virtual-0 at 0,0, Virtual-1 at 1280,0), no Xwayland, so that a test may stop it, start
// it again on the same socket name, or switch its outputs without touching the suite's KWin.
// Its socket and PipeWire are the suite's $XDG_RUNTIME_DIR's (the PipeWire and WirePlumber of
// scripts/test); its session bus is a private one, since the suite's KWin owns org.kde.KWin on
// the suite's bus; its XDG_DATA_HOME is its own, holding the desktop files that grant KWin's
// privileged interfaces to the binaries given, written before KWin first starts because KWin
// reads them as it starts and decides once per client connection. Permission checks stay on.
// This process's environment is left alone: a program reaches this KWin through
// WAYLAND_DISPLAY=display(). Everything it starts is stopped by PID. Tests only, one thread.

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "fakes/child_process.h"
#include "fakes/temporary_folder.h"

namespace quorin {

class OwnKwin {
 public:
  struct Grant {
    std::string binary{};      // absolute; symbolic links are resolved
    std::string interfaces{};  // comma-separated: zkde_screencast_unstable_v1,org_kde_kwin_fake_input
  };

  explicit OwnKwin(const std::vector<Grant>& grants);
  ~OwnKwin();
  OwnKwin(const OwnKwin&) = delete;
  OwnKwin& operator=(const OwnKwin&) = delete;

  // KWin runs and answers on its socket; otherwise error() says why.
  bool running() const { return kwin_ > 0; }
  const std::string& error() const { return error_; }
  const std::string& display() const { return display_; }  // the Wayland socket's name
  // What KWin wrote so far.
  std::string log() const;

  // SIGTERM, and waits for its end.
  void stop();
  // Starts it (again) with the same socket name and grants, and waits until it answers a
  // wl_display.sync; false with error() set when it does not come up.
  bool start();

 private:
  const TemporaryFolder dir_;
  const std::string display_;
  std::unique_ptr<ChildProcess> bus_;
  std::string busAddress_;
  pid_t kwin_ = -1;
  std::string error_;
};

}  // namespace quorin

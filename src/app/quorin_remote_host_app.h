#pragma once
// The tray application: the composition root that makes the one HostServer with the real
// backends (keyring, preferences file, Avahi) and keeps it, together with its tray item, for
// the life of the process. Thread: the GUI thread, which is the host's main thread.

#include <memory>

#include "app/autostart_entry.h"
#include "app/host_components.h"
#include "app/qt_task_runner.h"
#include "app/tray_item.h"

namespace quorin {

class QuorinRemoteHostApp {
 public:
  // Needs a QApplication. The server may start at once (the auto-start preference).
  QuorinRemoteHostApp();
  ~QuorinRemoteHostApp();

 private:
  QtTaskRunner mainThread_;
  HostComponents components_;
  std::unique_ptr<HostServer> server_;
  AutostartEntry loginItem_;
  PermissionFlags permissions_;  // kept while the panel is closed
  std::unique_ptr<TrayItem> tray_;
};

// Runs the tray application until Quit; the exit status.
int runTrayApplication(int argc, char** argv);

}  // namespace quorin

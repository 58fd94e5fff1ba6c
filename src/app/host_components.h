#pragma once
// The real backends of the host, made once by the composition root (the tray application or
// the headless runner) and kept for the life of the process: the identity on the system's
// keyring, the preferences file, the Avahi advertiser, the desktop clients see and touch
// (X11 with XTest; Wayland through wlroots screencopy, KWin's own screen cast and fake input on
// KDE, mutter's own service on GNOME, else the screen-sharing portal), and the power commands.
// Thread: the main thread.

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "app/menu_view_model.h"
#include "base/task_runner.h"
#include "desktop/desktop_environment.h"
#include "identity/host_identity.h"
#include "server/avahi_advertiser.h"
#include "server/command_runner.h"
#include "server/file_user_defaults.h"
#include "server/host_server.h"
#include "server/system_controller.h"

namespace quorin {

enum class DesktopBackend { x11, wayland };

// The desktop the host serves. QUORIN_BACKEND=x11|wayland decides; otherwise Wayland when
// WAYLAND_DISPLAY is set and no X display shows the desktop (none is reachable, or it is
// Xwayland's), else X11.
DesktopBackend chooseDesktopBackend();

enum class WaylandDesktop { wlroots, kde, gnome, portal };

// What the Wayland desktop offers the host, asked afresh for each connection.
struct WaylandOffers {
  bool wlroots = false;  // wlroots screencopy and virtual input
  bool kde = false;      // KWin's screen cast and fake input, granted to this program
  bool gnome = false;    // mutter's remote desktop and screen cast services
};

// How a Wayland desktop is shared: by the host itself where the compositor offers wlroots
// screencopy and virtual input, through KWin's own screen cast and fake input on KDE, through
// mutter's own remote desktop service on GNOME (nothing asks in any of these), else through
// the screen-sharing portal, which asks at the computer. `askBeforeConnecting` is the user's
// HostServer::kAskBeforeConnectingKey: it sends KDE and GNOME to the portal instead. wlroots
// asks nobody either way.
WaylandDesktop chooseWaylandDesktop(const WaylandOffers& offers, bool askBeforeConnecting);

class HostComponents {
 public:
  explicit HostComponents(TaskRunner& mainThread);
  ~HostComponents();  // withdraws an approval dialog still open
  HostComponents(const HostComponents&) = delete;
  HostComponents& operator=(const HostComponents&) = delete;

  HostIdentity& identity() { return identity_; }
  UserDefaults& defaults() { return defaults_; }
  // The desktop the next client gets: the chosen backend's, and on Wayland the one the
  // "ask before each connection" preference chooses as it reads now. Each is made at its
  // first call and kept. Main thread.
  std::shared_ptr<DesktopEnvironment> desktop();
  // Whether the "ask before each connection" preference changes anything on this desktop:
  // Wayland but not wlroots, which asks nobody either way.
  bool canAskBeforeConnecting();
  // Why this desktop asks at the computer before each connection where the host could avoid
  // it (KWin hides its protocols from this binary), for the panel. Main thread.
  std::optional<std::string> desktopNote();
  // The one server of the process; construction may start it (the auto-start preference).
  std::unique_ptr<HostServer> makeServer();

  // What the panel shows and asks for this desktop: `x11` on X11. On Wayland the rows follow
  // the portal and the approval the host keeps (until a session finds it revoked), and
  // "Grant" brings up the portal's dialog, one at a time, on a thread of its own since the
  // user may take long; the approval is kept for later runs.
  // A wlroots desktop, KDE through KWin's own protocols and GNOME through mutter's own service
  // need no approval: the rows show granted wherever the compositor offers it.
  PermissionServices permissionServices(PermissionServices x11);

 private:
  void storeRestoreToken(const std::string& token);
  bool wlrootsOffered();
  WaylandOffers waylandOffers(bool askBeforeConnecting);
  std::shared_ptr<DesktopEnvironment> makeWaylandDesktop(WaylandDesktop kind);

  TaskRunner& mainThread_;
  const DesktopBackend backend_;
  HostIdentity identity_;
  FileUserDefaults defaults_;
  SpawnCommandRunner commandRunner_;
  SystemController systemController_{commandRunner_};
  // Whether the portal's approval is kept; read by the panel's probe thread.
  std::atomic<bool> approvalStored_ = false;
  // The "ask before each connection" preference as the last desktop() read it; read by the
  // panel's probe thread.
  std::atomic<bool> askBeforeConnecting_ = false;
  std::thread approval_;  // the "Grant" dialog's, while it is open
  std::atomic<bool> approvalCancelled_ = false;
  // Made with the server: they connect to Avahi and to the desktop.
  std::unique_ptr<AvahiAdvertiser> advertiser_;
  std::optional<bool> wlrootsOffered_;  // asked once: the compositor stays what it is
  // Shared with the desktop threads of client sessions, which may outlive a quit (see
  // DesktopSessionRequest). One per kind, so that a portal keeps its approval while unused.
  std::shared_ptr<DesktopEnvironment> x11_;
  std::map<WaylandDesktop, std::shared_ptr<DesktopEnvironment>> wayland_;
  std::optional<WaylandDesktop> lastWayland_;  // the one logged last
  bool kwinHiddenReported_ = false;            // why KDE asks, logged once
};

}  // namespace quorin

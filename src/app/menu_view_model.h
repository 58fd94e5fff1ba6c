#pragma once
// What the tray panel shows and what its controls do, without any toolkit: the panel's items
// are a pure function of a MenuState (the server's published state, the two permission flags,
// the monitors and the chosen one, and the panel's own switch state), and MenuViewModel keeps
// that state current and carries out the actions. The widgets only draw items and forward
// clicks.
//
// Thread: the main thread, apart from the screen-recording probe and the reading of the
// monitors, which run on the model's own "probe" thread and report back through the main
// thread's runner.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/login_item.h"
#include "base/geometry.h"
#include "base/io_thread.h"
#include "base/task_runner.h"
#include "server/host_server.h"

namespace quorin {

class DesktopEnvironment;

struct Rgb {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool operator==(const Rgb&) const = default;
};

// The two accent colours, opaque sRGB.
inline constexpr Rgb kPurple{120, 79, 220};  // #784FDC: Start/Stop button, QR outline
inline constexpr Rgb kTeal{0, 209, 191};     // #00D1BF: header dot, running symbol

// Text styles; the toolkit maps them onto sizes relative to the desktop's font.
enum class TextStyle { body, headline, callout, caption, caption2 };

// Semantic colours; `standard` is the toolkit's text colour.
enum class Tint { standard, secondary, teal, purple, orange, green, red };

enum class MenuElement {
  header,
  divider,
  status,
  connectedLabel,
  errorLabel,
  permissionRow,
  desktopNote,
  pairingButton,
  internetAccess,
  monitorRow,
  askBeforeConnectingSwitch,
  autoStartSwitch,
  openAtLoginSwitch,
  buttonRow,
  note,
};

// One element of the panel. Fields an element has no use for keep their defaults.
struct MenuItem {
  MenuElement element = MenuElement::divider;
  bool shown = true;
  std::string symbol = {};  // symbol name ("pause.circle"); empty for none
  Tint symbolTint = Tint::standard;
  std::string text = {};
  TextStyle style = TextStyle::body;
  Tint textTint = Tint::standard;
  bool on = false;     // a switch's position; a permission row's "granted"
  std::string button = {};  // permission row: "Grant" while not granted; button row: "Stop"/"Start"
                       // (the row's `text` is its second button, "Quit")
  std::vector<std::string> choices = {};  // monitor row: its entries, in order
  std::size_t chosen = 0;                 // monitor row: the selected entry
};

struct MenuState {
  bool isRunning = false;
  std::optional<std::string> connectedClient = {};
  std::optional<std::string> lastError = {};
  bool autoStart = false;
  bool hasScreen = false;
  bool hasAccessibility = false;
  bool openAtLogin = false;
  std::vector<std::string> monitors = {};  // names, the primary one first
  std::string monitor = {};                // the chosen one; empty for the primary one
  bool canAskBeforeConnecting = false;     // the preference changes anything on this desktop
  bool askBeforeConnecting = false;
  // Why this desktop still asks at the computer before each connection, and how to avoid it.
  std::optional<std::string> desktopNote = {};
};

inline constexpr std::size_t kMenuItemCount = 21;
using MenuItems = std::array<MenuItem, kMenuItemCount>;

// Every item of the panel, top to bottom; items that are not shown are still present. The
// monitor row shows only when there is a choice (two monitors or more); it selects the chosen
// monitor, or the primary one when none is chosen or the chosen one is not there. The "ask
// before each connection" switch shows only where it changes anything.
MenuItems menuItems(const MenuState& state);

// The application's memory of the two permissions: it outlives a closed panel.
struct PermissionFlags {
  bool hasScreen = false;
  bool hasAccessibility = false;
};

// How the panel learns and asks for permissions. Every member must be set.
struct PermissionServices {
  std::function<bool(bool prompt)> isAccessibilityTrusted;
  std::function<bool()> hasScreenRecording;  // may block; called on the probe thread
  std::function<void()> openScreenRecordingSettings;
  std::function<void()> openAccessibilitySettings;
};

class MenuViewModel {
 public:
  struct Environment {
    HostServer* server = nullptr;
    PermissionFlags* flags = nullptr;
    PermissionServices permissions;
    LoginItem* loginItem = nullptr;
    TaskRunner* mainThread = nullptr;
    UserDefaults* defaults = nullptr;  // the server's: the monitor choice is kept there
    // The desktop the next client gets (as the server is handed it), asked on the main thread;
    // its monitors are read on the probe thread.
    std::function<std::shared_ptr<DesktopEnvironment>()> desktop;
    // Whether HostServer::kAskBeforeConnectingKey changes anything on this desktop.
    bool canAskBeforeConnecting = false;
    std::optional<std::string> desktopNote = {};  // see MenuState
  };

  // Reads the login item's status once, for the "Open at login" switch. Everything in
  // `environment` must outlive the model.
  explicit MenuViewModel(Environment environment);
  ~MenuViewModel();
  MenuViewModel(const MenuViewModel&) = delete;
  MenuViewModel& operator=(const MenuViewModel&) = delete;

  MenuState state() const;
  MenuItems items() const { return menuItems(state()); }

  // Called after anything the panel shows may have changed.
  void setChangeHandler(std::function<void()> handler);

  // Stops when the server runs at this moment, else starts it.
  void startOrStop();
  // Stores the auto-start preference; neither starts nor stops the server.
  void setAutoStart(bool on);
  // Adds or removes the login item. When that fails the switch goes back to the login item's
  // real state, and that change is applied in turn.
  void setOpenAtLogin(bool on);
  void grantScreenRecording();
  void grantAccessibility();
  // Stores entry `index` of the monitor row as the monitor the next client session streams.
  // The primary one is stored as no choice, so that the stream follows the primary monitor.
  void chooseMonitor(std::size_t index);
  // Stores whether the next client's desktop is shared through the portal, which asks at the
  // computer, then reads the monitors of the desktop that choice gives.
  void setAskBeforeConnecting(bool on);
  // Re-reads what the desktop decides: accessibility and the chosen monitor at once, screen
  // recording and the monitors on the probe thread.
  void refresh();

 private:
  void changed();

  Environment env_;
  bool openAtLogin_ = false;
  std::vector<std::string> monitors_;
  std::string monitor_;
  bool askBeforeConnecting_ = false;
  std::function<void()> onChange_;
  int observerToken_ = 0;
  std::shared_ptr<MenuViewModel*> self_;  // weak handles to it guard the probe's report
  IoThread probe_{"probe"};
};

}  // namespace quorin

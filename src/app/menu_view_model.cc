#include "app/menu_view_model.h"

#include <algorithm>
#include <utility>

#include "base/log.h"
#include "desktop/desktop_environment.h"

namespace quorin {
namespace {

MenuItem divider() { return {}; }

MenuItem permissionRow(const char* title, bool granted) {
  return {.element = MenuElement::permissionRow,
          .symbol = granted ? "checkmark.circle.fill" : "circle",
          .symbolTint = granted ? Tint::green : Tint::secondary,
          .text = title,
          .style = TextStyle::callout,
          .on = granted,
          .button = granted ? "" : "Grant"};
}

MenuItem switchItem(MenuElement element, const char* text, bool on) {
  return {.element = element, .text = text, .style = TextStyle::caption, .on = on};
}

MenuItem monitorRow(const std::vector<std::string>& monitors, const std::string& chosen) {
  std::vector<std::string> choices = monitors;
  if (!choices.empty()) choices.front() += " (primary)";
  const auto named = std::find(monitors.begin(), monitors.end(), chosen);
  return {.element = MenuElement::monitorRow,
          .shown = monitors.size() >= 2,
          .text = "Monitor",
          .style = TextStyle::caption,
          .choices = std::move(choices),
          .chosen = named == monitors.end() ? 0 : std::size_t(named - monitors.begin())};
}

}  // namespace

MenuItems menuItems(const MenuState& state) {
  const bool running = state.isRunning;
  return {{
      {.element = MenuElement::header,
       .symbolTint = Tint::teal,  // the dot before the title
       .text = "Quorin Remote Host",
       .style = TextStyle::headline},
      divider(),
      {.element = MenuElement::status,
       .symbol = running ? "antenna.radiowaves.left.and.right" : "pause.circle",
       .symbolTint = running ? Tint::teal : Tint::secondary,
       .text = running ? "Advertising on the network" : "Stopped",
       .style = TextStyle::callout},
      {.element = MenuElement::connectedLabel,
       .shown = state.connectedClient.has_value(),
       .symbol = "iphone",
       .symbolTint = Tint::secondary,
       .text = "Connected: " + state.connectedClient.value_or(""),
       .style = TextStyle::caption,
       .textTint = Tint::secondary},
      {.element = MenuElement::errorLabel,
       .shown = state.lastError.has_value(),
       .symbol = "exclamationmark.triangle",
       .symbolTint = Tint::orange,
       .text = state.lastError.value_or(""),
       .style = TextStyle::caption,
       .textTint = Tint::orange},
      divider(),
      permissionRow("Screen Recording", state.hasScreen),
      permissionRow("Accessibility", state.hasAccessibility),
      {.element = MenuElement::desktopNote,
       .shown = state.desktopNote.has_value(),
       .symbol = "info.circle",
       .symbolTint = Tint::secondary,
       .text = state.desktopNote.value_or(""),
       .style = TextStyle::caption,
       .textTint = Tint::secondary},
      divider(),
      {.element = MenuElement::pairingButton, .symbol = "qrcode", .text = "Pair a device\u2026"},
      divider(),
      {.element = MenuElement::internetAccess},
      divider(),
      monitorRow(state.monitors, state.monitor),
      {.element = MenuElement::askBeforeConnectingSwitch,
       .shown = state.canAskBeforeConnecting,
       .text = "Ask on this computer before each connection",
       .style = TextStyle::caption,
       .on = state.askBeforeConnecting},
      switchItem(MenuElement::autoStartSwitch, "Start advertising when opened", state.autoStart),
      switchItem(MenuElement::openAtLoginSwitch, "Open at login", state.openAtLogin),
      divider(),
      {.element = MenuElement::buttonRow,
       .symbolTint = Tint::purple,  // the first button's tint
       .text = "Quit",
       .button = running ? "Stop" : "Start"},
      {.element = MenuElement::note,
       .text = "Connection is encrypted (TLS). Only devices that scanned your QR can connect.",
       .style = TextStyle::caption2,
       .textTint = Tint::secondary},
  }};
}

MenuViewModel::MenuViewModel(Environment environment)
    : env_(std::move(environment)),
      openAtLogin_(env_.loginItem->isEnabled()),
      self_(std::make_shared<MenuViewModel*>(this)) {
  observerToken_ = env_.server->addObserver([this](HostServer::Property) { changed(); });
}

MenuViewModel::~MenuViewModel() {
  self_.reset();
  env_.server->removeObserver(observerToken_);
}

MenuState MenuViewModel::state() const {
  const HostServer& server = *env_.server;
  return {.isRunning = server.isRunning(),
          .connectedClient = server.connectedClient(),
          .lastError = server.lastError(),
          .autoStart = server.autoStart(),
          .hasScreen = env_.flags->hasScreen,
          .hasAccessibility = env_.flags->hasAccessibility,
          .openAtLogin = openAtLogin_,
          .monitors = monitors_,
          .monitor = monitor_,
          .canAskBeforeConnecting = env_.canAskBeforeConnecting,
          .askBeforeConnecting = askBeforeConnecting_,
          .desktopNote = env_.desktopNote};
}

void MenuViewModel::setChangeHandler(std::function<void()> handler) { onChange_ = std::move(handler); }

void MenuViewModel::changed() {
  if (onChange_) onChange_();
}

void MenuViewModel::startOrStop() {
  if (env_.server->isRunning()) {
    env_.server->stop();
  } else {
    env_.server->start();
  }
}

void MenuViewModel::setAutoStart(bool on) { env_.server->setAutoStart(on); }

void MenuViewModel::setOpenAtLogin(bool on) {
  if (on == openAtLogin_) return;  // only a change is applied
  openAtLogin_ = on;
  changed();
  if (env_.loginItem->setEnabled(on)) return;
  // Show what is really registered; when that differs, it is a change of its own.
  setOpenAtLogin(env_.loginItem->isEnabled());
}

void MenuViewModel::grantScreenRecording() { env_.permissions.openScreenRecordingSettings(); }

void MenuViewModel::grantAccessibility() {
  env_.permissions.isAccessibilityTrusted(true);
  env_.permissions.openAccessibilitySettings();
}

void MenuViewModel::chooseMonitor(std::size_t index) {
  if (index >= monitors_.size()) return;
  const std::string name = index == 0 ? std::string() : monitors_[index];
  if (env_.defaults->setString(HostServer::kMonitorKey, name)) {
    monitor_ = name;
  } else {
    logLine("the monitor choice could not be saved");
  }
  changed();  // after a failure the row shows the stored choice again
}

void MenuViewModel::setAskBeforeConnecting(bool on) {
  if (env_.defaults->setBool(HostServer::kAskBeforeConnectingKey, on)) {
    askBeforeConnecting_ = on;
    refresh();  // the other desktop may list other monitors
  } else {
    logLine("the choice to ask before each connection could not be saved");
    changed();  // the switch shows the stored choice again
  }
}

void MenuViewModel::refresh() {
  env_.flags->hasAccessibility = env_.permissions.isAccessibilityTrusted(false);
  monitor_ = env_.defaults->stringValue(HostServer::kMonitorKey);
  askBeforeConnecting_ = env_.defaults->boolValue(HostServer::kAskBeforeConnectingKey);
  changed();
  std::shared_ptr<DesktopEnvironment> desktop = env_.desktop ? env_.desktop() : nullptr;
  probe_.post([probe = env_.permissions.hasScreenRecording, desktop = std::move(desktop), main = env_.mainThread,
               weak = std::weak_ptr(self_)] {
    const bool granted = probe();
    std::vector<std::string> names;
    if (desktop) {
      for (const Monitor& monitor : desktop->monitors()) names.push_back(monitor.name);
    }
    main->post([weak, granted, names = std::move(names)]() mutable {
      if (auto self = weak.lock()) {
        (*self)->env_.flags->hasScreen = granted;
        (*self)->monitors_ = std::move(names);
        (*self)->changed();
      }
    });
  });
}

}  // namespace quorin

#include "app/host_components.h"

#include <malloc.h>

#include <cstdlib>
#include <string_view>
#include <thread>

#include "app/wayland/permissions.h"
#include "base/log.h"
#include "desktop/gnome/gnome_desktop_environment.h"
#include "desktop/kde/kde_desktop_environment.h"
#include "desktop/portal/portal_desktop_environment.h"
#include "desktop/wlroots/wlroots_desktop_environment.h"
#include "desktop/x11/x11_desktop_environment.h"
#include "server/host_info.h"
#include "transport/secure_channel.h"
#include "video/wayland/portal_session.h"

namespace quorin {
namespace {

// The screen-sharing portal's token that restores the user's approval without a dialog.
constexpr std::string_view kRestoreTokenKey = "QuorinScreenShareRestoreToken";

std::string_view environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

DesktopBackend chooseDesktopBackend() {
  const std::string_view chosen = environment("QUORIN_BACKEND");
  if (chosen == "wayland") return DesktopBackend::wayland;
  if (chosen == "x11") return DesktopBackend::x11;
  if (!chosen.empty()) logLine("ignoring QUORIN_BACKEND=" + std::string(chosen) + " (x11 or wayland)");
  return !environment("WAYLAND_DISPLAY").empty() && !x11::showsDesktop()
             ? DesktopBackend::wayland
             : DesktopBackend::x11;
}

HostComponents::HostComponents(TaskRunner& mainThread)
    : mainThread_(mainThread),
      backend_(chooseDesktopBackend()),
      identity_(SecureChannel::generateKey, HostInfo::name) {
  // Every client session starts capture and encoder threads of its own. With glibc's default
  // of up to eight malloc arenas per core, each new thread may get a fresh arena that keeps
  // its freed frame buffers, and a host that serves many short sessions slowly grows. Two
  // arenas keep its memory flat at no measurable cost.
  mallopt(M_ARENA_MAX, 2);
  approvalStored_ = !defaults_.stringValue(kRestoreTokenKey).empty();
  askBeforeConnecting_ = defaults_.boolValue(HostServer::kAskBeforeConnectingKey);
}

HostComponents::~HostComponents() {
  // An approval dialog still open is withdrawn; its thread then ends within a moment.
  approvalCancelled_ = true;
  if (approval_.joinable()) approval_.join();
}

void HostComponents::storeRestoreToken(const std::string& token) {
  // An empty token: the approval was revoked or spent, and the panel shows it as missing.
  if (!defaults_.setString(kRestoreTokenKey, token)) return;
  approvalStored_ = !token.empty();
}

PermissionServices HostComponents::permissionServices(PermissionServices x11) {
  if (backend_ == DesktopBackend::x11) return x11;
  PermissionServices services = WaylandPermissions::services([this] { return approvalStored_.load(); }, [this] {
    if (approval_.joinable()) return;  // one dialog at a time
    approval_ = std::thread([this] {
      PortalSession::Options options;
      options.cancelled = &approvalCancelled_;
      CaptureError error;
      const std::unique_ptr<PortalSession> session = PortalSession::open(options, error);
      const std::string token = session ? session->restoreToken() : std::string();
      mainThread_.post([this, token, error] {
        if (approval_.joinable()) approval_.join();  // it has posted this and ends
        if (token.empty()) {
          logLine("screen sharing was not approved: " + error.description);
        } else {
          storeRestoreToken(token);
        }
      });
    });
  });
  // wlroots, KDE and GNOME desktops are shared without the portal where the compositor grants
  // it: there is nothing to approve, unless the user wants KDE or GNOME to ask through the
  // portal.
  const auto compositorShares = [this] {
    if (askBeforeConnecting_) return false;
    const KdeDesktopEnvironment::Offer kwin = KdeDesktopEnvironment::offer();
    return kwin == KdeDesktopEnvironment::Offer::granted ||
           (kwin == KdeDesktopEnvironment::Offer::none && GnomeDesktopEnvironment::offered());
  };
  services.hasScreenRecording = [portal = std::move(services.hasScreenRecording), compositorShares] {
    return WlrootsDesktopEnvironment::offeredBy() || compositorShares() || portal();
  };
  services.isAccessibilityTrusted = [portal = std::move(services.isAccessibilityTrusted),
                                     compositorShares](bool prompt) { return compositorShares() || portal(prompt); };
  return services;
}

WaylandDesktop chooseWaylandDesktop(const WaylandOffers& offers, bool askBeforeConnecting) {
  // wlroots lets the host copy the output the client chose, and asks nobody.
  if (offers.wlroots) return WaylandDesktop::wlroots;
  if (askBeforeConnecting) return WaylandDesktop::portal;
  // KWin's and mutter's own services share the chosen monitor without a dialog. KWin's are
  // asked of the compositor itself, so they come first: mutter's names may be on the bus of
  // a session whose compositor is another.
  if (offers.kde) return WaylandDesktop::kde;
  if (offers.gnome) return WaylandDesktop::gnome;
  return WaylandDesktop::portal;
}

WaylandOffers HostComponents::waylandOffers(bool askBeforeConnecting) {
  WaylandOffers offers{.wlroots = wlrootsOffered()};
  if (offers.wlroots || askBeforeConnecting) return offers;
  const KdeDesktopEnvironment::Offer kwin = KdeDesktopEnvironment::offer();
  if (kwin == KdeDesktopEnvironment::Offer::hidden && !kwinHiddenReported_) {
    logLine(kwinGrantAdvice());
    kwinHiddenReported_ = true;
  }
  offers.kde = kwin == KdeDesktopEnvironment::Offer::granted;
  // Where the compositor is KWin, mutter's names on the bus belong to no desktop shown.
  offers.gnome = kwin == KdeDesktopEnvironment::Offer::none && GnomeDesktopEnvironment::offered();
  return offers;
}

bool HostComponents::wlrootsOffered() {
  if (!wlrootsOffered_) wlrootsOffered_ = WlrootsDesktopEnvironment::offeredBy();
  return *wlrootsOffered_;
}

bool HostComponents::canAskBeforeConnecting() {
  return backend_ == DesktopBackend::wayland && !wlrootsOffered();
}

std::optional<std::string> HostComponents::desktopNote() {
  if (backend_ != DesktopBackend::wayland || wlrootsOffered() ||
      KdeDesktopEnvironment::offer() != KdeDesktopEnvironment::Offer::hidden) {
    return std::nullopt;
  }
  return "KDE asks on this computer before each connection: KWin shares the screen without asking only "
         "with the installed /usr/bin/quorin-remote-host (restart it after installing).";
}

std::shared_ptr<DesktopEnvironment> HostComponents::desktop() {
  if (backend_ == DesktopBackend::x11) {
    if (!x11_) x11_ = std::make_shared<X11DesktopEnvironment>();
    return x11_;
  }
  // KWin and mutter are asked each time: the host may have started before them, or outlived
  // them.
  const bool ask = defaults_.boolValue(HostServer::kAskBeforeConnectingKey);
  askBeforeConnecting_ = ask;
  const WaylandDesktop kind = chooseWaylandDesktop(waylandOffers(ask), ask);
  if (kind != lastWayland_) {
    logLine(kind == WaylandDesktop::wlroots ? "sharing the Wayland desktop through wlroots screencopy"
            : kind == WaylandDesktop::kde   ? "sharing the Wayland desktop through KWin's screen cast and fake input"
            : kind == WaylandDesktop::gnome ? "sharing the Wayland desktop through GNOME's remote desktop service"
                                            : "sharing the Wayland desktop through the screen-sharing portal");
    lastWayland_ = kind;
  }
  std::shared_ptr<DesktopEnvironment>& kept = wayland_[kind];
  if (!kept) kept = makeWaylandDesktop(kind);
  return kept;
}

std::shared_ptr<DesktopEnvironment> HostComponents::makeWaylandDesktop(WaylandDesktop kind) {
  switch (kind) {
    case WaylandDesktop::wlroots:
      return std::make_shared<WlrootsDesktopEnvironment>();
    case WaylandDesktop::kde:
      return std::make_shared<KdeDesktopEnvironment>();
    case WaylandDesktop::gnome: {
      // The portal serves where mutter refuses for another reason than the lock screen.
      std::shared_ptr<DesktopEnvironment>& portal = wayland_[WaylandDesktop::portal];
      if (!portal) portal = makeWaylandDesktop(WaylandDesktop::portal);
      return std::make_shared<GnomeDesktopEnvironment>(portal);
    }
    case WaylandDesktop::portal:
      return std::make_shared<PortalDesktopEnvironment>(PortalDesktopEnvironment::TokenStore{
          .initial = defaults_.stringValue(kRestoreTokenKey),
          // The components live as long as the process, so the posted task always finds them.
          .save = [this](const std::string& token) { mainThread_.post([this, token] { storeRestoreToken(token); }); },
      });
  }
  return nullptr;
}

std::unique_ptr<HostServer> HostComponents::makeServer() {
  if (!advertiser_) advertiser_ = std::make_unique<AvahiAdvertiser>(mainThread_);
  desktop();  // the first one made (and the compositor probed) before clients come
  return std::make_unique<HostServer>(HostServer::Environment{
      .mainThread = &mainThread_,
      .identity = &identity_,
      .defaults = &defaults_,
      .advertiser = advertiser_.get(),
      .desktop = [this] { return desktop(); },
      .systemController = &systemController_,
      .hostName = HostInfo::name,
  });
}

}  // namespace quorin

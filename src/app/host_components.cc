#include "app/host_components.h"

#include <malloc.h>

#include <cstdlib>
#include <string_view>
#include <thread>

#include "app/wayland/permissions.h"
#include "base/log.h"
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
  // A wlroots desktop is shared without the portal: there is nothing to approve.
  services.hasScreenRecording = [portal = std::move(services.hasScreenRecording)] {
    return WlrootsDesktopEnvironment::offeredBy() || portal();
  };
  return services;
}

DesktopEnvironment& HostComponents::desktop() {
  if (desktop_) return *desktop_;
  if (backend_ == DesktopBackend::wayland && WlrootsDesktopEnvironment::offeredBy()) {
    // wlroots lets the host copy the output the client chose, and asks nobody.
    logLine("sharing the Wayland desktop through wlroots screencopy");
    desktop_ = std::make_shared<WlrootsDesktopEnvironment>();
  } else if (backend_ == DesktopBackend::wayland) {
    logLine("sharing the Wayland desktop through the screen-sharing portal");
    desktop_ = std::make_shared<PortalDesktopEnvironment>(PortalDesktopEnvironment::TokenStore{
        .initial = defaults_.stringValue(kRestoreTokenKey),
        // The components live as long as the process, so the posted task always finds them.
        .save = [this](const std::string& token) { mainThread_.post([this, token] { storeRestoreToken(token); }); },
    });
  } else {
    desktop_ = std::make_shared<X11DesktopEnvironment>();
  }
  return *desktop_;
}

std::unique_ptr<HostServer> HostComponents::makeServer() {
  if (!advertiser_) advertiser_ = std::make_unique<AvahiAdvertiser>(mainThread_);
  desktop();  // made before the server, which shares it
  return std::make_unique<HostServer>(HostServer::Environment{
      .mainThread = &mainThread_,
      .identity = &identity_,
      .defaults = &defaults_,
      .advertiser = advertiser_.get(),
      .desktop = desktop_,
      .systemController = &systemController_,
      .hostName = HostInfo::name,
  });
}

}  // namespace quorin

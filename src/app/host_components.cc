#include "app/host_components.h"

#include <malloc.h>

#include <cstdlib>
#include <string_view>
#include <thread>

#include "app/wayland/permissions.h"
#include "app/wayland/portal_input_sink.h"
#include "base/log.h"
#include "input/wayland/wlr_event_sink.h"
#include "input/x11/xtest_event_sink.h"
#include "server/host_info.h"
#include "transport/secure_channel.h"
#include "video/wayland/wayland_display_capturer.h"
#include "video/x11/x11_display_capturer.h"

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
  return !environment("WAYLAND_DISPLAY").empty() && !X11DisplayCapturer::showsDesktop()
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

void HostComponents::storeRestoreToken(const std::string& token) {
  if (token.empty() || !defaults_.setString(kRestoreTokenKey, token)) return;
  approvalStored_ = true;
}

PermissionServices HostComponents::permissionServices(PermissionServices x11) {
  if (backend_ == DesktopBackend::x11) return x11;
  return WaylandPermissions::services([this] { return approvalStored_.load(); }, [this] {
    // The components live as long as the process, so the answer always finds them.
    std::thread([this] {
      CaptureError error;
      const std::unique_ptr<PortalSession> session = PortalSession::open({}, error);
      const std::string token = session ? session->restoreToken() : std::string();
      mainThread_.post([this, token, error] {
        if (token.empty()) {
          logLine("screen sharing was not approved: " + error.description);
        } else {
          storeRestoreToken(token);
        }
      });
    }).detach();
  });
}

std::unique_ptr<HostServer> HostComponents::makeServer() {
  if (!advertiser_) advertiser_ = std::make_unique<AvahiAdvertiser>(mainThread_);
  if (!capturer_ && backend_ == DesktopBackend::wayland) {
    logLine("sharing the Wayland desktop through the screen-sharing portal");
    auto capturer = std::make_unique<WaylandDisplayCapturer>(WaylandDisplayCapturer::TokenStore{
        .load = [this] { return defaults_.stringValue(kRestoreTokenKey); },
        .save = [this](const std::string& token) { storeRestoreToken(token); },
    });
    // wlroots compositors take input from virtual devices of our own and their portal has no
    // remote desktop; GNOME and KDE take it through the portal session that shares the screen.
    std::unique_ptr<EventSink> sink = wayland::openWlrEventSink();
    if (!sink) sink = makePortalInputSink(*capturer);
    injector_ = std::make_unique<InputInjector>(std::move(sink));
    capturer_ = std::move(capturer);
  }
  if (!capturer_) capturer_ = std::make_unique<X11DisplayCapturer>();
  // Without a reachable display the injector still takes events and posts nothing.
  if (!injector_) injector_ = std::make_unique<InputInjector>(x11::openXTestEventSink());
  return std::make_unique<HostServer>(HostServer::Environment{
      .mainThread = &mainThread_,
      .identity = &identity_,
      .defaults = &defaults_,
      .advertiser = advertiser_.get(),
      .capturer = capturer_.get(),
      .injector = injector_.get(),
      .systemController = &systemController_,
      .hostName = HostInfo::name,
  });
}

}  // namespace quorin

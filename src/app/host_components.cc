#include "app/host_components.h"

#include <malloc.h>

#include <cstdlib>
#include <string_view>

#include "base/log.h"
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
}

std::unique_ptr<HostServer> HostComponents::makeServer() {
  if (!advertiser_) advertiser_ = std::make_unique<AvahiAdvertiser>(mainThread_);
  if (!capturer_ && backend_ == DesktopBackend::wayland) {
    logLine("sharing the Wayland desktop through the screen-sharing portal");
    capturer_ = std::make_unique<WaylandDisplayCapturer>(WaylandDisplayCapturer::TokenStore{
        .load = [this] { return defaults_.stringValue(kRestoreTokenKey); },
        .save = [this](const std::string& token) { defaults_.setString(kRestoreTokenKey, token); },
    });
  }
  if (!capturer_) capturer_ = std::make_unique<X11DisplayCapturer>();
  // Without a sink the injector still takes events and posts nothing. On Wayland the sink
  // is the portal session's RemoteDesktop (WaylandDisplayCapturer::session()) or the
  // compositor's virtual devices; until one is wired in here, input is not injected.
  if (!injector_) {
    injector_ = std::make_unique<InputInjector>(
        backend_ == DesktopBackend::x11 ? x11::openXTestEventSink() : nullptr);
  }
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

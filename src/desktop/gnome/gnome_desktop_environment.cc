#include "desktop/gnome/gnome_desktop_environment.h"

#include <algorithm>

#include "base/log.h"
#include "desktop/gnome/gnome_display_stream.h"
#include "desktop/gnome/mutter_input.h"
#include "desktop/gnome/mutter_remote_desktop.h"
#include "input/wayland/remote_desktop_event_sink.h"
#include "video/capture_error.h"

namespace quorin {

GnomeDesktopEnvironment::GnomeDesktopEnvironment(std::shared_ptr<DesktopEnvironment> fallback,
                                                 std::string waylandDisplay)
    : fallback_(std::move(fallback)), waylandDisplay_(std::move(waylandDisplay)) {}

bool GnomeDesktopEnvironment::offered() { return MutterRemoteDesktop::offered(kCallLimit); }

std::vector<Monitor> GnomeDesktopEnvironment::monitors() {
  CaptureError error;
  const std::shared_ptr<MutterRemoteDesktop> remote = MutterRemoteDesktop::connect(kCallLimit, error);
  return remote ? remote->monitors() : std::vector<Monitor>{};
}

DesktopEnvironment::Result GnomeDesktopEnvironment::makeSession(const std::string& monitor,
                                                                const std::atomic<bool>& cancelled) {
  CaptureError error;
  std::shared_ptr<MutterRemoteDesktop> remote = MutterRemoteDesktop::connect(kCallLimit, error);
  if (!remote) return {nullptr, error};
  std::unique_ptr<GnomeDisplayStream> stream = GnomeDisplayStream::open(remote, monitor, kCallLimit, &cancelled, error);
  if (!stream) {
    if (error == sharingRefusedError() && fallback_ && !cancelled) {
      logLine("mutter refused to share the screen; asking through the screen-sharing portal");
      return fallback_->makeSession(monitor, cancelled);
    }
    return {nullptr, error};
  }
  const std::optional<PictureSize> first = awaitFirstPicture(*stream, cancelled, error);
  if (!first) return {nullptr, error};
  {
    std::lock_guard lock(mutex_);
    std::erase_if(sessions_, [](const auto& session) { return session.expired(); });
    sessions_.push_back(remote);
  }
  auto sink =
      std::make_unique<RemoteDesktopEventSink>(std::make_unique<MutterInput>(remote, waylandDisplay_), stream->area());
  const std::string recorded = remote->recordedConnector();
  return {std::make_unique<DesktopSession>(recorded, std::move(stream), *first, std::move(sink),
                                           DesktopSession::SinkArea{}, remote),
          {}};
}

void GnomeDesktopEnvironment::stopSessionsForTesting() {
  std::lock_guard lock(mutex_);
  for (const auto& session : sessions_) {
    if (const auto remote = session.lock()) remote->stopForTesting();
  }
}

}  // namespace quorin

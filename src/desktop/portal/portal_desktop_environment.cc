#include "desktop/portal/portal_desktop_environment.h"

#include <cstdint>

#include "input/wayland/remote_desktop_event_sink.h"
#include "input/wayland/remote_desktop_input.h"
#include "input/wayland/wlr_event_sink.h"
#include "video/wayland/pipewire_display_stream.h"
#include "video/capture_error.h"

namespace quorin {
namespace {

// The Notify* calls on the portal session's own connection: the portal takes them only from
// the connection that created the session.
class PortalSessionInput final : public RemoteDesktopInput {
 public:
  explicit PortalSessionInput(std::shared_ptr<PortalSession> session) : session_(std::move(session)) {}

  bool pointerMotionAbsolute(double x, double y) override {
    return session_->notifyRemoteDesktop("NotifyPointerMotionAbsolute", "udd", session_->stream().nodeId, x, y);
  }
  bool pointerButton(int button, bool pressed) override {
    return session_->notifyRemoteDesktop("NotifyPointerButton", "iu", button, state(pressed));
  }
  bool pointerAxisDiscrete(ScrollAxis axis, int steps) override {
    return session_->notifyRemoteDesktop("NotifyPointerAxisDiscrete", "ui", static_cast<std::uint32_t>(axis),
                                         steps);
  }
  bool keyboardKeysym(std::uint32_t keysym, bool pressed) override {
    return session_->notifyRemoteDesktop("NotifyKeyboardKeysym", "iu", static_cast<std::int32_t>(keysym),
                                         state(pressed));
  }

 private:
  static std::uint32_t state(bool pressed) { return pressed ? 1U : 0U; }
  std::shared_ptr<PortalSession> session_;
};

}  // namespace

PortalDesktopEnvironment::PortalDesktopEnvironment(TokenStore tokens, PortalSession::Options options)
    : options_(std::move(options)), save_(std::move(tokens.save)), token_(std::move(tokens.initial)) {}

DesktopEnvironment::Result PortalDesktopEnvironment::makeSession(const std::string& /*monitor*/,
                                                                const std::atomic<bool>& cancelled) {
  PortalSession::Options options = options_;
  options.cancelled = &cancelled;
  {
    std::lock_guard lock(mutex_);
    options.restoreToken = token_;
  }
  CaptureError error;
  std::shared_ptr<PortalSession> session = PortalSession::open(options, error);
  // Tokens are single-use: each start hands out the one for next time, and a refusal means
  // the user revoked the approval. Either way the token kept so far is spent.
  // A result nobody waits for any more (the client went away) is thrown away whole.
  if (cancelled) return {nullptr, sharingWithdrawnError()};
  if (session || error == sharingRefusedError()) {
    const std::string token = session ? session->restoreToken() : std::string();
    {
      std::lock_guard lock(mutex_);
      token_ = token;
    }
    if (save_) save_(token);
  }
  if (!session) return {nullptr, error};
  std::optional<PipeWireNode> node = PortalSession::pipeWireNode(session);
  if (!node) return {nullptr, pipeWireError()};
  std::unique_ptr<DisplayStream> stream = PipeWireDisplayStream::open(std::move(*node), options_.callTimeout, &cancelled, error);
  if (!stream) return {nullptr, error};
  const std::optional<PictureSize> first = awaitFirstPicture(*stream, cancelled, error);
  if (!first) return {nullptr, error};

  // wlroots compositors take input from virtual devices of our own, in the coordinates of
  // their layout; GNOME and KDE take it through the portal session, in the stream's own.
  if (std::unique_ptr<EventSink> sink = wayland::openWlrEventSink()) {
    EventSink* wlr = sink.get();
    auto area = [wlr](const ScreenRect& streamArea) { return wlr->screenFrame().value_or(streamArea); };
    return {std::make_unique<DesktopSession>(std::string(), std::move(stream), *first, std::move(sink), area,
                                             session),
            {}};
  }
  std::unique_ptr<EventSink> sink;
  if (session->remoteDesktop()) {
    sink = std::make_unique<RemoteDesktopEventSink>(std::make_unique<PortalSessionInput>(session), stream->area());
  }
  return {std::make_unique<DesktopSession>(std::string(), std::move(stream), *first, std::move(sink),
                                           DesktopSession::SinkArea{}, session),
          {}};
}

}  // namespace quorin

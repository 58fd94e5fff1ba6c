#include "video/wayland/wayland_display_capturer.h"

#include "video/wayland/pipewire_display_stream.h"

namespace quorin {

WaylandDisplayCapturer::WaylandDisplayCapturer(TokenStore tokens, PortalSession::Options options)
    : tokens_(std::move(tokens)), options_(std::move(options)) {}

std::shared_ptr<PortalSession> WaylandDisplayCapturer::startSession(CaptureError& error) {
  PortalSession::Options options = options_;
  if (tokens_.load) options.restoreToken = tokens_.load();
  std::shared_ptr<PortalSession> session = PortalSession::open(options, error);
  // Tokens are single-use: each start hands out the one for next time.
  if (session && !session->restoreToken().empty() && tokens_.save) {
    tokens_.save(session->restoreToken());
  }
  return session;
}

ShareableContent WaylandDisplayCapturer::shareableContent() {
  if (!pending_) {
    CaptureError error;
    pending_ = startSession(error);
    if (!pending_) return {.displays = {}, .error = error};
  }
  const PortalSession::Stream& stream = pending_->stream();
  return {.displays = {ScreenRect{0, 0, stream.width, stream.height}}, .error = std::nullopt};
}

std::unique_ptr<DisplayStream> WaylandDisplayCapturer::openStream(const ScreenRect& /*display*/,
                                                                  CaptureError& error) {
  std::shared_ptr<PortalSession> session = std::move(pending_);
  if (!session) session = startSession(error);
  if (!session) return nullptr;
  streaming_ = session;
  return PipeWireDisplayStream::open(std::move(session), options_.callTimeout, error);
}

}  // namespace quorin

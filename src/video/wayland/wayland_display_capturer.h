#pragma once
// DisplayCapturer for a Wayland desktop, through the screen-sharing portal and PipeWire. The
// one display is the monitor the portal shares (the user picks it in the portal's dialog the
// first time; later sessions restore that choice with the token kept through `TokenStore`).
//
// Threads: shareableContent() and openStream() run on the owner's thread (the main thread)
// and block it while the portal answers: a few round trips, each bounded by a timeout, and
// the Start step, which waits up to PortalSession::Options::startTimeout for the user when
// the portal shows a dialog. shareableContent() starts the portal session, since only that
// tells the monitor's size; the openStream() that follows streams from that same session.

#include <functional>
#include <memory>
#include <string>

#include "video/display_capturer.h"
#include "video/wayland/portal_session.h"

namespace quorin {

class WaylandDisplayCapturer final : public DisplayCapturer {
 public:
  // Where the portal's restore token is kept between runs; called on the owner's thread.
  struct TokenStore {
    std::function<std::string()> load;
    std::function<void(const std::string&)> save;
  };

  explicit WaylandDisplayCapturer(TokenStore tokens, PortalSession::Options options = {});

  ShareableContent shareableContent() override;
  std::unique_ptr<DisplayStream> openStream(const ScreenRect& display,
                                            CaptureError& error) override;

  // The portal session of the newest stream while that stream lives, for an input sink that
  // injects through the same session (RemoteDesktop); empty otherwise. Owner's thread.
  std::shared_ptr<PortalSession> session() const { return streaming_.lock(); }

 private:
  std::shared_ptr<PortalSession> startSession(CaptureError& error);

  TokenStore tokens_;
  PortalSession::Options options_;
  std::shared_ptr<PortalSession> pending_;  // started by shareableContent(), not yet streamed
  std::weak_ptr<PortalSession> streaming_;
};

}  // namespace quorin

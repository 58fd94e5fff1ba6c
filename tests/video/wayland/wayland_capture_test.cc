// Capture of a real wlroots desktop (headless sway) through xdg-desktop-portal and PipeWire,
// as scripts/test starts it (scripts/lib/wayland.sh), and the portal dialogue against a
// stand-in portal on a bus of the test's own.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "desktop/portal/portal_desktop_environment.h"
#include "fakes/require_service.h"
#include "video/recording_sink.h"
#include "video/screen_capture_manager.h"
#include "video/wayland/fake_portal.h"
#include "video/capture_error.h"
#include "video/wayland/pipewire_display_stream.h"
#include "video/wayland/portal_session.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

TEST(WaylandCapture, AStreamStoppedByTheDesktopEndsCaptureWithADescription) {
  QUORIN_REQUIRE(std::getenv("WAYLAND_DISPLAY") && std::getenv("SWAYSOCK"),
                 "no sway / portal stack (scripts/test starts one)");
  CaptureError error;
  std::shared_ptr<PortalSession> session = PortalSession::open({}, error);
  ASSERT_NE(session, nullptr) << error.description;
  auto stream = PipeWireDisplayStream::open(session, 10s, nullptr, error);
  ASSERT_NE(stream, nullptr) << error.description;
  EXPECT_EQ(stream->area(), (ScreenRect{0, 0, session->stream().width, session->stream().height}));
  RecordingSink sink;
  ScreenCaptureManager capture(sink);
  Recorder<CaptureError> ends;
  capture.setEndHandler([&](const CaptureError& error) { ends.add(error); });
  capture.start(std::move(stream), 60);
  ASSERT_TRUE(sink.waitFor(1));
  // What the compositor side does when the user stops sharing: the node goes away.
  ASSERT_EQ(std::system(("pw-cli destroy " + std::to_string(session->stream().nodeId) + " >/dev/null").c_str()), 0);
  ASSERT_TRUE(ends.waitFor(1));
  EXPECT_EQ(ends.at(0), sharingEndedError());
}

TEST(WaylandCapture, AMissingRefusingSilentOrWithdrawnPortalStartsNothingAndSaysWhyAndAGrantIsKept) {
  PrivateSessionBus bus;
  ASSERT_FALSE(bus.address().empty());
  CaptureError error;
  EXPECT_EQ(PortalSession::open({}, error), nullptr);
  EXPECT_EQ(error, portalUnavailableError());
  {
    FakePortal portal(bus.address(), FakePortal::kRefuse);
    EXPECT_EQ(PortalSession::open({}, error), nullptr);
    EXPECT_EQ(error, sharingRefusedError());
    // A refusal despite a kept approval: the user revoked it, and it is kept no longer.
    std::vector<std::string> saved;
    PortalDesktopEnvironment desktop({"kept", [&](const std::string& token) { saved.push_back(token); }});
    const std::atomic<bool> cancelled = false;
    EXPECT_EQ(desktop.makeSession({}, cancelled).error, sharingRefusedError());
    EXPECT_EQ(saved, std::vector<std::string>{""});
  }
  {
    FakePortal portal(bus.address(), FakePortal::kNeverAnswer);
    PortalSession::Options options;
    options.callTimeout = 300ms;
    EXPECT_EQ(PortalSession::open(options, error), nullptr);
    EXPECT_EQ(error, portalTimeoutError());
    // A dialog left open for a client that went away: withdrawn as soon as it is cancelled,
    // long before the portal's own time limit.
    std::atomic<bool> cancelled = false;
    options.callTimeout = 120s;
    options.cancelled = &cancelled;
    std::thread client([&] { std::this_thread::sleep_for(200ms), cancelled = true; });
    EXPECT_EQ(PortalSession::open(options, error), nullptr);
    client.join();
    EXPECT_EQ(error, sharingWithdrawnError());
  }

  // A grant: one session for screen and input, and the approval for next time.
  FakePortal portal(bus.address(), FakePortal::kGrantRemoteDesktop);
  PortalSession::Options options;
  options.restoreToken = "earlier";
  const auto session = PortalSession::open(options, error);
  ASSERT_NE(session, nullptr) << error.description;
  EXPECT_EQ(session->restoreToken(), "granted");
  EXPECT_EQ(portal.calls(), (std::vector<std::string>{"RemoteDesktop.CreateSession",
                                                      "RemoteDesktop.SelectDevices earlier",
                                                      "ScreenCast.SelectSources", "RemoteDesktop.Start"}));
  EXPECT_TRUE(session->remoteDesktop());
  EXPECT_EQ(session->devices(), 3u);
  EXPECT_TRUE(session->notifyRemoteDesktop("NotifyPointerMotion", "dd", 1.0, 2.0));
  for (int i = 0; i < 20 && portal.calls().size() < 5; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(portal.calls().back(), "RemoteDesktop.NotifyPointerMotion");
}

}  // namespace
}  // namespace quorin

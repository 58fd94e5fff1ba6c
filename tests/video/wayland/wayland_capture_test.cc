// Capture of a real wlroots desktop (headless sway) through xdg-desktop-portal and PipeWire,
// as scripts/test starts it (scripts/lib/wayland.sh), and what only a stand-in portal on a bus
// of the test's own can show.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fakes/private_session_bus.h"
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
  std::optional<PipeWireNode> node = PortalSession::pipeWireNode(session);
  ASSERT_TRUE(node);
  auto stream = PipeWireDisplayStream::open(std::move(*node), 10s, nullptr, error);
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

// What the real frontend (tests/portal/) cannot show here: no portal at all, and a grant that
// hands back a restore token for the next session (portal 1.16 never persists remote desktop).
TEST(WaylandCapture, AMissingPortalStartsNothingAndAGrantsRestoreTokenIsKeptAndSentNextTime) {
  PrivateSessionBus bus;
  ASSERT_FALSE(bus.address().empty());
  CaptureError error;
  EXPECT_EQ(PortalSession::open({}, error), nullptr);
  EXPECT_EQ(error, portalUnavailableError());

  // A grant: one session for screen and input, and the approval for next time.
  FakePortal portal(bus.address());
  PortalSession::Options options;
  options.restoreToken = "earlier";
  const auto session = PortalSession::open(options, error);
  ASSERT_NE(session, nullptr) << error.description;
  EXPECT_EQ(session->restoreToken(), "granted");
  EXPECT_EQ(portal.calls(), (std::vector<std::string>{"RemoteDesktop.CreateSession",
                                                      "RemoteDesktop.SelectDevices earlier",
                                                      "ScreenCast.SelectSources", "RemoteDesktop.Start"}));
}

}  // namespace
}  // namespace quorin

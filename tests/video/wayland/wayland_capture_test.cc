// Capture of a real wlroots desktop (headless sway) through xdg-desktop-portal and PipeWire,
// as scripts/test starts it (scripts/lib/wayland.sh), and the portal dialogue against a
// stand-in portal on a bus of the test's own.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "fakes/require_service.h"
#include "video/recording_sink.h"
#include "video/screen_capture_manager.h"
#include "video/wayland/fake_portal.h"
#include "video/wayland/wayland_capture_errors.h"
#include "video/wayland/wayland_display_capturer.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

class WaylandCapture : public ::testing::Test {
 protected:
  std::vector<std::string> saved;  // every restore token stored, the newest last
  WaylandDisplayCapturer::TokenStore tokens{[this] { return saved.empty() ? std::string() : saved.back(); },
                                            [this](const std::string& token) { saved.push_back(token); }};
  WaylandDisplayCapturer capturer{tokens};
  RecordingSink sink;
  ScreenCaptureManager capture{sink, capturer};
};

TEST_F(WaylandCapture, AStreamStoppedByTheDesktopEndsCaptureWithADescription) {
  QUORIN_REQUIRE(std::getenv("WAYLAND_DISPLAY") && std::getenv("SWAYSOCK"),
                 "no sway / portal stack (scripts/test starts one)");
  Recorder<CaptureError> ends;
  capture.setEndHandler([&](const CaptureError& error) { ends.add(error); });
  ASSERT_EQ(capture.start(60), std::nullopt);
  const auto session = capturer.session();
  ASSERT_NE(session, nullptr);
  // What the compositor side does when the user stops sharing: the node goes away.
  ASSERT_EQ(std::system(("pw-cli destroy " + std::to_string(session->stream().nodeId) + " >/dev/null").c_str()), 0);
  ASSERT_TRUE(ends.waitFor(1));
  EXPECT_EQ(ends.at(0), sharingEndedError());
}

TEST_F(WaylandCapture, AMissingRefusingOrSilentPortalStartsNothingAndSaysWhyAndAGrantIsKept) {
  PrivateSessionBus bus;
  ASSERT_FALSE(bus.address().empty());
  EXPECT_EQ(capture.start(60), portalUnavailableError());
  {
    FakePortal portal(bus.address(), FakePortal::kRefuse);
    EXPECT_EQ(capture.start(60), sharingRefusedError());
  }
  {
    FakePortal portal(bus.address(), FakePortal::kNeverAnswer);
    PortalSession::Options options;
    options.callTimeout = 300ms;
    WaylandDisplayCapturer impatient(tokens, options);
    EXPECT_EQ(impatient.shareableContent().error, portalTimeoutError());
  }
  EXPECT_TRUE(saved.empty());

  // A grant: one session for screen and input, and the approval for next time.
  FakePortal portal(bus.address(), FakePortal::kGrantRemoteDesktop);
  saved = {"earlier"};
  EXPECT_EQ(capturer.shareableContent().displays, (std::vector{ScreenRect{0, 0, 1280, 720}}));
  EXPECT_EQ(saved.back(), "granted");
  EXPECT_EQ(portal.calls(), (std::vector<std::string>{"RemoteDesktop.CreateSession",
                                                      "RemoteDesktop.SelectDevices earlier",
                                                      "ScreenCast.SelectSources", "RemoteDesktop.Start"}));

  CaptureError error;
  const auto session = PortalSession::open({}, error);
  ASSERT_NE(session, nullptr) << error.description;
  EXPECT_TRUE(session->remoteDesktop());
  EXPECT_EQ(session->devices(), 3u);
  EXPECT_TRUE(session->notifyRemoteDesktop("NotifyPointerMotion", "dd", 1.0, 2.0));
  for (int i = 0; i < 20 && portal.calls().size() < 9; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(portal.calls().back(), "RemoteDesktop.NotifyPointerMotion");
}

}  // namespace
}  // namespace quorin

// Capture of a real wlroots desktop (headless sway) through xdg-desktop-portal and PipeWire,
// as scripts/test starts it (scripts/lib/wayland.sh).

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "fakes/child_process.h"
#include "video/screen_capture_manager.h"
#include "video/wayland/fake_portal.h"
#include "video/wayland/wayland_capture_errors.h"
#include "video/wayland/wayland_display_capturer.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

bool hasDesktop() {
  return std::getenv("WAYLAND_DISPLAY") && std::getenv("SWAYSOCK") &&
         std::getenv("DBUS_SESSION_BUS_ADDRESS");
}

#define REQUIRE_DESKTOP()                                                                  \
  do {                                                                                     \
    if (!hasDesktop()) {                                                                   \
      const char* ci = std::getenv("CI");                                                  \
      if (ci && std::string(ci) == "true") FAIL() << "no sway / portal stack";             \
      GTEST_SKIP() << "no sway / portal stack (scripts/test starts one)";                  \
    }                                                                                      \
  } while (0)

void paint(const char* colour) {
  const std::string command =
      std::string("swaymsg output HEADLESS-1 bg '") + colour + "' solid_color >/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

// Keeps only the centre pixel of each picture: full pictures are large.
class CentreSink final : public ImageSink {
 public:
  void encode(const BgraImage& image, std::chrono::microseconds) override {
    const auto* row = image.pixels + std::size_t(image.height / 2) * image.stride;
    std::uint32_t pixel = 0;
    std::memcpy(&pixel, row + std::size_t(image.width / 2) * 4, 4);
    std::lock_guard lock(mutex_);
    width_ = image.width;
    centre_ = pixel & 0xFFFFFF;
    ++count_;
    arrived_.notify_all();
  }
  // Waits until the centre pixel shows `rgb`; false after `timeout`.
  bool waitForCentre(std::uint32_t rgb, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return count_ > 0 && centre_ == rgb; });
  }
  int width() {
    std::lock_guard lock(mutex_);
    return width_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  int count_ = 0;
  int width_ = 0;
  std::uint32_t centre_ = 0;
};

// wlroots copies the screen only when it next draws it (the portal asks for the first copy
// a little after the stream runs), and sway draws a new background in two steps of which only
// the first may be copied: paint until a picture shows the colour.
bool paintUntilSeen(CentreSink& sink, const char* colour, std::uint32_t rgb) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    paint("#000000");
    paint(colour);
    if (sink.waitForCentre(rgb, 500ms)) return true;
  }
  return false;
}

struct Tokens {
  std::string stored;
  int saves = 0;
  WaylandDisplayCapturer::TokenStore store() {
    return {[this] { return stored; },
            [this](const std::string& token) {
              stored = token;
              ++saves;
            }};
  }
};

class WaylandCapture : public ::testing::Test {
 protected:
  Tokens tokens;
  WaylandDisplayCapturer capturer{tokens.store()};
  CentreSink sink;
  ScreenCaptureManager capture{sink, capturer};
};

TEST_F(WaylandCapture, ThePaintedScreenReachesTheEncoderAndEachChangeFollows) {
  REQUIRE_DESKTOP();
  ASSERT_EQ(capture.start(60), std::nullopt);
  EXPECT_TRUE(paintUntilSeen(sink, "#1E90FF", 0x1E90FF));
  EXPECT_EQ(sink.width(), 1920);
  EXPECT_TRUE(paintUntilSeen(sink, "#B22222", 0xB22222));
  capture.stop();
}

TEST_F(WaylandCapture, TheApprovalIsKeptAndOfferedToTheNextSession) {
  REQUIRE_DESKTOP();
  ASSERT_FALSE(capturer.shareableContent().error);
  ASSERT_EQ(tokens.saves, 1);
  ASSERT_FALSE(tokens.stored.empty());
  const std::string first = tokens.stored;
  CaptureError error;
  ASSERT_NE(capturer.openStream({}, error), nullptr) << error.description;

  // Watch what the next session asks the portal for.
  ChildProcess monitor({"/usr/bin/dbus-monitor", "--session",
                        "interface='org.freedesktop.portal.ScreenCast',member='SelectSources'"});
  std::this_thread::sleep_for(300ms);
  ASSERT_FALSE(capturer.shareableContent().error);
  monitor.waitForLine("(the whole output)", 1s);
  EXPECT_NE(monitor.output().find('"' + first + '"'), std::string::npos)
      << "the stored token was not sent";
  EXPECT_EQ(tokens.saves, 2);
}

TEST_F(WaylandCapture, AStreamStoppedByTheDesktopEndsCaptureWithADescription) {
  REQUIRE_DESKTOP();
  std::mutex mutex;
  std::condition_variable ended;
  std::optional<CaptureError> end;
  capture.setEndHandler([&](const CaptureError& error) {
    std::lock_guard lock(mutex);
    end = error;
    ended.notify_all();
  });
  ASSERT_EQ(capture.start(60), std::nullopt);
  const auto session = capturer.session();
  ASSERT_NE(session, nullptr);
  // What the compositor side does when the user stops sharing: the node goes away.
  const std::string destroy =
      "pw-cli destroy " + std::to_string(session->stream().nodeId) + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(destroy.c_str()), 0);
  std::unique_lock lock(mutex);
  ASSERT_TRUE(ended.wait_for(lock, 5s, [&] { return end.has_value(); }));
  EXPECT_EQ(*end, sharingEndedError());
}

TEST_F(WaylandCapture, AMissingRefusingOrSilentPortalStartsNothingAndSaysWhy) {
  PrivateSessionBus bus;
  ASSERT_TRUE(bus.running());
  EXPECT_EQ(capture.start(60), portalUnavailableError());
  {
    FakePortal portal(bus.address(), FakePortal::kRefuse);
    EXPECT_EQ(capture.start(60), sharingRefusedError());
  }
  {
    FakePortal portal(bus.address(), FakePortal::kNeverAnswer);
    PortalSession::Options options;
    options.callTimeout = 300ms;
    WaylandDisplayCapturer impatient(tokens.store(), options);
    EXPECT_EQ(impatient.shareableContent().error, portalTimeoutError());
  }
  EXPECT_EQ(tokens.saves, 0);
}

TEST(PortalSession, WhereRemoteDesktopIsOfferedOneSessionCoversScreenAndInput) {
  PrivateSessionBus bus;
  ASSERT_TRUE(bus.running());
  FakePortal portal(bus.address(), FakePortal::kGrantRemoteDesktop);
  PortalSession::Options options;
  options.restoreToken = "earlier";
  CaptureError error;
  const auto session = PortalSession::open(options, error);
  ASSERT_NE(session, nullptr) << error.description;
  EXPECT_TRUE(session->remoteDesktop());
  EXPECT_EQ(session->devices(), 3u);
  EXPECT_EQ(session->stream().nodeId, 7u);
  EXPECT_EQ(session->stream().width, 1280);
  EXPECT_EQ(session->stream().height, 720);
  EXPECT_EQ(session->restoreToken(), "granted");
  EXPECT_EQ(portal.restoreTokenSent(), "earlier");
  EXPECT_TRUE(session->notifyRemoteDesktop("NotifyPointerMotion", "dd", 1.0, 2.0));
  const std::vector<std::string> expected = {
      "RemoteDesktop.CreateSession", "RemoteDesktop.SelectDevices", "ScreenCast.SelectSources",
      "RemoteDesktop.Start", "RemoteDesktop.NotifyPointerMotion"};
  for (int i = 0; i < 20 && portal.calls().size() < expected.size(); ++i) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(portal.calls(), expected);
}

}  // namespace
}  // namespace quorin

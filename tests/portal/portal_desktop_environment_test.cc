// PortalDesktopEnvironment (with PortalSession and PipeWireDisplayStream) through the real
// xdg-desktop-portal frontend, whose backend shares headless mutter's primary monitor
// ($MUTTER_WAYLAND_DISPLAY, scripts/lib/mutter.sh) through mutter's own remote desktop service.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <linux/input-event-codes.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "desktop/portal/portal_desktop_environment.h"
#include "fakes/require_service.h"
#include "input/input_events.h"
#include "portal/real_portal.h"
#include "video/wayland/portal_session.h"
#include "video/capture_error.h"
#include "wayland/wayland_test_client.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;
using Kind = InputEvent::Kind;
using Type = ReceivedEvent::Type;
using Events = std::vector<ReceivedEvent>;

class PortalDesktopEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUORIN_REQUIRE(display_ && std::getenv("DBUS_SESSION_BUS_ADDRESS"),
                   "no headless mutter on $MUTTER_WAYLAND_DISPLAY; scripts/test starts one");
    QUORIN_REQUIRE(access(RealPortal::kFrontend, X_OK) == 0, "no xdg-desktop-portal (apt-get install xdg-desktop-portal)");
    // As under GNOME: the Wayland display is mutter's, which offers no wlroots virtual
    // devices, so input goes through the portal session.
    if (const char* sway = std::getenv("WAYLAND_DISPLAY")) waylandDisplay_ = sway;
    setenv("WAYLAND_DISPLAY", display_, 1);
  }
  void TearDown() override {
    waylandDisplay_.empty() ? unsetenv("WAYLAND_DISPLAY") : setenv("WAYLAND_DISPLAY", waylandDisplay_.c_str(), 1);
  }

  void startPortal(RealPortal::Backend behaviour) {
    portal_ = std::make_unique<RealPortal>(behaviour);
    ASSERT_EQ(portal_->error(), "");
  }

  const char* const display_ = std::getenv("MUTTER_WAYLAND_DISPLAY");
  std::string waylandDisplay_;
  std::unique_ptr<RealPortal> portal_;
  // The host's restore tokens, from an approval it kept.
  std::vector<std::string> saved_;
  PortalDesktopEnvironment desktop_{{"kept", [this](const std::string& token) { saved_.push_back(token); }}};
};

// How much of a picture is `rgb`: the cursor and a window still zooming in are not.
double shareOf(const BgraImage& picture, std::uint32_t rgb) {
  long matching = 0;
  for (int y = 0; y < picture.height; ++y) {
    const auto* row = picture.pixels + static_cast<std::ptrdiff_t>(y) * picture.stride;
    for (int x = 0; x < picture.width; ++x) {
      const std::uint32_t pixel = row[4 * x] | row[4 * x + 1] << 8 | row[4 * x + 2] << 16;
      matching += pixel == rgb;
    }
  }
  return static_cast<double>(matching) / (static_cast<double>(picture.width) * picture.height);
}

TEST_F(PortalDesktopEnvironmentTest, AGrantShowsTheMonitorTakesATapOnItsExactPixelAndClosesAtTheEnd) {
  constexpr std::uint32_t kColour = 0x3366cc;
  WaylandTestClient window(display_, {.colour = kColour});
  ASSERT_TRUE(window.ready()) << window.error();
  ASSERT_NO_FATAL_FAILURE(startPortal(RealPortal::Backend::grant));
  const std::atomic<bool> cancelled = false;
  DesktopEnvironment::Result made = desktop_.makeSession({}, cancelled);
  ASSERT_NE(made.session, nullptr) << made.error.description;
  const std::optional<std::string> started = portal_->backendSaid("started ");
  ASSERT_TRUE(started);
  // Portal 1.16 never persists a remote-desktop session: no token came, and the one kept is spent.
  EXPECT_EQ(saved_, std::vector<std::string>{""});

  // The window's colour, through OpenPipeWireRemote's descriptor and mutter's own node.
  std::unique_ptr<DisplayStream> stream = made.session->takeStream();
  ASSERT_NE(stream, nullptr);
  const BgraImage* picture = stream->grab(true);
  for (int i = 0; i < 200 && (!picture || shareOf(*picture, kColour) < 0.99); ++i) {
    stream->waitForChange(std::chrono::steady_clock::now() + 100ms);
    picture = stream->grab(true);
  }
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(std::make_pair(picture->width, picture->height), std::make_pair(window.width(), window.height()));
  EXPECT_GE(shareOf(*picture, kColour), 0.99);
  EXPECT_FALSE(stream->failure());

  // Input through the portal session. Its devices join mutter's seat on their first use, and
  // the window may still be zooming in: move until the window sees the pointer exactly.
  DesktopSession& session = *made.session;
  session.chooseStreamSize({picture->width, picture->height});
  const auto pixel = [&](double fx, double fy) {
    return std::pair<double, double>(std::lround(fx * window.width()), std::lround(fy * window.height()));
  };
  const auto at = [](std::pair<double, double> where) {
    return [=](const Events& got) {
      return !got.empty() && got.back().type == Type::motion && std::pair(got.back().x, got.back().y) == where;
    };
  };
  bool home = false;
  for (int i = 0; i < 100 && !home; ++i) {
    const double f = 0.1 + 0.1 * (i % 2);
    session.handle(pointerEvent(Kind::mouseMove, f, f));
    home = window.waitFor(at(pixel(f, f)), 100ms);
  }
  ASSERT_TRUE(home) << "the pointer never reached the window exactly";
  window.take();

  // Taps in a row: each press and release in order, on the exact pixel.
  constexpr int kTaps = 10;
  for (int tap = 0; tap < kTaps; ++tap) {
    session.handle(pointerEvent(Kind::mouseDown, 0.25, 0.75));
    session.handle(pointerEvent(Kind::mouseUp, 0.25, 0.75));
  }
  const auto isButton = [](const ReceivedEvent& e) { return e.type == Type::button; };
  window.waitFor([&](const Events& got) { return std::ranges::count_if(got, isButton) >= 2 * kTaps; }, 20s);
  Events buttons;
  std::ranges::copy_if(window.take(), std::back_inserter(buttons), isButton);
  ASSERT_EQ(buttons.size(), 2u * kTaps);
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    EXPECT_EQ(buttons[i].code, static_cast<std::uint32_t>(BTN_LEFT));
    EXPECT_EQ(buttons[i].pressed, i % 2 == 0) << "button event " << i;
    EXPECT_EQ(std::pair(buttons[i].x, buttons[i].y), pixel(0.25, 0.75));
  }

  // The end of the client's session closes the portal session, and the backend mutter's.
  stream.reset();
  made.session.reset();
  const std::optional<std::string> closed = portal_->backendSaid("session closed ");
  ASSERT_TRUE(closed);
  EXPECT_EQ(*closed, started->substr(0, started->find(' ')));
}

TEST_F(PortalDesktopEnvironmentTest, ARefusalSaysSoForgetsTheKeptApprovalAndClosesTheSession) {
  ASSERT_NO_FATAL_FAILURE(startPortal(RealPortal::Backend::refuse));
  const std::atomic<bool> cancelled = false;
  const DesktopEnvironment::Result made = desktop_.makeSession({}, cancelled);
  EXPECT_EQ(made.session, nullptr);
  EXPECT_EQ(made.error, sharingRefusedError());
  // The user revoked the approval: it is kept no longer.
  EXPECT_EQ(saved_, std::vector<std::string>{""});
  EXPECT_TRUE(portal_->backendSaid("session closed "));
}

// A dialog nobody answers: withdrawn at the backend as soon as the client goes, or once the
// host's own limit passes, each with its sentence.
TEST_F(PortalDesktopEnvironmentTest, AnUnansweredStartIsClosedAtTheBackendWhenItsClientGoesOrItsTimeIsUp) {
  ASSERT_NO_FATAL_FAILURE(startPortal(RealPortal::Backend::holdStart));
  std::atomic<bool> cancelled = false;
  std::optional<std::string> held;
  std::thread client([&] {
    held = portal_->backendSaid("holding ");
    cancelled = true;
  });
  const DesktopEnvironment::Result made = desktop_.makeSession({}, cancelled);
  client.join();
  ASSERT_TRUE(held);
  EXPECT_EQ(made.session, nullptr);
  EXPECT_EQ(made.error, sharingWithdrawnError());
  EXPECT_EQ(portal_->backendSaid("request closed "), held);
  EXPECT_TRUE(portal_->backendSaid("session closed "));
  // A result nobody waits for is thrown away whole: the kept approval stays.
  EXPECT_TRUE(saved_.empty());

  PortalSession::Options options;
  options.startTimeout = 500ms;
  CaptureError error;
  EXPECT_EQ(PortalSession::open(options, error), nullptr);
  EXPECT_EQ(error, portalTimeoutError());
  held = portal_->backendSaid("holding ");
  ASSERT_TRUE(held);
  EXPECT_EQ(portal_->backendSaid("request closed "), held);
}

}  // namespace
}  // namespace quorin

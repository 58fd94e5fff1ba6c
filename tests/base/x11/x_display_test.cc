#include "base/x11/x_display.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/x11/connection_cut.h"
#include "base/x11/own_x_server.h"
#include "base/x11/round_trip_watch.h"
#include "fakes/require_service.h"

// Last: Xlib's macros (None, Bool) would clash with the headers above.
#include <X11/Xlib.h>

namespace quorin::x11 {
namespace {

using namespace std::chrono_literals;

struct XDisplayTest : ::testing::Test {
  void SetUp() override { QUORIN_REQUIRE(!server.name().empty(), "Xvfb did not start"); }
  OwnXServer server;
};

// A stopped server accepts the connection and never answers: the open gives up when told to,
// or at its limit, and blocks no other connection. The abandoned opens end by themselves once
// the server resumes.
TEST_F(XDisplayTest, AnOpenWithALimitGivesUpOnAStoppedServerWhenCancelledOrAtItsLimit) {
  std::atomic<bool> cancelled{false};
  EXPECT_NE(openDisplay(server.name().c_str(), 10s, cancelled), nullptr) << "an answering server opens";

  server.stop();
  std::jthread canceller([&] {
    std::this_thread::sleep_for(100ms);
    cancelled = true;
  });
  EXPECT_EQ(openDisplay(server.name().c_str(), std::chrono::hours(1), cancelled), nullptr);
  canceller.join();
  EXPECT_EQ(openDisplay(server.name().c_str(), 200ms, kNeverCancelled), nullptr);
  // The abandoned opens hold nothing another connection needs (Xlib's process-wide lock).
  OwnXServer other;
  ASSERT_FALSE(other.name().empty());
  EXPECT_NE(openDisplay(other.name().c_str(), 10s, kNeverCancelled), nullptr) << "another server opens meanwhile";

  server.resume();
  EXPECT_NE(openDisplay(server.name().c_str(), 10s, kNeverCancelled), nullptr) << "the server still serves";
}

// The watch cuts off a round trip the stopped server never answers: the call returns, the
// display counts as lost, and closing it waits for nothing.
TEST_F(XDisplayTest, TheWatchCutsOffARoundTripToAStoppedServerAndTheDisplayClosesAtOnce) {
  DisplayPtr display = openDisplay(server.name().c_str(), 10s, kNeverCancelled);
  ASSERT_NE(display, nullptr);
  ConnectionCut cut(display.get());
  RoundTripWatch watch([&cut] { cut.cut(); }, 200ms);
  server.stop();
  {
    const auto trip = watch.begin();
    XSync(display.get(), False);
  }
  EXPECT_TRUE(watch.fired());
  EXPECT_TRUE(displayLost(display.get()));
  display.reset();
  cut.forget();
}

}  // namespace
}  // namespace quorin::x11

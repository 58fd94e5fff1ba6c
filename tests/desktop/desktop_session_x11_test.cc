#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "base/x11/own_x_server.h"
#include "desktop/desktop_session.h"
#include "fakes/log_capture.h"
#include "fakes/require_service.h"
#include "input/input_events.h"
#include "input/x11/xtest_event_sink.h"

namespace quorin {
namespace {

using Kind = InputEvent::Kind;

// Forwards to a real sink and notes, as it goes, whether that sink had been cut off.
struct NotingSink final : EventSink {
  NotingSink(std::unique_ptr<EventSink> sink, std::atomic<int>& cutOff) : sink(std::move(sink)), cutOff(cutOff) {}
  ~NotingSink() override { cutOff = sink->failed(); }
  std::optional<ScreenRect> screenFrame() override { return sink->screenFrame(); }
  void movePointer(int x, int y) override { sink->movePointer(x, y); }
  void setButton(MouseButton button, bool down) override { sink->setButton(button, down); }
  void pressKey(SpecialKey key, const Modifiers& modifiers) override { sink->pressKey(key, modifiers); }
  void typeText(std::u32string_view text, const Modifiers& modifiers) override { sink->typeText(text, modifiers); }
  void finish() override { sink->finish(); }
  bool failed() const override { return sink->failed(); }
  std::function<void()> canceller() override { return sink->canceller(); }
  std::unique_ptr<EventSink> sink;
  std::atomic<int>& cutOff;
};

// The X server stops while the input thread waits for its keymap, with a button held: ending
// the session returns all the same, having cut the sink off, and the server, once resumed,
// serves the next client.
TEST(DesktopSessionX11Test, EndingASessionDoesNotWaitForAStoppedXServer) {
  OwnXServer server;
  QUORIN_REQUIRE(!server.name().empty(), "Xvfb did not start");
  auto sink = x11::openXTestEventSink(server.name().c_str());
  ASSERT_TRUE(sink) << "no XTest";
  std::atomic<int> cutOff{-1};
  LogCapture log;
  auto session = std::make_unique<DesktopSession>("", nullptr, PictureSize{1280, 720},
                                                  std::make_unique<NotingSink>(std::move(sink), cutOff),
                                                  [](const ScreenRect&) { return ScreenRect{0, 0, 1280, 720}; });
  session->handle(pointerEvent(Kind::mouseDown, 0.5, 0.5));
  server.stop();
  session->handle(inputEvent(Kind::keyText, "a"));  // reads the keymap: a round trip
  session.reset();
  EXPECT_EQ(cutOff, 1);
  EXPECT_TRUE(log.contains("QuorinRemote: the input display did not answer; cutting it off"));

  server.resume();
  auto next = x11::openXTestEventSink(server.name().c_str());
  ASSERT_TRUE(next);
  EXPECT_TRUE(next->screenFrame());
  EXPECT_FALSE(next->failed());
}

}  // namespace
}  // namespace quorin

#include "desktop/desktop_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <set>

#include "input/input_events.h"
#include "input/recording_event_sink.h"
#include "video/fake_screen.h"

namespace quorin {
namespace {

using Kind = InputEvent::Kind;

// Posts to a recording sink the test owns, and notes the name of each thread that called.
struct NamingSink final : EventSink {
  NamingSink(RecordingEventSink& to, std::set<std::string>& threads) : to(to), threads(threads) {}
  void note() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    threads.insert(name);
  }
  std::optional<ScreenRect> screenFrame() override { return note(), to.screenFrame(); }
  void movePointer(int x, int y) override { note(), to.movePointer(x, y); }
  void setButton(MouseButton button, bool down) override { note(), to.setButton(button, down); }
  void pressKey(SpecialKey key, const Modifiers& modifiers) override { note(), to.pressKey(key, modifiers); }
  void typeText(std::u32string_view text, const Modifiers& modifiers) override { note(), to.typeText(text, modifiers); }
  void finish() override { note(), to.finish(); }
  RecordingEventSink& to;
  std::set<std::string>& threads;
};

// Input and geometry changes reach the sink on the session's input thread in the order the
// main thread made them, and ending the session lets go of the button the client held. What
// a lone injector posts for the same events is the reference.
TEST(DesktopSessionTest, InputKeepsItsOrderOnTheInputThreadAndHeldButtonsAreLetGo) {
  const ScreenRect first{0, 0, 1440, 900};
  const ScreenRect second{1440, 0, 1280, 1024};
  std::vector<InputEvent> before, after;
  for (int i = 0; i <= 100; ++i) before.push_back(pointerEvent(Kind::mouseMove, i / 100.0, 1 - i / 100.0));
  before.push_back(inputEvent(Kind::keyText, "hi"));
  before.push_back(inputEvent(Kind::keySpecial, "return", std::vector<std::string>{"cmd"}));
  after.push_back(pointerEvent(Kind::mouseDown, 1, 1));
  after.push_back(pointerEvent(Kind::mouseMove, 0.5, 0.5));

  RecordingEventSink recording;
  std::set<std::string> threads;
  auto session = std::make_unique<DesktopSession>("M-1", nullptr, PictureSize{1440, 900},
                                                  std::make_unique<NamingSink>(recording, threads));
  session->updateView(first, {1440, 900});
  for (const InputEvent& event : before) session->handle(event);
  session->updateView(second, {1280, 1024});
  EXPECT_EQ(session->chooseStreamSize({1920, 1080}), (PictureSize{1280, 1024}));
  for (const InputEvent& event : after) session->handle(event);
  session.reset();

  auto alone = std::make_unique<RecordingEventSink>();
  RecordingEventSink& expected = *alone;
  InputInjector injector(std::move(alone));
  injector.setGeometry({first, {1440, 900}, {1440, 900}});
  for (const InputEvent& event : before) injector.handle(event);
  injector.setGeometry({second, {1280, 1024}, {1280, 1024}});
  for (const InputEvent& event : after) injector.handle(event);
  injector.releaseAll();

  EXPECT_EQ(recording.posted, expected.posted);
  EXPECT_EQ(recording.finishes, expected.finishes);
  ASSERT_GE(recording.posted.size(), 4u);
  EXPECT_EQ(recording.posted.front(), "move 0,899");
  EXPECT_THAT(std::vector(recording.posted.end() - 4, recording.posted.end()),
              ::testing::ElementsAre("move 2719,1023", "down left", "move 2080,512", "up left"))
      << "on the second monitor, and the held button let go at the end";
  EXPECT_EQ(threads, std::set<std::string>{"input"});
}

// A sink that is slow (a display that takes its time) holds the queue at its bound: the main
// thread is told when there is room again instead of queueing without limit.
TEST(DesktopSessionTest, TheInputQueueIsBoundedAndSaysWhenItHasRoomAgain) {
  struct GatedSink final : EventSink {
    std::optional<ScreenRect> screenFrame() override { return ScreenRect{0, 0, 100, 100}; }
    void movePointer(int, int) override {
      std::unique_lock lock(mutex);
      open.wait(lock, [&] { return opened; });
      ++moves;
    }
    void setButton(MouseButton, bool) override {}
    void pressKey(SpecialKey, const Modifiers&) override {}
    void typeText(std::u32string_view, const Modifiers&) override {}
    void finish() override {}
    std::mutex mutex;
    std::condition_variable open;
    bool opened = false;
    int moves = 0;
  };
  auto owned = std::make_unique<GatedSink>();
  GatedSink& sink = *owned;
  DesktopSession session("M-1", nullptr, PictureSize{100, 100}, std::move(owned));
  std::promise<void> room;
  session.setInputRoomHandler([&room] { room.set_value(); });
  int queued = 0;
  while (session.acceptsInput()) {
    session.handle(pointerEvent(Kind::mouseMove, 0.5, 0.5));
    ++queued;
  }
  EXPECT_EQ(queued, DesktopSession::kMaxQueuedInput);
  {
    std::lock_guard lock(sink.mutex);
    sink.opened = true;
  }
  sink.open.notify_all();
  room.get_future().wait();
  EXPECT_TRUE(session.acceptsInput());
}

// The wait for a first picture hands on why there is none as the stream said it, domain and
// code included, and a wait given up for a client that went away says so.
TEST(AwaitFirstPictureTest, ReportsTheStreamsOwnErrorOrThatTheScreenIsNotNeeded) {
  FakeScreen screen;
  const std::atomic<bool> waiting = false;
  CaptureError error;
  auto stream = screen.openStream();
  screen.change(compositorLostError());
  EXPECT_EQ(awaitFirstPicture(*stream, waiting, error), std::nullopt);
  EXPECT_EQ(error, compositorLostError());

  FakeScreen idle;
  const std::atomic<bool> cancelled = true;
  stream = idle.openStream();
  EXPECT_EQ(awaitFirstPicture(*stream, cancelled, error), std::nullopt);
  EXPECT_EQ(error, screenNotNeededError());
}

}  // namespace
}  // namespace quorin

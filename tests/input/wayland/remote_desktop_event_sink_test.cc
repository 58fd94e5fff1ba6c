#include "input/wayland/remote_desktop_event_sink.h"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <string>
#include <utility>
#include <vector>

namespace quorin {
namespace {

// Records key calls and motion, and refuses the first release of Control, as a call that
// timed out.
struct KeyRecorder final : RemoteDesktopInput {
  std::vector<std::string> calls;
  std::vector<std::pair<double, double>> moves;
  bool refused = false;

  bool pointerMotionAbsolute(double x, double y) override {
    moves.emplace_back(x, y);
    return true;
  }
  bool pointerButton(int, bool) override { return true; }
  bool pointerAxisDiscrete(ScrollAxis, int) override { return true; }
  bool keyboardKeysym(std::uint32_t keysym, bool pressed) override {
    calls.push_back((pressed ? "down " : "up ") + std::to_string(keysym));
    return pressed || keysym != XKB_KEY_Control_L || std::exchange(refused, true);
  }
};

TEST(RemoteDesktopEventSinkTest, AModifierWhoseReleaseWasLostIsLetGoAtFinish) {
  auto* keys = new KeyRecorder;  // owned by the sink
  RemoteDesktopEventSink sink(std::unique_ptr<KeyRecorder>(keys), {0, 0, 1920, 1080});
  sink.typeText(U"v", Modifiers{.control = true});
  sink.finish();
  sink.finish();  // nothing more is held
  const std::string ctrl = std::to_string(XKB_KEY_Control_L);
  EXPECT_EQ(keys->calls, (std::vector<std::string>{"down " + ctrl, "down 118", "up 118", "up " + ctrl, "up " + ctrl}));
}

TEST(RemoteDesktopEventSinkTest, MotionKeepsToTheStreamAsItIsNow) {
  auto* input = new KeyRecorder;  // owned by the sink
  RemoteDesktopEventSink sink(std::unique_ptr<KeyRecorder>(input), {0, 0, 1280, 720});
  sink.movePointer(1500, 800);
  // The session records a larger monitor now (the one before was disabled).
  sink.setShownArea({0, 0, 1920, 1080});
  sink.movePointer(1500, 800);
  sink.movePointer(2500, -3);
  EXPECT_EQ(input->moves, (std::vector<std::pair<double, double>>{{1279, 719}, {1500, 800}, {1919, 0}}));
}

}  // namespace
}  // namespace quorin

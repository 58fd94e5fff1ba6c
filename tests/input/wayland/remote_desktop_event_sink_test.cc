#include "input/wayland/remote_desktop_event_sink.h"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <string>
#include <vector>

namespace quorin {
namespace {

// Records the key calls; refuses the release of `refusedRelease` once, as a session whose
// call timed out would.
struct KeyRecorder final : RemoteDesktopInput {
  std::vector<std::string>* calls;
  std::uint32_t refusedRelease = 0;

  bool pointerMotionAbsolute(double, double) override { return true; }
  bool pointerButton(int, bool) override { return true; }
  bool pointerAxisDiscrete(ScrollAxis, int) override { return true; }
  bool keyboardKeysym(std::uint32_t keysym, bool pressed) override {
    calls->push_back((pressed ? "down " : "up ") + std::to_string(keysym));
    if (!pressed && keysym == refusedRelease) {
      refusedRelease = 0;
      return false;
    }
    return true;
  }
};

TEST(RemoteDesktopEventSinkTest, AModifierWhoseReleaseWasLostIsLetGoAtFinish) {
  std::vector<std::string> calls;
  auto input = std::make_unique<KeyRecorder>();
  input->calls = &calls;
  input->refusedRelease = XKB_KEY_Control_L;
  RemoteDesktopEventSink sink(std::move(input), {0, 0, 1920, 1080});

  Modifiers control;
  control.control = true;
  sink.typeText(U"v", control);
  sink.finish();
  sink.finish();
  const std::string ctrl = std::to_string(XKB_KEY_Control_L);
  EXPECT_EQ(calls, (std::vector<std::string>{"down " + ctrl, "down 118", "up 118", "up " + ctrl,
                                             "up " + ctrl}));
}

}  // namespace
}  // namespace quorin

// How long an injected event takes to reach an X client, and how fast text is typed.
// Run under an X display (for example Xvfb :1 -screen 0 1920x1080x24):
//   DISPLAY=:1 build/bench/input_latency_bench

#include <cmath>
#include <cstdio>

#include "input_bench.h"
#include "input/x11/xtest_event_sink.h"
#include "input/x11_test_client.h"

namespace quorin {
namespace {

using namespace bench;
using Type = ReceivedEvent::Type;

int run() {
  X11TestDisplay display;
  if (!display.connected()) {
    std::fprintf(stderr, "no X display reachable; set DISPLAY\n");
    return 1;
  }
  std::unique_ptr<EventSink> sink = x11::openXTestEventSink();
  const ScreenRect screen = sink ? sink->screenFrame().value_or(ScreenRect{}) : ScreenRect{};
  X11TestClient client(screen);
  InputInjector injector(std::move(sink));
  if (!client.ready()) {
    std::fprintf(stderr, "the test window did not come up\n");
    return 1;
  }

  constexpr int kSamples = 1000;
  printPercentiles("pointer move",
                   latencies(injector, client, kSamples, alternatingMove, [&](const ReceivedEvent& e, int i) {
                     return e.type == Type::motion && e.x == std::lround(moveFraction(i) * screen.width);
                   }));
  printPercentiles("key in the keymap (\"a\")",
                   latencies(injector, client, kSamples, [](int) { return keyText("a"); },
                             [](const ReceivedEvent& e, int) { return e.text == "a"; }));
  InputEvent left;
  left.kind = InputEvent::Kind::keySpecial;
  left.specialKey = "left";
  printPercentiles("special key (\"left\")",
                   latencies(injector, client, kSamples, [&](int) { return left; },
                             [](const ReceivedEvent& e, int) {
                               return e.type == Type::key && e.pressed && e.keysym == 0xff51;
                             }));
  printPercentiles(
      "key lent a keycode (\"\xE2\x82\xAC\")",
      latencies(injector, client, 100, [](int) { return keyText("\xE2\x82\xAC"); },
                [](const ReceivedEvent& e, int) { return e.text == "\xE2\x82\xAC"; }));

  typingSpeeds(injector, client);
  // Every character lends a keycode: the cost of remapping the keymap.
  std::string absent;
  for (char32_t c = 0x4E00; c < 0x4E00 + 1000; ++c) {
    absent += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
               static_cast<char>(0x80 | (c & 0x3F))};
  }
  typingSpeed(injector, client, "1,000 CJK characters, none in keymap", absent, {absent}, 1000);
  return 0;
}

}  // namespace
}  // namespace quorin

int main() { return quorin::run(); }

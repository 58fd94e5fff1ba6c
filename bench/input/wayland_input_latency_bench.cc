// How long an injected event takes to reach a Wayland client of a wlroots compositor, and how
// fast text is typed. Run beside sway (WAYLAND_DISPLAY set):
//   build/bench/wayland_input_latency_bench

#include <cmath>
#include <cstdio>
#include <string>

#include "input/wayland/wlr_event_sink.h"
#include "input_bench.h"
#include "wayland/wayland_test_client.h"

namespace quorin {
namespace {

using namespace bench;
using Type = ReceivedEvent::Type;

// A CJK character that no earlier sample typed.
std::string cjk(int i) {
  const char32_t c = 0x5000 + static_cast<char32_t>(i);
  return {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
          static_cast<char>(0x80 | (c & 0x3F))};
}

int run() {
  WaylandTestClient client;
  if (!client.ready()) {
    std::fprintf(stderr, "%s\n", client.error().c_str());
    return 1;
  }
  auto sink = wayland::openWlrEventSink();
  if (!sink) {
    std::fprintf(stderr, "the compositor offers no virtual pointer or keyboard\n");
    return 1;
  }
  InputInjector injector(std::move(sink));
  if (!client.waitFor(InputRecorder::focused)) {
    std::fprintf(stderr, "the test window has no keyboard focus\n");
    return 1;
  }

  constexpr int kSamples = 1000;
  const double width = client.width();
  printPercentiles("pointer move",
                   latencies(injector, client, kSamples, alternatingMove, [&](const ReceivedEvent& e, int i) {
                     return e.type == Type::motion && e.x == std::lround(moveFraction(i) * width);
                   }));
  InputEvent click;
  click.kind = InputEvent::Kind::leftClick;
  printPercentiles("left click", latencies(injector, client, kSamples, [&](int) { return click; },
                                           [](const ReceivedEvent& e, int) {
                                             return e.type == Type::button && !e.pressed;
                                           }));
  printPercentiles("key already in the layout (\"a\")",
                   latencies(injector, client, kSamples, [](int) { return keyText("a"); },
                             [](const ReceivedEvent& e, int) { return e.text == "a"; }));
  // Each character new to the layout makes the compositor hand the client a new layout.
  printPercentiles("key new to the layout (CJK)",
                   latencies(injector, client, 300, [](int i) { return keyText(cjk(i)); },
                             [](const ReceivedEvent& e, int i) { return e.text == cjk(i); }));
  typingSpeeds(injector, client);
  return 0;
}

}  // namespace
}  // namespace quorin

int main() { return quorin::run(); }

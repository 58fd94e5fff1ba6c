// How long an injected event takes to reach an X client, and how fast text is typed.
// Run under an X display (for example Xvfb :1 -screen 0 1920x1080x24):
//   DISPLAY=:1 build/bench/input_latency_bench

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "input/input_injector.h"
#include "input/x11/xtest_event_sink.h"
#include "input/x11_test_client.h"

namespace quorin {
namespace {

using Clock = std::chrono::steady_clock;
using Type = ReceivedEvent::Type;

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

void printPercentiles(const char* what, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) { return samples[static_cast<std::size_t>(q * (samples.size() - 1))]; };
  std::printf("%-34s p50 %7.3f ms   p99 %7.3f ms   max %7.3f ms   (%zu samples)\n", what, at(0.5),
              at(0.99), samples.back(), samples.size());
}

// Times from handle() to the first received event that `arrived` accepts.
std::vector<double> latencies(InputInjector& injector, X11TestClient& client, int count,
                              const std::function<InputEvent(int)>& make,
                              const std::function<bool(const ReceivedEvent&, int)>& arrived) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    client.take();
    const InputEvent event = make(i);
    const Clock::time_point start = Clock::now();
    injector.handle(event);
    std::optional<Clock::time_point> seen;
    client.waitFor([&](const std::vector<ReceivedEvent>& got) {
      for (const ReceivedEvent& e : got) {
        if (arrived(e, i)) seen = e.arrival;
      }
      return seen.has_value();
    });
    if (seen) samples.push_back(millisecondsBetween(start, *seen));
  }
  return samples;
}

InputEvent keyText(std::string text) {
  InputEvent event;
  event.kind = InputEvent::Kind::keyText;
  event.text = std::move(text);
  return event;
}

// ASCII most of the time, else accented Latin, symbols, Greek, Cyrillic, emoji and CJK.
std::string mixedText(int characters) {
  const std::vector<std::string> others = {
      "\xC3\xA9", "\xC3\xBC", "\xC3\xB1", "\xC3\x9F", "\xC3\xA7", "\xC3\x85", "\xE2\x82\xAC",
      "\xC2\xA3", "\xC2\xA9", "\xC2\xB0", "\xCE\xB1", "\xCE\xA9", "\xD0\x96", "\xD0\xB4",
      "\xF0\x9F\x98\x80", "\xF0\x9F\x8E\x89", "\xF0\x9F\x91\x8D", "\xE4\xB8\xAD", "\xE6\x96\x87",
      "\xE5\xAD\x97", "\xE6\x97\xA5", "\xE6\x9C\xAC", "\xE8\xAA\x9E", "\xED\x95\x9C"};
  const std::string ascii =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;:!?'\"()-_/@#";
  std::mt19937 random(7);
  std::string text;
  for (int i = 0; i < characters; ++i) {
    if (random() % 10 < 7) {
      text += ascii[random() % ascii.size()];
    } else {
      text += others[random() % others.size()];
    }
  }
  return text;
}

// Types `text` as `events` and reports characters per second until the last one arrived.
void typingSpeed(InputInjector& injector, X11TestClient& client, const char* what,
                 const std::string& text, const std::vector<std::string>& events, int characters) {
  client.take();
  const Clock::time_point start = Clock::now();
  for (const std::string& part : events) injector.handle(keyText(part));
  const Clock::time_point handled = Clock::now();
  client.waitFor([&](const auto& got) { return X11TestClient::typedText(got) == text; },
                 std::chrono::seconds(120));
  const std::vector<ReceivedEvent> got = client.take();
  const std::string typed = X11TestClient::typedText(got);
  const Clock::time_point last = got.empty() ? handled : got.back().arrival;
  const double seconds = millisecondsBetween(start, std::max(last, handled)) / 1000;
  std::printf("%-34s %7.0f characters/s  (%d characters, %zu events, %.2f s)  %s\n", what,
              characters / seconds, characters, events.size(), seconds,
              typed == text ? "all arrived correctly" : "MISMATCH");
}

int run() {
  X11TestDisplay display;
  if (!display.connected()) {
    std::fprintf(stderr, "no X display reachable; set DISPLAY\n");
    return 1;
  }
  const ScreenRect screen = display.sharedScreen();
  X11TestClient client(screen);
  InputInjector injector(x11::openXTestEventSink());
  if (!client.ready()) {
    std::fprintf(stderr, "the test window did not come up\n");
    return 1;
  }

  constexpr int kSamples = 1000;
  printPercentiles(
      "pointer move", latencies(
          injector, client, kSamples,
          [](int i) {
            InputEvent move;
            move.x = i % 2 ? 0.3 : 0.7;
            move.y = 0.5;
            return move;
          },
          [&](const ReceivedEvent& e, int i) {
            return e.type == Type::motion && e.rootX == screen.x + (i % 2 ? 3 : 7) * screen.width / 10;
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
                               return e.type == Type::keyPress && e.keysym == 0xff51;
                             }));
  printPercentiles(
      "key lent a keycode (\"\xE2\x82\xAC\")",
      latencies(injector, client, 100, [](int) { return keyText("\xE2\x82\xAC"); },
                [](const ReceivedEvent& e, int) { return e.text == "\xE2\x82\xAC"; }));

  const std::string text = mixedText(1000);
  typingSpeed(injector, client, "1,000 mixed characters, one event", text, {text}, 1000);
  std::vector<std::string> perCharacter;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = 1;
    while (i + length < text.size() && (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80) {
      ++length;
    }
    perCharacter.push_back(text.substr(i, length));
    i += length;
  }
  typingSpeed(injector, client, "the same, one event per character", text, perCharacter, 1000);
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

#pragma once
// What the input benchmarks share: latency samples from handle() to a test client, and the
// typing speed of a long mixed text. `Client` is a test client with waitFor(), take() and
// typedText() whose events carry their `arrival` time.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "input/input_injector.h"

namespace quorin::bench {

using Clock = std::chrono::steady_clock;

inline double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

inline void printPercentiles(const char* what, std::vector<double> samples) {
  if (samples.empty()) {
    std::printf("%-34s nothing arrived\n", what);
    return;
  }
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) { return samples[static_cast<std::size_t>(q * (samples.size() - 1))]; };
  std::printf("%-34s p50 %7.3f ms   p99 %7.3f ms   max %7.3f ms   (%zu samples)\n", what, at(0.5),
              at(0.99), samples.back(), samples.size());
}

// Times from handle() to the first received event that `arrived` (event, i) accepts.
template <typename Client, typename Arrived>
std::vector<double> latencies(InputInjector& injector, Client& client, int count,
                              const std::function<InputEvent(int)>& make, const Arrived& arrived) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    client.take();
    const InputEvent event = make(i);
    const Clock::time_point start = Clock::now();
    injector.handle(event);
    std::optional<Clock::time_point> seen;
    client.waitFor([&](const auto& got) {
      for (const auto& e : got) {
        if (arrived(e, i)) seen = e.arrival;
      }
      return seen.has_value();
    });
    if (seen) samples.push_back(millisecondsBetween(start, *seen));
  }
  return samples;
}

// Pointer moves back and forth across the middle of the screen: to x = moveFraction(i).
inline double moveFraction(int i) { return i % 2 ? 0.3 : 0.7; }
inline InputEvent alternatingMove(int i) {
  InputEvent move;
  move.x = moveFraction(i);
  move.y = 0.5;
  return move;
}

inline InputEvent keyText(std::string text) {
  InputEvent event;
  event.kind = InputEvent::Kind::keyText;
  event.text = std::move(text);
  return event;
}

// ASCII most of the time, else accented Latin, symbols, Greek, Cyrillic, emoji and CJK.
inline std::string mixedText(int characters) {
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
template <typename Client>
void typingSpeed(InputInjector& injector, Client& client, const char* what, const std::string& text,
                 const std::vector<std::string>& events, int characters) {
  client.take();
  const Clock::time_point start = Clock::now();
  for (const std::string& part : events) injector.handle(keyText(part));
  const Clock::time_point handled = Clock::now();
  client.waitFor([&](const auto& got) { return Client::typedText(got) == text; }, std::chrono::seconds(120));
  const auto got = client.take();
  const std::string typed = Client::typedText(got);
  const Clock::time_point last = got.empty() ? handled : got.back().arrival;
  const double seconds = millisecondsBetween(start, std::max(last, handled)) / 1000;
  std::printf("%-34s %7.0f characters/s  (%d characters, %zu events, %.2f s)  %s\n", what,
              characters / seconds, characters, events.size(), seconds,
              typed == text ? "all arrived correctly" : "MISMATCH");
}

// 1,000 mixed characters typed as one event, then as one event per character.
template <typename Client>
void typingSpeeds(InputInjector& injector, Client& client) {
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
}

}  // namespace quorin::bench

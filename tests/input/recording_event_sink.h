#pragma once
// An EventSink that writes down what it is asked to post, one short line per call.

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/event_sink.h"

namespace quorin {

class RecordingEventSink final : public EventSink {
 public:
  std::optional<ScreenRect> frame = ScreenRect{0, 0, 1440, 900};
  std::vector<std::string> posted;
  int finishes = 0;

  std::optional<ScreenRect> screenFrame() override { return frame; }
  void movePointer(int x, int y) override {
    posted.push_back("move " + std::to_string(x) + "," + std::to_string(y));
  }
  void setButton(MouseButton button, bool down) override {
    const char* names[] = {"left", "right", "wheelUp", "wheelDown", "wheelLeft", "wheelRight"};
    posted.push_back(std::string(down ? "down " : "up ") + names[static_cast<int>(button)]);
  }
  void pressKey(SpecialKey key, const Modifiers& modifiers) override {
    posted.push_back("key " + std::string(toString(key)) + held(modifiers));
  }
  void typeText(std::u32string_view text, const Modifiers& modifiers) override {
    std::string line = "text";
    char scalar[16];
    for (const char32_t c : text) line.append(scalar, std::snprintf(scalar, sizeof scalar, " U+%04X", unsigned(c)));
    posted.push_back(line + held(modifiers));
  }
  void finish() override { ++finishes; }

 private:
  static std::string held(const Modifiers& m) {
    return std::string(m.command ? " +command" : "") + (m.shift ? " +shift" : "") +
           (m.control ? " +control" : "") + (m.option ? " +option" : "");
  }
};

}  // namespace quorin

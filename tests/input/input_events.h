#pragma once
// Client input events for the sink tests.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/control_messages.h"

namespace quorin {

// `text` is the special key's name for keySpecial, else the text.
inline InputEvent inputEvent(InputEvent::Kind kind, std::optional<std::string> text = {},
                             std::optional<std::vector<std::string>> modifiers = {}) {
  InputEvent e;
  e.kind = kind;
  (kind == InputEvent::Kind::keySpecial ? e.specialKey : e.text) = std::move(text);
  e.modifiers = std::move(modifiers);
  return e;
}

// A pointer event at (x, y), or a scroll by (x, y).
inline InputEvent pointerEvent(InputEvent::Kind kind, std::optional<double> x = {}, std::optional<double> y = {}) {
  InputEvent e = inputEvent(kind);
  (kind == InputEvent::Kind::scroll ? e.dx : e.x) = x;
  (kind == InputEvent::Kind::scroll ? e.dy : e.y) = y;
  return e;
}

// `count` consecutive CJK ideographs from U+4E00 as UTF-8: more characters than a keymap holds.
inline std::string ideographs(int count) {
  std::string text;
  for (char32_t c = 0x4E00; c < 0x4E00 + char32_t(count); ++c) {
    text += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
             static_cast<char>(0x80 | (c & 0x3F))};
  }
  return text;
}

}  // namespace quorin

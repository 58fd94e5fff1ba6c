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

}  // namespace quorin

#pragma once
// The messages an --input file asks the client to send. One JSON object per line:
//     {"input": {"kind": "mouseMove", "x": 0.5, "y": 0.5}}
//     {"delayMs": 250, "input": {"kind": "keyText", "text": "hello"}}
//     {"system": {"action": "lock"}}
// "input" holds an input event and "system" a system command, exactly one of the two per
// line; "delayMs" (optional, a whole number from 0) is how long to wait after the previous
// line was sent. Blank lines are skipped. Pure functions.

#include <chrono>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/control_messages.h"

namespace quorin {

struct ScriptedMessage {
  std::chrono::milliseconds delay{0};
  std::variant<InputEvent, SystemCommand> message;
};

struct InputScript {
  std::vector<ScriptedMessage> messages;
  std::string error;  // empty when every line was read; else "line N: what is wrong"
};

InputScript parseInputScript(std::string_view text);

}  // namespace quorin

#pragma once
// JSON records of the control messages: the host's greeting, the client's input events and
// system commands, and the enumerations they use.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/json_codec.h"

namespace quorin {

// Greeting, host to client, once per connection after capture runs.
struct HelloMessage {
  std::string hostName;
  std::int64_t screenWidth = 0;
  std::int64_t screenHeight = 0;
  std::string codec = "h264";

  json::Json toJson() const;
  static std::optional<HelloMessage> fromJson(const json::Json& object);
};

// Pointer and keyboard event, client to host. Only `kind` is required.
struct InputEvent {
  enum class Kind {
    mouseMove, mouseDown, mouseUp, leftClick, rightClick, doubleClick, scroll, keyText, keySpecial
  };

  Kind kind = Kind::mouseMove;
  std::optional<double> x;  // fraction of the screen's width
  std::optional<double> y;  // fraction of the screen's height
  std::optional<double> dx;
  std::optional<double> dy;
  std::optional<std::string> text;
  std::optional<std::string> specialKey;  // free text: an unknown name still decodes
  std::optional<std::vector<std::string>> modifiers;

  json::Json toJson() const;
  static std::optional<InputEvent> fromJson(const json::Json& object);
};

std::string_view toString(InputEvent::Kind kind);
std::optional<InputEvent::Kind> inputKindFromString(std::string_view text);

enum class SpecialKey {
  escape, tab, deleteKey, forwardDelete, returnKey, left, right, up, down, home, end, pageUp,
  pageDown, f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, space
};

// All 26 keys in declaration order.
extern const std::array<SpecialKey, 26> kAllSpecialKeys;

// The wire string ("return" for returnKey, "delete" for deleteKey).
std::string_view toString(SpecialKey key);
// Exact, case-sensitive match of the wire string.
std::optional<SpecialKey> specialKeyFromString(std::string_view text);

// Modifier keys named in an event: "cmd"/"command", "shift", "ctrl"/"control",
// "option"/"alt", in any letter case; other names are ignored.
struct Modifiers {
  bool command = false;
  bool shift = false;
  bool control = false;
  bool option = false;
  bool operator==(const Modifiers&) const = default;
};
Modifiers parseModifiers(const std::optional<std::vector<std::string>>& names);

// Power command, client to host.
struct SystemCommand {
  enum class Action { shutdown, restart, sleep, lock };
  Action action = Action::lock;

  json::Json toJson() const;
  static std::optional<SystemCommand> fromJson(const json::Json& object);
};

std::string_view toString(SystemCommand::Action action);
std::optional<SystemCommand::Action> systemActionFromString(std::string_view text);

}  // namespace quorin

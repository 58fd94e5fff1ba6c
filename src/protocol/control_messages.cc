#include "protocol/control_messages.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace quorin {
namespace {

template <class E, std::size_t N>
std::optional<E> lookup(const std::array<std::pair<E, std::string_view>, N>& names,
                        std::string_view text) {
  for (const auto& [value, name] : names) {
    if (name == text) return value;
  }
  return std::nullopt;
}

template <class E, std::size_t N>
std::string_view nameOf(const std::array<std::pair<E, std::string_view>, N>& names, E value) {
  for (const auto& [v, name] : names) {
    if (v == value) return name;
  }
  return {};
}

using Kind = InputEvent::Kind;
constexpr std::array<std::pair<Kind, std::string_view>, 9> kKindNames{{
    {Kind::mouseMove, "mouseMove"},     {Kind::mouseDown, "mouseDown"},
    {Kind::mouseUp, "mouseUp"},         {Kind::leftClick, "leftClick"},
    {Kind::rightClick, "rightClick"},   {Kind::doubleClick, "doubleClick"},
    {Kind::scroll, "scroll"},           {Kind::keyText, "keyText"},
    {Kind::keySpecial, "keySpecial"},
}};

constexpr std::array<std::pair<SpecialKey, std::string_view>, 26> kSpecialKeyNames{{
    {SpecialKey::escape, "escape"},       {SpecialKey::tab, "tab"},
    {SpecialKey::deleteKey, "delete"},    {SpecialKey::forwardDelete, "forwardDelete"},
    {SpecialKey::returnKey, "return"},    {SpecialKey::left, "left"},
    {SpecialKey::right, "right"},         {SpecialKey::up, "up"},
    {SpecialKey::down, "down"},           {SpecialKey::home, "home"},
    {SpecialKey::end, "end"},             {SpecialKey::pageUp, "pageUp"},
    {SpecialKey::pageDown, "pageDown"},   {SpecialKey::f1, "f1"},
    {SpecialKey::f2, "f2"},               {SpecialKey::f3, "f3"},
    {SpecialKey::f4, "f4"},               {SpecialKey::f5, "f5"},
    {SpecialKey::f6, "f6"},               {SpecialKey::f7, "f7"},
    {SpecialKey::f8, "f8"},               {SpecialKey::f9, "f9"},
    {SpecialKey::f10, "f10"},             {SpecialKey::f11, "f11"},
    {SpecialKey::f12, "f12"},             {SpecialKey::space, "space"},
}};

using Action = SystemCommand::Action;
constexpr std::array<std::pair<Action, std::string_view>, 4> kActionNames{{
    {Action::shutdown, "shutdown"},
    {Action::restart, "restart"},
    {Action::sleep, "sleep"},
    {Action::lock, "lock"},
}};

// Reads an enumeration field given as its exact string.
template <class E, std::size_t N>
bool readEnum(const json::Json& object, const char* key,
              const std::array<std::pair<E, std::string_view>, N>& names, E& out) {
  std::string text;
  if (!json::readField(object, key, text)) return false;
  auto value = lookup(names, text);
  if (!value) return false;
  out = *value;
  return true;
}

}  // namespace

const std::array<SpecialKey, 26> kAllSpecialKeys = [] {
  std::array<SpecialKey, 26> keys{};
  for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = kSpecialKeyNames[i].first;
  return keys;
}();

json::Json HelloMessage::toJson() const {
  return {{"hostName", hostName},
          {"screenWidth", screenWidth},
          {"screenHeight", screenHeight},
          {"codec", codec}};
}

std::optional<HelloMessage> HelloMessage::fromJson(const json::Json& object) {
  HelloMessage m;
  if (!json::readField(object, "hostName", m.hostName) ||
      !json::readField(object, "screenWidth", m.screenWidth) ||
      !json::readField(object, "screenHeight", m.screenHeight) ||
      !json::readField(object, "codec", m.codec)) {
    return std::nullopt;
  }
  return m;
}

json::Json InputEvent::toJson() const {
  json::Json object = {{"kind", toString(kind)}};
  json::writeOptional(object, "x", x);
  json::writeOptional(object, "y", y);
  json::writeOptional(object, "dx", dx);
  json::writeOptional(object, "dy", dy);
  json::writeOptional(object, "text", text);
  json::writeOptional(object, "specialKey", specialKey);
  json::writeOptional(object, "modifiers", modifiers);
  return object;
}

std::optional<InputEvent> InputEvent::fromJson(const json::Json& object) {
  InputEvent e;
  if (!readEnum(object, "kind", kKindNames, e.kind) || !json::readField(object, "x", e.x) ||
      !json::readField(object, "y", e.y) || !json::readField(object, "dx", e.dx) ||
      !json::readField(object, "dy", e.dy) || !json::readField(object, "text", e.text) ||
      !json::readField(object, "specialKey", e.specialKey) ||
      !json::readField(object, "modifiers", e.modifiers)) {
    return std::nullopt;
  }
  return e;
}

std::string_view toString(InputEvent::Kind kind) { return nameOf(kKindNames, kind); }

std::optional<InputEvent::Kind> inputKindFromString(std::string_view text) {
  return lookup(kKindNames, text);
}

std::string_view toString(SpecialKey key) { return nameOf(kSpecialKeyNames, key); }

std::optional<SpecialKey> specialKeyFromString(std::string_view text) {
  return lookup(kSpecialKeyNames, text);
}

Modifiers parseModifiers(const std::optional<std::vector<std::string>>& names) {
  Modifiers m;
  if (!names) return m;
  for (std::string name : *names) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "cmd" || name == "command") m.command = true;
    else if (name == "shift") m.shift = true;
    else if (name == "ctrl" || name == "control") m.control = true;
    else if (name == "option" || name == "alt") m.option = true;
  }
  return m;
}

json::Json SystemCommand::toJson() const { return {{"action", toString(action)}}; }

std::optional<SystemCommand> SystemCommand::fromJson(const json::Json& object) {
  SystemCommand c;
  if (!readEnum(object, "action", kActionNames, c.action)) return std::nullopt;
  return c;
}

std::string_view toString(SystemCommand::Action action) { return nameOf(kActionNames, action); }

std::optional<SystemCommand::Action> systemActionFromString(std::string_view text) {
  return lookup(kActionNames, text);
}

}  // namespace quorin

#include "client/input_script.h"

#include <cstdint>
#include <optional>

namespace quorin {
namespace {

// The message of one line, or why the line cannot be sent.
std::variant<ScriptedMessage, std::string> parseLine(std::string_view line) {
  const auto object = json::parseObject(line);
  if (!object) return std::string("not a JSON object");
  for (const auto& [key, value] : object->items()) {
    if (key != "input" && key != "system" && key != "delayMs") {
      return "unknown key \"" + key + "\" (expected \"input\", \"system\" or \"delayMs\")";
    }
  }
  ScriptedMessage scripted;
  std::optional<std::int64_t> delay;
  if (!json::readField(*object, "delayMs", delay) || delay.value_or(0) < 0) {
    return std::string("\"delayMs\" must be a whole number of milliseconds from 0");
  }
  scripted.delay = std::chrono::milliseconds(delay.value_or(0));

  const bool hasInput = object->contains("input");
  if (hasInput == object->contains("system")) {
    return std::string("needs exactly one of \"input\" and \"system\"");
  }
  const json::Json& body = object->at(hasInput ? "input" : "system");
  if (hasInput) {
    auto event = body.is_object() ? InputEvent::fromJson(body) : std::nullopt;
    if (!event) return std::string("\"input\" is not a valid input event");
    scripted.message = std::move(*event);
  } else {
    auto command = body.is_object() ? SystemCommand::fromJson(body) : std::nullopt;
    if (!command) return std::string("\"system\" is not a valid system command");
    scripted.message = *command;
  }
  return scripted;
}

bool blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

InputScript parseInputScript(std::string_view text) {
  InputScript script;
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    if (blank(line)) continue;
    auto parsed = parseLine(line);
    if (auto* problem = std::get_if<std::string>(&parsed)) {
      script.messages.clear();
      script.error = "line " + std::to_string(number) + ": " + *problem;
      return script;
    }
    script.messages.push_back(std::move(std::get<ScriptedMessage>(parsed)));
  }
  return script;
}

}  // namespace quorin

#include "server/input_inbox.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/log.h"

namespace quorin {
namespace {

bool continuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The longest prefix of at most `bytes` bytes that ends on a character boundary.
std::size_t cutAtBytes(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return text.size();
  while (bytes > 0 && continuationByte(text[bytes])) --bytes;
  return bytes;
}

// The bytes of the first `characters` characters.
std::size_t cutAtCharacters(std::string_view text, std::size_t characters) {
  std::size_t at = 0;
  for (std::size_t seen = 0; at < text.size(); ++at) {
    if (!continuationByte(text[at]) && seen++ == characters) break;
  }
  return at;
}

bool isKind(const InputEvent* event, InputEvent::Kind kind) { return event && event->kind == kind; }

// Losing one of these costs at most a stale pointer position, a few characters or a scroll
// step; losing any other command can leave a button or the desktop in the wrong state.
bool mayDrop(const InputInbox::Command& command) {
  const auto* event = std::get_if<InputEvent>(&command);
  return isKind(event, InputEvent::Kind::mouseMove) || isKind(event, InputEvent::Kind::keyText) ||
         isKind(event, InputEvent::Kind::scroll);
}

// What an event holds beyond its fixed size; a client chooses it, up to a whole frame.
std::size_t bytesOf(const InputEvent& event) {
  std::size_t bytes = (event.text ? event.text->size() : 0) + (event.specialKey ? event.specialKey->size() : 0);
  if (event.modifiers) {
    for (const auto& name : *event.modifiers) bytes += name.size();
  }
  return bytes;
}

std::size_t bytesOf(const InputInbox::Command& command) {
  const auto* event = std::get_if<InputEvent>(&command);
  return event ? bytesOf(*event) : 0;
}

}  // namespace

InputInbox::Pushed InputInbox::push(Command command) {
  std::lock_guard lock(mutex_);
  if (ended_) return Pushed::dropped;
  auto* event = std::get_if<InputEvent>(&command);
  if (isKind(event, InputEvent::Kind::keyText) && event->text) {
    event->text->resize(cutAtBytes(*event->text, kMaxTextBytes));
  }
  if (isKind(event, InputEvent::Kind::mouseMove) && !commands_.empty() &&
      isKind(std::get_if<InputEvent>(&commands_.back()), InputEvent::Kind::mouseMove)) {
    // An axis the newer move leaves out stays where the older one put it.
    InputEvent& last = std::get<InputEvent>(commands_.back());
    if (!event->x) event->x = last.x;
    if (!event->y) event->y = last.y;
    bytes_ = bytes_ - bytesOf(last) + bytesOf(*event);
    last = std::move(*event);
    return Pushed::queued;
  }
  const std::size_t bytes = bytesOf(command);
  if (commands_.size() >= kMaxPendingCommands || bytes_ + bytes > kMaxPendingBytes) {
    if (mayDrop(command)) {
      if (!std::exchange(overflowLogged_, true)) {
        logLine("input arrives faster than it can be carried out; dropping some");
      }
      return Pushed::dropped;
    }
    if (commands_.size() >= kMaxCommands || bytes_ + bytes > kMaxBytes) {
      ended_ = true;
      return Pushed::endSession;
    }
  }
  commands_.push_back(std::move(command));
  bytes_ += bytes;
  return std::exchange(drainWanted_, true) ? Pushed::queued : Pushed::drainWanted;
}

std::optional<InputInbox::Command> InputInbox::take() {
  std::lock_guard lock(mutex_);
  if (commands_.empty()) {
    drainWanted_ = false;
    return std::nullopt;
  }
  auto* event = std::get_if<InputEvent>(&commands_.front());
  if (isKind(event, InputEvent::Kind::keyText) && event->text) {
    const std::size_t piece = cutAtCharacters(*event->text, kTypeChunk);
    if (piece < event->text->size()) {
      InputEvent first = *event;
      first.text = event->text->substr(0, piece);
      event->text->erase(0, piece);
      bytes_ -= piece;
      return first;
    }
  }
  Command command = std::move(commands_.front());
  commands_.pop_front();
  bytes_ -= bytesOf(command);
  return command;
}

std::optional<SystemCommand::Action> InputInbox::takeSystem() {
  std::lock_guard lock(mutex_);
  const auto found = std::find_if(commands_.begin(), commands_.end(), [](const Command& command) {
    return std::holds_alternative<SystemCommand::Action>(command);
  });
  if (found == commands_.end()) {
    drainWanted_ = false;
    return std::nullopt;
  }
  const SystemCommand::Action action = std::get<SystemCommand::Action>(*found);
  commands_.erase(found);
  return action;
}

}  // namespace quorin

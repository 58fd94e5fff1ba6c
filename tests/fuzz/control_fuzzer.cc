// A control-message payload decoded the way the host's session decodes it, as each of the
// records a client or host may send; whatever decodes must encode again and read back the same.

#include <cstddef>
#include <cstdint>

#include "protocol/control_messages.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// Decodes `payload` as R; when that works, the record's own text must decode to a record
// with the same text.
template <class R>
std::optional<R> roundTrip(quorin::ByteView payload) {
  auto record = quorin::json::decodeJson<R>(payload);
  if (!record) return record;
  const auto text = quorin::json::encodeJson(*record);
  const auto again = text ? quorin::json::decodeJson<R>(std::string_view(*text)) : std::nullopt;
  check(again && quorin::json::encodeJson(*again) == text);
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorin;
  const ByteView payload(data, size);
  if (const auto event = roundTrip<InputEvent>(payload)) {
    parseModifiers(event->modifiers);
    if (event->specialKey) specialKeyFromString(*event->specialKey);
  }
  roundTrip<SystemCommand>(payload);
  roundTrip<HelloMessage>(payload);
  return 0;
}

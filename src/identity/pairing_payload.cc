#include "identity/pairing_payload.h"

#include "protocol/base64.h"

namespace quorin {
namespace {

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

PairingPayload::PairingPayload(std::string name, Bytes key)
    : name(std::move(name)), key(std::move(key)) {}

std::string PairingPayload::encodedString() const { return json::encodeJson(*this).value_or(""); }

std::optional<PairingPayload> PairingPayload::decode(std::string_view text) {
  const std::string_view body = trimmed(text);
  if (body.starts_with('{')) {
    if (auto payload = json::decodeJson<PairingPayload>(body)) return payload;
  }
  // JSON parsing rejects text that is not valid UTF-8, so decoded bytes need no other check.
  const auto decoded = base64::decode(body);
  if (!decoded) return std::nullopt;
  return json::decodeJson<PairingPayload>(ByteView(*decoded));
}

json::Json PairingPayload::toJson() const {
  return {{"v", v}, {"name", name}, {"key", json::bytesValue(key)}};
}

std::optional<PairingPayload> PairingPayload::fromJson(const json::Json& object) {
  PairingPayload p;
  if (!json::readField(object, "v", p.v) || !json::readField(object, "name", p.name) ||
      !json::readField(object, "key", p.key)) {
    return std::nullopt;
  }
  return p;
}

}  // namespace quorin

#pragma once
// What a phone or tablet learns when it scans the pairing code: the host's name and its key.
// The code's text is the compact JSON of this record, for example
//     {"key":"q0H...=","name":"studio","v":1}
// with the key in padded standard Base64.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "protocol/json_codec.h"

namespace quorin {

struct PairingPayload {
  std::int64_t v = 1;  // format version
  std::string name;    // the host's display name
  Bytes key;           // the TLS pre-shared key

  PairingPayload() = default;
  PairingPayload(std::string name, Bytes key);  // version 1

  // The text put into the code; empty when the record cannot be written (a name that is not
  // valid UTF-8).
  std::string encodedString() const;

  // Reads the text form, or the Base64 encoding of it, with white space around either
  // ignored. Any version and any key length are accepted; `v`, `name` and `key` are required.
  static std::optional<PairingPayload> decode(std::string_view text);

  json::Json toJson() const;
  static std::optional<PairingPayload> fromJson(const json::Json& object);

  bool operator==(const PairingPayload&) const = default;
};

}  // namespace quorin

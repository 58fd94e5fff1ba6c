#pragma once
// Sealed tokens for signaling records that pass through a store neither end trusts.
//
// Token: standard Base64 (with padding, no line breaks) of nonce (12 random bytes, fresh per
// seal) | AES-256-GCM ciphertext of the record's compact JSON | 16-byte tag, with no
// associated data. The AES key is HKDF-SHA256 of the secret with no salt and the info
// "QuorinRemote.signaling", derived on every call and never kept.
//
// Every failure, whatever its cause, is an absent result; nothing is logged. Pure functions,
// callable from any thread at the same time.

#include <concepts>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "protocol/json_codec.h"

namespace quorin::SignalCrypto {

// A record with the JSON coding of protocol/json_codec.h.
template <class R>
concept JsonRecord = requires(const R& record, const json::Json& object) {
  { record.toJson() } -> std::convertible_to<json::Json>;
  { R::fromJson(object) } -> std::same_as<std::optional<R>>;
};

// The token of these plaintext bytes; nothing when the random source or the cipher fails.
std::optional<std::string> sealBytes(ByteView plaintext, ByteView secret);

// The plaintext of a token; nothing for a character outside the Base64 alphabet and padding
// (whitespace included), a box shorter than nonce and tag, or a tag that does not verify
// (another secret, any altered byte).
std::optional<Bytes> openBytes(std::string_view token, ByteView secret);

template <JsonRecord R>
std::optional<std::string> seal(const R& value, ByteView secret) {
  const auto text = json::encodeJson(value);
  if (!text) return std::nullopt;
  return sealBytes(bytesOf(*text), secret);
}

// Also nothing when the plaintext is not a JSON object that decodes as R.
template <JsonRecord R>
std::optional<R> open(std::string_view token, ByteView secret) {
  const auto plaintext = openBytes(token, secret);
  if (!plaintext) return std::nullopt;
  return json::decodeJson<R>(ByteView(*plaintext));
}

}  // namespace quorin::SignalCrypto

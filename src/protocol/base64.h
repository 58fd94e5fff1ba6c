#pragma once
// Standard Base64 (RFC 4648 alphabet, '=' padding, no line breaks).

#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace quorin::base64 {

std::string encode(ByteView bytes);

// Strict: only the standard alphabet, padding required, no whitespace, and unused bits of
// the last group zero, so every byte string has exactly one accepted text. Nothing on error.
std::optional<Bytes> decode(std::string_view text);

}  // namespace quorin::base64

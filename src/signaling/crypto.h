#pragma once
// The SHA-256 keyed primitives of the internet mode, on OpenSSL EVP. Pure functions, callable
// from any thread. Nothing is returned when libcrypto fails (it cannot allocate, or a
// parameter is out of its range: an HKDF length of 0 or above 8160 bytes).

#include <cstddef>
#include <optional>

#include "base/bytes.h"

namespace quorin::crypto {

inline constexpr std::size_t kSha256Size = 32;

// HMAC-SHA256 (RFC 2104) of message under key; any key length, the empty key included.
std::optional<Bytes> hmacSha256(ByteView key, ByteView message);

// HKDF-SHA256 (RFC 5869) extract-and-expand. An empty salt is the RFC's default salt of
// 32 zero bytes.
std::optional<Bytes> hkdfSha256(ByteView inputKey, ByteView salt, ByteView info,
                                std::size_t length);

}  // namespace quorin::crypto

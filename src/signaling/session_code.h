#pragma once
// The name under which both ends of an internet session meet: derived from the session code
// they share and a secret, reproducible by anyone holding both and revealing neither.
// Pure, callable from any thread.

#include <string>
#include <string_view>

#include "base/bytes.h"

namespace quorin::SessionCode {

// HMAC-SHA256 of "session:" + code (the code's bytes exactly as given: no trimming or case
// folding, so both ends must pass identical text) keyed with secret; the first 15 bytes in
// URL-safe Base64 without padding. Always 20 characters of A-Z a-z 0-9 '-' '_'.
std::string documentId(std::string_view code, ByteView secret);

}  // namespace quorin::SessionCode

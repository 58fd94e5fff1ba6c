#include "signaling/session_code.h"

#include <cstdlib>

#include "protocol/base64.h"
#include "signaling/crypto.h"

namespace quorin::SessionCode {

std::string documentId(std::string_view code, ByteView secret) {
  std::string message = "session:";
  message += code;
  const auto mac = crypto::hmacSha256(secret, bytesOf(message));
  // HMAC over in-memory data fails only when libcrypto cannot allocate. A made-up identifier
  // would silently send both ends to the wrong document, so this is treated like any other
  // out-of-memory condition.
  if (!mac) std::abort();

  constexpr std::size_t kKeptBytes = 15;  // 120 bits: 20 Base64 digits and never padding
  std::string id = base64::encode(ByteView(*mac).first(kKeptBytes));
  for (char& c : id) {
    if (c == '+') c = '-';
    else if (c == '/') c = '_';
  }
  return id;
}

}  // namespace quorin::SessionCode

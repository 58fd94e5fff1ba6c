#pragma once
// An OpenSSL context for TLS-PSK together with the key and identity its callbacks hand to
// OpenSSL. Shared by every connection made with it; immutable after construction, so it
// may be used from any thread.

#include <asio/ssl/context.hpp>

#include <chrono>
#include <optional>
#include <string>

#include "base/bytes.h"

namespace quorin {

class TlsContext {
 public:
  enum class Role { server, client };

  // Server: TLS 1.2 only, suite PSK-AES128-GCM-SHA256, accepts only `identity`.
  // Client: presents `identity`; `tls13Only` makes a client that offers nothing but TLS 1.3
  // (used to prove the server refuses it).
  TlsContext(Role role, Bytes key, std::string identity, bool tls13Only = false);
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  Role role() const { return role_; }
  asio::ssl::context& native() { return context_; }

  // Server side: whether this connection's client has presented the accepted identity. It
  // says nothing about the key yet, which the client proves only with its Finished message.
  // Call on the connection's thread.
  static bool identityAccepted(SSL* ssl);
  // When it did, so that an owner can tell a client about to finish from one that stalled.
  static std::optional<std::chrono::steady_clock::time_point> identifiedAt(SSL* ssl);

 private:
  static unsigned int serverCallback(SSL* ssl, const char* identity, unsigned char* psk,
                                     unsigned int maxPskLength);
  static unsigned int clientCallback(SSL* ssl, const char* hint, char* identity,
                                     unsigned int maxIdentityLength, unsigned char* psk,
                                     unsigned int maxPskLength);

  Role role_;
  Bytes key_;
  std::string identity_;
  asio::ssl::context context_;
};

}  // namespace quorin

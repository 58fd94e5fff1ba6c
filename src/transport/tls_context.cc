#include "transport/tls_context.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>

namespace quorin {
namespace {

// Asio keeps its own verify callback in the context's app data, so ours needs a slot of its own.
int ownerIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

using TimePoint = std::chrono::steady_clock::time_point;

void freeTimePoint(void* /*parent*/, void* time, CRYPTO_EX_DATA* /*data*/, int /*index*/, long /*argl*/,
                   void* /*argp*/) {
  delete static_cast<TimePoint*>(time);
}

// When the client of a connection presented the accepted identity (a TimePoint the SSL owns).
int acceptedIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, &freeTimePoint);
  return index;
}

const TimePoint* acceptedAt(SSL* ssl) { return static_cast<const TimePoint*>(SSL_get_ex_data(ssl, acceptedIndex())); }

TlsContext* owner(SSL* ssl) {
  return static_cast<TlsContext*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ownerIndex()));
}

}  // namespace

TlsContext::TlsContext(Role role, Bytes key, std::string identity, bool tls13Only)
    : role_(role),
      key_(std::move(key)),
      identity_(std::move(identity)),
      context_(role == Role::server ? asio::ssl::context::tls_server
                                    : asio::ssl::context::tls_client) {
  SSL_CTX* ctx = context_.native_handle();
  SSL_CTX_set_ex_data(ctx, ownerIndex(), this);
  // Renegotiation buys nothing here and is a classic way to make a server spin.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  if (tls13Only) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    return;
  }
  // OpenSSL would otherwise negotiate TLS 1.3, whose suites the paired clients do not use.
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(ctx, "PSK-AES128-GCM-SHA256");
  if (role == Role::server) {
    SSL_CTX_set_psk_server_callback(ctx, &TlsContext::serverCallback);
  } else {
    SSL_CTX_set_psk_client_callback(ctx, &TlsContext::clientCallback);
  }
}

unsigned int TlsContext::serverCallback(SSL* ssl, const char* identity, unsigned char* psk,
                                        unsigned int maxPskLength) {
  const TlsContext* self = owner(ssl);
  if (!self || !identity || self->identity_ != identity) return 0;  // unknown identity: refuse
  if (self->key_.empty() || self->key_.size() > maxPskLength) return 0;
  std::copy(self->key_.begin(), self->key_.end(), psk);
  if (!acceptedAt(ssl)) SSL_set_ex_data(ssl, acceptedIndex(), new TimePoint(std::chrono::steady_clock::now()));
  return static_cast<unsigned int>(self->key_.size());
}

bool TlsContext::identityAccepted(SSL* ssl) { return acceptedAt(ssl) != nullptr; }

std::optional<TimePoint> TlsContext::identifiedAt(SSL* ssl) {
  const TimePoint* time = acceptedAt(ssl);
  return time ? std::optional(*time) : std::nullopt;
}

unsigned int TlsContext::clientCallback(SSL* ssl, const char* /*hint*/, char* identity,
                                        unsigned int maxIdentityLength, unsigned char* psk,
                                        unsigned int maxPskLength) {
  const TlsContext* self = owner(ssl);
  if (!self || self->identity_.size() + 1 > maxIdentityLength) return 0;
  if (self->key_.empty() || self->key_.size() > maxPskLength) return 0;
  std::memcpy(identity, self->identity_.c_str(), self->identity_.size() + 1);
  std::copy(self->key_.begin(), self->key_.end(), psk);
  return static_cast<unsigned int>(self->key_.size());
}

}  // namespace quorin

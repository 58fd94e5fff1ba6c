#include "transport/secure_channel.h"

#include <openssl/rand.h>

#include <atomic>

#include "base/log.h"

namespace quorin::SecureChannel {
namespace {

std::atomic<bool>& tlsSetting() {
  static std::atomic<bool> enabled{true};
  return enabled;
}

}  // namespace

void setTlsEnabled(bool enabled) { tlsSetting() = enabled; }
bool tlsEnabled() { return tlsSetting(); }

Parameters parameters(const Bytes& key, bool includePeerToPeer) {
  Parameters p;
  p.includePeerToPeer = includePeerToPeer;
  if (!tlsEnabled()) {
    logLine("SecureChannel using PLAIN TCP (TLS disabled)");
    return p;
  }
  p.tls = std::make_shared<TlsContext>(TlsContext::Role::server, key, std::string(kPskIdentity));
  return p;
}

std::shared_ptr<TlsContext> clientContext(const Bytes& key, std::string identity) {
  return std::make_shared<TlsContext>(TlsContext::Role::client, key, std::move(identity));
}

std::optional<Bytes> generateKey() {
  Bytes key(32);
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) return std::nullopt;
  return key;
}

}  // namespace quorin::SecureChannel

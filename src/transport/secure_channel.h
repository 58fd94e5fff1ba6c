#pragma once
// How the host's connections are protected: TLS 1.2 with one pre-shared key and the single
// suite PSK-AES128-GCM-SHA256, no certificates. Only a device that scanned the pairing code
// holds the key, so every connection that completes its handshake belongs to a paired device.
// Also makes the random host keys. Every function may be called from any thread.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "transport/tls_context.h"

namespace quorin::SecureChannel {

// The PSK identity every client presents. It carries no secret; the key tells hosts apart.
inline constexpr std::string_view kPskIdentity = "com.quorinlabs.QuorinRemote";

// Process-wide switch, on by default. Off runs the same framed protocol over plain TCP
// (for debugging only); nothing in the product turns it off.
void setTlsEnabled(bool enabled);
bool tlsEnabled();

// What a listener gives every connection it accepts.
struct Parameters {
  std::shared_ptr<TlsContext> tls;  // empty: plain TCP
  bool noDelay = true;
  bool includePeerToPeer = true;  // no peer-to-peer links on Linux; kept for callers
};

// Built anew at every listener start, so a key reset applies from the next start.
// With TLS off, logs "SecureChannel using PLAIN TCP (TLS disabled)" once per call.
Parameters parameters(const Bytes& key, bool includePeerToPeer = true);

// The client side of the same suite (the reference client and tests). `identity` is
// exposed so tests can present a wrong one.
std::shared_ptr<TlsContext> clientContext(const Bytes& key,
                                          std::string identity = std::string(kPskIdentity));

// 32 bytes from OpenSSL's random generator; nothing when the generator reports a failure,
// never a predictable key.
std::optional<Bytes> generateKey();

}  // namespace quorin::SecureChannel

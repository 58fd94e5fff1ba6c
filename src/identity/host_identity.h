#pragma once
// The host key: a random byte string, the TLS pre-shared key of every connection, kept in
// KeychainStore under the account "host-key" and created on first use. Replacing it is what
// unpairs every device.
//
// The stored item is the single source of the key. The one exception is a key that could
// not be stored: it is kept in memory for the rest of the process, so the listener and the
// pairing code never disagree because of a store failure. A reset is visible to the next read.
//
// Thread: the main thread (the server's start and the pairing view); not thread-safe.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "identity/pairing_payload.h"

namespace quorin {

class HostIdentity {
 public:
  static constexpr std::string_view kKeyAccount = "host-key";

  // Makes a new random key; nothing when the random source fails.
  using KeyGenerator = std::function<std::optional<Bytes>()>;
  // The host's display name, asked afresh for every payload.
  using NameSource = std::function<std::string()>;

  HostIdentity(KeyGenerator generateKey, NameSource hostName);

  // The stored key, used as it is whatever its length; else a new key, stored now. Nothing
  // only when no key is stored and no new one can be made.
  std::optional<Bytes> loadOrCreateKey();

  // The host's name with the key loadOrCreateKey gives; nothing when that gives nothing.
  std::optional<PairingPayload> pairingPayload();

  // Replaces the key with a new one. When the new key cannot be stored, the old item is
  // deleted as well, so the old key does not come back in a later run. When no new key can
  // be made, nothing changes.
  void resetKey();

 private:
  std::optional<Bytes> makeKey();
  // Stores `key`, or holds it in memory when it cannot be stored; false in that case.
  bool keep(const Bytes& key);

  KeyGenerator generateKey_;
  NameSource hostName_;
  std::optional<Bytes> unstoredKey_;
};

}  // namespace quorin

#pragma once
// The host key: 32 random bytes, the TLS pre-shared key of every connection, kept in
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
  static constexpr std::size_t kKeySize = 32;

  // Makes a new random key; nothing when the random source fails.
  using KeyGenerator = std::function<std::optional<Bytes>()>;
  // The host's display name, asked afresh for every payload.
  using NameSource = std::function<std::string()>;

  HostIdentity(KeyGenerator generateKey, NameSource hostName);

  // The stored key; else a new key, stored now. A stored item of another length than
  // kKeySize is no key: it is kept aside (KeychainStore::keepAside) and replaced by a new
  // one, with a log line. Nothing when no key can be made, when such an item cannot be kept
  // aside, or when the store may hold a key it cannot read now (a locked keyring, a key file
  // it may not read): a second key would unpair every device, so problem() says what to do
  // instead, also in the log.
  std::optional<Bytes> loadOrCreateKey();
  // Why the last loadOrCreateKey gave nothing, as a sentence for the user; empty after one
  // that gave a key. Trying again may help once the user has done what it says.
  const std::string& problem() const { return problem_; }

  // The host's name with the key loadOrCreateKey gives; nothing when that gives nothing.
  std::optional<PairingPayload> pairingPayload();

  // Replaces the key with a new one. When the new key cannot be stored, the old item is
  // deleted as well, so the old key does not come back in a later run. When no new key can
  // be made, nothing changes. True when the new key is stored.
  bool resetKey();

 private:
  std::optional<Bytes> makeKey();
  // Stores `key`, or holds it in memory when it cannot be stored; false in that case.
  bool keep(const Bytes& key);

  KeyGenerator generateKey_;
  NameSource hostName_;
  std::optional<Bytes> unstoredKey_;
  std::string problem_;
};

}  // namespace quorin

#include "identity/host_identity.h"

#include "base/log.h"
#include "identity/keychain_store.h"

namespace quorin {

HostIdentity::HostIdentity(KeyGenerator generateKey, NameSource hostName)
    : generateKey_(std::move(generateKey)), hostName_(std::move(hostName)) {}

std::optional<Bytes> HostIdentity::loadOrCreateKey() {
  if (unstoredKey_) return unstoredKey_;
  if (auto stored = KeychainStore::load(kKeyAccount)) return stored;
  auto key = makeKey();
  if (key) keep(*key);
  return key;
}

std::optional<PairingPayload> HostIdentity::pairingPayload() {
  auto key = loadOrCreateKey();
  if (!key) return std::nullopt;
  return PairingPayload(hostName_(), std::move(*key));
}

void HostIdentity::resetKey() {
  const auto key = makeKey();
  if (key && !keep(*key)) KeychainStore::deleteItem(kKeyAccount);
}

std::optional<Bytes> HostIdentity::makeKey() {
  auto key = generateKey_();
  if (!key) logLine("host key could not be generated: no random bytes");
  return key;
}

bool HostIdentity::keep(const Bytes& key) {
  if (KeychainStore::save(key, kKeyAccount)) {
    unstoredKey_.reset();
    return true;
  }
  unstoredKey_ = key;
  logLine("host key could not be stored; it is kept for this run only");
  return false;
}

}  // namespace quorin

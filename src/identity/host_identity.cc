#include "identity/host_identity.h"

#include <string>

#include "base/log.h"
#include "identity/keychain_store.h"

namespace quorin {

HostIdentity::HostIdentity(KeyGenerator generateKey, NameSource hostName)
    : generateKey_(std::move(generateKey)), hostName_(std::move(hostName)) {}

std::optional<Bytes> HostIdentity::loadOrCreateKey() {
  problem_.clear();
  if (unstoredKey_) return unstoredKey_;
  if (auto stored = KeychainStore::load(kKeyAccount)) {
    if (stored->size() == kKeySize) return stored;
    const std::string damaged = "the stored host key has " + std::to_string(stored->size()) + " bytes instead of " +
                                std::to_string(kKeySize);
    if (!KeychainStore::keepAside(kKeyAccount)) {
      problem_ = "The host key cannot be used: " + damaged +
                 ", and no copy of it could be kept, so it is left as it is and no new key is made.";
      logLine(problem_);
      return std::nullopt;
    }
    logLine(damaged + "; it is replaced by a new key");
  } else if (const auto why = KeychainStore::whyUnreadable(kKeyAccount)) {
    problem_ = "The host key cannot be read now: " + *why +
               ". No new key is made, so paired devices work again once it can be read.";
    logLine(problem_);
    return std::nullopt;
  }
  auto key = makeKey();
  if (!key) {
    problem_ = "The host key could not be created, so the host cannot accept connections.";
    return std::nullopt;
  }
  keep(*key);
  return key;
}

std::optional<PairingPayload> HostIdentity::pairingPayload() {
  auto key = loadOrCreateKey();
  if (!key) return std::nullopt;
  return PairingPayload(hostName_(), std::move(*key));
}

bool HostIdentity::resetKey() {
  const auto key = makeKey();
  if (!key) return false;
  if (keep(*key)) return true;
  KeychainStore::deleteItem(kKeyAccount);
  return false;
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

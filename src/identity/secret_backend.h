#pragma once
// Where KeychainStore keeps its items: per-account byte strings under one service name.
// Implementations: the Secret Service (libsecret_backend.h) and a private file
// (file_secret_backend.h). Every operation is synchronous, may block, may be called from
// any thread, never throws and folds every failure into its result. Every wait on another
// process has a time limit.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"

namespace quorin {

class SecretBackend {
 public:
  virtual ~SecretBackend() = default;

  // Replaces the account's item with `value` (empty is a valid value). On false the
  // previous item, if any, is still there unchanged.
  virtual bool save(ByteView value, std::string_view account) = 0;
  // The stored bytes; nothing when there is no readable item.
  virtual std::optional<Bytes> load(std::string_view account) = 0;
  // True when an item was deleted; false when there was none or it could not be deleted.
  virtual bool deleteItem(std::string_view account) = 0;
  // Account names of all items; empty on failure.
  virtual std::vector<std::string> allAccounts() = 0;
  // Why load gives nothing for the account although an item may exist that cannot be read
  // now (a locked keyring, an unreadable file), so that a caller must not take it as absent:
  // a clause for the user saying what to do, without a final stop. Nothing when the store
  // holds no item for the account, or holds a readable one.
  virtual std::optional<std::string> whyUnreadable(std::string_view /*account*/) { return std::nullopt; }
  // Keeps a copy of the account's item where no later change of the account reaches it, and
  // logs where, so that a caller may replace an item it cannot use without losing it. False
  // when there is no item or no copy could be kept: then the item must stay. By default the
  // copy is a second item, "<account>.damaged" or the first free "<account>.damaged.N".
  virtual bool keepAside(std::string_view account);
};

}  // namespace quorin
